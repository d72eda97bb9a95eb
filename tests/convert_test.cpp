// One file in, one packet out: the colour rule, the choice of form, and what
// a failure leaves on disk.
#include "convert/convert.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bmp_writer.h"
#include "packet/packet.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return r | g << 8 | b << 16; }

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class ConvertBitmapTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pixbake-convert-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Converts a picture and returns the packet's bytes.
    std::vector<uint8_t> Convert(int32_t width, int32_t height, const std::vector<uint32_t>& colours,
                                 int32_t number = 0) {
        bmptest::WriteFile(Path("in.bmp"), bmptest::MakeColourBmp(width, height, colours));
        ConvertBitmap(Path("in.bmp"), Path("in.tsa"), number);
        return ReadAll(Path("in.tsa"));
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

const std::vector<uint8_t> kMagic = {'T', 'i', 'l', 'e', 'S', 'h', 'e', 'e',
                                     't', 'A', 'r', 'c', 'h', 'i', 'v', 'e'};

std::vector<uint8_t> Packet(std::vector<uint8_t> tail) {
    std::vector<uint8_t> bytes = kMagic;
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

// The smaller form is written, and the raw one on a tie.
TEST_F(ConvertBitmapTest, WritesTheSmallerForm) {
    const uint32_t red = Rgb(255, 0, 0), blue = Rgb(0, 0, 255);
    EXPECT_EQ(Convert(6, 1, std::vector<uint32_t>(6, red), 1),
              Packet({1, 0, 0, 0, 6, 1, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6, 0x00, 0xF8}));
    EXPECT_EQ(Convert(5, 1, std::vector<uint32_t>(5, red)),
              Packet({0, 0, 0, 0, 5, 1, 0x08, 0, 0, 0xF8, 0, 0xF8, 0, 0xF8, 0, 0xF8, 0, 0xF8}));
    EXPECT_EQ(Convert(2, 3, std::vector<uint32_t>(6, red)).size(), 35u);
    EXPECT_EQ(Convert(1, 1, {red}, -1), Packet({0xFF, 0xFF, 0xFF, 0xFF, 1, 1, 0x08, 0, 0, 0xF8}));

    // 7 x 1, six equal and one different: 38 bytes either way, so raw.
    std::vector<uint32_t> tie(6, red);
    tie.push_back(blue);
    std::vector<uint8_t> packet = Convert(7, 1, tie);
    ASSERT_EQ(packet.size(), 38u);
    EXPECT_EQ(packet[22], 0x08);
}

TEST_F(ConvertBitmapTest, EmptyFileGivesAnEmptyRawPacket) {
    bmptest::WriteFile(Path("empty.bmp"), {});
    ConvertBitmap(Path("empty.bmp"), Path("empty.tsa"), 3);
    EXPECT_EQ(ReadAll(Path("empty.tsa")), Packet({3, 0, 0, 0, 0, 0, 0x08, 0}));
}

// The header keeps the size's low bytes; the body still holds every pixel,
// runs going on across row ends.
TEST_F(ConvertBitmapTest, LargeSizesWrapInTheHeaderOnly) {
    std::vector<uint8_t> packet = Convert(300, 256, std::vector<uint32_t>(300 * 256, Rgb(0, 255, 0)));
    DecodedPacket read = ReadPacket(packet.data(), packet.size());
    EXPECT_EQ(read.widthByte, 44);
    EXPECT_EQ(read.heightByte, 0);
    EXPECT_EQ(read.form, PacketForm::Compressed);
    EXPECT_EQ(read.words, std::vector<uint16_t>(300 * 256, 0x07E0));
}

// A noisy picture is written raw; its body, made again row by row in blocks,
// holds every word in order.
TEST_F(ConvertBitmapTest, LargeRawBodyIsWhole) {
    std::vector<uint32_t> noise(700 * 300);
    uint32_t state = 5;
    for (auto& colour : noise) colour = (state = state * 1664525 + 1013904223) >> 8;
    std::vector<uint8_t> packet = Convert(700, 300, noise);
    DecodedPacket read = ReadPacket(packet.data(), packet.size());
    ASSERT_EQ(read.form, PacketForm::Raw);
    ASSERT_EQ(read.words.size(), noise.size());
    for (size_t i = 0; i < noise.size(); ++i) {
        uint16_t word = ToPixelWord(noise[i]);
        if (word == kKeyColourWord) word = kTransparentWord;
        ASSERT_EQ(read.words[i], word) << "pixel " << i;
    }
}

TEST_F(ConvertBitmapTest, ColoursBecomeWordsAndTheKeyBecomesTransparent) {
    struct Case {
        uint32_t colour;
        uint16_t word;
    };
    const std::vector<Case> cases = {
        {Rgb(255, 0, 255), 0xE000},  {Rgb(248, 3, 248), 0xE000},  {Rgb(247, 0, 255), 0xF01F},
        {Rgb(255, 4, 255), 0xF83F},  {Rgb(224, 0, 0), 0xE000},    {Rgb(0x12, 0x34, 0x56), 0x11AA},
        {Rgb(255, 255, 255), 0xFFFF}, {Rgb(0, 0, 0), 0x0000},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> packet = Convert(1, 1, {c.colour});
        ASSERT_EQ(packet.size(), 26u);
        EXPECT_EQ(packet[24] | packet[25] << 8, c.word) << std::hex << c.colour;
    }
    // A key pixel and a pixel that is 0xE000 of itself join into one run.
    std::vector<uint8_t> packet =
        Convert(8, 1, {Rgb(255, 0, 255), Rgb(224, 0, 0), Rgb(255, 0, 255), Rgb(224, 0, 0),
                       Rgb(255, 0, 255), Rgb(224, 0, 0), Rgb(255, 0, 255), Rgb(224, 0, 0)});
    EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 32, packet.end()),
              (std::vector<uint8_t>{8, 0x00, 0xE0}));
}

