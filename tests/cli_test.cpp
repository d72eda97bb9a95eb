// The pixbake program as a user meets it: each test runs the built binary in a
// folder of its own and looks at what it printed, its exit status and the
// files it left behind.
//
// Every child runs in a new session with standard input from /dev/null, so it
// has no controlling terminal and can never stop on the terminal of whoever
// runs the tests. The key-wait tests give it a pseudo-terminal of their own.
#include <gtest/gtest.h>

#include "tests/bmp_writer.h"
#include "tests/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testrun::Clock;
using testrun::ExitState;
using testrun::Hex;
using testrun::KillAndReap;
using testrun::kMagic;
using testrun::kSafetyTimeout;
using testrun::Listing;
using testrun::ReadFile;
using testrun::Redirect;
using testrun::RunResult;
using testrun::StartChild;
using testrun::WaitUntil;
using testrun::WriteFile;
using testrun::WriteSolidBitmap;

constexpr const char* kUsage =
    "The Simple Bmp To Tsa Packet Converter Without Any Stupid Additional Things!\n"
    "Using: pixbake -n file1.bmp number_in_dec_1 file2.bmp number_in_dec_2 ...\n"
    "       pixbake -i start_number_in_dec file1.bmp file2.bmp ...\n"
    "       pixbake file1.bmp file2.bmp ...\n"
    "Transparent color is RGB(255,0,255) (pink)\n\n";

std::string Describe(const std::vector<std::string>& args) {
    std::string text = "pixbake";
    for (const auto& arg : args) text += " '" + arg + "'";
    return text;
}

// Runs pixbake with the given arguments in the given folder. Standard output
// goes to a pipe or to the file `outFile`; standard error always to a pipe.
// `fileSizeLimit` caps the size of any file the child writes.
RunResult RunPixbake(const fs::path& folder, const std::vector<std::string>& args,
                     Redirect redirect = Redirect::Pipe, const fs::path& outFile = {},
                     rlim_t fileSizeLimit = RLIM_INFINITY) {
    testrun::Launch launch;
    launch.argv = {PIXBAKE_BINARY};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.folder = folder;
    launch.redirect = redirect;
    launch.outFile = outFile;
    launch.fileSizeLimit = fileSizeLimit;
    return testrun::RunProgram(launch);
}

class CliTest : public testrun::FolderTest {
protected:
    CliTest() : FolderTest("pixbake-cli") {}

    // A small picture that converts without trouble.
    void MakeBitmap(const std::string& name) { WriteSolidBitmap(work_ / name, 3, 2, 0x1EC80A); }

    RunResult Run(const std::vector<std::string>& args, Redirect redirect = Redirect::Pipe) {
        return RunPixbake(work_, args, redirect, root_ / "stdout.txt");
    }

    int32_t PacketNumber(const std::string& name) { return testrun::PacketNumber(work_ / name); }
    void RemovePackets() { testrun::RemovePackets(work_); }
};

// ------------------------------------------------------------ usage text --

TEST_F(CliTest, NoArgumentsPrintsUsageAndEndsWithoutTerminal) {
    // No controlling terminal here, so there is no key to wait for.
    const RunResult run = Run({});
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(Listing(work_).empty());
}

// ----------------------------------------------------- modes and numbers --

