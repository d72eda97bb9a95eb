// tsatool: the size rule and the unpacked BMP in process, then the built
// program as a user meets it, next to pixbake: the round trip BMP -> packet
// -> BMP -> packet, the info lines, malformed packets and the command line.
//
// Children run in a new session with standard input from /dev/null, standard
// output going to a file and standard error to a pipe that is drained as they
// run, so nothing can wait on a terminal or a full pipe.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "packet/inspect.h"
#include "packet/packet.h"
#include "platform/platform.h"
#include "tests/bmp_writer.h"
#include "tests/run_program.h"

namespace {

namespace fs = std::filesystem;
using testrun::ReadFile;
using testrun::RunResult;
using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint16_t>;

// ------------------------------------------------------------- packets --

Bytes Header(PacketForm form, int32_t number, uint32_t width, uint32_t height) {
    TMemoryStream header;
    WritePacketHeader(header, form, number, width, height);
    return Bytes(header.Memory(), header.Memory() + header.Size());
}

Bytes RawPacket(int32_t number, uint32_t width, uint32_t height, const Words& words) {
    Bytes bytes = Header(PacketForm::Raw, number, width, height);
    for (uint16_t word : words) {
        bytes.push_back(static_cast<uint8_t>(word));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
    }
    return bytes;
}

Bytes CompressedPacket(int32_t number, uint32_t width, uint32_t height, const Words& words) {
    Bytes bytes = Header(PacketForm::Compressed, number, width, height);
    Bytes tokens(words.size() * 4);
    tokens.resize(EncodeRuns(words.data(), words.size(), tokens.data()));
    bytes.insert(bytes.end(), tokens.begin(), tokens.end());
    return bytes;
}

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ------------------------------------------------------- size candidates --

// Every (w, h) with w * h = pixels, by trying every width.
std::string Naive(uint8_t widthByte, uint8_t heightByte, uint64_t pixels) {
    std::vector<PacketSize> sizes;
    if (pixels == 0 && widthByte == 0 && heightByte == 0) sizes.push_back({0, 0});
    for (uint64_t w = 1; w <= pixels; ++w)
        if (pixels % w == 0 && w % 256 == widthByte && (pixels / w) % 256 == heightByte)
            sizes.push_back({w, pixels / w});
    return DescribeSizes(sizes);
}

TEST(TsatoolSize, CandidatesFollowTheHeaderBytes) {
    struct Case {
        uint8_t widthByte, heightByte;
        uint64_t pixels;
        std::string sizes;
    };
    const Case cases[] = {
        {3, 2, 6, "3x2"},
        {1, 1, 1, "1x1"},
        {255, 255, 65025, "255x255"},
        {0, 1, 256, "256x1"},  // a 0 byte is 256 when nothing smaller fits
        {1, 0, 256, "1x256"},
        {44, 1, 300, "300x1"},
        {0, 0, 65536, "256x256"},  // the square root itself is a candidate once
        {0, 0, 131072, "256x512 or 512x256"},
        {1, 1, 257, "1x257 or 257x1"},
        {1, 1, 66049, "1x66049 or 257x257 or 66049x1"},
        {0, 0, 0, "0x0"},  // the empty image
        {1, 1, 0, ""},
        {2, 3, 7, ""},
        {0, 0, 256, ""},
        {3, 2, 518, "259x2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.widthByte) + ", " + std::to_string(c.heightByte) + ", " +
                     std::to_string(c.pixels));
        EXPECT_EQ(DescribeSizes(SizeCandidates(c.widthByte, c.heightByte, c.pixels)), c.sizes);
    }
}

TEST(TsatoolSize, AgreesWithTryingEveryWidth) {
    // Every header byte pair that some factorisation of these counts gives,
    // plus pairs that none gives.
    std::vector<uint64_t> counts;
    for (uint64_t n = 1; n <= 1500; ++n) counts.push_back(n);
    for (uint64_t n : {65535u, 65536u, 65537u, 66049u, 131072u, 196608u, 720720u}) counts.push_back(n);
    for (uint64_t n : counts) {
        SCOPED_TRACE(n);
        for (uint64_t w = 1; w * w <= n; ++w) {
            if (n % w != 0) continue;
            for (auto [a, b] : {std::pair{w, n / w}, std::pair{n / w, w}}) {
                const auto wb = static_cast<uint8_t>(a), hb = static_cast<uint8_t>(b);
                ASSERT_EQ(DescribeSizes(SizeCandidates(wb, hb, n)), Naive(wb, hb, n));
                const auto other = static_cast<uint8_t>(hb + 1);
                ASSERT_EQ(DescribeSizes(SizeCandidates(wb, other, n)), Naive(wb, other, n));
            }
        }
    }
}

// --------------------------------------------------------- unpacked BMP --

uint32_t U32At(const TMemoryStream& bytes, size_t at) {
    const uint8_t* p = bytes.Memory() + at;
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

TEST(TsatoolUnpackedBmp, HeaderPixelsAndRowOrder) {
    // 2 x 2, top row: transparent, black; bottom row: mid grey-green, white.
    const Words words = {kTransparentWord, 0x0000, 0x8410, 0xFFFF};
    TMemoryStream bmp;
    WriteUnpackedBmp(words, {2, 2}, bmp);
    ASSERT_EQ(bmp.Size(), 138u + 16u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bmp.Memory()), 2), "BM");
    EXPECT_EQ(U32At(bmp, 2), 154u);   // file size
    EXPECT_EQ(U32At(bmp, 10), 138u);  // data offset
    EXPECT_EQ(U32At(bmp, 14), 124u);  // header size
    EXPECT_EQ(U32At(bmp, 18), 2u);    // width
    EXPECT_EQ(U32At(bmp, 22), 2u);    // height, positive: bottom-up
    EXPECT_EQ(U32At(bmp, 26), 1u | 32u << 16);  // planes, bits per pixel
    EXPECT_EQ(U32At(bmp, 30), 3u);              // bit fields
    EXPECT_EQ(U32At(bmp, 54), 0x00FF0000u);
    EXPECT_EQ(U32At(bmp, 58), 0x0000FF00u);
    EXPECT_EQ(U32At(bmp, 62), 0x000000FFu);
    EXPECT_EQ(U32At(bmp, 66), 0xFF000000u);  // alpha
    // The bottom row is stored first. 0x8410 is red 16, green 32, blue 16:
    // widened by repeating the top bits, 0x84, 0x82, 0x84.
    EXPECT_EQ(U32At(bmp, 138), 0xFF848284u);
    EXPECT_EQ(U32At(bmp, 142), 0xFFFFFFFFu);
    EXPECT_EQ(U32At(bmp, 146), 0x00FF00FFu);  // transparent: the key colour, alpha 0
    EXPECT_EQ(U32At(bmp, 150), 0xFF000000u);
}

