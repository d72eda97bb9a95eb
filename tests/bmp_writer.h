// Builds BMP files in memory for tests, valid or deliberately broken.
//
// The writer puts down whatever BmpRecipe says, without judging it: a bit depth
// of 2, a planes field of 7 or a data offset inside the header are all written
// as given, so a test can show the loader refusing them.
//
// Typical use:
//
//   bmptest::BmpRecipe recipe;
//   recipe.width = 2; recipe.height = 2; recipe.bitsPerPixel = 8;
//   recipe.palette = {0x0000FF, 0x00FF00};          // colours are 0x00BBGGRR
//   recipe.pixels = {0, 1,
//                  1, 0};                          // top row first
//   std::vector<uint8_t> bytes = bmptest::MakeBmp(recipe);
//
// For a plain picture, MakeColourBmp(width, height, colours) is enough.
// To break a file further, patch fields with PutU16/PutU32 at the offsets
// below (an absurd header size, say: headerSize itself is written out in
// full), or shorten the vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bmptest {

struct BmpRecipe {
    int32_t width = 1;
    int32_t height = 1;  // negative: rows stored top-down
    uint16_t bitsPerPixel = 24;
    uint16_t planes = 1;
    uint32_t compression = 0;  // 0 plain, 1 RLE8, 2 RLE4, 3 bit fields, 6 bit fields + alpha

    // 12 writes a core header (u16 width and height, 3-byte table entries, no
    // compression or colour count). Anything else writes an info header of
    // that many bytes, zero beyond the fields this struct sets.
    uint32_t headerSize = 40;

    // Colours 0x00BBGGRR, written as the colour table in this order.
    std::vector<uint32_t> palette;
    // The "colours used" field; palette.size() when unset. Info headers only.
    std::optional<uint32_t> coloursUsed;

    // Red, green, blue (and alpha) masks. Inside the header when it has room
    // (headerSize >= 52: red, green, blue; >= 56: alpha too; masks beyond the
    // room are dropped), else all written right behind the header.
    std::vector<uint32_t> masks;

    // One value per pixel, top row first as displayed; missing values are 0.
    // The value is stored as the file stores a pixel: a palette index for 1, 2,
    // 4 and 8 bits; the 16-bit word for 16; 0xRRGGBB for 24 (bytes B, G, R);
    // the 32-bit word for 32 (0xXXRRGGBB without masks). Rows are padded to
    // 4 bytes; other bit depths get zero rows of the padded size. Images
    // whose rows would pass 64 MiB must set data instead (MakeBmp throws).
    std::vector<uint32_t> pixels;
    // When set, written as the pixel data instead of rows made from pixels:
    // RLE codes, or any bytes at all.
    std::optional<std::vector<uint8_t>> data;

    // The data offset field. Unset: right behind the colour table. A larger
    // value leaves a gap of zeros before the data; a smaller one is only
    // written into the field, the data still follows the table.
    std::optional<uint32_t> dataOffset;
    // The file size field; the real size when unset.
    std::optional<uint32_t> fileSizeField;
    char magic[2] = {'B', 'M'};
};

std::vector<uint8_t> MakeBmp(const BmpRecipe& recipe);

// A 24-bit bottom-up BMP of the given colours (0x00BBGGRR, top row first).
std::vector<uint8_t> MakeColourBmp(int32_t width, int32_t height, const std::vector<uint32_t>& colours);

// Offsets of header fields, for patching a made file.
inline constexpr size_t kOffsetFileSize = 2;
inline constexpr size_t kOffsetDataOffset = 10;
inline constexpr size_t kOffsetHeaderSize = 14;
inline constexpr size_t kOffsetWidth = 18;        // info header; core: u16
inline constexpr size_t kOffsetHeight = 22;       // info header; core: u16 at 20
inline constexpr size_t kOffsetPlanes = 26;       // info header; core: 22
inline constexpr size_t kOffsetBitsPerPixel = 28; // info header; core: 24
inline constexpr size_t kOffsetCompression = 30;
inline constexpr size_t kOffsetColoursUsed = 46;

void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

// Writes the bytes to a file, replacing it. Throws std::runtime_error on failure.
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace bmptest
