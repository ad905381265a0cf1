// Fuzz target: the hex pair conversion on any text. An odd length fails without writing; an even
// one gives exactly half as many bytes, each from its two characters as digits (anything that is
// not a hex digit counts as 0); and the hex text of any bytes converts back to those bytes.
#include "app/core/hex_pairs.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint8_t SENTINEL = 0xA5;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The digit value, worked out apart from the code under test.
unsigned Digit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<unsigned>(c - 'A' + 10);
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<std::uint8_t> out(size / 2 + 1, SENTINEL);
    const bool ok = pw::app::HexPairsToBytes(text, size, out.data());
    Require(ok == (size % 2 == 0));
    if (ok) {
        for (std::size_t i = 0; i < size / 2; ++i) {
            Require(out[i] == Digit(text[2 * i]) * 16 + Digit(text[2 * i + 1]));
        }
        Require(out[size / 2] == SENTINEL);
    } else {
        for (const std::uint8_t b : out) {
            Require(b == SENTINEL);
        }
    }

    // The text form of the input's bytes gives them back, in lower and in upper case.
    std::string hex = pw::app::BytesToHexText(data, size);
    Require(hex.size() == 2 * size);
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::uint8_t> back(size + 1, SENTINEL);
        Require(pw::app::HexPairsToBytes(hex.data(), hex.size(), back.data()));
        Require(size == 0 || std::memcmp(back.data(), data, size) == 0);
        Require(back[size] == SENTINEL);
        for (char& c : hex) {
            Require((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
            if (c >= 'a' && c <= 'f') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
    }
    return 0;
}
