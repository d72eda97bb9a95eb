// Any bytes through what tsatool does with a packet: the reader, the size
// candidates, the info facts and line, then the unpacked BMP back through
// pixbake's loader, which must give every word back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "convert/convert.h"
#include "packet/inspect.h"
#include "packet/packet.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kFuzzPixelLimit = uint64_t{1} << 16;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DecodedPacket packet;
    try {
        packet = ReadPacket(data, size);
    } catch (const EInvalidPacket&) {
        return 0;  // a clean refusal is a fine outcome
    }
    const uint64_t pixels = packet.words.size();

    // Every candidate fits the header bytes and the pixel count, each width
    // once, narrowest first; small counts are checked against every width.
    const std::vector<PacketSize> sizes = SizeCandidates(packet.widthByte, packet.heightByte, pixels);
    for (size_t i = 0; i < sizes.size(); ++i) {
        Check(sizes[i].width * sizes[i].height == pixels);
        Check(sizes[i].width % 256 == packet.widthByte && sizes[i].height % 256 == packet.heightByte);
        Check(i == 0 || sizes[i - 1].width < sizes[i].width);
    }
    if (pixels <= 4096) {
        size_t expected = pixels == 0 && packet.widthByte == 0 && packet.heightByte == 0 ? 1 : 0;
        for (uint64_t w = 1; w <= pixels; ++w)
            expected += pixels % w == 0 && w % 256 == packet.widthByte && (pixels / w) % 256 == packet.heightByte;
        Check(sizes.size() == expected);
    }

    PacketFacts facts;
    try {
        facts = InspectPacket(packet, size, std::nullopt);
    } catch (const EInvalidPacket&) {
        Check(sizes.empty());
        return 0;
    }
    Check(!sizes.empty() && facts.sizes == sizes);
    Check(facts.pixels == pixels && facts.transparent <= pixels && facts.fileSize == size);
    if (packet.form == PacketForm::Raw) {
        Check(size == kRawHeaderSize + 2 * pixels);
        Check(facts.otherFormSize > kCompressedHeaderSize || pixels == 0);
    } else {
        Check(facts.otherFormSize == kRawHeaderSize + 2 * pixels);
    }
    Check(!FormatInfoLine("fuzz.tsa", facts).empty());

    // An ambiguous size needs a width; any candidate's width settles it.
    bool refused = false;
    try {
        ChooseSize(packet, std::nullopt);
    } catch (const ESizeChoice&) {
        refused = true;
    }
    Check(refused == (sizes.size() > 1));
    const PacketSize size0 = ChooseSize(packet, sizes.front().width);
    Check(size0 == sizes.front());
    if (pixels > kFuzzPixelLimit) return 0;

    TMemoryStream bmp;
    WriteUnpackedBmp(packet.words, size0, bmp);
    Check(bmp.Size() == (pixels == 0 ? 0 : kUnpackedHeadersSize + 4 * pixels));
    TBitmap bitmap;
    bitmap.LoadFromMemory(bmp.Memory(), bmp.Size(), kFuzzPixelLimit);
    Check(static_cast<uint64_t>(bitmap.Width()) == size0.width);
    Check(static_cast<uint64_t>(bitmap.Height()) == size0.height);
    std::vector<uint16_t> back(pixels);
    SamplePixelWords(bitmap, back.data());
    for (size_t i = 0; i < pixels; ++i) {
        const uint16_t word = packet.words[i];
        Check(back[i] == (word == kKeyColourWord ? kTransparentWord : word));
    }
    return 0;
}
