// Text to 32-bit integer, in the one syntax the command line accepts.
#include "platform/platform.h"

#include <optional>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<int32_t> ParseNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;

    // Hexadecimal: $ x X 0x 0X, then digits taken as a 32-bit pattern.
    size_t prefix = 0;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        prefix = 1;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        prefix = 2;
    }
    if (prefix != 0) {
        i += prefix;
        if (i == text.size()) return std::nullopt;
        uint64_t value = 0;
        for (; i < text.size(); ++i) {
            int digit = HexDigit(text[i]);
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<uint64_t>(digit);
            if (value > 0xFFFFFFFFu) return std::nullopt;  // leading zeros cost nothing
        }
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    }

    // Decimal: an optional sign, digits, a value within int32.
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > limit) return std::nullopt;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

int32_t ParseNumberStrict(const std::string& text) {
    if (auto value = ParseNumber(text)) return *value;
    throw EConvertError("'" + text + "' is not a valid integer value");
}

int32_t ParseNumberOrDefault(const std::string& text, int32_t fallback) {
    return ParseNumber(text).value_or(fallback);
}
