// The conversion of one file: load, sample, encode, write the smaller form.
#include "convert/convert.h"

#include <bit>
#include <memory>

#include "packet/packet.h"
#include "platform/platform.h"

void SamplePixelWords(const TBitmap& bitmap, uint16_t* words) {
    // Row by row in memory order; the key colour's word becomes the
    // transparent code before either form sees it.
    const size_t width = static_cast<size_t>(bitmap.Width());
    const int height = bitmap.Height();
    auto colours = std::make_unique_for_overwrite<uint32_t[]>(width);
    for (int y = 0; y < height; ++y) {
        bitmap.ReadRow(y, colours.get());
        uint16_t* row = words + static_cast<size_t>(y) * width;
        for (size_t x = 0; x < width; ++x) {
            uint16_t word = ToPixelWord(colours[x]);
            row[x] = word == kKeyColourWord ? kTransparentWord : word;
        }
    }
}

void ConvertBitmap(const std::string& inputPath, const std::string& outputPath, int32_t number) {
    TBitmap bitmap;
    bitmap.LoadFromFile(inputPath);

    // The two packet buffers hold the headers; the bodies stay in the working
    // arrays below and go to the file straight from there.
    TMemoryStream compressed;
    TMemoryStream raw;
    const uint32_t width = static_cast<uint32_t>(bitmap.Width());
    const uint32_t height = static_cast<uint32_t>(bitmap.Height());
    WritePacketHeader(compressed, PacketForm::Compressed, number, width, height);
    WritePacketHeader(raw, PacketForm::Raw, number, width, height);

    // The loader caps the pixel count, so these sizes cannot overflow.
    const size_t count = size_t{width} * height;
    auto words = std::make_unique_for_overwrite<uint16_t[]>(count);
    auto tokens = std::make_unique_for_overwrite<uint8_t[]>(count * 4);

    SamplePixelWords(bitmap, words.get());

    const size_t tokenBytes = EncodeRuns(words.get(), count, tokens.get());

    // The compressed form wins only when strictly smaller.
    const bool useCompressed = compressed.Size() + tokenBytes < raw.Size() + count * 2;
    const TMemoryStream& header = useCompressed ? compressed : raw;
    const void* body = useCompressed ? static_cast<const void*>(tokens.get()) : words.get();
    const size_t bodySize = useCompressed ? tokenBytes : count * 2;
    if constexpr (std::endian::native == std::endian::big) {
        if (!useCompressed)
            for (size_t i = 0; i < count; ++i) words[i] = static_cast<uint16_t>(words[i] << 8 | words[i] >> 8);
    }

    TFileStream output(outputPath);
    output.Write(header.Memory(), header.Size());
    output.Write(body, bodySize);
    output.Commit();
}
