// The BMP loader behind TBitmap.
//
// File layout, all numbers little-endian:
//
//   file header   "BM"  file size u32 (ignored)  reserved u16 u16  data offset u32
//   core header   size u32 = 12   width u16  height u16  planes u16  bits u16
//   info header   size u32 >= 40  width i32  height i32  planes u16  bits u16
//                 compression u32  image size u32 (ignored)  density i32 i32 (ignored)
//                 colours used u32  colours important u32 (ignored)
//                 [size >= 52: red, green, blue masks u32]  [rest ignored]
//   masks         red, green, blue u32 (+ alpha u32 for compression 6), only when the
//                 info header is shorter than 52 bytes and the compression asks for them
//   colour table  B G R (core header) or B G R x (info header) per entry
//   pixel data    at the data offset; rows bottom-up for a positive height,
//                 top-down for a negative one; uncompressed rows padded to 4 bytes
//
// What we accept: planes 1; 1, 4, 8, 16, 24 or 32 bits per pixel; compression 0
// (plain), 1 (RLE8, 8 bits only), 2 (RLE4, 4 bits only), 3 (bit fields) and 6
// (bit fields with an alpha mask, which we read past and ignore) at 16 and 32
// bits. A core header implies compression 0. Everything else is refused as not
// valid rather than guessed at, including RLE stored top-down.
//
// Colours come out as 0x00BBGGRR and follow these rules:
//  - Colour table: an index beyond the entries the file stores gives black. The
//    table is held as a full 256 entries, so no index can reach outside it.
//  - Entry count: "colours used" when it is 1..2^bits, else 2^bits (always 2^bits
//    after a core header), but never reaching past the data offset: some writers
//    store a shorter table and put the pixels right behind it, and entries read
//    out of the pixel data would be noise anyway. Only a file that ends before
//    that many entries is cut short (a read error).
//  - 24 and 32 bits without masks: bytes B G R (x); the fourth byte plays no part.
//    16 bits without masks is x1555.
//  - Bit fields: each channel independently (overlapping masks are allowed).
//    shift = the mask's lowest set bit, width = the span up to its highest set bit;
//    the channel's bits are taken as they lie in that span, holes included.
//    Narrower than 8 bits the value is widened by repeating its bit pattern
//    (5 bits abcde -> abcdeabc), so full scale stays full scale; wider, its top 8
//    bits are kept. A zero mask gives 0. All of this is folded once per image
//    into a 256-entry table per channel.
//  - RLE: every pixel that no code writes (skipped by a delta, by an early end of
//    line or of bitmap, or by data that stops early) gets kSkippedColour, the
//    transparency key, so holes in the image come out transparent. A code that
//    would write outside the image (a run past the end of its row, a delta past
//    the right or bottom edge, a run after the last row) makes the whole file
//    invalid: such data is damaged, and clipping would only hide where.
//    Bytes after "end of bitmap" are ignored; a code cut off by the end of the
//    data is dropped.
//
// Sizes: the header is checked once, in 64-bit arithmetic that saturates instead
// of wrapping, before any pixel storage exists. The image may hold at most
// kMaxPixels pixels; uncompressed data must cover every row it claims. After
// that ReadRow works without checks: every byte it touches was proven present.
//
// Storage: uncompressed images are read straight from the file's bytes, which
// the bitmap keeps (mapped, not copied, when they come from a file). RLE is decoded once at load into one index byte per pixel
// plus one "skipped" bit per pixel; the file's bytes are then let go. A load
// that fails leaves the previous image as it was. ReadRow of a row that does
// not exist throws std::out_of_range: that is the caller's mistake, not the file's.
#include "platform/platform.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

enum class Layout {
    Indexed1,
    Indexed4,
    Indexed8,
    Runs,      // RLE4 or RLE8, decoded into indices
    Bgr24,
    Bgrx32,    // 32 bits with the usual 8-8-8 layout, the common case
    Fields16,
    Fields32,
};

struct Channel {
    uint32_t mask = 0;
    unsigned shift = 0;  // lowest set bit
    unsigned width = 0;  // lowest to highest set bit; 0 for a zero mask
};

// Everything ReadRow needs, validated once.
struct BmpHeader {
    int width = 0;
    int height = 0;  // positive
    bool topDown = false;
    unsigned bitsPerPixel = 0;
    unsigned compression = 0;
    Layout layout = Layout::Indexed8;
    Channel red, green, blue;
    uint32_t palette[256] = {};  // unused entries stay black
    uint64_t stride = 0;         // bytes per stored row, uncompressed only
    uint64_t dataOffset = 0;
};

