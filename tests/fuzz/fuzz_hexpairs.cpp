// Fuzz target: hex pairs to bytes, on any text. A text of hex digits and the separators " ,:-"
// with an even digit count gives the digits' bytes in pairs and writes nothing more; any other
// character fails at its position, an odd count fails without one, and neither writes anything;
// and the hex text of any bytes converts back to them.
#include "app/core/hex_pairs.h"
#include "tests/fuzz/fuzz_input.h"

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const std::string digits = "0123456789abcdef0123456789ABCDEF", separators = " ,:-";
    std::string pairs; // the text's digits, apart from the code under test
    std::size_t bad = 0;
    for (std::size_t i = 0; i < size && bad == 0; ++i) {
        const std::size_t d = digits.find(text[i]);
        pairs += d != digits.npos ? std::string(1, digits[d % 16]) : "";
        bad = d == digits.npos && separators.find(text[i]) == separators.npos ? i + 1 : 0;
    }
    std::vector<std::uint8_t> out(size / 2 + 1, 0xA5);
    const pw::app::HexResult r = pw::app::HexPairsToBytes(text, size, out.data());
    REQUIRE(r.ok == (bad == 0 && pairs.size() % 2 == 0) && r.badPosition == bad &&
            r.bytes == (r.ok ? pairs.size() / 2 : 0));
    for (std::size_t i = 0; i < out.size(); ++i) {
        REQUIRE(out[i] == (i < r.bytes ? std::stoi(pairs.substr(2 * i, 2), nullptr, 16) : 0xA5));
    }
    const std::string hex = pw::app::BytesToHexText(data, size); // lower-case digits, and back
    std::vector<std::uint8_t> back(size + 1, 0xA5);
    REQUIRE(hex.size() == 2 * size && hex.find_first_not_of("0123456789abcdef") == hex.npos);
    REQUIRE(pw::app::HexPairsToBytes(hex.data(), hex.size(), back.data()).bytes == size &&
            std::equal(data, data + size, back.begin()) && back[size] == 0xA5);
    return 0;
}