TEST(TsatoolUnpackedBmp, EveryWordComesBackThroughTheLoader) {
    // All 65536 words as a 256 x 256 image: pixbake's loader and sampling give
    // each word back, except the key colour's, which it always stores as the
    // transparent word.
    Words words(65536);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(i);
    TMemoryStream bmp;
    WriteUnpackedBmp(words, {256, 256}, bmp);
    TBitmap bitmap;
    bitmap.LoadFromMemory(bmp.Memory(), bmp.Size());
    ASSERT_EQ(bitmap.Width(), 256);
    ASSERT_EQ(bitmap.Height(), 256);
    Words back(words.size());
    SamplePixelWords(bitmap, back.data());
    for (size_t i = 0; i < words.size(); ++i) {
        const uint16_t expected = words[i] == kKeyColourWord ? kTransparentWord : words[i];
        ASSERT_EQ(back[i], expected) << "word " << i;
    }
}

TEST(TsatoolUnpackedBmp, EmptyImageIsAnEmptyFile) {
    TMemoryStream bmp;
    WriteUnpackedBmp({}, {0, 0}, bmp);
    EXPECT_EQ(bmp.Size(), 0u);
}

// --------------------------------------------------------- the programs --

void WriteBytes(const fs::path& path, const Bytes& bytes) { bmptest::WriteFile(path.string(), bytes); }

class TsatoolTest : public testrun::FolderTest {
protected:
    TsatoolTest() : FolderTest("tsatool") {}