TEST_F(CliTest, ModesNumberPacketsAndPrintProgress) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::vector<std::pair<std::string, int32_t>> packets;  // every packet left, with its number
    };
    const Case cases[] = {
        {{"-n", "a.bmp", "5", "b.bmp", "-3"}, "", {{"a.tsa", 5}, {"b.tsa", -3}}},
        {{"-i", "10", "a.bmp", "b.bmp"}, "Ready\nReady\n", {{"a.tsa", 10}, {"b.tsa", 11}}},
        {{"-i", "2147483647", "a.bmp", "b.bmp"},
         "Ready\nReady\n",
         {{"a.tsa", 2147483647}, {"b.tsa", INT32_MIN}}},
        // Counting through zero; the same file twice is converted twice and
        // the second packet replaces the first.
        {{"-i", "-2", "a.bmp", "b.bmp", "a.bmp"}, "Ready\nReady\nReady\n", {{"a.tsa", 0}, {"b.tsa", -1}}},
        {{"a.bmp", "b.bmp"}, "Ready\nReady\n", {{"a.tsa", 0}, {"b.tsa", 0}}},
        // Unpaired last file, and options with nothing to convert.
        {{"-n", "a.bmp", "5", "b.bmp"}, "", {{"a.tsa", 5}}},
        {{"-n"}, "", {}},
        {{"-n", "a.bmp"}, "", {}},
        {{"-i"}, "", {}},
        {{"-i", "5"}, "", {}},
        // The first name after -i is the start text, so it is not converted;
        // start texts that are no number count from 0.
        {{"-i", "a.bmp", "b.bmp"}, "Ready\n", {{"b.tsa", 0}}},
        {{"-i", "12a", "a.bmp"}, "Ready\n", {{"a.tsa", 0}}},
        {{"-i", "", "a.bmp"}, "Ready\n", {{"a.tsa", 0}}},
        {{"-i", "$10", "a.bmp"}, "Ready\n", {{"a.tsa", 16}}},
        // Anything but the exact option words is the first input file.
        {{"-N", "a.bmp"}, "Ready\nReady\n", {{"-N.tsa", 0}, {"a.tsa", 0}}},
        {{"-I", "a.bmp"}, "Ready\nReady\n", {{"-I.tsa", 0}, {"a.tsa", 0}}},
        {{"-nx", "a.bmp", "b.bmp"}, "Ready\nReady\nReady\n", {{"-nx.tsa", 0}, {"a.tsa", 0}, {"b.tsa", 0}}},
        {{"-n ", "a.bmp"}, "Ready\nReady\n", {{"-n .tsa", 0}, {"a.tsa", 0}}},
        {{"./-n", "a.bmp"}, "Ready\nReady\n", {{"-n.tsa", 0}, {"a.tsa", 0}}},
    };
    for (const char* name : {"a.bmp", "b.bmp", "-N", "-I", "-nx", "-n ", "-n"}) MakeBitmap(name);
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.args));
        RemovePackets();
        const auto before = Listing(work_);
        const RunResult run = Run(c.args);
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        std::set<std::string> expected = before;
        for (const auto& [packet, number] : c.packets) {
            expected.insert(packet);
            EXPECT_EQ(PacketNumber(packet), number) << packet;
        }
        EXPECT_EQ(Listing(work_), expected);
    }
}

TEST_F(CliTest, SlashOptionIsAFileName) {
    // "/n" is no option: plain mode tries to open it as the first input.
    if (fs::exists("/n")) GTEST_SKIP() << "/n exists on this machine";
    const RunResult run = Run({"/n"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "pixbake: Cannot open file /n\n");
}

TEST_F(CliTest, NumberTextsThatAreAccepted) {
    const std::pair<std::string, int32_t> cases[] = {
        {"0", 0},
        {"-3", -3},
        {"+7", 7},
        {"007", 7},
        {" 12", 12},
        {"   -12", -12},
        {"0x1F", 31},
        {"0X1F", 31},
        {"$1F", 31},
        {"x1F", 31},
        {"X1f", 31},
        {"$aBc", 0xABC},
        {"$000000001F", 31},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"$7FFFFFFF", 2147483647},
        {"$80000000", INT32_MIN},
        {"$FFFFFFFF", -1},
        {"0xffffffff", -1},
    };
    MakeBitmap("a.bmp");
    for (const auto& [text, number] : cases) {
        SCOPED_TRACE("number text '" + text + "'");
        RemovePackets();
        const RunResult run = Run({"-n", "a.bmp", text});
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(PacketNumber("a.tsa"), number);
    }
}

TEST_F(CliTest, InvalidNumberTextEndsTheRunAtItsPair) {
    const std::string cases[] = {
        "12a", "12 ", "", "\t12", "1 2", "-$1F", "+0x1F", "-0x1F", "2147483648", "-2147483649",
        "99999999999", "$100000000", "0x1FFFFFFFF", "$", "0x", "x", "-", "+", " ", "$1G", "0x-1",
        "1.5", "1e3",
    };
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) MakeBitmap(name);
    for (const std::string& text : cases) {
        SCOPED_TRACE("number text '" + text + "'");
        RemovePackets();
        const RunResult run = Run({"-n", "a.bmp", "1", "b.bmp", text, "c.bmp", "2"});
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "pixbake: b.bmp: '" + text + "' is not a valid integer value\n");
        EXPECT_EQ(PacketNumber("a.tsa"), 1);
        EXPECT_FALSE(fs::exists(work_ / "b.tsa"));
        EXPECT_FALSE(fs::exists(work_ / "c.tsa"));
    }
}