constexpr unsigned kCompressionNone = 0;
constexpr unsigned kCompressionRle8 = 1;
constexpr unsigned kCompressionRle4 = 2;
constexpr unsigned kCompressionFields = 3;
constexpr unsigned kCompressionAlphaFields = 6;

constexpr uint64_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kMasksInHeaderSize = 52;  // the first size that carries its own masks

// Saturating arithmetic: a size that would overflow becomes UINT64_MAX and then
// fails every "fits in the file" comparison.
uint64_t SatAdd(uint64_t a, uint64_t b) {
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}
uint64_t SatMul(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

[[noreturn]] void ThrowInvalid() { throw EInvalidGraphic(kMsgInvalidBitmap); }
[[noreturn]] void ThrowShort() { throw EReadError(kMsgStreamRead); }

Channel MakeChannel(uint32_t mask) {
    Channel channel;
    channel.mask = mask;
    if (mask != 0) {
        channel.shift = static_cast<unsigned>(std::countr_zero(mask));
        channel.width = static_cast<unsigned>(std::bit_width(mask)) - channel.shift;
    }
    return channel;
}

BmpHeader ParseHeader(const uint8_t* bytes, uint64_t size, uint64_t maxPixels) {
    if (size < kFileHeaderSize) ThrowShort();
    if (bytes[0] != 'B' || bytes[1] != 'M') ThrowInvalid();
    BmpHeader header;
    header.dataOffset = U32(bytes + 10);

    if (size < kFileHeaderSize + 4) ThrowShort();
    const uint32_t headerSize = U32(bytes + 14);
    if (headerSize != kCoreHeaderSize && headerSize < kInfoHeaderSize) ThrowInvalid();
    if (kFileHeaderSize + headerSize > size) ThrowShort();
    const uint8_t* info = bytes + kFileHeaderSize;
    const bool core = headerSize == kCoreHeaderSize;

    int64_t width, height;
    unsigned planes;
    uint32_t coloursUsed = 0;
    if (core) {
        width = U16(info + 4);
        height = U16(info + 6);
        planes = U16(info + 8);
        header.bitsPerPixel = U16(info + 10);
        header.compression = kCompressionNone;
    } else {
        width = static_cast<int32_t>(U32(info + 4));
        height = static_cast<int32_t>(U32(info + 8));
        planes = U16(info + 12);
        header.bitsPerPixel = U16(info + 14);
        header.compression = U32(info + 16);
        coloursUsed = U32(info + 32);
    }

    const unsigned bits = header.bitsPerPixel;
    if (planes != 1) ThrowInvalid();
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) ThrowInvalid();
    const bool fields = header.compression == kCompressionFields || header.compression == kCompressionAlphaFields;
    const bool runs = header.compression == kCompressionRle8 || header.compression == kCompressionRle4;
    switch (header.compression) {
        case kCompressionNone: break;
        case kCompressionRle8: if (bits != 8) ThrowInvalid(); break;
        case kCompressionRle4: if (bits != 4) ThrowInvalid(); break;
        case kCompressionFields:
        case kCompressionAlphaFields: if (bits != 16 && bits != 32) ThrowInvalid(); break;
        default: ThrowInvalid();
    }

    // INT_MIN has no positive counterpart, so it cannot be a top-down height.
    if (width <= 0 || height == 0 || height == INT32_MIN) ThrowInvalid();
    header.topDown = height < 0;
    if (header.topDown) height = -height;
    // The codes step upward through the rows, so RLE has no top-down form: refuse rather than guess.
    if (header.topDown && runs) ThrowInvalid();
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (pixels > maxPixels)
        throw EInvalidGraphic("Bitmap image is too large (" + std::to_string(width) + " x " +
                              std::to_string(height) + " pixels; the limit is " +
                              std::to_string(maxPixels) + " pixels)");
    header.width = static_cast<int>(width);
    header.height = static_cast<int>(height);

    // Masks: in the header from 52 bytes on, else right behind it.
    uint64_t headersEnd = kFileHeaderSize + headerSize;
    uint32_t masks[3];
    if (fields) {
        const uint8_t* at = info + kInfoHeaderSize;
        if (headerSize < kMasksInHeaderSize) {
            const uint64_t maskBytes = header.compression == kCompressionAlphaFields ? 16 : 12;
            if (headersEnd + maskBytes > size) ThrowShort();
            at = bytes + headersEnd;
            headersEnd += maskBytes;
        }
        for (int i = 0; i < 3; ++i) masks[i] = U32(at + 4 * i);
    } else if (bits == 16) {
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else {
        masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
    }
    header.red = MakeChannel(masks[0]);
    header.green = MakeChannel(masks[1]);
    header.blue = MakeChannel(masks[2]);

    if (header.dataOffset < headersEnd) ThrowInvalid();

    if (bits <= 8) {
        const uint64_t entrySize = core ? 3 : 4;
        const uint32_t full = 1u << bits;
        uint64_t count = coloursUsed >= 1 && coloursUsed <= full ? coloursUsed : full;
        count = std::min(count, (header.dataOffset - headersEnd) / entrySize);
        if (headersEnd + count * entrySize > size) ThrowShort();
        const uint8_t* entry = bytes + headersEnd;
        for (uint64_t i = 0; i < count; ++i, entry += entrySize)
            header.palette[i] = uint32_t{entry[2]} | uint32_t{entry[1]} << 8 | uint32_t{entry[0]} << 16;
    }

    if (header.dataOffset > size) ThrowInvalid();

    if (runs) {
        header.layout = Layout::Runs;
        return header;
    }

    // The last row needs only its own bytes, not its padding.
    const uint64_t rowBits = SatMul(static_cast<uint64_t>(width), bits);
    header.stride = SatMul(SatAdd(rowBits, 31) / 32, 4);
    const uint64_t rowBytes = SatAdd(rowBits, 7) / 8;
    const uint64_t needed = SatAdd(SatAdd(header.dataOffset, SatMul(header.stride, static_cast<uint64_t>(height - 1))), rowBytes);
    if (needed > size) ThrowShort();

    switch (bits) {
        case 1: header.layout = Layout::Indexed1; break;
        case 4: header.layout = Layout::Indexed4; break;
        case 8: header.layout = Layout::Indexed8; break;
        case 16: header.layout = Layout::Fields16; break;
        case 24: header.layout = Layout::Bgr24; break;
        default:
            header.layout = masks[0] == 0xFF0000 && masks[1] == 0x00FF00 && masks[2] == 0x0000FF
                                 ? Layout::Bgrx32
                                 : Layout::Fields32;
    }
    return header;
}

// One channel folded into a table: pixel -> (pixel & mask) >> rightShift is
// always below 256 and indexes the finished colour bits.
struct ChannelTable {
    uint32_t mask = 0;
    unsigned rightShift = 0;
    uint32_t colour[256] = {};
};

void BuildChannelTable(const Channel& channel, unsigned position, ChannelTable& table) {
    table.mask = channel.mask;
    if (channel.width == 0) return;  // zero mask: always index 0, colour 0
    if (channel.width >= 8) {
        table.rightShift = channel.shift + channel.width - 8;
        for (uint32_t v = 0; v < 256; ++v) table.colour[v] = v << position;
        return;
    }
    table.rightShift = channel.shift;
    const unsigned w = channel.width;
    for (uint32_t v = 0; v < (1u << w); ++v) {
        // Output bit 7-i repeats input bit w-1-(i mod w).
        uint32_t wide = 0;
        for (unsigned i = 0; i < 8; ++i) wide |= ((v >> (w - 1 - i % w)) & 1u) << (7 - i);
        table.colour[v] = wide << position;
    }
}

}  // namespace

