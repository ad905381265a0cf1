// Fuzz target: hex pairs to bytes, on any text. An odd length fails and writes nothing; an even
// one gives half as many bytes, each of its two characters (anything but a hex digit counts as 0),
// and writes nothing more; and the hex text of any bytes converts back to them.
#include "app/core/hex_pairs.h"
#include "tests/fuzz/fuzz_input.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* digits = "0123456789abcdef0123456789ABCDEF"; // apart from the code under test
    const auto digit = [digits](char c) {
        return c != 0 && std::strchr(digits, c) ? (std::strchr(digits, c) - digits) % 16 : 0;
    };
    std::vector<std::uint8_t> out(size / 2 + 1, 0xA5);
    const bool ok = pw::app::HexPairsToBytes(text, size, out.data());
    REQUIRE(ok == (size % 2 == 0) && out.back() == 0xA5);
    for (std::size_t i = 0; i < size / 2; ++i) {
        REQUIRE(out[i] == (ok ? digit(text[2 * i]) * 16 + digit(text[2 * i + 1]) : 0xA5));
    }
    const std::string hex = pw::app::BytesToHexText(data, size); // lower-case digits, and back
    std::vector<std::uint8_t> back(size + 1, 0xA5);
    REQUIRE(hex.size() == 2 * size && hex.find_first_not_of("0123456789abcdef") == hex.npos);
    REQUIRE(pw::app::HexPairsToBytes(hex.data(), hex.size(), back.data()) &&
            std::equal(data, data + size, back.begin()) && back[size] == 0xA5);
    return 0;
}