TEST_F(CliTest, InvalidNumberIsReportedBeforeItsFileIsOpened) {
    // The pair's input is never read, so a missing file does not hide the
    // bad number.
    const RunResult run = Run({"-n", "missing.bmp", "zz"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "pixbake: missing.bmp: 'zz' is not a valid integer value\n");
}

// ---------------------------------------------------------- output names --

TEST_F(CliTest, OutputNameReplacesTheLastExtensionOfTheFileName) {
    const std::pair<std::string, std::string> cases[] = {
        {"a.bmp", "a.tsa"},
        {"PIC.BMP", "PIC.tsa"},
        {"a.b", "a.tsa"},
        {"name.", "name.tsa"},
        {"title.big.bmp", "title.big.tsa"},
        {"picture.jpeg", "picture.tsa"},
        {"sprite", "sprite.tsa"},
        {"old.art/sprite", "old.art/sprite.tsa"},
        {"old.art/sprite.bmp", "old.art/sprite.tsa"},
        {"my pics/a b.bmp", "my pics/a b.tsa"},
        {".hidden", ".tsa"},
        // An input that already has the packet's name is converted in place.
        {"x.tsa", "x.tsa"},
    };
    int index = 0;
    for (const auto& [input, output] : cases) {
        SCOPED_TRACE("input '" + input + "'");
        const fs::path folder = work_ / std::to_string(index++);
        fs::create_directories((folder / input).parent_path());
        WriteSolidBitmap(folder / input, 3, 2, 0x1EC80A);
        std::set<std::string> expected = Listing(folder);
        expected.insert(output);

        const RunResult run = RunPixbake(folder, {input});
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, "Ready\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(Listing(folder), expected);
        EXPECT_EQ(ReadFile(folder / output).substr(0, 16), kMagic);
    }
}

TEST_F(CliTest, AbsoluteInputPathGivesAbsoluteOutputPath) {
    MakeBitmap("a.bmp");
    const RunResult run = RunPixbake(root_, {(work_ / "a.bmp").string()});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Listing(work_), (std::set<std::string>{"a.bmp", "a.tsa"}));
}

// --------------------------------------------------------------- failures --

TEST_F(CliTest, FirstFailureEndsTheRunAndKeepsEarlierWork) {
    struct Case {
        std::vector<std::string> args;
        std::string out;  // progress lines printed before the failure
        std::string err;
        std::set<std::string> packets;  // the packets that exist afterwards
    };
    const Case cases[] = {
        {{"good.bmp", "missing.bmp", "other.bmp"},
         "Ready\n",
         "pixbake: Cannot open file missing.bmp\n",
         {"good.tsa"}},
        {{"-i", "1", "good.bmp", "text.bmp", "other.bmp"},
         "Ready\n",
         "pixbake: text.bmp: Bitmap image is not valid\n",
         {"good.tsa"}},
        {{"-n", "good.bmp", "1", "short.bmp", "2", "other.bmp", "3"},
         "",
         "pixbake: short.bmp: Stream read error\n",
         {"good.tsa"}},
        {{"good.bmp", "blocked.bmp", "other.bmp"},
         "Ready\n",
         "pixbake: Cannot create file blocked.tsa\n",
         {"good.tsa"}},
        {{"good.bmp", "sub/blocked.bmp", "other.bmp"},
         "Ready\n",
         "pixbake: Cannot create file sub/blocked.tsa\n",
         {"good.tsa"}},
        // A folder is no input file either.
        {{"good.bmp", "sub", "other.bmp"}, "Ready\n", "pixbake: Cannot open file sub\n", {"good.tsa"}},
        // No wildcard expansion: the pattern is one literal file name.
        {{"*.bmp"}, "", "pixbake: Cannot open file *.bmp\n", {}},
        {{"-i", "0", "?ood.bmp"}, "", "pixbake: Cannot open file ?ood.bmp\n", {}},
    };
    for (const char* name : {"good.bmp", "other.bmp", "blocked.bmp", "sub/blocked.bmp"}) {
        fs::create_directories((work_ / name).parent_path());
        MakeBitmap(name);
    }
    WriteFile(work_ / "text.bmp", "This is a plain text file, not a picture.\n");
    WriteFile(work_ / "short.bmp", std::string("BM\x36\0\0", 5));
    // A folder where the packet would go cannot be replaced by a file.
    fs::create_directory(work_ / "blocked.tsa");
    fs::create_directory(work_ / "sub/blocked.tsa");

    for (const Case& c : cases) {
        for (Redirect redirect : {Redirect::Pipe, Redirect::File}) {
            SCOPED_TRACE(Describe(c.args) + (redirect == Redirect::Pipe ? " | pipe" : " > file"));
            RemovePackets();
            std::set<std::string> expected = Listing(work_);
            const RunResult run = Run(c.args, redirect);
            EXPECT_TRUE(run.exited);
            EXPECT_EQ(run.code, 1);
            EXPECT_EQ(run.out, c.out);
            EXPECT_EQ(run.err, c.err);
            // Nothing else is left behind: no packet for the failed file, no
            // temporary file.
            expected.insert(c.packets.begin(), c.packets.end());
            EXPECT_EQ(Listing(work_), expected);
        }
    }
}

