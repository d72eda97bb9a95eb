// The encoder against its own grammar and the packet reader.
//
// Each input byte picks a word from a small alphabet, so runs of every length
// (and the run limit) turn up as often as literals.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "packet/packet.h"
#include "platform/platform.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint16_t kAlphabet[4] = {0x0000, 0xE000, 0x1234, 0xFFFF};
    std::vector<uint16_t> words;
    for (size_t i = 0; i < size; ++i) {
        // The low two bits choose the word, the rest repeat it 1 to 64 times.
        words.insert(words.end(), (data[i] >> 2) + 1u, kAlphabet[data[i] & 3]);
    }
    const size_t n = words.size();

    std::vector<uint8_t> tokens(n * 4);
    const size_t length = EncodeRuns(words.data(), n, tokens.data());
    // The largest stream: 2N + 1 + ceil((N - 1) / 126).
    Check(n == 0 ? length == 0 : length <= 2 * n + 1 + (n - 1 + 125) / 126);

    // The grammar: count bytes 1..126 or 0x82..0xFF; 1 only as the last token;
    // a literal's words each differ from the word after them.
    size_t covered = 0;
    for (size_t at = 0; at < length;) {
        const uint8_t count = tokens[at];
        Check(count != 0 && count != 0x7F && count != 0x80 && count != 0x81);
        if (count < 0x80) {
            Check(count != 1 || at + 3 == length);
            covered += count;
            at += 3;
        } else {
            const size_t literal = 256 - count;
            for (size_t j = 0; j < literal; ++j) {
                Check(covered + j + 1 < n);  // never the last word
                Check(words[covered + j] != words[covered + j + 1]);
            }
            covered += literal;
            at += 1 + literal * 2;
        }
    }
    Check(covered == n);

    // The same stream from the words in slices, sized by the input itself.
    std::vector<uint8_t> sliced(n * 4);
    RunEncoder encoder(sliced.data());
    for (size_t at = 0, i = 0; at < n; ++i) {
        const size_t slice = std::min<size_t>(n - at, size == 0 ? n : 1u + data[i % size] * 3u);
        encoder.Append(words.data() + at, slice);
        at += slice;
    }
    Check(encoder.Finish() == length);
    Check(std::equal(tokens.begin(), tokens.begin() + static_cast<long>(length), sliced.begin()));

    TMemoryStream packet;
    WritePacketHeader(packet, PacketForm::Compressed, 0, 0, 0);
    packet.Write(tokens.data(), length);
    Check(ReadPacket(packet.Memory(), packet.Size()).words == words);
    return 0;
}
