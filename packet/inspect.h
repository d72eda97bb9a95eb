// Looking into a packet after the fact: what size it has, what it holds, and
// the 32-bit BMP that gives it back to pixbake unchanged. tsatool is built on
// these; they work on a DecodedPacket from ReadPacket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packet/packet.h"
#include "platform/platform.h"

// The header keeps only width and height mod 256, so the size of a packet is
// found from its pixel count: the candidates are every (w, h) with
// w = widthByte, h = heightByte (mod 256), w, h >= 1 and w * h = pixels, and
// for 0 pixels the empty image 0 x 0 when both bytes are 0. One candidate is
// the size; several make the size ambiguous; none make the packet malformed.
// A packet whose width and height are both below 256 always has exactly one.
struct PacketSize {
    uint64_t width = 0;
    uint64_t height = 0;
    bool operator==(const PacketSize&) const = default;
};

// All candidates, narrowest first.
std::vector<PacketSize> SizeCandidates(uint8_t widthByte, uint8_t heightByte, uint64_t pixels);

// A packet whose size is ambiguous, or not the width asked for.
class ESizeChoice : public Exception {
public:
    explicit ESizeChoice(const std::string& message) : Exception(message) {}
};

// "256x512" for one size; "256x512 or 512x256" for several.
std::string DescribeSizes(const std::vector<PacketSize>& sizes);

// The size of the packet: the candidate of the given width when one is asked
// for, else the only candidate. Throws EInvalidPacket when there is no
// candidate at all, ESizeChoice when the width asked for is not one of them
// or when there are several and none was asked for.
PacketSize ChooseSize(const DecodedPacket& packet, std::optional<uint64_t> width);

// What `tsatool info` reports about one packet.
struct PacketFacts {
    int32_t number = 0;
    PacketForm form = PacketForm::Raw;
    std::vector<PacketSize> sizes;  // the candidates; empty only for an error
    uint64_t pixels = 0;
    uint64_t transparent = 0;  // words equal to kTransparentWord
    uint64_t fileSize = 0;
    uint64_t otherFormSize = 0;  // the same pixels in the other form
};

// Throws like ChooseSize, except that several candidates are no error: they
// are all kept in sizes (and narrowed to the one of the width asked for).
PacketFacts InspectPacket(const DecodedPacket& packet, uint64_t fileSize, std::optional<uint64_t> width);

// "NAME: packet 5, 16x16, compressed, 256 pixels, 40 transparent, 180 bytes,
// raw form 536 bytes". The size is "ambiguous size 256x512 or 512x256" when
// there are several candidates.
std::string FormatInfoLine(const std::string& name, const PacketFacts& facts);

// The colour a pixel word stands for, as 0xAARRGGBB: each channel widened to
// 8 bits by repeating its top bits, alpha 255; the transparent word gives
// RGB(255,0,255) with alpha 0. pixbake maps every such colour back to its word.
uint32_t UnpackedColour(uint16_t word);

// The file header and the 124-byte info header in front of the pixels.
inline constexpr size_t kUnpackedHeadersSize = 14 + 124;

// Appends a 32-bit BMP of the words (row-major from the top row) to out:
// a 124-byte header with bit fields for red, green, blue and alpha, rows
// stored bottom-up, colours from UnpackedColour. An empty image (0 x 0) is
// written as no bytes at all, which is what pixbake reads as empty. An image
// of more than kMaxPixels pixels, which pixbake would refuse, throws
// Exception and writes nothing.
void WriteUnpackedBmp(const std::vector<uint16_t>& words, PacketSize size, TMemoryStream& out);
