// Writes the seed corpus: one small file for each BMP variant the loader
// reads, and a few word patterns for the encoder.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/bmp_writer.h"

namespace {

using bmptest::BmpRecipe;

std::vector<uint32_t> Ramp(size_t n, uint32_t modulo) {
    std::vector<uint32_t> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = static_cast<uint32_t>((i * 7 + i / 3) % modulo);
    return values;
}

std::vector<BmpRecipe> Variants() {
    std::vector<BmpRecipe> recipes;
    const std::vector<uint32_t> palette16 = Ramp(16, 0x1000000);
    for (uint16_t bits : {uint16_t{1}, uint16_t{4}, uint16_t{8}}) {
        BmpRecipe s;
        s.width = 7;
        s.height = 5;
        s.bitsPerPixel = bits;
        s.palette.assign(palette16.begin(), palette16.begin() + (bits == 1 ? 2 : 16));
        s.pixels = Ramp(35, bits == 1 ? 2 : 16);
        recipes.push_back(s);
        s.headerSize = 12;  // core header
        recipes.push_back(s);
        s.headerSize = 124;
        s.height = -5;  // top-down
        recipes.push_back(s);
    }
    for (uint16_t bits : {uint16_t{16}, uint16_t{24}, uint16_t{32}}) {
        BmpRecipe s;
        s.width = 6;
        s.height = 4;
        s.bitsPerPixel = bits;
        s.pixels = Ramp(24, bits == 16 ? 0x10000 : 0x1000000);
        recipes.push_back(s);
    }
    BmpRecipe masks;
    masks.width = 5;
    masks.height = 3;
    masks.bitsPerPixel = 16;
    masks.compression = 3;
    masks.masks = {0xF800, 0x07E0, 0x001F};
    masks.pixels = Ramp(15, 0x10000);
    recipes.push_back(masks);
    masks.bitsPerPixel = 32;
    masks.headerSize = 108;
    masks.masks = {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000};
    masks.pixels = Ramp(15, 0xFFFFFFFF);
    recipes.push_back(masks);

    // Run-length codes: runs, an absolute stretch, a delta, end of line and
    // end of bitmap.
    BmpRecipe rle8;
    rle8.width = 8;
    rle8.height = 4;
    rle8.bitsPerPixel = 8;
    rle8.compression = 1;
    rle8.palette = palette16;
    rle8.data = std::vector<uint8_t>{3, 1, 0, 3, 4, 5, 6, 0, 0, 2, 2, 1, 0, 0, 8, 2, 0, 1};
    recipes.push_back(rle8);
    BmpRecipe rle4 = rle8;
    rle4.bitsPerPixel = 4;
    rle4.compression = 2;
    rle4.data = std::vector<uint8_t>{5, 0x12, 0, 4, 0x34, 0x56, 0, 2, 1, 1, 0, 0, 8, 0x77, 0, 1};
    recipes.push_back(rle4);
    return recipes;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    std::filesystem::create_directories(root / "load");
    std::filesystem::create_directories(root / "encode");
    int n = 0;
    for (const BmpRecipe& recipe : Variants())
        bmptest::WriteFile((root / "load" / ("variant" + std::to_string(n++) + ".bmp")).string(),
                           bmptest::MakeBmp(recipe));
    const std::vector<std::vector<uint8_t>> patterns = {
        {0x00}, {0x01, 0x02}, {0xFC, 0xFC, 0x01}, {0x00, 0x01, 0x02, 0x03, 0x00, 0x01},
        std::vector<uint8_t>(200, 0x01), std::vector<uint8_t>(130, 0xF8)};
    n = 0;
    for (const auto& pattern : patterns)
        bmptest::WriteFile((root / "encode" / ("pattern" + std::to_string(n++))).string(), pattern);
    return 0;
}
