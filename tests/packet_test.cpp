// The token stream and the packet header, byte for byte.
#include "packet/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr uint16_t X = 0xF800, Y = 0x07E0, Z = 0x001F;

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        if (i) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string Encode(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> out(words.size() * 4);
    size_t n = EncodeRuns(words.data(), words.size(), out.data());
    EXPECT_LE(n, out.size());
    return Hex(out.data(), n);
}

std::vector<uint16_t> Repeat(uint16_t word, size_t n) { return std::vector<uint16_t>(n, word); }

std::vector<uint16_t> Join(std::vector<uint16_t> a, const std::vector<uint16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> JoinBytes(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// n words with no two neighbours equal.
std::vector<uint16_t> Alternating(size_t n) {
    std::vector<uint16_t> words(n);
    for (size_t i = 0; i < n; ++i) words[i] = static_cast<uint16_t>(i);
    return words;
}

std::string RepeatHex(const std::string& token, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += (i ? " " : "") + token;
    return text;
}

struct TokenCase {
    const char* name;
    std::vector<uint16_t> words;
    std::string expected;
};

TEST(EncodeRuns, TokenStreams) {
    const std::vector<TokenCase> cases = {
        {"empty", {}, ""},
        {"X", {X}, "01 00 F8"},
        {"XX", {X, X}, "02 00 F8"},
        {"XXX", {X, X, X}, "03 00 F8"},
        {"XY", {X, Y}, "FF 00 F8 01 E0 07"},
        {"XYZ", {X, Y, Z}, "FE 00 F8 E0 07 01 1F 00"},
        {"XXY", {X, X, Y}, "02 00 F8 01 E0 07"},
        {"XYY", {X, Y, Y}, "FF 00 F8 02 E0 07"},
        {"XXYY", {X, X, Y, Y}, "02 00 F8 02 E0 07"},
        {"XYXYXY", {X, Y, X, Y, X, Y}, "FB 00 F8 E0 07 00 F8 E0 07 00 F8 01 E0 07"},
        {"XYZZZ", {X, Y, Z, Z, Z}, "FE 00 F8 E0 07 03 1F 00"},
        {"ZZZXY", {Z, Z, Z, X, Y}, "03 1F 00 FF 00 F8 01 E0 07"},
        {"126X", Repeat(X, 126), "7E 00 F8"},
        {"127X", Repeat(X, 127), "7E 00 F8 01 00 F8"},
        {"128X", Repeat(X, 128), "7E 00 F8 02 00 F8"},
        {"252X", Repeat(X, 252), "7E 00 F8 7E 00 F8"},
        {"253X", Repeat(X, 253), "7E 00 F8 7E 00 F8 01 00 F8"},
        {"127X then YY", Join(Repeat(X, 127), {Y, Y}), "7E 00 F8 FF 00 F8 02 E0 07"},
        {"600X", Repeat(X, 600), RepeatHex("7E 00 F8", 4) + " 60 00 F8"},
    };
    for (const auto& c : cases) EXPECT_EQ(Encode(c.words), c.expected) << c.name;
}

// Literals: the count byte and length at the run limit; the words themselves
// are copied unchanged, low byte first.
TEST(EncodeRuns, LiteralsAtTheRunLimit) {
    struct Case {
        size_t words;
        size_t bytes;
        std::vector<uint8_t> countBytes;  // at the token starts, in order
    };
    const std::vector<Case> cases = {
        {126, 254, {0x83, 0x01}},
        {127, 256, {0x82, 0x01}},
        {128, 259, {0x82, 0xFF, 0x01}},
    };
    for (const auto& c : cases) {
        std::vector<uint16_t> words = Alternating(c.words);
        std::vector<uint8_t> out(words.size() * 4);
        ASSERT_EQ(EncodeRuns(words.data(), words.size(), out.data()), c.bytes) << c.words;
        size_t at = 0, word = 0;
        for (uint8_t count : c.countBytes) {
            ASSERT_EQ(out[at], count) << c.words << " words, token at " << at;
            size_t n = count >= 0x82 ? 256 - count : 1;
            for (size_t j = 0; j < n; ++j, ++word) {
                EXPECT_EQ(out[at + 1 + 2 * j] | out[at + 2 + 2 * j] << 8, words[word]);
            }
            at += 1 + 2 * n;
        }
        EXPECT_EQ(at, c.bytes);
    }
}

// The worst case stays within the 4 bytes per word the caller provides and
// matches 2N + 1 + ceil((N - 1) / 126).
TEST(EncodeRuns, WorstCaseSize) {
    for (size_t n : {1u, 2u, 125u, 126u, 127u, 253u, 1000u}) {
        std::vector<uint16_t> words = Alternating(n);
        std::vector<uint8_t> out(n * 4);
        EXPECT_EQ(EncodeRuns(words.data(), n, out.data()), 2 * n + 1 + (n - 1 + 125) / 126) << n;
    }
}

std::string Header(PacketForm form, int32_t number, uint32_t width, uint32_t height) {
    TMemoryStream packet;
    WritePacketHeader(packet, form, number, width, height);
    return Hex(packet.Memory(), packet.Size());
}

TEST(WritePacketHeader, BothForms) {
    const std::string magic = "54 69 6C 65 53 68 65 65 74 41 72 63 68 69 76 65";
    EXPECT_EQ(Header(PacketForm::Compressed, 1, 6, 1),
              magic + " 01 00 00 00 06 01 88 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(Header(PacketForm::Raw, -1, 1, 1), magic + " FF FF FF FF 01 01 08 00");
    // Only the low bytes of the size are kept.
    EXPECT_EQ(Header(PacketForm::Compressed, 7, 300, 2),
              magic + " 07 00 00 00 2C 02 88 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(Header(PacketForm::Raw, INT32_MIN, 300, 256), magic + " 00 00 00 80 2C 00 08 00");
    EXPECT_EQ(Header(PacketForm::Raw, 0x12345678, 0, 0), magic + " 78 56 34 12 00 00 08 00");
}

// Encoding then reading gives back the words, whatever their pattern.
TEST(ReadPacket, RoundTripsBothForms) {
    std::vector<std::vector<uint16_t>> samples = {{}, {X}, Alternating(300),
                                                  Join(Repeat(X, 400), Alternating(130))};
    uint32_t state = 1;
    std::vector<uint16_t> mixed(5000);
    for (auto& w : mixed) {
        state = state * 1103515245 + 12345;
        w = static_cast<uint16_t>((state >> 16) % 3);  // short runs and literals
    }
    samples.push_back(mixed);
    for (const auto& words : samples) {
        for (PacketForm form : {PacketForm::Raw, PacketForm::Compressed}) {
            TMemoryStream packet;
            WritePacketHeader(packet, form, -5, 1, 1);
            if (form == PacketForm::Raw) {
                for (uint16_t w : words) packet.Write(&w, 2);  // little-endian host
            } else {
                std::vector<uint8_t> tokens(words.size() * 4);
                packet.Write(tokens.data(), EncodeRuns(words.data(), words.size(), tokens.data()));
            }
            DecodedPacket read = ReadPacket(packet.Memory(), packet.Size());
            EXPECT_EQ(read.form, form);
            EXPECT_EQ(read.number, -5);
            EXPECT_EQ(read.words, words) << words.size() << " words";
        }
    }
}

// Words handed over in slices of any size give the stream of all of them.
TEST(RunEncoder, SlicesGiveTheSameStream) {
    std::vector<uint16_t> words = Join(Repeat(X, 300), Alternating(400));
    words = Join(words, Repeat(Y, 127));
    words = Join(words, Alternating(127));
    words.push_back(Z);
    std::vector<uint8_t> whole(words.size() * 4);
    const size_t length = EncodeRuns(words.data(), words.size(), whole.data());
    whole.resize(length);
    for (size_t slice : {1u, 2u, 7u, 126u, 127u, 128u, 129u, 500u, 5000u}) {
        std::vector<uint8_t> out(words.size() * 4);
        RunEncoder encoder(out.data());
        for (size_t at = 0; at < words.size(); at += slice)
            encoder.Append(words.data() + at, std::min(slice, words.size() - at));
        out.resize(encoder.Finish());
        EXPECT_EQ(out, whole) << "slices of " << slice;
    }
}

TEST(ReadPacket, RefusesMalformedPackets) {
    const std::string magic = "TileSheetArchive";
    auto packet = [&](std::vector<uint8_t> tail) {
        std::vector<uint8_t> bytes(magic.begin(), magic.end());
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    };
    const std::vector<uint8_t> compressed = {0, 0, 0, 0, 2, 1, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        std::vector<uint8_t> bytes;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{'T', 'i', 'l', 'e'}, "not a Tsa packet (no TileSheetArchive header)"},
        {packet({0, 0, 0, 0, 1, 1, 0x48, 0}), "unknown form flag 0x48"},
        {packet({0, 0, 0, 0, 1, 1, 0x08, 0, 0x00}), "raw body has an odd number of bytes"},
        {packet({0, 0, 0, 0, 1, 1, 0x88, 0, 0, 0}), "compressed header is cut short"},
        {JoinBytes(packet(compressed), {0x02, 0x00}), "token at offset 32 runs past the end"},
        {JoinBytes(packet(compressed), {0x02, 0x00, 0xF8, 0xFE, 1, 2, 3}),
         "token at offset 35 runs past the end"},
    };
    for (const auto& c : cases) {
        try {
            ReadPacket(c.bytes.data(), c.bytes.size());
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const EInvalidPacket& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
    }
    // Run tokens claiming more pixels than any image pixbake converts.
    std::vector<uint8_t> huge = packet(compressed);
    for (uint64_t pixels = 0; pixels <= kMaxPixels; pixels += 126) huge.insert(huge.end(), {0x7E, 0, 0});
    try {
        ReadPacket(huge.data(), huge.size());
        ADD_FAILURE() << "accepted more than kMaxPixels pixels";
    } catch (const EInvalidPacket& e) {
        EXPECT_EQ(e.Message(), "decodes to more than 268435456 pixels, more than any image pixbake converts");
    }
    for (int count : {0x00, 0x7F, 0x80, 0x81}) {
        const auto byte = static_cast<uint8_t>(count);
        std::vector<uint8_t> bytes = JoinBytes(packet(compressed), {byte, 0, 0});
        EXPECT_THROW(ReadPacket(bytes.data(), bytes.size()), EInvalidPacket) << count;
    }
}

}  // namespace
