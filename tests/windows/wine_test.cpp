// pixbake.exe, the Windows build, run under Wine: the command-line tests that
// apply to Windows. Each test runs the program in a folder of its own and
// looks at what it printed (with "\r\n" line ends), its exit status and the
// files it left behind.
//
// Every run starts in a new session with standard input from /dev/null and
// its output going to pipes or a file: Wine then gives the program no
// console, as when it is started from a service or a scheduled task, so it
// can never stop on anyone's terminal. The tests of the key wait and of
// Ctrl-C give it a console on a pseudo-terminal of their own. Wine starts
// slowly, so the cases are batched into few runs.
//
// Environment (tests/windows/run_wine_tests.sh sets it, with a Wine prefix of
// its own whose server it starts beforehand, so that no test's limits or
// pipes pass to the server):
//   PIXBAKE_WINDOWS_BUILD  the Windows build folder: pixbake.exe and
//                          tests/windows/run_command_line.exe
//   PIXBAKE_WINE           the Wine program (default: wine)
#include <gtest/gtest.h>

#include "convert/convert.h"
#include "tests/bmp_writer.h"
#include "tests/run_program.h"

#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testrun::Clock;
using testrun::ExitState;
using testrun::kMagic;
using testrun::Listing;
using testrun::ReadFile;
using testrun::Redirect;
using testrun::RunResult;
using testrun::WriteFile;
using testrun::WriteSolidBitmap;

// Only a safety net: a run takes well under a second once Wine is up, a
// hanging one fails instead of holding up CI.
constexpr auto kSafetyTimeout = std::chrono::seconds(120);

// Text as the Windows build writes it: every "\n" as "\r\n".
std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string Repeat(const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
}

const std::string kUsage = Crlf(
    "The Simple Bmp To Tsa Packet Converter Without Any Stupid Additional Things!\n"
    "Using: pixbake -n file1.bmp number_in_dec_1 file2.bmp number_in_dec_2 ...\n"
    "       pixbake -i start_number_in_dec file1.bmp file2.bmp ...\n"
    "       pixbake file1.bmp file2.bmp ...\n"
    "Transparent color is RGB(255,0,255) (pink)\n\n");

std::string Describe(const std::vector<std::string>& args) {
    std::string text = "pixbake.exe";
    for (const auto& arg : args) text += " '" + arg + "'";
    return text;
}

// Every entry below the folder with its content ("" for a folder), by path
// relative to it ("old.art/sprite.tsa").
std::map<std::string, std::string> Contents(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        files[fs::relative(entry.path(), folder).string()] = entry.is_regular_file() ? ReadFile(entry.path()) : "";
    return files;
}

