// Any bytes through the whole in-memory path: loader, pixel words, both
// packet forms, and back through the packet reader.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "convert/convert.h"
#include "packet/packet.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kFuzzPixelLimit = uint64_t{1} << 14;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TBitmap bitmap;
    try {
        // Claims of huge images are refused the same way at any limit; a low
        // one keeps each run fast.
        bitmap.LoadFromMemory(data, size, kFuzzPixelLimit);
    } catch (const Exception&) {
        return 0;  // a clean refusal is a fine outcome
    }
    const size_t width = static_cast<size_t>(bitmap.Width());
    const size_t height = static_cast<size_t>(bitmap.Height());
    const size_t count = width * height;
    Check(count <= kFuzzPixelLimit);

    auto words = std::make_unique_for_overwrite<uint16_t[]>(count);
    SamplePixelWords(bitmap, words.get());
    for (size_t i = 0; i < count; ++i) Check(words[i] != kKeyColourWord);

    TMemoryStream compressed;
    WritePacketHeader(compressed, PacketForm::Compressed, 1, static_cast<uint32_t>(width),
                      static_cast<uint32_t>(height));
    auto tokens = std::make_unique_for_overwrite<uint8_t[]>(count * 4);
    const size_t tokenBytes = EncodeRuns(words.get(), count, tokens.get());
    Check(tokenBytes <= count * 4);
    compressed.Write(tokens.get(), tokenBytes);

    TMemoryStream raw;
    WritePacketHeader(raw, PacketForm::Raw, 1, static_cast<uint32_t>(width),
                      static_cast<uint32_t>(height));
    raw.Write(words.get(), count * 2);  // little-endian host

    for (const TMemoryStream* packet : {&compressed, &raw}) {
        DecodedPacket read = ReadPacket(packet->Memory(), packet->Size());
        Check(read.widthByte == static_cast<uint8_t>(width));
        Check(read.heightByte == static_cast<uint8_t>(height));
        Check(read.words.size() == count);
        Check(count == 0 || std::memcmp(read.words.data(), words.get(), count * 2) == 0);
    }
    return 0;
}
