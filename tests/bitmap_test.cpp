// TBitmap against files made by the test writer: what each accepted variant
// decodes to, and how each refused one fails.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/platform.h"
#include "tests/bmp_writer.h"

namespace {

using bmptest::BmpRecipe;
using bmptest::MakeBmp;
using Bytes = std::vector<uint8_t>;
using Colours = std::vector<uint32_t>;

// Colours as the loader reports them: 0x00BBGGRR.
constexpr uint32_t R = 0x0000FF;
constexpr uint32_t G = 0x00FF00;
constexpr uint32_t B = 0xFF0000;
constexpr uint32_t C = 0x563412;  // red 0x12, green 0x34, blue 0x56
constexpr uint32_t W = 0xFFFFFF;
constexpr uint32_t K = kSkippedColour;
const Colours kPalette = {R, G, B, C};

struct Image {
    int width = -1;
    int height = -1;
    Colours colours;  // top row first
};

Image ReadAll(const TBitmap& bitmap) {
    Image image{bitmap.Width(), bitmap.Height(), {}};
    image.colours.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    for (int y = 0; y < image.height; ++y)
        bitmap.ReadRow(y, image.colours.data() + static_cast<size_t>(y) * static_cast<size_t>(image.width));
    return image;
}

Image Decode(const Bytes& bytes) {
    TBitmap bitmap;
    bitmap.LoadFromMemory(bytes.data(), bytes.size());
    return ReadAll(bitmap);
}

// "ok", or the exception's class and message.
std::string Outcome(const Bytes& bytes) {
    try {
        TBitmap bitmap;
        bitmap.LoadFromMemory(bytes.data(), bytes.size());
        return "ok";
    } catch (const EReadError& e) {
        return std::string("EReadError: ") + e.what();
    } catch (const EInvalidGraphic& e) {
        return std::string("EInvalidGraphic: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("other ") + typeid(e).name() + ": " + e.what();
    }
}

const std::string kShort = std::string("EReadError: ") + kMsgStreamRead;
const std::string kInvalid = std::string("EInvalidGraphic: ") + kMsgInvalidBitmap;

Bytes Rle(int width, int height, uint16_t bits, Bytes codes) {
    BmpRecipe recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.bitsPerPixel = bits;
    recipe.compression = bits == 8 ? 1 : 2;
    recipe.palette = kPalette;
    recipe.data = std::move(codes);
    return MakeBmp(recipe);
}

std::string Hex(const Colours& colours) {
    std::string text;
    char item[12];
    for (uint32_t c : colours) {
        std::snprintf(item, sizeof item, " %06X", c);
        text += item;
    }
    return text;
}

struct DecodeCase {
    const char* name;
    Bytes bytes;
    int width;
    int height;
    Colours expected;
};

void ExpectDecodes(const std::vector<DecodeCase>& cases) {
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Image image;
        ASSERT_NO_THROW(image = Decode(c.bytes)) << Outcome(c.bytes);
        EXPECT_EQ(image.width, c.width);
        EXPECT_EQ(image.height, c.height);
        EXPECT_EQ(Hex(image.colours), Hex(c.expected));
    }
}

// Three wide so that every depth but 32 needs row padding; rows differ so a
// flipped image shows.
const Colours kSix = {R, G, B, C, 0, W};
const std::vector<uint32_t> kSixIndices = {0, 1, 2, 3, 4, 1};  // index 4 lies beyond the table
const Colours kSixIndexed = {R, G, B, C, 0, G};
const std::vector<uint32_t> kSix24 = {0xFF0000, 0x00FF00, 0x0000FF, 0x123456, 0, 0xFFFFFF};  // 0xRRGGBB
// 0x11AA is C cut to 5-6-5 (2, 13, 10); widened back it comes out as 0x10, 0x34, 0x52.
const std::vector<uint32_t> kSix565 = {0xF800, 0x07E0, 0x001F, 0x11AA, 0, 0xFFFF};
const Colours kSix565Colours = {R, G, B, 0x523410, 0, W};

}  // namespace