// The same file as Wine shows it to the program: drive Z: is the root.
std::string WindowsPath(const fs::path& path) {
    std::string text = "Z:" + fs::absolute(path).string();
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

std::string Setting(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

class WineTest : public testrun::FolderTest {
protected:
    WineTest() : FolderTest("pixbake-wine") {}

    void SetUp() override {
        const std::string build = Setting("PIXBAKE_WINDOWS_BUILD");
        ASSERT_FALSE(build.empty()) << "set PIXBAKE_WINDOWS_BUILD to the Windows build folder "
                                       "(tests/windows/run_wine_tests.sh does)";
        exe_ = fs::absolute(fs::path(build) / "pixbake.exe");
        launcher_ = fs::absolute(fs::path(build) / "tests/windows/run_command_line.exe");
        ASSERT_TRUE(fs::exists(exe_)) << exe_;
        wine_ = Setting("PIXBAKE_WINE", "wine");
        FolderTest::SetUp();
    }

    // A small picture that converts without trouble.
    void MakeBitmap(const std::string& name) {
        fs::create_directories((work_ / name).parent_path());
        WriteSolidBitmap(work_ / name, 3, 2, 0x1EC80A);
    }

    // pixbake.exe with these arguments, each quoted by Wine as needed.
    RunResult Run(const std::vector<std::string>& args, Redirect redirect = Redirect::Pipe,
                  rlim_t fileSizeLimit = RLIM_INFINITY) {
        testrun::Launch launch = WineLaunch(exe_);
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.redirect = redirect;
        launch.outFile = root_ / "stdout.txt";
        launch.fileSizeLimit = fileSizeLimit;
        return testrun::RunProgram(launch);
    }

    // pixbake.exe with exactly this text after its quoted path on the
    // command line.
    RunResult RunRaw(const std::string& rest) {
        std::string line = "\"";
        line += WindowsPath(exe_);
        line += '"';
        line += rest;
        testrun::Launch launch = WineLaunch(launcher_);
        launch.environment = {{"RUN_COMMAND_LINE", line}};
        return testrun::RunProgram(launch);
    }

    // A run of the Windows program under Wine in the work folder. Over a
    // file-size limit a write falls short (Wine's server, already running,
    // is not held to the limit).
    testrun::Launch WineLaunch(const fs::path& program) const {
        testrun::Launch launch;
        launch.argv = {wine_, program.string()};
        launch.folder = work_;
        launch.ignoreFileSizeSignal = true;
        launch.safetyTimeout = kSafetyTimeout;
        return launch;
    }

    int32_t PacketNumber(const std::string& name) { return testrun::PacketNumber(work_ / name); }
    void RemovePackets() { testrun::RemovePackets(work_); }

    fs::path exe_;       // pixbake.exe
    fs::path launcher_;  // run_command_line.exe
    std::string wine_;
};

// ------------------------------------------------------------ usage text --

TEST_F(WineTest, WithoutConsoleTheUsageTextEndsAtOnce) {
    // No console to read a key from: the usage text, then the end, not a wait.
    const RunResult run = Run({});
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(Contents(work_).empty());
}

// ----------------------------------------------------- modes and numbers --

TEST_F(WineTest, ModesNumberPacketsAndPrintProgress) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::vector<std::pair<std::string, int32_t>> packets;  // every packet left, with its number
    };
    const std::string ready = Crlf("Ready\n");
    const Case cases[] = {
        {{"-n", "a.bmp", "5", "b.bmp", "-3"}, "", {{"a.tsa", 5}, {"b.tsa", -3}}},
        {{"-i", "2147483647", "a.bmp", "b.bmp"}, ready + ready, {{"a.tsa", 2147483647}, {"b.tsa", INT32_MIN}}},
        {{"a.bmp", "b.bmp"}, ready + ready, {{"a.tsa", 0}, {"b.tsa", 0}}},
        {{"-n", "a.bmp", "5", "b.bmp"}, "", {{"a.tsa", 5}}},
        {{"-i"}, "", {}},
        // An empty argument is still an argument: the start text here.
        {{"-i", "", "a.bmp"}, ready, {{"a.tsa", 0}}},
        {{"-i", "12a", "a.bmp"}, ready, {{"a.tsa", 0}}},
        {{"-N", "a.bmp"}, ready + ready, {{"-N.tsa", 0}, {"a.tsa", 0}}},
    };
    for (const char* name : {"a.bmp", "b.bmp", "-N"}) MakeBitmap(name);
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.args));
        RemovePackets();
        std::set<std::string> expected = Listing(work_);
        const RunResult run = Run(c.args);
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        for (const auto& [packet, number] : c.packets) {
            expected.insert(packet);
            EXPECT_EQ(PacketNumber(packet), number) << packet;
        }
        EXPECT_EQ(Listing(work_), expected);
    }
}

// "n<index><extension>", built up in steps (GCC 12 warns wrongly about the
// chain of + that says the same).
std::string Numbered(size_t index, const char* extension) {
    std::string name = "n";
    name += std::to_string(index);
    name += extension;
    return name;
}

TEST_F(WineTest, NumberTextsThatAreAccepted) {
    // One run: each text numbers a file of its own.
    const std::pair<std::string, int32_t> cases[] = {
        {"0", 0},          {"-3", -3},          {"+7", 7},
        {"007", 7},        {" 12", 12},         {"   -12", -12},
        {"0x1F", 31},      {"0X1F", 31},        {"$1F", 31},
        {"x1F", 31},       {"X1f", 31},         {"$aBc", 0xABC},
        {"2147483647", 2147483647},             {"-2147483648", INT32_MIN},
        {"$80000000", INT32_MIN},               {"$FFFFFFFF", -1},
        {"0xffffffff", -1},
    };
    std::vector<std::string> args{"-n"};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string name = Numbered(i, ".bmp");
        MakeBitmap(name);
        args.push_back(name);
        args.push_back(cases[i].first);
    }
    const RunResult run = Run(args);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("number text '" + cases[i].first + "'");
        EXPECT_EQ(PacketNumber(Numbered(i, ".tsa")), cases[i].second);
    }
}