    // Runs the program in the work folder. Standard output goes to `out`
    // (a file under root_ unless given), standard error to a pipe.
    RunResult Run(const char* program, const std::vector<std::string>& args, fs::path out = {}) {
        testrun::Launch launch;
        launch.argv = {program};
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.folder = work_;
        launch.redirect = testrun::Redirect::File;
        launch.outFile = out.empty() ? root_ / "stdout.txt" : out;
        RunResult run = testrun::RunProgram(launch);
        if (!run.exited) run.code = -1;  // a signal is no exit status
        return run;
    }
    RunResult Tsatool(const std::vector<std::string>& args, fs::path out = {}) {
        return Run(TSATOOL_BINARY, args, out);
    }
    RunResult Pixbake(const std::vector<std::string>& args) { return Run(PIXBAKE_BINARY, args); }
};

constexpr const char* kHint = "Try 'tsatool --help' for more information.\n";
constexpr const char* kUsage =
    "Usage: tsatool info [--width W] FILE.tsa...\n"
    "       tsatool unpack [--width W] [--force] FILE.tsa...\n";

// A packet that both commands handle without trouble, and its info line.
const Bytes kGood = RawPacket(3, 1, 2, {0x1234, kTransparentWord});
constexpr const char* kGoodLine =
    "good.tsa: packet 3, 1x2, raw, 2 pixels, 1 transparent, 28 bytes, compressed form 38 bytes\n";

// ------------------------------------------------------------ round trip --

TEST_F(TsatoolTest, RoundTripGivesThePacketBack) {
    using bmptest::BmpRecipe;
    struct Case {
        std::string name;
        BmpRecipe recipe;
        std::vector<std::string> options;  // for unpack
    };
    std::vector<Case> cases;
    auto add = [&](std::string name, BmpRecipe recipe, std::vector<std::string> options = {}) {
        cases.push_back({std::move(name), std::move(recipe), std::move(options)});
    };
    auto ramp = [](size_t n, uint32_t modulo, uint32_t step) {
        std::vector<uint32_t> values(n);
        for (size_t i = 0; i < n; ++i) values[i] = static_cast<uint32_t>((i * step + i / 5) % modulo);
        return values;
    };
    // Colour tables hold the key, a near neighbour of it (also the key's word)
    // and a dark red whose word is the transparent code itself.
    const std::vector<uint32_t> palette = {0xFF00FF, 0xFA03FB, 0x0000E0, 0x123456, 0xFFFFFF, 0x000000,
                                           0x808080, 0x00FF00, 0x0000FF, 0xFF0000, 0x7F7F7F, 0x010203,
                                           0xFEFEFE, 0x0F0F0F, 0xF0F0F0, 0x555555};
    {
        BmpRecipe r;
        r.width = 9, r.height = 5, r.bitsPerPixel = 8, r.palette = palette, r.pixels = ramp(45, 16, 7);
        add("palette8", r);
        r.bitsPerPixel = 4, r.headerSize = 12;
        add("palette4-core", r);
        r.bitsPerPixel = 1, r.headerSize = 40, r.palette = {0xFF00FF, 0x336699}, r.pixels = ramp(45, 2, 3);
        add("mono", r);
    }
    {
        BmpRecipe r;
        r.width = 7, r.height = 6, r.bitsPerPixel = 16, r.pixels = ramp(42, 0x10000, 4099);
        add("x1555", r);
        r.compression = 3, r.masks = {0xF800, 0x07E0, 0x001F}, r.pixels[0] = 0xF81F;
        add("565-fields", r);
    }
    {
        BmpRecipe r;
        r.width = 11, r.height = 7, r.pixels = ramp(77, 0x1000000, 2654435761u);
        add("24-noise", r);  // a raw packet
        r.height = -7;
        add("24-top-down", r);
        r.height = 7, r.pixels = std::vector<uint32_t>(77, 0x3060C0);
        r.pixels[40] = 0xFF00FF;
        add("24-solid", r);  // a compressed packet
        r.bitsPerPixel = 32, r.pixels = ramp(77, 0xFFFFFFFF, 2654435761u);
        add("32-plain", r);
        r.headerSize = 124, r.compression = 3, r.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
        add("32-alpha-fields", r);
    }
    {
        // RLE8: two pixels, a delta over three, an early end of line, then end
        // of bitmap before the last row: the skipped pixels come out transparent.
        BmpRecipe r;
        r.width = 8, r.height = 3, r.bitsPerPixel = 8, r.compression = 1, r.palette = palette;
        r.data = Bytes{2, 3, 0, 2, 3, 0, 2, 6, 0, 0, 8, 9, 0, 1};
        add("rle8-holes", r);
    }
    {
        BmpRecipe r;
        r.width = 300, r.height = 1, r.pixels = ramp(300, 0x1000000, 97);
        add("wide-exact", r);
        r.width = 256, r.height = 512, r.pixels = ramp(256 * 512, 0x1000000, 40503);
        add("ambiguous-256", r, {"--width", "256"});
        r.width = 512, r.height = 256;
        add("ambiguous-512", r, {"--width=512"});
    }

    fs::create_directory(work_ / "back");
    bool seen[2] = {false, false};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bmp = c.name + ".bmp", tsa = c.name + ".tsa", back = "back/" + c.name + ".tsa";
        WriteBytes(work_ / bmp, bmptest::MakeBmp(c.recipe));
        ASSERT_EQ(Pixbake({"-n", bmp, "-77"}).code, 0);
        const std::string packet = ReadFile(work_ / tsa);
        ASSERT_GE(packet.size(), 24u);
        seen[packet[22] == '\x88'] = true;
        fs::copy_file(work_ / tsa, work_ / back);

        std::vector<std::string> args{"unpack"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(back);
        const RunResult unpack = Tsatool(args);
        EXPECT_EQ(unpack.code, 0);
        EXPECT_EQ(unpack.out, "");
        EXPECT_EQ(unpack.err, "");
        ASSERT_EQ(Pixbake({"-n", "back/" + c.name + ".bmp", "-77"}).code, 0);
        EXPECT_TRUE(ReadFile(work_ / back) == packet) << "the packets differ";
    }
    EXPECT_TRUE(seen[0] && seen[1]) << "the cases should give both forms";
}