// clang-format off
TEST(Bitmap, AcceptedVariantsDecodeToTheirColours) {
    auto recipe = [](uint32_t headerSize, uint16_t bits, std::vector<uint32_t> pixels) {
        BmpRecipe s;
        s.width = 3;
        s.height = 2;
        s.headerSize = headerSize;
        s.bitsPerPixel = bits;
        s.pixels = std::move(pixels);
        if (bits <= 8) s.palette = kPalette;
        return s;
    };
    auto withMasks = [](BmpRecipe s, uint32_t compression, std::vector<uint32_t> masks) {
        s.compression = compression;
        s.masks = std::move(masks);
        return s;
    };
    BmpRecipe oneBit = recipe(40, 1, {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 1, 1, 1, 1, 1, 0});
    oneBit.width = 9;  // a row that spills into a second byte
    BmpRecipe oneBitCore = oneBit;
    oneBitCore.headerSize = 12;
    const Colours oneBitColours = {G, R, R, R, R, R, R, R, G, R, G, G, G, G, G, G, G, R};
    BmpRecipe gap = recipe(40, 8, kSixIndices);
    gap.dataOffset = 54 + 16 + 100;

    const std::vector<uint32_t> masks565 = {0xF800, 0x07E0, 0x001F};
    const std::vector<uint32_t> x1555 = {0x7C00, 0x03E0, 0x001F, 0x8000 | 0x0A54, 0x8000, 0xFFFF};  // top bit plays no part
    const Colours x1555Colours = {R, G, B, 0xA59410, 0, W};
    // 32 bits: B G R x, with junk in x.
    const std::vector<uint32_t> bgrx = {0xAAFF0000, 0x0100FF00, 0xFF0000FF, 0x80123456, 0, 0x00FFFFFF};
    // Red in the low byte, blue in the third.
    const std::vector<uint32_t> xbgr = {0x000000FF, 0x0000FF00, 0x00FF0000, 0x00563412, 0, 0xFFFFFFFF};

    ExpectDecodes({
        {"1 bit",                      MakeBmp(oneBit), 9, 2, oneBitColours},
        {"1 bit, core header",         MakeBmp(oneBitCore), 9, 2, oneBitColours},
        {"4 bits",                     MakeBmp(recipe(40, 4, kSixIndices)), 3, 2, kSixIndexed},
        {"4 bits, core header",        MakeBmp(recipe(12, 4, kSixIndices)), 3, 2, kSixIndexed},
        {"8 bits",                     MakeBmp(recipe(40, 8, kSixIndices)), 3, 2, kSixIndexed},
        {"8 bits, core header",        MakeBmp(recipe(12, 8, kSixIndices)), 3, 2, kSixIndexed},
        {"8 bits, 64-byte header",     MakeBmp(recipe(64, 8, kSixIndices)), 3, 2, kSixIndexed},
        {"8 bits, 66-byte header",     MakeBmp(recipe(66, 8, kSixIndices)), 3, 2, kSixIndexed},
        {"8 bits, V5 header",          MakeBmp(recipe(124, 8, kSixIndices)), 3, 2, kSixIndexed},
        {"8 bits, gap before data",    MakeBmp(gap), 3, 2, kSixIndexed},
        {"16 bits, x1555",             MakeBmp(recipe(40, 16, x1555)), 3, 2, x1555Colours},
        {"16 bits, core header",       MakeBmp(recipe(12, 16, x1555)), 3, 2, x1555Colours},
        {"16 bits, masks after 40",    MakeBmp(withMasks(recipe(40, 16, kSix565), 3, masks565)), 3, 2, kSix565Colours},
        {"16 bits, masks in 52",       MakeBmp(withMasks(recipe(52, 16, kSix565), 3, masks565)), 3, 2, kSix565Colours},
        {"16 bits, masks in V4",       MakeBmp(withMasks(recipe(108, 16, kSix565), 3, masks565)), 3, 2, kSix565Colours},
        {"16 bits, masks in V5",       MakeBmp(withMasks(recipe(124, 16, kSix565), 3, masks565)), 3, 2, kSix565Colours},
        {"16 bits, masks in 64",       MakeBmp(withMasks(recipe(64, 16, kSix565), 3, masks565)), 3, 2, kSix565Colours},
        {"16 bits, masks ignored without compression 3",
                                       MakeBmp(withMasks(recipe(108, 16, x1555), 0, masks565)), 3, 2, x1555Colours},
        {"24 bits",                    MakeBmp(recipe(40, 24, kSix24)), 3, 2, kSix},
        {"24 bits, core header",       MakeBmp(recipe(12, 24, kSix24)), 3, 2, kSix},
        {"32 bits, fourth byte ignored", MakeBmp(recipe(40, 32, bgrx)), 3, 2, kSix},
        {"32 bits, default masks given", MakeBmp(withMasks(recipe(40, 32, bgrx), 3, {0xFF0000, 0xFF00, 0xFF})), 3, 2, kSix},
        {"32 bits, masks after 40",    MakeBmp(withMasks(recipe(40, 32, xbgr), 3, {0xFF, 0xFF00, 0xFF0000})), 3, 2, kSix},
        {"32 bits, masks in 56",       MakeBmp(withMasks(recipe(56, 32, xbgr), 3, {0xFF, 0xFF00, 0xFF0000, 0xFF000000})), 3, 2, kSix},
        {"32 bits, masks in V5",       MakeBmp(withMasks(recipe(124, 32, xbgr), 3, {0xFF, 0xFF00, 0xFF0000, 0xFF000000})), 3, 2, kSix},
        {"32 bits, alpha masks after 40", MakeBmp(withMasks(recipe(40, 32, xbgr), 6, {0xFF, 0xFF00, 0xFF0000, 0xFF000000})), 3, 2, kSix},
        {"16 bits, alpha masks in V5", MakeBmp(withMasks(recipe(124, 16, kSix565), 6, {0xF800, 0x07E0, 0x001F, 0})), 3, 2, kSix565Colours},
    });
}
// clang-format on