TEST_F(ConvertBitmapTest, OutputEqualToInputReplacesTheInput) {
    bmptest::WriteFile(Path("same.tsa"), bmptest::MakeColourBmp(6, 1, std::vector<uint32_t>(6, 0)));
    ConvertBitmap(Path("same.tsa"), Path("same.tsa"), 1);
    EXPECT_EQ(ReadAll(Path("same.tsa")).size(), 35u);
    EXPECT_EQ(Listing(dir_), std::vector<std::string>{"same.tsa"});
}

// Each failure raises its error and leaves the folder as it was: an earlier
// packet whole, no new file, no temporary file.
TEST_F(ConvertBitmapTest, FailuresLeaveTheOutputUntouched) {
    const std::vector<uint8_t> earlier = {'o', 'l', 'd'};
    bmptest::WriteFile(Path("a.tsa"), earlier);
    bmptest::WriteFile(Path("a.bmp"), bmptest::MakeColourBmp(2, 2, {1, 2, 3, 4}));
    fs::create_directory(dir_ / "folder.tsa");
    const std::vector<std::string> before = Listing(dir_);

    try {
        ConvertBitmap(Path("missing.bmp"), Path("a.tsa"), 0);
        ADD_FAILURE() << "missing input accepted";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + Path("missing.bmp"));
    }
    for (const std::string& out : {Path("no/such/folder/a.tsa"), Path("folder.tsa")}) {
        try {
            ConvertBitmap(Path("a.bmp"), out, 0);
            ADD_FAILURE() << "created " << out;
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Message(), "Cannot create file " + out);
        }
    }
    EXPECT_EQ(ReadAll(Path("a.tsa")), earlier);
    EXPECT_EQ(Listing(dir_), before);
}

// A full disk, simulated by a file-size limit: the write fails with
// "Stream write error", the earlier packet stays whole, no temporary file.
TEST_F(ConvertBitmapTest, ShortWriteKeepsTheEarlierPacket) {
    const std::vector<uint8_t> earlier(100, 7);
    bmptest::WriteFile(Path("big.tsa"), earlier);
    std::vector<uint32_t> noise(64 * 64);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint32_t>(i * 2654435761u);
    bmptest::WriteFile(Path("big.bmp"), bmptest::MakeColourBmp(64, 64, noise));
    const std::vector<std::string> before = Listing(dir_);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
            ConvertBitmap(Path("big.bmp"), Path("big.tsa"), 0);
        } catch (const EWriteError& e) {
            _exit(e.Message() == "Stream write error" ? 42 : 1);
        } catch (...) {
            _exit(2);
        }
        _exit(3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 42);
    EXPECT_EQ(ReadAll(Path("big.tsa")), earlier);
    EXPECT_EQ(Listing(dir_), before);
}

// A large input is mapped, not copied: a file that shrinks under the loader
// reads as a clean "Stream read error", not a crash.
TEST_F(ConvertBitmapTest, InputCutShortWhileReadingIsAReadError) {
    bmptest::WriteFile(Path("cut.bmp"), bmptest::MakeColourBmp(1024, 1024, std::vector<uint32_t>(1024 * 1024, 7)));
    TBitmap bitmap;
    bitmap.LoadFromFile(Path("cut.bmp"));
    ASSERT_EQ(truncate(Path("cut.bmp").c_str(), 100), 0);
    std::vector<uint32_t> row(1024);
    try {
        for (int y = 0; y < 1024; ++y) bitmap.ReadRow(y, row.data());
        ADD_FAILURE() << "rows of a cut file read without complaint";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Stream read error");
    }
}

TEST_F(ConvertBitmapTest, ReplacingKeepsPermissionBits) {
    bmptest::WriteFile(Path("p.bmp"), bmptest::MakeColourBmp(1, 1, {0}));
    bmptest::WriteFile(Path("p.tsa"), {1});
    ASSERT_EQ(chmod(Path("p.tsa").c_str(), 0640), 0);
    ConvertBitmap(Path("p.bmp"), Path("p.tsa"), 0);
    struct stat info;
    ASSERT_EQ(stat(Path("p.tsa").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadAll(Path("p.tsa")).size(), 26u);
}

}  // namespace
