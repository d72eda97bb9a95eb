// Size candidates, packet facts and the unpacked BMP.
#include "packet/inspect.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

std::string SizeText(PacketSize size) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRIu64 "x%" PRIu64, size.width, size.height);
    return text;
}

std::string HeaderBytesText(const DecodedPacket& packet) {
    char text[64];
    std::snprintf(text, sizeof text, "width byte %u and height byte %u", unsigned{packet.widthByte},
                  unsigned{packet.heightByte});
    return text;
}

void PutU16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value) {
    PutU16(at, value & 0xFFFF);
    PutU16(at + 2, value >> 16);
}

}  // namespace

// A candidate has w <= h or h < w, so it is enough to try the values up to
// the square root on either side: w = widthByte + 256k with w * w <= pixels,
// then h = heightByte + 256k with h * h < pixels (whose w is then wider than
// h, so no candidate is found twice).
std::vector<PacketSize> SizeCandidates(uint8_t widthByte, uint8_t heightByte, uint64_t pixels) {
    std::vector<PacketSize> sizes;
    if (pixels == 0) {
        if (widthByte == 0 && heightByte == 0) sizes.push_back({0, 0});
        return sizes;
    }
    const uint64_t firstWidth = widthByte == 0 ? 256 : widthByte;
    for (uint64_t w = firstWidth; w <= pixels / w; w += 256) {
        if (pixels % w == 0 && (pixels / w) % 256 == heightByte) sizes.push_back({w, pixels / w});
    }
    const uint64_t firstHeight = heightByte == 0 ? 256 : heightByte;
    for (uint64_t h = firstHeight; h < pixels / h; h += 256) {
        if (pixels % h == 0 && (pixels / h) % 256 == widthByte) sizes.push_back({pixels / h, h});
    }
    std::sort(sizes.begin(), sizes.end(),
              [](PacketSize a, PacketSize b) { return a.width < b.width; });
    return sizes;
}

std::string DescribeSizes(const std::vector<PacketSize>& sizes) {
    std::string text;
    for (size_t i = 0; i < sizes.size(); ++i) text += (i ? " or " : "") + SizeText(sizes[i]);
    return text;
}

namespace {

// The candidates, narrowed to the width asked for. Throws as ChooseSize does,
// except for several candidates with no width asked for.
std::vector<PacketSize> NarrowSizes(const DecodedPacket& packet, std::optional<uint64_t> width) {
    const uint64_t pixels = packet.words.size();
    std::vector<PacketSize> sizes = SizeCandidates(packet.widthByte, packet.heightByte, pixels);
    if (sizes.empty()) {
        throw EInvalidPacket("decodes to " + std::to_string(pixels) +
                             " pixels, which no size with " + HeaderBytesText(packet) + " gives");
    }
    if (!width) return sizes;
    for (PacketSize size : sizes) {
        if (size.width == *width) return {size};
    }
    throw ESizeChoice("width " + std::to_string(*width) + " does not fit: " + std::to_string(pixels) +
                      " pixels with " + HeaderBytesText(packet) + " make " + DescribeSizes(sizes));
}

}  // namespace

PacketSize ChooseSize(const DecodedPacket& packet, std::optional<uint64_t> width) {
    const std::vector<PacketSize> sizes = NarrowSizes(packet, width);
    if (sizes.size() > 1)
        throw ESizeChoice("the size is ambiguous: " + DescribeSizes(sizes) + "; choose one with --width");
    return sizes.front();
}

PacketFacts InspectPacket(const DecodedPacket& packet, uint64_t fileSize, std::optional<uint64_t> width) {
    PacketFacts facts;
    facts.sizes = NarrowSizes(packet, width);
    facts.number = packet.number;
    facts.form = packet.form;
    facts.pixels = packet.words.size();
    facts.transparent = static_cast<uint64_t>(
        std::count(packet.words.begin(), packet.words.end(), kTransparentWord));
    facts.fileSize = fileSize;
    if (packet.form == PacketForm::Compressed) {
        facts.otherFormSize = kRawHeaderSize + 2 * facts.pixels;
    } else {
        const size_t n = packet.words.size();
        auto tokens = std::make_unique_for_overwrite<uint8_t[]>(n * 4);
        facts.otherFormSize = kCompressedHeaderSize + EncodeRuns(packet.words.data(), n, tokens.get());
    }
    return facts;
}