TEST_F(CliTest, FailedInputLeavesAnExistingPacketUntouched) {
    const std::string oldPacket = std::string(kMagic) + std::string("\x2A\0\0\0\x01\x01\x08\0\x34\x12", 10);
    WriteFile(work_ / "text.bmp", "This is a plain text file, not a picture.\n");
    WriteFile(work_ / "short.bmp", std::string("BM\x36\0\0", 5));
    for (const std::string input : {"text.bmp", "short.bmp", "missing.bmp"}) {
        SCOPED_TRACE(input);
        const fs::path packet = work_ / (input.substr(0, input.find('.')) + ".tsa");
        WriteFile(packet, oldPacket);
        const RunResult run = Run({input});
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(ReadFile(packet), oldPacket);
    }
}

TEST_F(CliTest, PacketThatCannotBeWrittenInFullLeavesNoTrace) {
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

    const RunResult run = RunPixbake(work_, {"small.bmp", "large.bmp", "other.bmp"}, Redirect::Pipe, {}, 100);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "Ready\n");
    EXPECT_EQ(run.err, "pixbake: large.bmp: Stream write error\n");
    EXPECT_EQ(Listing(work_), expected);
    EXPECT_EQ(ReadFile(work_ / "large.tsa"), "an older packet");
    EXPECT_EQ(ReadFile(work_ / "small.tsa").substr(0, 16), kMagic);
}

// An interrupt while a packet is being written ends the process by the
// signal, as usual, but takes the temporary file with it. The signal is sent
// the moment the temporary file appears, so it nearly always lands during the
// write (a run that finished first is tried again).
TEST_F(CliTest, InterruptWhileWritingLeavesNoTrace) {
    std::vector<uint32_t> noise(2048 * 2048);
    uint32_t state = 1;
    for (auto& colour : noise) colour = (state = state * 1664525 + 1013904223) >> 8;
    bmptest::WriteFile((work_ / "big.bmp").string(), bmptest::MakeColourBmp(2048, 2048, noise));
    WriteFile(work_ / "big.tsa", "an older packet");
    const std::set<std::string> before = Listing(work_);

    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        bool caught = false;
        for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
            const int watch = inotify_init1(IN_CLOEXEC);
            ASSERT_GE(watch, 0);
            ASSERT_GE(inotify_add_watch(watch, work_.c_str(), IN_CREATE), 0);
            const pid_t pid = StartChild({PIXBAKE_BINARY, "big.bmp"}, work_, [] {
                const int null = open("/dev/null", O_RDWR);
                return null >= 0 && dup2(null, 0) >= 0 && dup2(null, 1) >= 0 && dup2(null, 2) >= 0;
            });
            ASSERT_GT(pid, 0);
            // Wait for the temporary file, then interrupt.
            alignas(struct inotify_event) char events[4096];
            pollfd ready = {watch, POLLIN, 0};
            if (poll(&ready, 1, 60000) == 1 && read(watch, events, sizeof events) > 0) kill(pid, sig);
            close(watch);
            ExitState ended = WaitUntil(pid, Clock::now() + kSafetyTimeout);
            if (!ended.ended) ended = KillAndReap(pid);
            if (ended.exited) {
                EXPECT_EQ(ended.code, 0) << "a run that beat the signal must have succeeded";
                WriteFile(work_ / "big.tsa", "an older packet");
                continue;
            }
            // The signal may land just after the packet was moved into place:
            // then the new packet is whole. Never anything in between.
            caught = true;
            EXPECT_EQ(ended.code, sig);
            EXPECT_EQ(Listing(work_), before);
            const std::string packet = ReadFile(work_ / "big.tsa");
            const bool old = packet == "an older packet";
            const bool whole = packet.size() == 24 + 2 * noise.size() && packet.compare(0, 16, kMagic) == 0;
            EXPECT_TRUE(old || whole) << "a packet of " << packet.size() << " bytes";
            WriteFile(work_ / "big.tsa", "an older packet");
        }
        EXPECT_TRUE(caught) << "every run finished before the signal arrived";
    }
}

