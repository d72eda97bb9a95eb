// The public BMP suite, when it lies beside the project: every file has one
// expected outcome below, either its size and a checksum of its pixels or the
// exact error it raises.
//
// The checksums were taken from our own decoder after its colours had been
// compared with an independent one: exact for palette, 24-bit and 8-8-8
// images, within one 5-6-5 step for the other bit-field layouts (we widen
// narrow channels by repeating their bits rather than shifting them).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

const std::string kInvalid = std::string("EInvalidGraphic: ") + kMsgInvalidBitmap;
const std::string kShort = std::string("EReadError: ") + kMsgStreamRead;
const std::string kReallyBig =
    "EInvalidGraphic: Bitmap image is too large (3000000 x 2000000 pixels; the limit is 268435456 pixels)";

struct Expected {
    Expected(const char* f, int w, int h, uint32_t sum) : file(f), width(w), height(h), checksum(sum) {}
    Expected(const char* f, std::string e) : file(f), error(std::move(e)) {}
    const char* file;
    int width = 0;
    int height = 0;
    uint32_t checksum = 0;
    std::string error;  // empty: the file converts
};

// FNV-1a over the pixel words, low byte first, top row first. A word is the
// colour cut to 5-6-5, with the key colour's word replaced by the transparent
// code, as a packet stores it.
uint32_t ChecksumPixels(const TBitmap& bitmap) {
    uint32_t hash = 0x811C9DC5;
    std::vector<uint32_t> row(static_cast<size_t>(bitmap.Width()));
    for (int y = 0; y < bitmap.Height(); ++y) {
        bitmap.ReadRow(y, row.data());
        for (uint32_t colour : row) {
            const uint32_t r = colour & 0xFF, g = colour >> 8 & 0xFF, b = colour >> 16 & 0xFF;
            uint32_t word = (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
            if (word == 0xF81F) word = 0xE000;
            for (uint32_t byte : {word & 0xFF, word >> 8}) {
                hash ^= byte;
                hash *= 0x01000193;
            }
        }
    }
    return hash;
}

// "127x64 0x1234ABCD", or the error's class and message.
std::string Outcome(const std::string& path) {
    try {
        TBitmap bitmap;
        bitmap.LoadFromFile(path);
        char text[64];
        std::snprintf(text, sizeof text, "%dx%d 0x%08X", bitmap.Width(), bitmap.Height(), ChecksumPixels(bitmap));
        return text;
    } catch (const EReadError& e) {
        return std::string("EReadError: ") + e.what();
    } catch (const EInvalidGraphic& e) {
        return std::string("EInvalidGraphic: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("unexpected: ") + e.what();
    }
}

std::string ExpectedOutcome(const Expected& e) {
    if (!e.error.empty()) return e.error;
    char text[64];
    std::snprintf(text, sizeof text, "%dx%d 0x%08X", e.width, e.height, e.checksum);
    return text;
}

// Every g/ file converts.
const std::vector<Expected> kGood = {
    {"g/pal1.bmp", 127, 64, 0x3BA961C5},
    {"g/pal1bg.bmp", 127, 64, 0xE57F7ADD},
    {"g/pal1wb.bmp", 127, 64, 0x3BA961C5},
    {"g/pal4.bmp", 127, 64, 0xF8E8C71E},
    {"g/pal4gs.bmp", 127, 64, 0x342BDB39},
    {"g/pal4rle.bmp", 127, 64, 0xF8E8C71E},
    {"g/pal8-0.bmp", 127, 64, 0x2063BF1F},
    {"g/pal8.bmp", 127, 64, 0x2063BF1F},
    {"g/pal8gs.bmp", 127, 64, 0xEA459806},
    {"g/pal8nonsquare.bmp", 127, 32, 0x2BB6D474},
    {"g/pal8os2.bmp", 127, 64, 0x2063BF1F},
    {"g/pal8rle.bmp", 127, 64, 0x2063BF1F},
    {"g/pal8topdown.bmp", 127, 64, 0x2063BF1F},
    {"g/pal8v4.bmp", 127, 64, 0x2063BF1F},
    {"g/pal8v5.bmp", 127, 64, 0x2063BF1F},
    {"g/pal8w124.bmp", 124, 61, 0x814CDFC6},
    {"g/pal8w125.bmp", 125, 62, 0x39C63274},
    {"g/pal8w126.bmp", 126, 63, 0xE922D56A},
    {"g/rgb16-565.bmp", 127, 64, 0x674D79CE},
    {"g/rgb16-565pal.bmp", 127, 64, 0x674D79CE},
    {"g/rgb16.bmp", 127, 64, 0xD3471A41},
    {"g/rgb16bfdef.bmp", 127, 64, 0xD3471A41},
    {"g/rgb24.bmp", 127, 64, 0x442AA3DA},
    {"g/rgb24pal.bmp", 127, 64, 0x442AA3DA},
    {"g/rgb32.bmp", 127, 64, 0x442AA3DA},
    {"g/rgb32bf.bmp", 127, 64, 0x442AA3DA},
    {"g/rgb32bfdef.bmp", 127, 64, 0x442AA3DA},
};

// The accepted variants convert; the rest are outside what we accept.
const std::vector<Expected> kQuestionable = {
    {"q/pal1huffmsb.bmp", kInvalid},  // Huffman coding (compression 3 at 1 bit)
    {"q/pal1p1.bmp", 127, 64, 0x3B9B3C45},  // one colour stored; index 1 is black
    {"q/pal2.bmp", kInvalid},  // 2 bits per pixel
    {"q/pal2color.bmp", kInvalid},  // 2 bits per pixel
    {"q/pal4rlecut.bmp", 127, 64, 0x6DBFD46D},  // skipped pixels and the cut-off top in the key colour
    {"q/pal4rletrns.bmp", 127, 64, 0x0AFE4626},  // skipped pixels in the key colour
    {"q/pal8offs.bmp", 127, 64, 0x2063BF1F},
    {"q/pal8os2-hs.bmp", 127, 64, 0x2063BF1F},
    {"q/pal8os2-sz.bmp", 127, 64, 0x2063BF1F},
    {"q/pal8os2sp.bmp", 127, 64, 0x2063BF1F},  // core table of 252 entries, bounded by the data offset
    {"q/pal8os2v2-16.bmp", kInvalid},  // 16-byte header
    {"q/pal8os2v2-40sz.bmp", 127, 64, 0x2063BF1F},
    {"q/pal8os2v2-sz.bmp", 127, 64, 0x2063BF1F},
    {"q/pal8os2v2.bmp", 127, 64, 0x2063BF1F},
    {"q/pal8oversizepal.bmp", 127, 64, 0x2063BF1F},  // 300 colours used: the first 256 are read
    {"q/pal8rlecut.bmp", 127, 64, 0x34BEBFA8},  // skipped pixels and the cut-off top in the key colour
    {"q/pal8rletrns.bmp", 127, 64, 0xBC99851F},  // skipped pixels in the key colour
    {"q/rgb16-231.bmp", 127, 64, 0x8C734860},
    {"q/rgb16-3103.bmp", 127, 64, 0x30249929},
    {"q/rgb16faketrns.bmp", 127, 64, 0xD3471A41},
    {"q/rgb24jpeg.bmp", kInvalid},  // embedded JPEG
    {"q/rgb24largepal.bmp", 127, 64, 0x442AA3DA},
    {"q/rgb24lprof.bmp", 127, 64, 0x442AA3DA},
    {"q/rgb24png.bmp", kInvalid},  // embedded PNG
    {"q/rgb24prof.bmp", 127, 64, 0x442AA3DA},
    {"q/rgb24prof2.bmp", 127, 64, 0xCE9659CA},
    {"q/rgb24rle24.bmp", kInvalid},  // RLE24 (compression 4 at 24 bits)
    {"q/rgb32-111110.bmp", 127, 64, 0x442AA3DA},
    {"q/rgb32-7187.bmp", 127, 64, 0x442AA3DA},
    {"q/rgb32-xbgr.bmp", 127, 64, 0x442AA3DA},
    {"q/rgb32fakealpha.bmp", 127, 64, 0x442AA3DA},
    {"q/rgb32h52.bmp", 127, 64, 0x442AA3DA},
    {"q/rgba16-1924.bmp", 127, 64, 0xAC1111C3},
    {"q/rgba16-4444.bmp", 127, 64, 0xC5E885E5},
    {"q/rgba16-5551.bmp", 127, 64, 0xD3471A41},
    {"q/rgba32-1.bmp", 127, 64, 0x02DFDD33},
    {"q/rgba32-1010102.bmp", 127, 64, 0x02DFDD33},
    {"q/rgba32-2.bmp", 127, 64, 0x02DFDD33},
    {"q/rgba32-61754.bmp", 127, 64, 0xAB4C1187},
    {"q/rgba32-81284.bmp", 127, 64, 0x02DFDD33},
    {"q/rgba32abf.bmp", 127, 64, 0x02DFDD33},  // compression 6 accepted; the alpha mask plays no part
    {"q/rgba32h56.bmp", 127, 64, 0x02DFDD33},
    {"q/rgba64.bmp", kInvalid},  // 64 bits per pixel
};

// Damaged files: refused with one clear error, or converted where the damage
// is in a field we do not use.
const std::vector<Expected> kBad = {
    {"b/badbitcount.bmp", kInvalid},  // 30000 bits per pixel
    {"b/badbitssize.bmp", 127, 64, 0x3BA961C5},  // image size field ignored
    {"b/baddens1.bmp", 127, 64, 0x3BA961C5},  // density ignored
    {"b/baddens2.bmp", 127, 64, 0x3BA961C5},  // density ignored
    {"b/badfilesize.bmp", 127, 64, 0x3BA961C5},  // file size field ignored
    {"b/badheadersize.bmp", 127, 64, 0x3BA961C5},  // 66-byte header: any size from 40 on
    {"b/badpalettesize.bmp", 127, 64, 0x2063BF1F},  // absurd colours used: 2^8, bounded by the data offset
    {"b/badplanes.bmp", kInvalid},  // planes 30000
    {"b/badrle.bmp", kInvalid},  // runs past the row's end
    {"b/badrle4.bmp", kInvalid},  // runs past the row's end
    {"b/badrle4bis.bmp", kInvalid},  // deltas past the right edge
    {"b/badrle4ter.bmp", kInvalid},  // deltas past the right edge
    {"b/badrlebis.bmp", kInvalid},  // deltas past the right edge
    {"b/badrleter.bmp", kInvalid},  // deltas past the right edge
    {"b/badwidth.bmp", kInvalid},  // negative width
    {"b/pal8badindex.bmp", 127, 64, 0xBC213E1B},  // indices beyond the 101 stored colours are black
    {"b/reallybig.bmp", kReallyBig},
    {"b/rgb16-880.bmp", 127, 64, 0xFDF53FA4},  // 8-8-0 masks: blue is 0
    {"b/rletopdown.bmp", kInvalid},  // top-down RLE
    {"b/shortfile.bmp", kShort},  // pixel data cut short
};

class BmpSuite : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::is_directory(kRoot)) GTEST_SKIP() << "no BMP suite at " << kRoot;
    }

    static void ExpectOutcomes(const std::vector<Expected>& table) {
        for (const Expected& e : table) EXPECT_EQ(Outcome(kRoot + "/" + e.file), ExpectedOutcome(e)) << e.file;
    }

    inline static const std::string kRoot = PIXBAKE_BMPSUITE;
};

}  // namespace

TEST_F(BmpSuite, GoodFilesConvert) { ExpectOutcomes(kGood); }

TEST_F(BmpSuite, QuestionableFilesConvertOrAreRefused) { ExpectOutcomes(kQuestionable); }

TEST_F(BmpSuite, BadFilesAreRefusedOrConvertCleanly) { ExpectOutcomes(kBad); }

// A file added to the suite, or one renamed, must not slip past the tables.
TEST_F(BmpSuite, TablesNameEveryFileOfTheSuite) {
    std::set<std::string> listed;
    for (const auto* table : {&kGood, &kQuestionable, &kBad})
        for (const Expected& e : *table) listed.insert(e.file);
    std::set<std::string> present;
    for (const char* group : {"g", "q", "b"}) {
        const fs::path folder = fs::path(kRoot) / group;
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().extension() == ".bmp") present.insert(std::string(group) + "/" + entry.path().filename().string());
    }
    EXPECT_EQ(present, listed);
}
