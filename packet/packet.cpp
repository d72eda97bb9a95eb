// The Tsa packet.
//
// Every multi-byte field is little-endian.
//
//   offset  size  field
//   0       16    magic "TileSheetArchive" (no terminating zero)
//   16      4     packet number, signed 32-bit
//   20      1     width  mod 256
//   21      1     height mod 256
//   22      1     form flag: 0x88 compressed (1000 1000), 0x08 raw (0000 1000)
//   23      1     0
//   24      8     0            -- compressed form only
//   24/32   ...   body
//
// Both bodies hold all width x height pixels, row-major from the top row,
// however large the image (the header keeps only the low bytes of its size).
//
// A pixel word is 5-6-5: red in bits 15-11, green 10-5, blue 4-0. The key
// colour's word 0xF81F never appears; 0xE000 stands in its place.
//
// Raw body: the words, two bytes each.
//
// Compressed body: tokens up to the end of the file, with no length and no
// terminator. Each starts with a count byte c, read as a signed byte:
//
//   c = +2..+126   one word follows; it stands for c pixels       (3 bytes)
//   c = +1         one word follows; only as the very last token  (3 bytes)
//   c = -126..-1   -c words follow and stand for themselves  (1 + 2*-c bytes)
//
// 0x00, 0x7F, 0x80 and 0x81 are never count bytes: one token covers at most
// 126 pixels either way. Runs and literals pay no attention to row ends.
#include "packet/packet.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kMagic[16] = {'T', 'i', 'l', 'e', 'S', 'h', 'e', 'e',
                             't', 'A', 'r', 'c', 'h', 'i', 'v', 'e'};
constexpr uint8_t kFlagCompressed = 0x88;
constexpr uint8_t kFlagRaw = 0x08;
constexpr size_t kRunLimit = 126;

uint8_t* PutWord(uint8_t* out, uint16_t word) {
    out[0] = static_cast<uint8_t>(word);
    out[1] = static_cast<uint8_t>(word >> 8);
    return out + 2;
}

}  // namespace

void WritePacketHeader(TMemoryStream& packet, PacketForm form, int32_t number, uint32_t width,
                       uint32_t height) {
    uint8_t header[kCompressedHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    uint32_t bits = static_cast<uint32_t>(number);
    for (int i = 0; i < 4; ++i) header[16 + i] = static_cast<uint8_t>(bits >> (8 * i));
    header[20] = static_cast<uint8_t>(width);
    header[21] = static_cast<uint8_t>(height);
    header[22] = form == PacketForm::Compressed ? kFlagCompressed : kFlagRaw;
    packet.Write(header, form == PacketForm::Compressed ? kCompressedHeaderSize : kRawHeaderSize);
}

// One pass: a run of two or more equal words becomes a run token; words that
// differ from their right neighbour gather into a literal, which stops before
// an equal pair, at the run limit, or before the last word. The last word is
// always covered by a run token, of count 1 when it stands alone.
size_t EncodeRuns(const uint16_t* words, size_t n, uint8_t* out) {
    uint8_t* const start = out;
    size_t i = 0;
    while (i < n) {
        const uint16_t word = words[i];
        size_t run = 1;
        while (run < kRunLimit && i + run < n && words[i + run] == word) ++run;
        if (run >= 2 || i + 1 == n) {
            *out++ = static_cast<uint8_t>(run);
            out = PutWord(out, word);
            i += run;
            continue;
        }
        size_t literal = 0;
        size_t k = i;
        while (literal < kRunLimit && k + 1 < n && words[k] != words[k + 1]) {
            ++literal;
            ++k;
        }
        *out++ = static_cast<uint8_t>(256 - literal);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out, words + i, literal * 2);
            out += literal * 2;
        } else {
            for (size_t j = 0; j < literal; ++j) out = PutWord(out, words[i + j]);
        }
        i += literal;
    }
    return static_cast<size_t>(out - start);
}

// Reading follows the layout above: the header, then either the raw words or
// the tokens up to the end of the file.
DecodedPacket ReadPacket(const uint8_t* bytes, size_t size) {
    if (size < kRawHeaderSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0)
        throw EInvalidPacket("not a Tsa packet (no TileSheetArchive header)");
    DecodedPacket packet;
    packet.number = static_cast<int32_t>(bytes[16] | bytes[17] << 8 | bytes[18] << 16 |
                                         static_cast<uint32_t>(bytes[19]) << 24);
    packet.widthByte = bytes[20];
    packet.heightByte = bytes[21];
    auto word = [&](size_t at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); };

    if (bytes[22] == kFlagRaw) {
        packet.form = PacketForm::Raw;
        packet.bodyOffset = kRawHeaderSize;
        if ((size - kRawHeaderSize) % 2 != 0)
            throw EInvalidPacket("raw body has an odd number of bytes");
        packet.words.resize((size - kRawHeaderSize) / 2);
        for (size_t i = 0; i < packet.words.size(); ++i)
            packet.words[i] = word(kRawHeaderSize + 2 * i);
        return packet;
    }
    if (bytes[22] != kFlagCompressed) {
        char flag[8];
        std::snprintf(flag, sizeof flag, "0x%02X", bytes[22]);
        throw EInvalidPacket(std::string("unknown form flag ") + flag);
    }
    packet.form = PacketForm::Compressed;
    packet.bodyOffset = kCompressedHeaderSize;
    if (size < kCompressedHeaderSize) throw EInvalidPacket("compressed header is cut short");

    for (size_t at = kCompressedHeaderSize; at < size;) {
        const uint8_t count = bytes[at];
        if (count == 0x00 || count == 0x7F || count == 0x80 || count == 0x81) {
            char text[64];
            std::snprintf(text, sizeof text, "byte 0x%02X at offset %zu is not a count byte", count,
                          at);
            throw EInvalidPacket(text);
        }
        const size_t words = count < 0x80 ? 1 : 256 - count;
        if (size - at - 1 < words * 2) {
            char text[64];
            std::snprintf(text, sizeof text, "token at offset %zu runs past the end", at);
            throw EInvalidPacket(text);
        }
        if (count < 0x80) {
            packet.words.insert(packet.words.end(), count, word(at + 1));
        } else {
            for (size_t j = 0; j < words; ++j) packet.words.push_back(word(at + 1 + 2 * j));
        }
        at += 1 + words * 2;
    }
    return packet;
}
