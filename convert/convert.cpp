// The conversion of one file: load, sample, encode, write the smaller form.
//
// The pixel words are made a row at a time and handed straight to the
// encoder, so no array of all the words exists: a picture with runs in it
// costs little more than its file. When the raw form turns out smaller, its
// words are made again, row by row, as they are written. Nothing of this
// shows outside: the bytes written, the errors and their order are those of
// building both forms in full before the output file is touched.
#include "convert/convert.h"

#include <algorithm>
#include <bit>
#include <memory>

#include "packet/packet.h"
#include "platform/platform.h"

namespace {

// One row's pixel words; `colours` is scratch of Width() entries.
void SampleRow(const TBitmap& bitmap, int y, uint32_t* colours, uint16_t* words) {
    bitmap.ReadRow(y, colours);
    const size_t width = static_cast<size_t>(bitmap.Width());
    for (size_t x = 0; x < width; ++x) {
        const uint16_t word = ToPixelWord(colours[x]);
        words[x] = word == kKeyColourWord ? kTransparentWord : word;
    }
}

// Raw bodies go out in blocks of about this many words.
constexpr size_t kRawBlockWords = size_t{1} << 17;

void WriteRawBody(const TBitmap& bitmap, TFileStream& output) {
    const size_t width = static_cast<size_t>(bitmap.Width());
    const int height = bitmap.Height();
    const size_t rowsPerBlock = std::max<size_t>(1, kRawBlockWords / std::max<size_t>(width, 1));
    auto colours = std::make_unique_for_overwrite<uint32_t[]>(width);
    auto block = std::make_unique_for_overwrite<uint16_t[]>(rowsPerBlock * width);
    for (int y = 0; y < height;) {
        size_t rows = 0;
        for (; rows < rowsPerBlock && y < height; ++rows, ++y)
            SampleRow(bitmap, y, colours.get(), block.get() + rows * width);
        const size_t words = rows * width;
        if constexpr (std::endian::native == std::endian::big) {
            for (size_t i = 0; i < words; ++i)
                block[i] = static_cast<uint16_t>(block[i] << 8 | block[i] >> 8);
        }
        output.Write(block.get(), words * 2);
    }
}

}  // namespace

void SamplePixelWords(const TBitmap& bitmap, uint16_t* words) {
    const size_t width = static_cast<size_t>(bitmap.Width());
    auto colours = std::make_unique_for_overwrite<uint32_t[]>(width);
    for (int y = 0; y < bitmap.Height(); ++y)
        SampleRow(bitmap, y, colours.get(), words + static_cast<size_t>(y) * width);
}

void ConvertBitmap(const std::string& inputPath, const std::string& outputPath, int32_t number) {
    TBitmap bitmap;
    bitmap.LoadFromFile(inputPath);

    TMemoryStream compressed;
    TMemoryStream raw;
    const uint32_t width = static_cast<uint32_t>(bitmap.Width());
    const uint32_t height = static_cast<uint32_t>(bitmap.Height());
    WritePacketHeader(compressed, PacketForm::Compressed, number, width, height);
    WritePacketHeader(raw, PacketForm::Raw, number, width, height);

    // The working arrays: a row of words and the token buffer, sized for the
    // worst case once. The loader caps the pixel count, so no size overflows;
    // only the pages the tokens reach are ever touched.
    const size_t count = size_t{width} * height;
    auto tokens = std::make_unique_for_overwrite<uint8_t[]>(count * 4);
    auto colours = std::make_unique_for_overwrite<uint32_t[]>(width);
    auto row = std::make_unique_for_overwrite<uint16_t[]>(width);

    RunEncoder encoder(tokens.get());
    for (uint32_t y = 0; y < height; ++y) {
        SampleRow(bitmap, static_cast<int>(y), colours.get(), row.get());
        encoder.Append(row.get(), width);
    }
    const size_t tokenBytes = encoder.Finish();

    // The compressed form wins only when strictly smaller.
    const bool useCompressed = compressed.Size() + tokenBytes < raw.Size() + count * 2;
    TFileStream output(outputPath);
    if (useCompressed) {
        output.Write(compressed.Memory(), compressed.Size());
        output.Write(tokens.get(), tokenBytes);
    } else {
        output.Write(raw.Memory(), raw.Size());
        WriteRawBody(bitmap, output);
    }
    output.Commit();
}