TEST_F(WineTest, InvalidNumberTextEndsTheRunAtItsPair) {
    // Texts with a tab or blanks must reach pixbake whole to be refused whole.
    const std::string cases[] = {"12a", "", "\t12", "1 2", "2147483648", "$100000000"};
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) MakeBitmap(name);
    for (const std::string& text : cases) {
        SCOPED_TRACE("number text '" + text + "'");
        RemovePackets();
        const RunResult run = Run({"-n", "a.bmp", "1", "b.bmp", text, "c.bmp", "2"});
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, Crlf("pixbake: b.bmp: '" + text + "' is not a valid integer value\n"));
        EXPECT_EQ(PacketNumber("a.tsa"), 1);
        EXPECT_FALSE(fs::exists(work_ / "b.tsa"));
        EXPECT_FALSE(fs::exists(work_ / "c.tsa"));
    }
}

// ---------------------------------------------------------- output names --

TEST_F(WineTest, OutputNamesTakeBothSeparators) {
    // One run converting every input: the input as typed, the file it names
    // and the packet it must give, as the file system names them.
    struct Case {
        std::string input;
        std::string file;
        std::string packet;
    };
    const Case cases[] = {
        {"a.bmp", "a.bmp", "a.tsa"},
        {"PIC.BMP", "PIC.BMP", "PIC.tsa"},
        {"title.big.bmp", "title.big.bmp", "title.big.tsa"},
        {"sprite", "sprite", "sprite.tsa"},
        // Windows drops a trailing "." from a file name; the packet's name
        // still comes from the name as typed.
        {"name.", "name", "name.tsa"},
        {"sub\\b.bmp", "sub/b.bmp", "sub/b.tsa"},
        {"sub/c.bmp", "sub/c.bmp", "sub/c.tsa"},
        {"sub/deeper\\d.bmp", "sub/deeper/d.bmp", "sub/deeper/d.tsa"},
        // A "." in a folder name is no extension, behind either separator.
        {"old.art\\sprite", "old.art/sprite", "old.art/sprite.tsa"},
        {"old.art/sprite2", "old.art/sprite2", "old.art/sprite2.tsa"},
        {"my pics\\a b.bmp", "my pics/a b.bmp", "my pics/a b.tsa"},
        {"sub\\..\\e.bmp", "e.bmp", "e.tsa"},
        // Already the packet's name: converted in place.
        {".\\x.tsa", "x.tsa", "x.tsa"},
        // A full path, and a path relative to the current folder of drive Z:.
        {WindowsPath(work_ / "f.bmp"), "f.bmp", "f.tsa"},
        {"Z:g.bmp", "g.bmp", "g.tsa"},
    };
    std::vector<std::string> args;
    for (const Case& c : cases) {
        MakeBitmap(c.file);
        args.push_back(c.input);
    }
    std::set<std::string> expected = Listing(work_);
    for (const Case& c : cases) expected.insert(c.packet);

    const RunResult run = Run(args);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, Repeat(Crlf("Ready\n"), static_cast<int>(std::size(cases))));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Listing(work_), expected);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(ReadFile(work_ / c.packet).substr(0, 16), kMagic);
    }
}

// --------------------------------------------------------------- failures --