TEST(Bitmap, TopDownRowsEqualBottomUpRows) {
    for (int bits : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        BmpRecipe recipe;
        recipe.width = 5;
        recipe.height = 3;
        recipe.bitsPerPixel = static_cast<uint16_t>(bits);
        if (bits <= 8) recipe.palette = kPalette;
        const uint32_t mask = bits >= 16 ? 0xFFFFFFFF : bits == 1 ? 1 : 3;  // indices within the table
        for (uint32_t i = 0; i < 15; ++i) recipe.pixels.push_back((i * 0x9E3779B9u >> 7) & mask);
        const Image bottomUp = Decode(MakeBmp(recipe));
        recipe.height = -3;
        const Image topDown = Decode(MakeBmp(recipe));
        EXPECT_EQ(topDown.height, 3);
        EXPECT_EQ(Hex(topDown.colours), Hex(bottomUp.colours));
    }
}

// Each case: masks, 32-bit pixel words, the colours they must give.
TEST(Bitmap, BitFieldChannelsScaleToEightBits) {
    struct Case {
        const char* name;
        uint16_t bits;
        std::vector<uint32_t> masks;
        std::vector<uint32_t> pixels;
        Colours expected;
    };
    const std::vector<Case> cases = {
        // Narrow channels repeat their bit pattern: 10000 -> 10000100, not 10000000.
        {"5-6-5", 16, {0xF800, 0x07E0, 0x001F}, {0x8410, 0xFFFF, 0x0001}, {0x848284, W, 0x080000}},
        {"5-5-5", 16, {0x7C00, 0x03E0, 0x001F}, {0x4210, 0x7FFF, 0x0400}, {0x848484, W, 0x000008}},
        // 2-10-10-10: the top 8 bits of each 10-bit channel.
        {"10 bits", 32, {0x3FF00000, 0x000FFC00, 0x000003FF},
         {0x3FF00000, 0x200FFC00 | 0x1FF, 0x0007FC00}, {0x0000FF, 0x7FFF80, 0x007F00}},
        {"1 bit", 32, {0x1, 0x2, 0x80000000}, {0x1, 0x2, 0x80000003, 0x0}, {R, G, W, 0}},
        {"zero masks", 32, {0, 0, 0}, {0xFFFFFFFF, 0x12345678}, {0, 0}},
        {"zero blue mask", 16, {0xFF00, 0x00FF, 0}, {0xFFFF, 0x1234}, {0x00FFFF, 0x003412}},
        // Mask 1010 spans three bits: the hole reads as 0 and stays in the value.
        {"non-contiguous", 32, {0b1010, 0, 0}, {0b1010, 0b1000, 0b0010, 0b0100}, {0xB6, 0x92, 0x24, 0}},
        {"overlapping", 32, {0xFF, 0xFF, 0xF0}, {0x12, 0xF0}, {0x111212, 0xFFF0F0}},
        {"whole word", 32, {0xFFFFFFFF, 0xFF000000, 0}, {0xAB000000, 0x7FFFFFFF}, {0x00ABAB, 0x007F7F}},
        {"mask above 16 bits", 16, {0xFF0000, 0xFF00, 0xFF}, {0xFFFF}, {0xFFFF00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BmpRecipe recipe;
        recipe.width = static_cast<int32_t>(c.pixels.size());
        recipe.bitsPerPixel = c.bits;
        recipe.compression = 3;
        recipe.masks = c.masks;
        recipe.pixels = c.pixels;
        EXPECT_EQ(Hex(Decode(MakeBmp(recipe)).colours), Hex(c.expected));
    }
}

// clang-format off
TEST(Bitmap, RunLengthCodesLeaveSkippedPixelsInTheKeyColour) {
    ExpectDecodes({
        // Bottom row: early end of line. Middle: literal run with padding.
        // Top: a delta, then end of bitmap; bytes after it are never read.
        {"RLE8 delta and early ends", Rle(4, 3, 8, {
             0x02, 0x01, 0x00, 0x00,
             0x00, 0x03, 0x00, 0x01, 0x02, 0x00, 0x01, 0x03, 0x00, 0x00,
             0x00, 0x02, 0x01, 0x00, 0x01, 0x02, 0x00, 0x01,
             0x05, 0x05}),
         4, 3, {K, B, K, K,
                R, G, B, C,
                G, G, K, K}},
        // A delta that crosses rows skips the rest of one and the start of the next.
        {"RLE8 delta up a row, data ends early", Rle(4, 3, 8, {
             0x01, 0x00, 0x00, 0x02, 0x02, 0x01, 0x01, 0x01, 0x00, 0x00, 0x03, 0x02}),
         4, 3, {B, B, B, K,
                K, K, K, G,
                R, K, K, K}},
        {"RLE8 index beyond the table", Rle(2, 1, 8, {0x01, 0x04, 0x01, 0xFF}), 2, 1, {0, 0}},
        {"RLE8 literal cut off by the data's end", Rle(4, 1, 8, {0x01, 0x01, 0x00, 0x03, 0x01, 0x02}),
         4, 1, {G, K, K, K}},
        {"RLE8 literal missing only its padding", Rle(4, 1, 8, {0x00, 0x03, 0x01, 0x02, 0x03}),
         4, 1, {G, B, C, K}},
        {"RLE8 delta to just past the last row", Rle(2, 2, 8, {0x01, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x01}),
         2, 2, {K, K, G, K}},
        {"RLE8 no codes at all", Rle(3, 2, 8, {}), 3, 2, {K, K, K, K, K, K}},
        // Runs alternate the two nibbles; literals are padded to 16 bits.
        {"RLE4 runs and odd literal", Rle(5, 2, 4, {
             0x05, 0x12, 0x00, 0x00,
             0x00, 0x05, 0x30, 0x12, 0x3F, 0x00, 0x00, 0x01}),
         5, 2, {C, R, G, B, C,
                G, B, G, B, G}},
        {"RLE4 delta and early end of bitmap", Rle(4, 2, 4, {
             0x00, 0x02, 0x01, 0x01, 0x02, 0x33, 0x00, 0x01}),
         4, 2, {K, C, C, K,
                K, K, K, K}},
        {"RLE4 width not a multiple of 8", Rle(11, 1, 4, {0x0B, 0x01, 0x00, 0x01}),
         11, 1, {R, G, R, G, R, G, R, G, R, G, R}},
    });
}
// clang-format on

TEST(Bitmap, ColourTableSizeFollowsColoursUsedAndDataOffset) {
    auto indexed = [](uint32_t headerSize, uint16_t bits, Colours palette, std::optional<uint32_t> used) {
        BmpRecipe recipe;
        recipe.width = 4;
        recipe.headerSize = headerSize;
        recipe.bitsPerPixel = bits;
        recipe.palette = std::move(palette);
        recipe.coloursUsed = used;
        recipe.pixels = {0, 1, 2, 3};
        return MakeBmp(recipe);
    };
    const Colours sixteen = {R, G, B, C, W, W, W, W, W, W, W, W, W, W, W, W};
    ExpectDecodes({
        // "Colours used" limits the table; indices past it are black.
        {"2 colours used of 8 bits", indexed(40, 8, {R, G, B, C}, 2), 4, 1, {R, G, 0, 0}},
        // 0 means all of them.
        {"0 colours used", indexed(40, 4, sixteen, 0), 4, 1, {R, G, B, C}},
        // More than 2^bits: only 2^bits are read, and the data still follows the full table.
        {"300 colours used of 1 bit", indexed(40, 1, {R, G}, 300), 4, 1, {R, G, R, G}},
        // A table shorter than 2^bits with the data right behind it: entries are
        // counted up to the data offset, never read from the pixels.
        {"core header, short table", indexed(12, 8, {R, G, B}, {}), 4, 1, {R, G, B, 0}},
        {"info header, 0 used, short table", indexed(40, 8, {R, G}, 0), 4, 1, {R, G, 0, 0}},
        {"no table at all", indexed(40, 8, {}, 0), 4, 1, {0, 0, 0, 0}},
    });
}

TEST(Bitmap, RefusesWhatItCannotRead) {
    auto base = [] {
        BmpRecipe recipe;
        recipe.width = 3;
        recipe.height = 2;
        recipe.bitsPerPixel = 8;
        recipe.palette = kPalette;
        return recipe;
    };
    auto with = [](BmpRecipe recipe, auto change) {
        change(recipe);
        return MakeBmp(recipe);
    };
    auto patched32 = [](Bytes bytes, size_t offset, uint32_t value) {
        bmptest::PutU32(bytes, offset, value);
        return bytes;
    };
    auto cut = [](Bytes bytes, size_t size) {
        bytes.resize(size);
        return bytes;
    };
    const Bytes good = MakeBmp(base());
    auto masked = [&](uint16_t bits, uint32_t compression, std::vector<uint32_t> masks) {
        return with(base(), [&](BmpRecipe& s) {
            s.bitsPerPixel = bits, s.compression = compression, s.masks = masks, s.palette = {};
        });
    };
    auto rle8 = [](Bytes codes) { return Rle(4, 2, 8, std::move(codes)); };

    struct Case {
        const char* name;
        Bytes bytes;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"1 byte", Bytes{'B'}, kShort},
        {"13 bytes", cut(good, 13), kShort},
        {"file header only", cut(good, 14), kShort},
        {"ends inside the header size", cut(good, 17), kShort},
        {"ends inside the info header", cut(good, 53), kShort},
        {"ends inside a V5 header", cut(with(base(), [](BmpRecipe& s) { s.headerSize = 124; }), 100), kShort},
        {"absurd header size", patched32(good, bmptest::kOffsetHeaderSize, 0xFFFFFFF0), kShort},
        {"ends inside the masks", cut(masked(16, 3, {0xF800, 0x07E0, 0x1F}), 54 + 10), kShort},
        {"ends inside the alpha mask", cut(masked(32, 6, {0xFF, 0xFF00, 0xFF0000, 0}), 54 + 14), kShort},
        {"ends inside the colour table", cut(with(base(), [](BmpRecipe& s) { s.coloursUsed = 0; s.dataOffset = 54 + 1024; }), 54 + 1000), kShort},
        {"ends inside the core colour table", cut(with(base(), [](BmpRecipe& s) { s.headerSize = 12; s.palette.resize(256); }), 26 + 700), kShort},
        {"pixel data one byte short", cut(good, good.size() - 2), kShort},  // the last row has 3 bytes + 1 padding
        {"not BM", with(base(), [](BmpRecipe& s) { s.magic[0] = 'M'; s.magic[1] = 'B'; }), kInvalid},
        {"not BM, 14 bytes", Bytes(14, 0), kInvalid},
        {"header size 0", with(base(), [](BmpRecipe& s) { s.headerSize = 0; }), kInvalid},
        {"header size 16", with(base(), [](BmpRecipe& s) { s.headerSize = 16; }), kInvalid},
        {"header size 39", with(base(), [](BmpRecipe& s) { s.headerSize = 39; }), kInvalid},
        {"planes 0", with(base(), [](BmpRecipe& s) { s.planes = 0; }), kInvalid},
        {"planes 2", with(base(), [](BmpRecipe& s) { s.planes = 2; }), kInvalid},
        {"planes 2, core header", with(base(), [](BmpRecipe& s) { s.planes = 2; s.headerSize = 12; }), kInvalid},
        {"0 bits", with(base(), [](BmpRecipe& s) { s.bitsPerPixel = 0; }), kInvalid},
        {"2 bits", with(base(), [](BmpRecipe& s) { s.bitsPerPixel = 2; }), kInvalid},
        {"2 bits, core header", with(base(), [](BmpRecipe& s) { s.bitsPerPixel = 2; s.headerSize = 12; }), kInvalid},
        {"64 bits", with(base(), [](BmpRecipe& s) { s.bitsPerPixel = 64; }), kInvalid},
        {"compression 4 (JPEG)", with(base(), [](BmpRecipe& s) { s.compression = 4; }), kInvalid},
        {"compression 5 (PNG)", with(base(), [](BmpRecipe& s) { s.compression = 5; }), kInvalid},
        {"compression 7", with(base(), [](BmpRecipe& s) { s.compression = 7; }), kInvalid},
        {"RLE8 at 4 bits", with(base(), [](BmpRecipe& s) { s.bitsPerPixel = 4; s.compression = 1; }), kInvalid},
        {"RLE4 at 8 bits", with(base(), [](BmpRecipe& s) { s.compression = 2; }), kInvalid},
        {"RLE8 at 24 bits", masked(24, 1, {}), kInvalid},
        {"bit fields at 8 bits", with(base(), [](BmpRecipe& s) { s.compression = 3; s.masks = {1, 2, 4}; }), kInvalid},
        {"bit fields at 24 bits", masked(24, 3, {0xFF0000, 0xFF00, 0xFF}), kInvalid},
        {"alpha bit fields at 24 bits", masked(24, 6, {0xFF0000, 0xFF00, 0xFF, 0}), kInvalid},
        {"top-down RLE8", with(base(), [](BmpRecipe& s) { s.height = -2; s.compression = 1; s.data = Bytes{0, 1}; }), kInvalid},
        {"width 0", with(base(), [](BmpRecipe& s) { s.width = 0; }), kInvalid},
        {"width -3", with(base(), [](BmpRecipe& s) { s.width = -3; }), kInvalid},
        {"height 0", with(base(), [](BmpRecipe& s) { s.height = 0; }), kInvalid},
        {"height INT_MIN", with(base(), [](BmpRecipe& s) { s.height = INT_MIN; s.data = Bytes{}; }), kInvalid},
        {"core width 0", with(base(), [](BmpRecipe& s) { s.headerSize = 12; s.width = 0; }), kInvalid},
        {"core height 0", with(base(), [](BmpRecipe& s) { s.headerSize = 12; s.height = 0; }), kInvalid},
        {"data offset inside the file header", patched32(good, bmptest::kOffsetDataOffset, 10), kInvalid},
        {"data offset inside the info header", patched32(good, bmptest::kOffsetDataOffset, 53), kInvalid},
        {"data offset inside the masks", with(base(), [](BmpRecipe& s) {
             s.bitsPerPixel = 16, s.compression = 3, s.masks = {0xF800, 0x07E0, 0x1F}, s.palette = {}, s.dataOffset = 62; }), kInvalid},
        {"data offset past the end", patched32(good, bmptest::kOffsetDataOffset, static_cast<uint32_t>(good.size() + 1)), kInvalid},
        {"RLE8 run past the row's end", rle8({0x05, 0x01}), kInvalid},
        {"RLE8 literal past the row's end", rle8({0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00}), kInvalid},
        {"RLE8 delta past the right edge", rle8({0x01, 0x00, 0x00, 0x02, 0x04, 0x00}), kInvalid},
        {"RLE8 delta past the top", rle8({0x00, 0x02, 0x00, 0x03}), kInvalid},
        {"RLE8 run after the last row", rle8({0x00, 0x00, 0x00, 0x00, 0x01, 0x01}), kInvalid},
        {"RLE8 literal after the last row", rle8({0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 1, 1, 1, 0}), kInvalid},
        {"RLE4 run past the row's end", Rle(4, 2, 4, {0x05, 0x11}), kInvalid},
        {"RLE4 literal past the row's end", Rle(4, 2, 4, {0x00, 0x05, 0x11, 0x11, 0x10, 0x00}), kInvalid},
    };
    for (const Case& c : cases) EXPECT_EQ(Outcome(c.bytes), c.outcome) << c.name;
}

TEST(Bitmap, ShortPixelDataIsMeasuredToTheLastRowsOwnBytes) {
    BmpRecipe recipe;
    recipe.width = 1;
    recipe.height = 2;
    recipe.bitsPerPixel = 24;
    recipe.pixels = {0x0000FF, 0xFF0000};
    Bytes bytes = MakeBmp(recipe);  // rows of 3 bytes + 1 padding
    bytes.pop_back();             // without the last padding byte it still loads
    const Image image = Decode(bytes);
    EXPECT_EQ(Hex(image.colours), Hex({B, R}));
    bytes.pop_back();
    EXPECT_EQ(Outcome(bytes), kShort);
}

TEST(Bitmap, PixelLimitIsCheckedBeforeAnyPixelStorage) {
    auto claim = [](int32_t width, int32_t height, uint32_t compression) {
        BmpRecipe recipe;
        recipe.width = width;
        recipe.height = height;
        recipe.bitsPerPixel = compression == 1 ? 8 : 24;
        recipe.compression = compression;
        recipe.data = Bytes{0, 1};  // a few bytes claiming a huge image
        return MakeBmp(recipe);
    };
    auto tooLarge = [](const char* size) {
        return std::string("EInvalidGraphic: Bitmap image is too large (") + size +
               " pixels; the limit is 268435456 pixels)";
    };
    EXPECT_EQ(Outcome(claim(70000, 70000, 0)), tooLarge("70000 x 70000"));
    EXPECT_EQ(Outcome(claim(16385, -16384, 0)), tooLarge("16385 x 16384"));
    EXPECT_EQ(Outcome(claim(INT_MAX, INT_MAX, 0)), tooLarge("2147483647 x 2147483647"));
    EXPECT_EQ(Outcome(claim(1, INT_MIN + 1, 1)), kInvalid);  // top-down RLE, whatever its size
    EXPECT_EQ(Outcome(claim(268435457, 1, 1)), tooLarge("268435457 x 1"));
    // Exactly at the limit the size is fine; only the data is missing.
    EXPECT_EQ(Outcome(claim(16384, 16384, 0)), kShort);
}

TEST(Bitmap, TinyRunLengthFileMayClaimALargeImage) {
    const Bytes bytes = Rle(3000, 2000, 8, {0x02, 0x01, 0x00, 0x01});
    TBitmap bitmap;
    bitmap.LoadFromMemory(bytes.data(), bytes.size());
    ASSERT_EQ(bitmap.Width(), 3000);
    ASSERT_EQ(bitmap.Height(), 2000);
    Colours row(3000);
    bitmap.ReadRow(1999, row.data());
    EXPECT_EQ(Hex({row[0], row[1], row[2], row[2999]}), Hex({G, G, K, K}));
    bitmap.ReadRow(0, row.data());
    EXPECT_EQ(Colours(row.begin(), row.begin() + 9), Colours(9, K));
}

TEST(Bitmap, EmptyFileIsAnEmptyImage) {
    TBitmap bitmap;
    bitmap.LoadFromMemory(nullptr, 0);
    EXPECT_EQ(bitmap.Width(), 0);
    EXPECT_EQ(bitmap.Height(), 0);

    const std::string path = testing::TempDir() + "pixbake_empty.bmp";
    bmptest::WriteFile(path, {});
    TBitmap fromFile;
    fromFile.LoadFromFile(path);
    EXPECT_EQ(fromFile.Width(), 0);
    EXPECT_EQ(fromFile.Height(), 0);
    std::remove(path.c_str());
}

TEST(Bitmap, LoadFromFileDecodesLikeLoadFromMemory) {
    const Bytes files[] = {
        Rle(4, 3, 8, {0x02, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x01, 0x01, 0x02}),
        bmptest::MakeColourBmp(3, 2, kSix),
    };
    const std::string path = testing::TempDir() + "pixbake_load.bmp";
    for (const Bytes& bytes : files) {
        bmptest::WriteFile(path, bytes);
        TBitmap bitmap;
        bitmap.LoadFromFile(path);
        EXPECT_EQ(Hex(ReadAll(bitmap).colours), Hex(Decode(bytes).colours));
    }
    std::remove(path.c_str());
    EXPECT_EQ(Hex(Decode(files[1]).colours), Hex(kSix));
}

TEST(Bitmap, MissingFileRaisesCannotOpen) {
    const std::string path = testing::TempDir() + "pixbake_no_such_file.bmp";
    std::remove(path.c_str());
    TBitmap bitmap;
    try {
        bitmap.LoadFromFile(path);
        FAIL() << "loaded a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + path);
    }
}

TEST(Bitmap, FailedLoadKeepsThePreviousImage) {
    TBitmap bitmap;
    const Bytes good = bmptest::MakeColourBmp(3, 2, kSix);
    bitmap.LoadFromMemory(good.data(), good.size());
    const Bytes bad(20, 'x');
    EXPECT_THROW(bitmap.LoadFromMemory(bad.data(), bad.size()), EInvalidGraphic);
    EXPECT_EQ(Hex(ReadAll(bitmap).colours), Hex(kSix));
}