struct TBitmap::Image {
    BmpHeader header;
    // The whole file, kept when rows are read from it: mapped, or a copy.
    std::unique_ptr<TFileView> view;
    std::unique_ptr<TMemoryStream> copy;
    const uint8_t* pixelBytes = nullptr;  // the start of the file's bytes
    TMemoryStream indices;   // RLE: one palette index per pixel, top row first
    TMemoryStream skipped;   // RLE: one bit per pixel (bit x&7 of byte x>>3), set = key colour
    size_t skippedStride = 0;
    ChannelTable red, green, blue;

    void Prepare(const uint8_t* bytes, uint64_t size);
    void DecodeRuns(const uint8_t* data, uint64_t size);
    void MarkWritten(uint64_t row, uint64_t from, uint64_t count);
};

namespace {

// Where an RLE decode stands.
struct RunCursor {
    uint64_t x = 0;
    uint64_t y = 0;  // counted from the bottom row, as the codes are stored
};

}  // namespace

void TBitmap::Image::MarkWritten(uint64_t row, uint64_t from, uint64_t count) {
    uint8_t* bits = skipped.Memory() + row * skippedStride;
    uint64_t x = from;
    const uint64_t end = from + count;
    for (; x < end && (x & 7) != 0; ++x) bits[x >> 3] &= static_cast<uint8_t>(~(1u << (x & 7)));
    if (end - x >= 8) {
        std::memset(bits + (x >> 3), 0, (end - x) >> 3);
        x += (end - x) & ~uint64_t{7};
    }
    for (; x < end; ++x) bits[x >> 3] &= static_cast<uint8_t>(~(1u << (x & 7)));
}