TEST_F(WineTest, FirstFailureEndsTheRunWithOneLine) {
    struct Case {
        std::vector<std::string> args;
        std::string out;  // progress lines printed before the failure
        std::string err;
        std::set<std::string> packets;  // the packets made by the run
    };
    const std::string ready = Crlf("Ready\n");
    const Case cases[] = {
        {{"good.bmp", "missing.bmp", "other.bmp"}, ready, "pixbake: Cannot open file missing.bmp\n", {"good.tsa"}},
        {{"-i", "1", "good.bmp", "text.bmp", "other.bmp"},
         ready,
         "pixbake: text.bmp: Bitmap image is not valid\n",
         {"good.tsa"}},
        {{"-n", "good.bmp", "1", "short.bmp", "2", "other.bmp", "3"},
         "",
         "pixbake: short.bmp: Stream read error\n",
         {"good.tsa"}},
        {{"good.bmp", "blocked.bmp", "other.bmp"}, ready, "pixbake: Cannot create file blocked.tsa\n", {"good.tsa"}},
        {{"good.bmp", "sub\\blocked.bmp"}, ready, "pixbake: Cannot create file sub\\blocked.tsa\n", {"good.tsa"}},
        // A read-only packet is not replaced.
        {{"good.bmp", "locked.bmp"}, ready, "pixbake: Cannot create file locked.tsa\n", {"good.tsa"}},
        // A folder is no input file, nor is a missing folder's file.
        {{"good.bmp", "sub"}, ready, "pixbake: Cannot open file sub\n", {"good.tsa"}},
        {{"nowhere\\a.bmp"}, "", "pixbake: Cannot open file nowhere\\a.bmp\n", {}},
    };
    for (const char* name : {"good.bmp", "other.bmp", "blocked.bmp", "sub/blocked.bmp", "locked.bmp"})
        MakeBitmap(name);
    WriteFile(work_ / "text.bmp", "This is a plain text file, not a picture.\n");
    WriteFile(work_ / "short.bmp", std::string("BM\x36\0\0", 5));
    // A folder where the packet would go cannot be replaced by a file.
    fs::create_directory(work_ / "blocked.tsa");
    fs::create_directory(work_ / "sub/blocked.tsa");
    // Old packets of the failing inputs must come through untouched.
    const std::string oldPacket = std::string(kMagic) + std::string("\x2A\0\0\0\x01\x01\x08\0\x0D\x0A", 10);
    for (const char* name : {"text.tsa", "short.tsa", "missing.tsa", "locked.tsa"}) WriteFile(work_ / name, oldPacket);
    fs::permissions(work_ / "locked.tsa", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.args));
        for (const char* packet : {"good.tsa", "other.tsa"}) fs::remove(work_ / packet);
        std::map<std::string, std::string> expected = Contents(work_);
        const RunResult run = Run(c.args);
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, Crlf(c.err));
        // Nothing else changed: no packet for the failed file, no temporary
        // file, every old packet as it was.
        std::map<std::string, std::string> after = Contents(work_);
        for (const std::string& packet : c.packets) {
            EXPECT_EQ(after[packet].substr(0, 16), kMagic) << packet;
            expected[packet] = after[packet];
        }
        EXPECT_EQ(after, expected);
    }
}

TEST_F(WineTest, PacketThatCannotBeWrittenInFullLeavesNoTrace) {
    // With files capped at 100 bytes the small packet fits and the large one
    // breaks off halfway: its old packet stays and no partial file is left.
    WriteSolidBitmap(work_ / "small.bmp", 1, 1, 0x0000FF);
    std::vector<uint32_t> stripes(16 * 16);
    for (size_t i = 0; i < stripes.size(); ++i) stripes[i] = i % 2 ? 0xFFFFFF : 0x000000;
    bmptest::WriteFile((work_ / "large.bmp").string(), bmptest::MakeColourBmp(16, 16, stripes));
    MakeBitmap("other.bmp");
    WriteFile(work_ / "large.tsa", "an older packet");
    std::set<std::string> expected = Listing(work_);
    expected.insert("small.tsa");

    const RunResult run = Run({"small.bmp", "large.bmp", "other.bmp"}, Redirect::Pipe, 100);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, Crlf("Ready\n"));
    EXPECT_EQ(run.err, Crlf("pixbake: large.bmp: Stream write error\n"));
    EXPECT_EQ(Listing(work_), expected);
    EXPECT_EQ(ReadFile(work_ / "large.tsa"), "an older packet");
    EXPECT_EQ(ReadFile(work_ / "small.tsa").substr(0, 16), kMagic);
}

// ------------------------------------------------------------ packet bytes --

