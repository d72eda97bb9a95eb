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

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

namespace {

// The length of the run of words[from], at most `limit` (>= 1) words.
size_t RunLength(const uint16_t* words, size_t from, size_t limit) {
    const uint16_t word = words[from];
    size_t run = 1;
#ifdef __SSE2__
    // Eight neighbours at a time; long runs are what this format is for.
    const __m128i same = _mm_set1_epi16(static_cast<short>(word));
    for (; run + 8 <= limit; run += 8) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + from + run));
        const unsigned differ = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(next, same))) & 0xFFFF;
        if (differ != 0) return run + static_cast<size_t>(std::countr_zero(differ)) / 2;
    }
#endif
    while (run < limit && words[from + run] == word) ++run;
    return run;
}

// How many words from `from` on differ from their right neighbour, counting
// at most `limit` of them (limit never reaches the last word).
size_t LiteralLength(const uint16_t* words, size_t from, size_t limit) {
    size_t taken = 0;
#ifdef __SSE2__
    for (; taken + 8 <= limit; taken += 8) {
        const uint16_t* at = words + from + taken;
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
        const unsigned equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(here, right)));
        if (equal != 0) return taken + static_cast<size_t>(std::countr_zero(equal)) / 2;
    }
#endif
    while (taken < limit && words[from + taken] != words[from + taken + 1]) ++taken;
    return taken;
}

// One pass: a run of two or more equal words becomes a run token; words that
// differ from their right neighbour gather into a literal, which stops before
// an equal pair, at the run limit, or before the last word. The last word is
// always covered by a run token, of count 1 when it stands alone.
//
// Writes the tokens from words[0] on and returns how many words they cover.
// With `more` set, further words follow these n: a token is written only
// where the words at hand settle it, which takes the run limit plus one
// words of look-ahead (a literal looks one word past its end).
size_t EncodeSome(const uint16_t* words, size_t n, bool more, uint8_t*& out) {
    size_t i = 0;
    while (more ? n - i > kRunLimit + 1 : i < n) {
        const size_t run = RunLength(words, i, std::min(kRunLimit, n - i));
        if (run >= 2 || i + 1 == n) {
            *out++ = static_cast<uint8_t>(run);
            out = PutWord(out, words[i]);
            i += run;
            continue;
        }
        // Here words[i] differs from words[i + 1], so the literal holds at
        // least that one word.
        const size_t literal = LiteralLength(words, i, std::min(kRunLimit, n - 1 - i));
        *out++ = static_cast<uint8_t>(256 - literal);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out, words + i, literal * 2);
            out += literal * 2;
        } else {
            for (size_t j = 0; j < literal; ++j) out = PutWord(out, words[i + j]);
        }
        i += literal;
    }
    return i;
}

}  // namespace

size_t EncodeRuns(const uint16_t* words, size_t n, uint8_t* out) {
    uint8_t* end = out;
    EncodeSome(words, n, false, end);
    return static_cast<size_t>(end - out);
}

void RunEncoder::Append(const uint16_t* words, size_t n) {
    held_.insert(held_.end(), words, words + n);
    const size_t done = EncodeSome(held_.data(), held_.size(), true, out_);
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(done));
}

size_t RunEncoder::Finish() {
    EncodeSome(held_.data(), held_.size(), false, out_);
    held_.clear();
    return static_cast<size_t>(out_ - start_);
}

constexpr const char* kTooManyPixels =
    "decodes to more than 268435456 pixels, more than any image pixbake converts";

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
        if ((size - kRawHeaderSize) / 2 > kMaxPixels) throw EInvalidPacket(kTooManyPixels);
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

    // First the tokens are checked and their pixels counted, so that the
    // words are stored in one allocation of the right size, or not at all.
    uint64_t pixels = 0;
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
        // A run token stands for up to 126 pixels in 3 bytes: without a cap a
        // small file could claim gigabytes of pixels.
        pixels += count < 0x80 ? count : words;
        if (pixels > kMaxPixels) throw EInvalidPacket(kTooManyPixels);
        at += 1 + words * 2;
    }
    packet.words.reserve(pixels);
    for (size_t at = kCompressedHeaderSize; at < size;) {
        const uint8_t count = bytes[at];
        const size_t words = count < 0x80 ? 1 : 256 - count;
        if (count < 0x80) {
            packet.words.insert(packet.words.end(), count, word(at + 1));
        } else {
            for (size_t j = 0; j < words; ++j) packet.words.push_back(word(at + 1 + 2 * j));
        }
        at += 1 + words * 2;
    }
    return packet;
}