TEST_F(CliTest, ConvertingKeepsThePermissionsOfAnExistingPacket) {
    MakeBitmap("a.bmp");
    WriteFile(work_ / "a.tsa", "an older packet");
    ASSERT_EQ(chmod((work_ / "a.tsa").c_str(), 0640), 0);

    const RunResult run = Run({"a.bmp"});
    EXPECT_EQ(run.code, 0);
    struct stat info;
    ASSERT_EQ(stat((work_ / "a.tsa").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(work_ / "a.tsa").substr(0, 16), kMagic);
}

// -------------------------------------------------------- redirected output --

TEST_F(CliTest, RedirectedOutputHoldsEveryProgressLine) {
    // Far more than one 512-byte block of progress lines.
    MakeBitmap("a.bmp");
    std::vector<std::string> args(300, "a.bmp");
    std::string expected;
    for (int i = 0; i < 300; ++i) expected += "Ready\n";
    for (Redirect redirect : {Redirect::Pipe, Redirect::File}) {
        SCOPED_TRACE(redirect == Redirect::Pipe ? "pipe" : "file");
        const RunResult run = Run(args, redirect);
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, expected);
        EXPECT_EQ(run.err, "");
    }
}

// ------------------------------------------------------------- packet bytes --

TEST_F(CliTest, WritesThePacketTheEncoderMakes) {
    // One red row: a run of 6 beats raw words, a run of 5 does not (35 bytes
    // against 34), so each form shows up once.
    const std::string magic = "54 69 6C 65 53 68 65 65 74 41 72 63 68 69 76 65";
    const std::pair<int, std::string> cases[] = {
        {6, magic + " 01 00 00 00 06 01 88 00 00 00 00 00 00 00 00 00 06 00 F8"},
        {5, magic + " 01 00 00 00 05 01 08 00 00 F8 00 F8 00 F8 00 F8 00 F8"},
    };
    for (const auto& [width, expected] : cases) {
        SCOPED_TRACE("width " + std::to_string(width));
        WriteSolidBitmap(work_ / "x.bmp", width, 1, 0x0000FF);
        const RunResult run = Run({"-n", "x.bmp", "1"});
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(Hex(ReadFile(work_ / "x.tsa")), expected);
    }
}

// ---------------------------------------------------------------- key wait --
//
// pixbake runs on a pseudo-terminal that becomes its controlling terminal.
// The test keeps its own descriptor of the terminal side open, so that after
// the run it can see the terminal's mode and whatever input is still queued.

enum class KeyStdin { Terminal, DevNull, File };

struct KeyCase {
    const char* name;
    std::string key;  // the bytes one key press sends
    KeyStdin stdinFrom;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class CliKeyWait : public CliTest, public ::testing::WithParamInterface<KeyCase> {};

// The terminal turns "\n" into "\r\n"; this gives the text back with "\n".
std::string Screen(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i)
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) text += raw[i];
    return text;
}

// Appends what the terminal shows to `raw` until `done` holds for the screen,
// the terminal side is closed everywhere, or the deadline passes.
template <typename Done>
void ReadScreen(int master, std::string& raw, Clock::time_point deadline, Done done) {
    while (!done(Screen(raw))) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return;
        pollfd fd = {master, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[1024];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;  // EIO once no one holds the terminal side
        raw.append(buffer, static_cast<size_t>(got));
    }
}

