// The hex pair conversion.
#include "app/core/hex_pairs.h"

namespace pw::app {

namespace {

constexpr char HEX_DIGITS_UPPER[] = "0123456789ABCDEF";
constexpr char HEX_DIGITS_LOWER[] = "0123456789abcdef";

std::uint8_t DigitValue(char c) {
    if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
    }
    for (std::uint8_t v = 0; v < 16; ++v) {
        if (HEX_DIGITS_UPPER[v] == c) {
            return v;
        }
    }
    return 0; // not a digit: counts as 0
}

} // namespace

bool HexPairsToBytes(const char* text, std::size_t length, std::uint8_t* out) {
    if (length % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < length; i += 2) {
        out[i / 2] = static_cast<std::uint8_t>(DigitValue(text[i]) * 16 + DigitValue(text[i + 1]));
    }
    return true;
}

std::string BytesToHexText(const std::uint8_t* data, std::size_t length) {
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += HEX_DIGITS_LOWER[data[i] >> 4];
        text += HEX_DIGITS_LOWER[data[i] & 0x0f];
    }
    return text;
}

} // namespace pw::app
