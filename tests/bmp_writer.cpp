#include "tests/bmp_writer.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace bmptest {

void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
    bytes.at(offset) = static_cast<uint8_t>(value);
    bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    PutU16(bytes, offset, static_cast<uint16_t>(value));
    PutU16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

namespace {

void AppendU16(std::vector<uint8_t>& bytes, uint32_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendU32(std::vector<uint8_t>& bytes, uint32_t value) {
    AppendU16(bytes, value & 0xFFFF);
    AppendU16(bytes, value >> 16);
}

// The stored rows, bottom-up unless the height is negative.
std::vector<uint8_t> MakeRows(const BmpRecipe& recipe) {
    const uint64_t width = recipe.width > 0 ? static_cast<uint64_t>(recipe.width) : 0;
    const uint64_t height = recipe.height < 0 ? 0 - static_cast<uint64_t>(recipe.height) : static_cast<uint64_t>(recipe.height);
    const unsigned bits = recipe.bitsPerPixel;
    const uint64_t stride = (width * bits + 31) / 32 * 4;
    if (stride * height > (uint64_t{64} << 20))
        throw std::invalid_argument("MakeBmp: too large to fill in; give data instead");
    std::vector<uint8_t> rows(stride * height);
    for (uint64_t y = 0; y < height; ++y) {
        const uint64_t stored = recipe.height < 0 ? y : height - 1 - y;
        uint8_t* row = rows.data() + stored * stride;
        for (uint64_t x = 0; x < width; ++x) {
            const uint64_t at = y * width + x;
            const uint32_t value = at < recipe.pixels.size() ? recipe.pixels[at] : 0;
            switch (bits) {
                case 1:
                case 2:
                case 4:
                case 8: {
                    const uint64_t bit = x * bits;  // first pixel in the high bits
                    const unsigned shift = static_cast<unsigned>(8 - bits - bit % 8);
                    row[bit / 8] = static_cast<uint8_t>(row[bit / 8] | (value & ((1u << bits) - 1)) << shift);
                    break;
                }
                case 16:
                case 24:
                case 32:
                    for (unsigned i = 0; i < bits / 8; ++i) row[x * bits / 8 + i] = static_cast<uint8_t>(value >> (8 * i));
                    break;
                default:
                    break;
            }
        }
    }
    return rows;
}

}  // namespace

std::vector<uint8_t> MakeBmp(const BmpRecipe& recipe) {
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(recipe.magic[0]));
    bytes.push_back(static_cast<uint8_t>(recipe.magic[1]));
    AppendU32(bytes, 0);  // file size, set at the end
    AppendU32(bytes, 0);  // reserved
    AppendU32(bytes, 0);  // data offset, set below

    const bool core = recipe.headerSize == 12;
    const size_t headerStart = bytes.size();
    AppendU32(bytes, recipe.headerSize);
    if (core) {
        AppendU16(bytes, static_cast<uint32_t>(recipe.width));
        AppendU16(bytes, static_cast<uint32_t>(recipe.height));
        AppendU16(bytes, recipe.planes);
        AppendU16(bytes, recipe.bitsPerPixel);
    } else {
        bytes.resize(headerStart + std::max<uint32_t>(recipe.headerSize, 40));
        PutU32(bytes, kOffsetWidth, static_cast<uint32_t>(recipe.width));
        PutU32(bytes, kOffsetHeight, static_cast<uint32_t>(recipe.height));
        PutU16(bytes, kOffsetPlanes, recipe.planes);
        PutU16(bytes, kOffsetBitsPerPixel, recipe.bitsPerPixel);
        PutU32(bytes, kOffsetCompression, recipe.compression);
        PutU32(bytes, kOffsetColoursUsed, recipe.coloursUsed.value_or(static_cast<uint32_t>(recipe.palette.size())));
        // Below 40 bytes the header is cut back to its claimed size.
        bytes.resize(headerStart + std::max<uint32_t>(recipe.headerSize, 4));
    }

    const size_t inHeader = recipe.headerSize >= 56 ? 4 : recipe.headerSize >= 52 ? 3 : 0;
    for (size_t i = 0; i < recipe.masks.size(); ++i) {
        if (i < inHeader)
            PutU32(bytes, headerStart + 40 + 4 * i, recipe.masks[i]);
        else if (inHeader == 0)
            AppendU32(bytes, recipe.masks[i]);
    }

    for (uint32_t colour : recipe.palette) {
        bytes.push_back(static_cast<uint8_t>(colour >> 16));
        bytes.push_back(static_cast<uint8_t>(colour >> 8));
        bytes.push_back(static_cast<uint8_t>(colour));
        if (!core) bytes.push_back(0);
    }

    const uint32_t natural = static_cast<uint32_t>(bytes.size());
    const uint32_t offset = recipe.dataOffset.value_or(natural);
    if (offset > natural) bytes.resize(offset);
    PutU32(bytes, kOffsetDataOffset, offset);

    const std::vector<uint8_t> data = recipe.data ? *recipe.data : MakeRows(recipe);
    bytes.insert(bytes.end(), data.begin(), data.end());
    PutU32(bytes, kOffsetFileSize, recipe.fileSizeField.value_or(static_cast<uint32_t>(bytes.size())));
    return bytes;
}

std::vector<uint8_t> MakeColourBmp(int32_t width, int32_t height, const std::vector<uint32_t>& colours) {
    BmpRecipe recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.bitsPerPixel = 24;
    recipe.pixels.reserve(colours.size());
    // 0x00BBGGRR to the stored 0xRRGGBB.
    for (uint32_t c : colours) recipe.pixels.push_back((c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF));
    return MakeBmp(recipe);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot create " + path);
    const size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
    const bool closed = std::fclose(file) == 0;
    if (written != bytes.size() || !closed) throw std::runtime_error("cannot write " + path);
}

}  // namespace bmptest
