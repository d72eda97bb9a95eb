// One BMP file in, one Tsa packet file out.
#pragma once

#include <cstdint>
#include <string>

// Loads the bitmap, builds both packet forms in memory and writes the smaller
// one (raw on a tie) to the output path. Nothing at the output path changes
// unless the whole packet was written. Errors are the platform's E-classes;
// a failed allocation of the working arrays is std::bad_alloc.
void ConvertBitmap(const std::string& inputPath, const std::string& outputPath, int32_t number);

class TBitmap;

// Fills words with the bitmap's Width() x Height() pixel words, row-major
// from the top row, the key colour's word already replaced by the
// transparent code.
void SamplePixelWords(const TBitmap& bitmap, uint16_t* words);

// 0x00BBGGRR to 5-6-5, keeping the top bits of each channel.
constexpr uint16_t ToPixelWord(uint32_t colour) {
    uint32_t red = colour & 0xFF, green = (colour >> 8) & 0xFF, blue = (colour >> 16) & 0xFF;
    return static_cast<uint16_t>((red >> 3) << 11 | (green >> 2) << 5 | (blue >> 3));
}