// The codes, per pair of bytes (n, c):
//   n > 0          n pixels of c (RLE8) or of c's two nibbles in turn, high first (RLE4)
//   0 0            end of line: go to the start of the next row up
//   0 1            end of bitmap
//   0 2 dx dy      move right dx and up dy
//   0 c (c >= 3)   c literal pixels (bytes, or nibbles high first), padded to 16 bits
void TBitmap::Image::DecodeRuns(const uint8_t* data, uint64_t size) {
    const uint64_t width = static_cast<uint64_t>(header.width);
    const uint64_t height = static_cast<uint64_t>(header.height);
    const bool nibbles = header.compression == kCompressionRle4;

    indices.SetSize(width * height);
    std::memset(indices.Memory(), 0, width * height);
    skippedStride = (width + 7) / 8;
    skipped.SetSize(skippedStride * height);
    std::memset(skipped.Memory(), 0xFF, skippedStride * height);
    if (width % 8 != 0) {
        // ReadRow trusts every set bit to name a pixel of the row.
        for (uint64_t row = 0; row < height; ++row)
            skipped.Memory()[row * skippedStride + skippedStride - 1] = static_cast<uint8_t>((1u << (width % 8)) - 1);
    }

    uint64_t at = header.dataOffset;
    RunCursor cursor;

    // A write must stay inside the current row of the image.
    auto target = [&](uint64_t count) {
        if (cursor.y >= height || count > width - cursor.x) ThrowInvalid();
        const uint64_t row = height - 1 - cursor.y;
        MarkWritten(row, cursor.x, count);
        uint8_t* out = indices.Memory() + row * width + cursor.x;
        cursor.x += count;
        return out;
    };

    while (size - at >= 2) {
        const unsigned count = data[at];
        const unsigned code = data[at + 1];
        at += 2;
        if (count > 0) {
            uint8_t* out = target(count);
            if (nibbles) {
                const uint8_t pair[2] = {static_cast<uint8_t>(code >> 4), static_cast<uint8_t>(code & 15)};
                for (unsigned i = 0; i < count; ++i) out[i] = pair[i & 1];
            } else {
                std::memset(out, static_cast<int>(code), count);
            }
        } else if (code == 0) {
            cursor.x = 0;
            if (cursor.y < height) ++cursor.y;
        } else if (code == 1) {
            break;
        } else if (code == 2) {
            if (size - at < 2) break;
            const uint64_t dx = data[at], dy = data[at + 1];
            at += 2;
            if (dx > width - cursor.x || dy > height - cursor.y) ThrowInvalid();
            cursor.x += dx;
            cursor.y += dy;
        } else {
            const uint64_t bytes = nibbles ? (code + 1) / 2 : code;
            if (cursor.y >= height || code > width - cursor.x) ThrowInvalid();
            if (size - at < bytes) break;
            uint8_t* out = target(code);
            const uint8_t* in = data + at;
            if (nibbles) {
                for (unsigned i = 0; i < code; ++i)
                    out[i] = static_cast<uint8_t>((i & 1) ? in[i >> 1] & 15 : in[i >> 1] >> 4);
            } else {
                std::memcpy(out, in, code);
            }
            at += std::min(bytes + (bytes & 1), size - at);
        }
    }
}

void TBitmap::Image::Prepare(const uint8_t* bytes, uint64_t size) {
    BuildChannelTable(header.red, 0, red);
    BuildChannelTable(header.green, 8, green);
    BuildChannelTable(header.blue, 16, blue);
    if (header.layout == Layout::Runs) DecodeRuns(bytes, size);
}

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

void TBitmap::LoadFromFile(const std::string& path) {
    auto image = std::make_unique<Image>();
    image->view = std::make_unique<TFileView>();
    TFileView& file = *image->view;
    file.Open(path);
    if (file.Size() != 0) {
        image->header = ParseHeader(file.Data(), file.Size(), kMaxPixels);
        image->Prepare(file.Data(), file.Size());
        file.Check();
    }
    // Decoded runs no longer need the file's bytes.
    if (image->header.layout == Layout::Runs || file.Size() == 0)
        image->view.reset();
    else
        image->pixelBytes = file.Data();
    image_ = std::move(image);
}