TEST_F(WineTest, PacketsAreTheBytesTheLinuxBuildWrites) {
    // Pixel words and numbers full of the bytes a text-mode file would
    // change (0x0A, 0x0D, 0x1A), in both packet forms, over old packets.
    // The colour (0x00BBGGRR) whose pixel word is the given 5-6-5 word.
    const auto colourOf = [](uint32_t word) {
        return (word >> 11) << 3 | ((word >> 5) & 63) << 10 | (word & 31) << 19;
    };
    const uint32_t words[] = {0x0A0D, 0x1A0A, 0x0D1A, 0x0A1A, 0xF81F};
    std::vector<uint32_t> awkward(7 * 5);
    for (size_t i = 0; i < awkward.size(); ++i) awkward[i] = colourOf(words[i % std::size(words)]);
    bmptest::WriteFile((work_ / "raw.bmp").string(), bmptest::MakeColourBmp(7, 5, awkward));
    WriteSolidBitmap(work_ / "runs.bmp", 40, 3, colourOf(0x0D0A));
    WriteFile(work_ / "raw.tsa", "an older packet");
    WriteFile(work_ / "runs.tsa", "an older packet that is longer than the new one will be, by far");

    const RunResult run = Run({"-n", "raw.bmp", "2573", "runs.bmp", "$1A0D0A"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Listing(work_), (std::set<std::string>{"raw.bmp", "raw.tsa", "runs.bmp", "runs.tsa"}));
    const std::pair<std::string, int32_t> packets[] = {{"raw", 2573}, {"runs", 0x1A0D0A}};
    for (const auto& [name, number] : packets) {
        SCOPED_TRACE(name);
        const fs::path expected = root_ / (name + ".linux.tsa");
        ConvertBitmap((work_ / (name + ".bmp")).string(), expected.string(), number);
        EXPECT_EQ(ReadFile(work_ / (name + ".tsa")), ReadFile(expected));
    }
    EXPECT_EQ(ReadFile(work_ / "raw.tsa")[22], '\x08') << "the raw form";
    EXPECT_EQ(ReadFile(work_ / "runs.tsa")[22], '\x88') << "the compressed form";
}

// -------------------------------------------------------- redirected output --

TEST_F(WineTest, RedirectedOutputHoldsEveryProgressLine) {
    // Far more than one 512-byte block of progress lines.
    MakeBitmap("a.bmp");
    const std::vector<std::string> args(300, "a.bmp");
    for (Redirect redirect : {Redirect::Pipe, Redirect::File}) {
        SCOPED_TRACE(redirect == Redirect::Pipe ? "pipe" : "file");
        const RunResult run = Run(args, redirect);
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, Repeat(Crlf("Ready\n"), 300));
        EXPECT_EQ(run.err, "");
    }
}

// ------------------------------------------------------ the command line --

TEST_F(WineTest, WildcardsStayLiteral) {
    // Files that the patterns would match are there; no pattern is expanded.
    MakeBitmap("a.bmp");
    MakeBitmap("b.bmp");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"*.bmp"}, "pixbake: Cannot open file *.bmp\n"},
        {{"-i", "0", "?.bmp", "a.bmp"}, "pixbake: Cannot open file ?.bmp\n"},
    };
    for (const auto& [args, err] : cases) {
        SCOPED_TRACE(Describe(args));
        const RunResult run = Run(args);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, Crlf(err));
        EXPECT_EQ(Listing(work_), (std::set<std::string>{"a.bmp", "b.bmp"}));
    }
}

