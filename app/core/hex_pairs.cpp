// The hex pair conversion.
#include "app/core/hex_pairs.h"

#include "app/core/dialog_texts.h"
#include "app/core/texts.h"

#include <cstring>

namespace pw::app {

namespace {

constexpr char HEX_DIGITS_LOWER[] = "0123456789abcdef";
constexpr int NOT_A_DIGIT = -1;

int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return NOT_A_DIGIT;
}

bool IsSeparator(char c) {
    // strchr would also find the terminating zero: a zero byte is no separator.
    return c != '\0' && std::strchr(HEX_SEPARATORS, c) != nullptr;
}

} // namespace

HexResult HexPairsToBytes(const char* text, std::size_t length, std::uint8_t* out) {
    // Checked whole before anything is written, so that a refused text leaves `out` as it was.
    HexResult result;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (DigitValue(text[i]) != NOT_A_DIGIT) {
            ++digits;
        } else if (!IsSeparator(text[i])) {
            result.badPosition = i + 1;
            return result;
        }
    }
    if (digits % 2 != 0) {
        return result;
    }
    int high = NOT_A_DIGIT;
    for (std::size_t i = 0; i < length; ++i) {
        const int value = DigitValue(text[i]);
        if (value == NOT_A_DIGIT) {
            continue;
        }
        if (high == NOT_A_DIGIT) {
            high = value;
        } else {
            out[result.bytes++] = static_cast<std::uint8_t>(high * 16 + value);
            high = NOT_A_DIGIT;
        }
    }
    result.ok = true;
    return result;
}

std::string HexProblemText(const HexResult& result) {
    return result.badPosition != 0 ? Format(HEX_NOT_A_DIGIT_FORMAT, result.badPosition)
                                   : std::string(HEX_ODD_DIGITS_TEXT);
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
