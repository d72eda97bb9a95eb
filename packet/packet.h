// The Tsa packet: header writing and the run-length encoder. Free functions
// over buffers the caller owns; the layout is described in packet.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

enum class PacketForm { Raw, Compressed };

inline constexpr size_t kRawHeaderSize = 24;
inline constexpr size_t kCompressedHeaderSize = 32;
inline constexpr uint16_t kKeyColourWord = 0xF81F;    // RGB(255,0,255) in 5-6-5
inline constexpr uint16_t kTransparentWord = 0xE000;  // what a packet stores instead

// Appends the header of the given form: 32 bytes for Compressed, 24 for Raw.
// Width and height are the full values; only their low bytes are stored.
void WritePacketHeader(TMemoryStream& packet, PacketForm form, int32_t number, uint32_t width,
                       uint32_t height);

// Writes the token stream of the n words to out, which must hold 4 * n
// bytes, and returns its length in bytes (never more than 4 * n).
size_t EncodeRuns(const uint16_t* words, size_t n, uint8_t* out);

// The same token stream, from words handed over in slices of any size (a
// row at a time, say): Finish() returns the length of the stream that
// EncodeRuns would have written for all the words together. At most 127
// words are held back between slices.
class RunEncoder {
public:
    explicit RunEncoder(uint8_t* out) : start_(out), out_(out) {}
    void Append(const uint16_t* words, size_t n);
    size_t Finish();

private:
    uint8_t* start_;
    uint8_t* out_;
    std::vector<uint16_t> held_;
};

// ------------------------------------------------------------- reading --

// A packet that is not well formed: the message says what is wrong.
class EInvalidPacket : public Exception {
public:
    explicit EInvalidPacket(const std::string& message) : Exception(message) {}
};

struct DecodedPacket {
    int32_t number = 0;
    uint8_t widthByte = 0;   // width mod 256
    uint8_t heightByte = 0;  // height mod 256
    PacketForm form = PacketForm::Raw;
    size_t bodyOffset = 0;
    std::vector<uint16_t> words;  // every pixel, row-major from the top row
};

// Reads a whole packet file's bytes. Throws EInvalidPacket when the magic or
// the form flag is wrong, a raw body has an odd length, a token is not one
// the format has or runs past the end, or the body holds more pixels than
// the largest image pixbake converts (kMaxPixels).
DecodedPacket ReadPacket(const uint8_t* bytes, size_t size);