TEST_F(TsatoolTest, EmptyImageRoundTrip) {
    // pixbake reads a 0-byte file as an empty image; unpack gives one back.
    WriteBytes(work_ / "empty.bmp", {});
    ASSERT_EQ(Pixbake({"empty.bmp"}).code, 0);
    const std::string packet = ReadFile(work_ / "empty.tsa");
    fs::remove(work_ / "empty.bmp");
    const RunResult run = Tsatool({"unpack", "empty.tsa"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(fs::file_size(work_ / "empty.bmp"), 0u);
    ASSERT_EQ(Pixbake({"empty.bmp"}).code, 0);
    EXPECT_EQ(ReadFile(work_ / "empty.tsa"), packet);
}

// ------------------------------------------------------------ info lines --

TEST_F(TsatoolTest, InfoLinesAndTheSizeRule) {
    // Raw: two transparent words, a run of three, a last word alone; the
    // compressed form would be 32 + 3 + 3 + 3 bytes.
    WriteBytes(work_ / "raw.tsa", RawPacket(-5, 3, 2, {kTransparentWord, kTransparentWord, 0x1234, 0x1234, 0x1234, 1}));
    // Compressed: a run of four and a literal of two, which raw would store in 36 bytes.
    WriteBytes(work_ / "comp.tsa", Join(Header(PacketForm::Compressed, 2147483647, 3, 2),
                                        {0x04, 0x00, 0xE0, 0xFE, 0x01, 0x00, 0x02, 0x00}));
    WriteBytes(work_ / "wide.tsa", CompressedPacket(0, 256, 1, Words(256, 7)));
    WriteBytes(work_ / "amb.tsa", CompressedPacket(1, 512, 256, Words(131072, kTransparentWord)));
    WriteBytes(work_ / "empty.tsa", Header(PacketForm::Raw, 0, 0, 0));
    WriteBytes(work_ / "good.tsa", kGood);

    const std::string raw = "raw.tsa: packet -5, 3x2, raw, 6 pixels, 2 transparent, 36 bytes, compressed form 41 bytes\n";
    const std::string comp =
        "comp.tsa: packet 2147483647, 3x2, compressed, 6 pixels, 4 transparent, 40 bytes, raw form 36 bytes\n";
    const std::string wide = "wide.tsa: packet 0, 256x1, compressed, 256 pixels, 0 transparent, 41 bytes, raw form 536 bytes\n";
    const std::string ambTail = ", compressed, 131072 pixels, 131072 transparent, 3155 bytes, raw form 262168 bytes\n";
    const std::string empty = "empty.tsa: packet 0, 0x0, raw, 0 pixels, 0 transparent, 24 bytes, compressed form 32 bytes\n";
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string out, err;
    };
    const Case cases[] = {
        {{"info", "raw.tsa", "comp.tsa", "wide.tsa", "empty.tsa"}, 0, raw + comp + wide + empty, ""},
        {{"info", "amb.tsa"}, 0, "amb.tsa: packet 1, ambiguous size 256x512 or 512x256" + ambTail, ""},
        {{"info", "--width", "512", "amb.tsa"}, 0, "amb.tsa: packet 1, 512x256" + ambTail, ""},
        {{"info", "amb.tsa", "--width=256"}, 0, "amb.tsa: packet 1, 256x512" + ambTail, ""},
        // The width holds for every file: one it does not fit is an error.
        {{"info", "--width", "300", "amb.tsa", "good.tsa"},
         1,
         "",
         "tsatool: amb.tsa: width 300 does not fit: 131072 pixels with width byte 0 and height byte 0 "
         "make 256x512 or 512x256\n"
         "tsatool: good.tsa: width 300 does not fit: 2 pixels with width byte 1 and height byte 2 make 1x2\n"},
        {{"info", "--width", "1", "good.tsa", "amb.tsa"},
         1,
         kGoodLine,
         "tsatool: amb.tsa: width 1 does not fit: 131072 pixels with width byte 0 and height byte 0 "
         "make 256x512 or 512x256\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const RunResult run = Tsatool(c.args);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST_F(TsatoolTest, UnpackNeedsASettledSize) {
    WriteBytes(work_ / "amb.tsa", RawPacket(1, 512, 256, Words(131072, 0x0841)));
    RunResult run = Tsatool({"unpack", "amb.tsa"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "tsatool: amb.tsa: the size is ambiguous: 256x512 or 512x256; choose one with --width\n");
    EXPECT_FALSE(fs::exists(work_ / "amb.bmp"));

    run = Tsatool({"unpack", "--width", "300", "amb.tsa"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err,
              "tsatool: amb.tsa: width 300 does not fit: 131072 pixels with width byte 0 and height byte 0 "
              "make 256x512 or 512x256\n");
    EXPECT_FALSE(fs::exists(work_ / "amb.bmp"));

    run = Tsatool({"unpack", "--width", "512", "amb.tsa"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    TBitmap bitmap;
    bitmap.LoadFromFile((work_ / "amb.bmp").string());
    EXPECT_EQ(bitmap.Width(), 512);
    EXPECT_EQ(bitmap.Height(), 256);
}

// ------------------------------------------------------ malformed packets --

TEST_F(TsatoolTest, MalformedPacketsAreReportedAndTheRestHandled) {
    const Bytes raw = Header(PacketForm::Raw, 0, 1, 1);
    const Bytes comp = Header(PacketForm::Compressed, 0, 1, 1);
    Bytes flag48 = RawPacket(0, 1, 1, {0});
    flag48[22] = 0x48;
    Bytes magic = RawPacket(0, 1, 1, {0});
    magic[0] = 't';
    struct Case {
        std::string name;
        Bytes bytes;
        std::string message;
    };
    const Case cases[] = {
        {"empty file", {}, "not a Tsa packet (no TileSheetArchive header)"},
        {"wrong magic", magic, "not a Tsa packet (no TileSheetArchive header)"},
        {"cut in the header", Bytes(raw.begin(), raw.begin() + 23), "not a Tsa packet (no TileSheetArchive header)"},
        {"unknown form flag", flag48, "unknown form flag 0x48"},
        {"compressed header cut", Bytes(comp.begin(), comp.begin() + 30), "compressed header is cut short"},
        {"odd raw body", Join(raw, {1, 2, 3}), "raw body has an odd number of bytes"},
        {"run past the end", Join(comp, {0x02, 0x00}), "token at offset 32 runs past the end"},
        {"literal past the end", Join(comp, {0xFE, 0x01, 0x00, 0x02}), "token at offset 32 runs past the end"},
        {"count 0x00", Join(comp, {0x00, 0x01, 0x00}), "byte 0x00 at offset 32 is not a count byte"},
        {"count 0x7F", Join(comp, {0x7F, 0x01, 0x00}), "byte 0x7F at offset 32 is not a count byte"},
        {"count 0x80", Join(comp, {0x80, 0x01, 0x00}), "byte 0x80 at offset 32 is not a count byte"},
        {"count 0x81 after a token", Join(comp, {0x01, 0x01, 0x00, 0x81}), "byte 0x81 at offset 35 is not a count byte"},
        {"no size fits", RawPacket(0, 2, 3, Words(7, 1)),
         "decodes to 7 pixels, which no size with width byte 2 and height byte 3 gives"},
        {"pixels missing", raw, "decodes to 0 pixels, which no size with width byte 1 and height byte 1 gives"},
        {"pixels left over", CompressedPacket(0, 1, 1, Words(2, 9)),
         "decodes to 2 pixels, which no size with width byte 1 and height byte 1 gives"},
    };
    WriteBytes(work_ / "good.tsa", kGood);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(work_ / "bad.tsa", c.bytes);
        fs::remove(work_ / "good.bmp");

        RunResult run = Tsatool({"info", "bad.tsa", "good.tsa"});
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, kGoodLine);
        EXPECT_EQ(run.err, "tsatool: bad.tsa: " + c.message + "\n");

        run = Tsatool({"unpack", "bad.tsa", "good.tsa"});
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tsatool: bad.tsa: " + c.message + "\n");
        EXPECT_FALSE(fs::exists(work_ / "bad.bmp"));
        EXPECT_TRUE(fs::exists(work_ / "good.bmp"));
    }
}

TEST_F(TsatoolTest, FilesThatCannotBeReadOrWritten) {
    WriteBytes(work_ / "good.tsa", kGood);
    WriteBytes(work_ / "other.tsa", kGood);
    WriteBytes(work_ / "pkt.bmp", kGood);  // a packet with a BMP's name
    fs::create_directory(work_ / "folder.tsa");
    fs::create_directory(work_ / "other.bmp");  // in the way of other.tsa's BMP

    RunResult run = Tsatool({"info", "missing.tsa", "folder.tsa", "good.tsa"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, kGoodLine);
    EXPECT_EQ(run.err, "tsatool: Cannot open file missing.tsa\ntsatool: Cannot open file folder.tsa\n");

    run = Tsatool({"unpack", "--force", "missing.tsa", "other.tsa", "pkt.bmp", "good.tsa"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "tsatool: Cannot open file missing.tsa\n"
              "tsatool: Cannot create file other.bmp\n"
              "tsatool: pkt.bmp: the BMP would take the packet's own name; rename the packet first\n");
    EXPECT_TRUE(fs::is_directory(work_ / "other.bmp"));
    EXPECT_EQ(ReadFile(work_ / "pkt.bmp"), std::string(kGood.begin(), kGood.end()));
    EXPECT_TRUE(fs::exists(work_ / "good.bmp"));
    for (const auto& entry : fs::directory_iterator(work_))  // no temporary file left
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
}

TEST_F(TsatoolTest, UnpackNamesTheBmpAfterThePacket) {
    const std::pair<std::string, std::string> cases[] = {
        {"a.tsa", "a.bmp"},
        {"PIC.TSA", "PIC.bmp"},
        {"title.big.tsa", "title.big.bmp"},
        {"noext", "noext.bmp"},
        {"old.art/sprite", "old.art/sprite.bmp"},
        {"-dash.tsa", "-dash.bmp"},  // after "--"
    };
    fs::create_directory(work_ / "old.art");
    std::vector<std::string> args{"unpack", "--"};
    for (const auto& [packet, bmp] : cases) {
        WriteBytes(work_ / packet, kGood);
        args.push_back(packet);
    }
    const RunResult run = Tsatool(args);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    for (const auto& [packet, bmp] : cases) {
        TBitmap bitmap;
        EXPECT_NO_THROW(bitmap.LoadFromFile((work_ / bmp).string())) << bmp;
    }
}

TEST_F(TsatoolTest, UnpackReplacesAFileOnlyWhenForced) {
    // The BMP beside a packet is often the picture it was made from.
    WriteBytes(work_ / "a.tsa", kGood);
    WriteBytes(work_ / "b.tsa", kGood);
    WriteBytes(work_ / "a.bmp", {'o', 'l', 'd'});
    fs::create_symlink("nowhere.bmp", work_ / "b.bmp");  // a dangling link is in the way too

    RunResult run = Tsatool({"unpack", "a.tsa", "b.tsa"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err,
              "tsatool: a.tsa: a.bmp already exists; --force replaces it\n"
              "tsatool: b.tsa: b.bmp already exists; --force replaces it\n");
    EXPECT_EQ(ReadFile(work_ / "a.bmp"), "old");
    EXPECT_FALSE(fs::exists(work_ / "nowhere.bmp"));

    run = Tsatool({"unpack", "a.tsa", "--force"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    TBitmap bitmap;
    EXPECT_NO_THROW(bitmap.LoadFromFile((work_ / "a.bmp").string()));
}

// ---------------------------------------------------------- command line --

TEST_F(TsatoolTest, HelpAndVersion) {
    for (const auto& args : {std::vector<std::string>{"--help"}, {"info", "--help"}, {"bogus", "--help", "--width", "x"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const RunResult run = Tsatool(args);
        EXPECT_EQ(run.code, 0);
        EXPECT_TRUE(run.out.starts_with(kUsage)) << run.out;
        EXPECT_NE(run.out.find("unpack "), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
    const RunResult run = Tsatool({"--version"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "tsatool " TSATOOL_VERSION "\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(TsatoolTest, UsageErrorsReadNothing) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "no command given"},
        {{"--width", "5"}, "no command given"},
        {{"frobnicate", "a.tsa"}, "unknown command 'frobnicate'"},
        {{"Info", "a.tsa"}, "unknown command 'Info'"},
        {{"info"}, "no FILE given"},
        {{"unpack", "--width", "5"}, "no FILE given"},
        {{"info", "--bogus", "a.tsa"}, "unknown option '--bogus'"},
        {{"unpack", "a.tsa", "-w", "5"}, "unknown option '-w'"},
        {{"unpack", "a.tsa", "--width"}, "--width needs a value"},
        {{"unpack", "--width", "0", "a.tsa"}, "invalid width '0': a whole number from 1 to 2147483647"},
        {{"unpack", "--width", "-1", "a.tsa"}, "invalid width '-1': a whole number from 1 to 2147483647"},
        {{"unpack", "--width", "+5", "a.tsa"}, "invalid width '+5': a whole number from 1 to 2147483647"},
        {{"unpack", "--width", " 5", "a.tsa"}, "invalid width ' 5': a whole number from 1 to 2147483647"},
        {{"unpack", "--width", "5x", "a.tsa"}, "invalid width '5x': a whole number from 1 to 2147483647"},
        {{"unpack", "--width", "", "a.tsa"}, "invalid width '': a whole number from 1 to 2147483647"},
        {{"unpack", "--width=", "a.tsa"}, "invalid width '': a whole number from 1 to 2147483647"},
        {{"unpack", "--width", "2147483648", "a.tsa"},
         "invalid width '2147483648': a whole number from 1 to 2147483647"},
        {{"unpack", "--width", "99999999999", "a.tsa"},
         "invalid width '99999999999': a whole number from 1 to 2147483647"},
    };
    WriteBytes(work_ / "a.tsa", kGood);
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const RunResult run = Tsatool(args);
        EXPECT_EQ(run.code, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tsatool: " + message + "\n" + kUsage + kHint);
        EXPECT_FALSE(fs::exists(work_ / "a.bmp"));
    }
    // The largest width is accepted; after "--" an option word is a file.
    WriteBytes(work_ / "--help", kGood);
    const RunResult run = Tsatool({"info", "--width", "2147483647", "--", "--help"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "tsatool: --help: width 2147483647 does not fit: 2 pixels with width byte 1 and height byte 2 "
              "make 1x2\n");
}

TEST_F(TsatoolTest, LostOutputIsAFailure) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    WriteBytes(work_ / "good.tsa", kGood);
    const RunResult run = Tsatool({"info", "good.tsa"}, "/dev/full");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "tsatool: write error on standard output: No space left on device\n");
}

}  // namespace