std::string FormatInfoLine(const std::string& name, const PacketFacts& facts) {
    const bool compressed = facts.form == PacketForm::Compressed;
    const std::string size =
        facts.sizes.size() == 1 ? SizeText(facts.sizes.front()) : "ambiguous size " + DescribeSizes(facts.sizes);
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  ", %s, %" PRIu64 " pixels, %" PRIu64 " transparent, %" PRIu64 " bytes, %s form %" PRIu64
                  " bytes",
                  compressed ? "compressed" : "raw", facts.pixels, facts.transparent, facts.fileSize,
                  compressed ? "raw" : "compressed", facts.otherFormSize);
    return name + ": packet " + std::to_string(facts.number) + ", " + size + numbers;
}

uint32_t UnpackedColour(uint16_t word) {
    if (word == kTransparentWord) return 0x00FF00FF;
    const uint32_t red = word >> 11, green = (word >> 5) & 63, blue = word & 31;
    return 0xFF000000u | (red << 3 | red >> 2) << 16 | (green << 2 | green >> 4) << 8 | (blue << 3 | blue >> 2);
}

void WriteUnpackedBmp(const std::vector<uint16_t>& words, PacketSize size, TMemoryStream& out) {
    const uint64_t pixels = words.size();
    if (pixels == 0) return;
    if (pixels > kMaxPixels) {
        throw Exception(std::to_string(pixels) + " pixels are more than pixbake reads back (the limit is " +
                        std::to_string(kMaxPixels) + " pixels)");
    }
    if (size.width * size.height != pixels) throw std::logic_error("WriteUnpackedBmp: size does not match");

    const size_t start = out.Size();
    const size_t total = kUnpackedHeadersSize + 4 * pixels;  // below 2^31: pixels <= 2^28
    out.SetSize(start + total);
    uint8_t* const file = out.Memory() + start;
    std::memset(file, 0, kUnpackedHeadersSize);

    file[0] = 'B';
    file[1] = 'M';
    PutU32(file + 2, static_cast<uint32_t>(total));
    PutU32(file + 10, static_cast<uint32_t>(kUnpackedHeadersSize));

    uint8_t* const info = file + 14;
    PutU32(info + 0, 124);
    PutU32(info + 4, static_cast<uint32_t>(size.width));
    PutU32(info + 8, static_cast<uint32_t>(size.height));  // positive: bottom-up
    PutU16(info + 12, 1);                                  // planes
    PutU16(info + 14, 32);                                 // bits per pixel
    PutU32(info + 16, 3);                                  // bit fields
    PutU32(info + 20, static_cast<uint32_t>(4 * pixels));
    PutU32(info + 24, 2835);  // 72 dots per inch
    PutU32(info + 28, 2835);
    PutU32(info + 40, 0x00FF0000);  // red
    PutU32(info + 44, 0x0000FF00);  // green
    PutU32(info + 48, 0x000000FF);  // blue
    PutU32(info + 52, 0xFF000000);  // alpha
    PutU32(info + 56, 0x73524742);  // colour space "sRGB"
    PutU32(info + 108, 4);          // rendering intent: pictures

    const size_t width = static_cast<size_t>(size.width);
    const size_t height = static_cast<size_t>(size.height);
    uint8_t* at = file + kUnpackedHeadersSize;
    for (size_t y = height; y-- > 0;) {
        const uint16_t* row = words.data() + y * width;
        for (size_t x = 0; x < width; ++x, at += 4) PutU32(at, UnpackedColour(row[x]));
    }
}