TEST_P(CliKeyWait, OneKeyEndsTheWaitWithoutEcho) {
    const KeyCase& c = GetParam();
    int master = -1;
    int terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0)
        GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(errno);
    struct termios before;
    ASSERT_EQ(tcgetattr(terminal, &before), 0);

    const fs::path stdinFile = root_ / "stdin.txt";
    WriteFile(stdinFile, "y\n");
    const std::string stdinPath = c.stdinFrom == KeyStdin::File ? stdinFile.string() : "/dev/null";

    // The terminal becomes the child's controlling terminal.
    const pid_t pid = StartChild({PIXBAKE_BINARY}, work_, [&] {
        if (ioctl(terminal, TIOCSCTTY, 0) != 0) return false;
        const int in = c.stdinFrom == KeyStdin::Terminal ? terminal : open(stdinPath.c_str(), O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(terminal, 1) < 0 || dup2(terminal, 2) < 0) return false;
        close(master);
        if (terminal > 2) close(terminal);
        return true;
    });
    ASSERT_GT(pid, 0) << std::strerror(errno);

    const auto deadline = Clock::now() + kSafetyTimeout;
    std::string raw;
    ExitState state;
    [&] {
        const size_t usageSize = std::strlen(kUsage);
        ReadScreen(master, raw, deadline, [&](const std::string& s) { return s.size() >= usageSize; });
        ASSERT_EQ(Screen(raw), kUsage);

        // Send the key only once the terminal is out of line mode: a key sent
        // earlier would meet the line discipline's echo, not pixbake.
        struct termios mode = before;
        while ((mode.c_lflag & ICANON) && Clock::now() < deadline) {
            state = WaitUntil(pid, Clock::now() + std::chrono::milliseconds(2));
            ASSERT_FALSE(state.ended) << "ended without waiting for a key: exited " << state.exited
                                      << ", code " << state.code;
            ASSERT_EQ(tcgetattr(terminal, &mode), 0);
        }
        ASSERT_FALSE(mode.c_lflag & ICANON) << "the terminal never left line mode";

        // Without a key it keeps waiting, whatever standard input holds.
        state = WaitUntil(pid, Clock::now() + std::chrono::milliseconds(300));
        ASSERT_FALSE(state.ended) << "ended without a key: exited " << state.exited << ", code "
                                  << state.code;

        ASSERT_EQ(write(master, c.key.data(), c.key.size()), static_cast<ssize_t>(c.key.size()));
        state = WaitUntil(pid, deadline);
        ASSERT_TRUE(state.ended) << "still waiting after the key";
    }();
    if (!state.ended) state = KillAndReap(pid);
    if (HasFatalFailure()) {
        close(terminal);
        close(master);
        return;
    }
    EXPECT_TRUE(state.exited) << "ended by signal " << state.code;
    EXPECT_EQ(state.code, 0);

    // The terminal is back in the mode it was in before the wait.
    struct termios after;
    ASSERT_EQ(tcgetattr(terminal, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);

    // The whole key was consumed: nothing of it is left for the shell that
    // reads the terminal next.
    struct termios drain = after;
    cfmakeraw(&drain);
    drain.c_cc[VMIN] = 0;
    drain.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(terminal, TCSANOW, &drain), 0);
    char left[64];
    const ssize_t got = read(terminal, left, sizeof left);
    EXPECT_LE(got, 0) << "left unread: " << Hex(std::string(left, got > 0 ? static_cast<size_t>(got) : 0));
    close(terminal);

    // Nothing but the usage text reached the screen: the key was not echoed.
    ReadScreen(master, raw, Clock::now() + kSafetyTimeout, [](const std::string&) { return false; });
    EXPECT_EQ(Screen(raw), kUsage);
    close(master);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, CliKeyWait,
    ::testing::Values(KeyCase{"Letter", "x", KeyStdin::Terminal},
                      KeyCase{"CtrlC", "\x03", KeyStdin::Terminal},
                      KeyCase{"Enter", "\r", KeyStdin::Terminal},
                      KeyCase{"CursorUp", "\x1b[A", KeyStdin::Terminal},
                      KeyCase{"F5", "\x1b[15~", KeyStdin::Terminal},
                      KeyCase{"TwoByteCharacter", "\xc3\xa9", KeyStdin::Terminal},
                      KeyCase{"StdinFromDevNull", "x", KeyStdin::DevNull},
                      KeyCase{"StdinFromFile", "x", KeyStdin::File}),
    [](const ::testing::TestParamInfo<KeyCase>& key) { return std::string(key.param.name); });

}  // namespace