TEST_F(WineTest, QuotedArgumentsAsTyped) {
    // Command lines exactly as typed: quotes around or inside a word, tabs
    // and runs of blanks between words, a quote left open at the end.
    MakeBitmap("my pics/a b.bmp");
    MakeBitmap("my pics/c d.bmp");
    MakeBitmap("b.bmp");
    struct Case {
        std::string line;  // after the program path
        std::string out;
        std::vector<std::pair<std::string, int32_t>> packets;
    };
    const std::string ready = Crlf("Ready\n");
    const Case cases[] = {
        {"  -n \"my pics\\a b.bmp\"\t 5 \t b.bmp \"7\"  ", "", {{"my pics/a b.tsa", 5}, {"b.tsa", 7}}},
        {" my\" \"pics\\a\" b\".bmp \"my pics\\c d.bmp", ready + ready, {{"my pics/a b.tsa", 0}, {"my pics/c d.tsa", 0}}},
        {" -i \"\" b.bmp", ready, {{"b.tsa", 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("command line [" + c.line + "]");
        RemovePackets();
        std::set<std::string> expected = Listing(work_);
        const RunResult run = RunRaw(c.line);
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        for (const auto& [packet, number] : c.packets) {
            expected.insert(packet);
            EXPECT_EQ(PacketNumber(packet), number) << packet;
        }
        EXPECT_EQ(Listing(work_), expected);
    }
}

// ----------------------------------------------------------- on a console --
//
// Started on a terminal, the program gets a Wine console that reads its keys
// from the terminal and draws on it: here a pseudo-terminal of the test's
// own, the program's controlling terminal and all three standard handles.
// The console draws with escape sequences (and may move the cursor instead of
// writing blanks), so the tests look for words on the screen, not for exact
// text.

// What the console drew, without escape sequences and carriage returns.
std::string ScreenText(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            i += 2;
            while (i < raw.size() && !(raw[i] >= 0x40 && raw[i] <= 0x7E)) ++i;  // to the final byte
        } else if (raw[i] != '\r') {
            text += raw[i];
        }
    }
    return text;
}

class ConsoleRun {
public:
    // Starts pixbake.exe with the arguments in the folder, on a console.
    ConsoleRun(const std::string& wine, const fs::path& exe, const fs::path& folder,
               const std::vector<std::string>& args) {
        int terminal = -1;
        if (openpty(&master_, &terminal, nullptr, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
            return;
        }
        std::vector<std::string> argv{wine, exe.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        // The terminal becomes the program's controlling terminal.
        pid_ = testrun::StartChild(argv, folder, [&] {
            if (ioctl(terminal, TIOCSCTTY, 0) != 0 || dup2(terminal, 0) < 0 || dup2(terminal, 1) < 0 ||
                dup2(terminal, 2) < 0)
                return false;
            close(master_);
            if (terminal > 2) close(terminal);
            return true;
        });
        close(terminal);
        if (pid_ < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
    }
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;
    ~ConsoleRun() {
        if (pid_ > 0 && !state_.ended) testrun::KillAndReap(pid_);
        if (master_ >= 0) close(master_);
    }

    bool Started() const { return pid_ > 0 && master_ >= 0; }

    // Reads the screen until the word shows on it; false when the program
    // closes the terminal first or the deadline passes.
    bool WaitForWord(const std::string& word, Clock::time_point deadline) {
        while (ScreenText(raw_).find(word) == std::string::npos)
            if (!ReadUntil(deadline)) return false;
        return true;
    }

    // Reads the screen until `fd` has something to read; false when the
    // program closes the terminal first or the deadline passes.
    bool WaitForReadable(int fd, Clock::time_point deadline) {
        for (;;) {
            pollfd ready = {fd, POLLIN, 0};
            if (poll(&ready, 1, 0) == 1) return true;
            if (!ReadUntil(deadline, fd)) return false;
        }
    }

    void Type(const std::string& keys) {
        EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Whether the program has ended, reaping it if so.
    bool Ended() {
        if (!state_.ended) state_ = testrun::WaitUntil(pid_, Clock::now());
        return state_.ended;
    }

    // Reads the screen to its end and waits for the program; kills it if it
    // outlives the safety timeout. Returns the whole screen.
    std::string Finish() {
        const auto deadline = Clock::now() + kSafetyTimeout;
        while (Clock::now() < deadline) {
            pollfd fd = {master_, POLLIN, 0};
            const int ready = poll(&fd, 1, 100);
            if (ready > 0 && !ReadSome()) break;  // EIO: no one holds the terminal any more
            if (ready == 0 && Ended()) break;
        }
        if (!state_.ended) state_ = testrun::WaitUntil(pid_, deadline);
        if (!state_.ended) {
            ADD_FAILURE() << "the run did not end within the safety timeout";
            state_ = testrun::KillAndReap(pid_);
        }
        return ScreenText(raw_);
    }

    // The exit status, 128 + the signal that ended it, or -1 while it runs.
    int ExitStatus() const {
        if (!state_.ended) return -1;
        return state_.exited ? state_.code : 128 + state_.code;
    }

private:
    // Waits for screen output (or for `alsoWatch`) and reads what there is;
    // false on the deadline or once no one holds the terminal any more.
    bool ReadUntil(Clock::time_point deadline, int alsoWatch = -1) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[2] = {{master_, POLLIN, 0}, {alsoWatch, POLLIN, 0}};
        const int ready = poll(fds, alsoWatch >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0) return errno == EINTR;
        if (fds[0].revents != 0) return ReadSome();
        return true;
    }

    bool ReadSome() {
        char buffer[4096];
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) return true;
        if (got <= 0) return false;
        raw_.append(buffer, static_cast<size_t>(got));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    ExitState state_;
    std::string raw_;
};

TEST_F(WineTest, OnAConsoleTheUsageTextWaitsForOneKey) {
    // The keys as the terminal sends them; Wine's console turns them into key
    // events. (Keys that only a console window can send alone, such as Shift,
    // are the key rule's unit test's part.)
    const std::pair<const char*, std::string> keys[] = {
        {"letter", "x"},
        {"Enter", "\r"},
        {"cursor up", "\x1b[A"},
        {"F5", "\x1b[15~"},
    };
    for (const auto& [name, key] : keys) {
        SCOPED_TRACE(name);
        ConsoleRun run(wine_, exe_, work_, {});
        ASSERT_TRUE(run.Started());
        ASSERT_TRUE(run.WaitForWord("(pink)", Clock::now() + kSafetyTimeout)) << "no usage text";
        // Without a key it keeps waiting.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_FALSE(run.Ended()) << "ended without a key";
        run.Type(key);
        run.Finish();
        EXPECT_EQ(run.ExitStatus(), 0);
    }
    EXPECT_TRUE(Contents(work_).empty());
}

// Ctrl-C while a packet is being written ends the program as usual, but takes
// the temporary file with it. Ctrl-C is typed the moment the temporary file
// appears, so it nearly always lands during the write; a run whose packet
// was already in place is tried again. (Wine reports every ending as exit
// status 0, so only the files tell what happened.)
TEST_F(WineTest, CtrlCWhileWritingLeavesNoTrace) {
    std::vector<uint32_t> noise(2048 * 2048);
    uint32_t state = 1;
    for (auto& colour : noise) colour = (state = state * 1664525 + 1013904223) >> 8;
    bmptest::WriteFile((work_ / "big.bmp").string(), bmptest::MakeColourBmp(2048, 2048, noise));
    const std::string oldPacket = "an older packet";
    WriteFile(work_ / "big.tsa", oldPacket);
    const auto before = Listing(work_);

    bool caught = false;
    for (int attempt = 0; attempt < 8 && !caught; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt + 1));
        const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, work_.c_str(), IN_CREATE), 0);
        ConsoleRun run(wine_, exe_, work_, {"big.bmp"});
        ASSERT_TRUE(run.Started());
        bool typed = false;
        const auto deadline = Clock::now() + kSafetyTimeout;
        while (!typed && run.WaitForReadable(watch, deadline)) {
            alignas(struct inotify_event) char events[4096];
            const ssize_t got = read(watch, events, sizeof events);
            for (ssize_t at = 0; at < got && !typed;) {
                const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
                if (event->len != 0 && std::string(event->name).starts_with(".pixbake-")) {
                    run.Type("\x03");
                    typed = true;
                }
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
        close(watch);
        run.Finish();
        ASSERT_TRUE(typed) << "no temporary file appeared";

        // Never a temporary file left behind, never a partial packet.
        EXPECT_EQ(Listing(work_), before);
        const auto after = Contents(work_);
        const std::string packet = after.count("big.tsa") ? after.at("big.tsa") : "";
        const bool old = packet == oldPacket;
        const bool whole = packet.size() == 24 + 2 * noise.size() && packet.compare(0, 16, kMagic) == 0;
        EXPECT_TRUE(old || whole) << "a packet of " << packet.size() << " bytes";
        caught = old;
        WriteFile(work_ / "big.tsa", oldPacket);
    }
    EXPECT_TRUE(caught) << "every run had its packet in place before Ctrl-C arrived";
}

}  // namespace