void TBitmap::LoadFromMemory(const uint8_t* bytes, size_t size, uint64_t maxPixels) {
    auto image = std::make_unique<Image>();
    if (size != 0) {
        // Parse before copying: a refused file or an RLE image costs no copy.
        image->header = ParseHeader(bytes, size, std::min(maxPixels, kMaxPixels));
        image->Prepare(bytes, size);
        if (image->header.layout != Layout::Runs) {
            image->copy = std::make_unique<TMemoryStream>();
            image->copy->Write(bytes, size);
            image->pixelBytes = image->copy->Memory();
        }
    }
    image_ = std::move(image);
}

int TBitmap::Width() const { return image_ ? image_->header.width : 0; }
int TBitmap::Height() const { return image_ ? image_->header.height : 0; }

namespace {

#if defined(__x86_64__) || defined(__i386__)
// 24-bit rows, four pixels per shuffle. Returns how many pixels it did: it
// stops while a whole 16-byte load still lies within the row's bytes.
__attribute__((target("ssse3"))) size_t Bgr24RowSsse3(const uint8_t* in, uint32_t* colours,
                                                       size_t width) {
    // Bytes B G R of each pixel to R G B 0 (0x00BBGGRR).
    const __m128i order = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    size_t x = 0;
    for (; x + 6 <= width; x += 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(colours + x), _mm_shuffle_epi8(bytes, order));
    }
    return x;
}
bool HaveSsse3() {
    // Asked once, after the processor's features are known for certain.
    static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
    return have;
}
#else
size_t Bgr24RowSsse3(const uint8_t*, uint32_t*, size_t) { return 0; }
constexpr bool HaveSsse3() { return false; }
#endif

inline uint32_t Fields(uint32_t pixel, const ChannelTable& r, const ChannelTable& g, const ChannelTable& b) {
    return r.colour[(pixel & r.mask) >> r.rightShift] | g.colour[(pixel & g.mask) >> g.rightShift] |
           b.colour[(pixel & b.mask) >> b.rightShift];
}

}  // namespace

void TBitmap::ReadRow(int y, uint32_t* colours) const {
    if (!image_ || y < 0 || y >= image_->header.height) throw std::out_of_range("TBitmap::ReadRow: no such row");
    const Image& image = *image_;
    const BmpHeader& h = image.header;
    const size_t width = static_cast<size_t>(h.width);
    const uint32_t* palette = h.palette;

    if (h.layout == Layout::Runs) {
        const uint8_t* in = image.indices.Memory() + static_cast<size_t>(y) * width;
        for (size_t x = 0; x < width; ++x) colours[x] = palette[in[x]];
        const uint8_t* bits = image.skipped.Memory() + static_cast<size_t>(y) * image.skippedStride;
        for (size_t i = 0; i < image.skippedStride; ++i) {
            for (unsigned b = bits[i]; b != 0; b &= b - 1)
                colours[i * 8 + static_cast<unsigned>(std::countr_zero(b))] = kSkippedColour;
        }
        return;
    }

    const size_t stored = h.topDown ? static_cast<size_t>(y) : static_cast<size_t>(h.height - 1 - y);
    const uint8_t* in = image.pixelBytes + h.dataOffset + stored * h.stride;
    switch (h.layout) {
        case Layout::Indexed1:
            for (size_t x = 0; x < width; ++x) colours[x] = palette[(in[x >> 3] >> (7 - (x & 7))) & 1];
            break;
        case Layout::Indexed4:
            for (size_t x = 0; x < width; ++x) colours[x] = palette[(in[x >> 1] >> ((x & 1) ? 0 : 4)) & 15];
            break;
        case Layout::Indexed8:
            for (size_t x = 0; x < width; ++x) colours[x] = palette[in[x]];
            break;
        case Layout::Bgr24: {
            size_t x = HaveSsse3() ? Bgr24RowSsse3(in, colours, width) : 0;
            for (in += 3 * x; x < width; ++x, in += 3)
                colours[x] = uint32_t{in[2]} | uint32_t{in[1]} << 8 | uint32_t{in[0]} << 16;
            break;
        }
        case Layout::Bgrx32:
            // Whole words, so that the compiler can work on several at once.
            for (size_t x = 0; x < width; ++x) {
                const uint32_t v = U32(in + 4 * x);
                colours[x] = (v >> 16 & 0xFF) | (v & 0xFF00) | (v & 0xFF) << 16;
            }
            break;
        case Layout::Fields16:
            for (size_t x = 0; x < width; ++x, in += 2) colours[x] = Fields(U16(in), image.red, image.green, image.blue);
            break;
        case Layout::Fields32:
            for (size_t x = 0; x < width; ++x, in += 4) colours[x] = Fields(U32(in), image.red, image.green, image.blue);
            break;
        case Layout::Runs:
            break;
    }
    if (image.view) image.view->Check();
}
