// The hex pair conversion: a text of hexadecimal digit pairs to bytes, as the send buffer dialog
// and the traffic generator's data take them, and bytes back to such a text. Plain functions,
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pw::app {

// Characters a user may put between the pairs ("0D 0A", "0d,0a", "0D:0A", "0d-0a"); they are
// skipped wherever they stand and give no digit.
constexpr char HEX_SEPARATORS[] = " ,:-";

// What a conversion gave.
struct HexResult {
    bool ok = false;             // the text was hex digit pairs (and separators)
    std::size_t bytes = 0;       // bytes written when ok
    std::size_t badPosition = 0; // when !ok: 1-based position of the first character that is
                                 // neither a hex digit nor a separator; 0 for an odd digit count
};

// Converts `length` characters at `text` to bytes at `out`, which must hold at least length / 2.
// Separators are skipped; the digits that remain, a to f in either case, pair up from the start,
// the first of a pair the high digit. Any other character, or an odd number of digits, fails and
// writes nothing. An empty text, or one of separators only, succeeds with no bytes.
[[nodiscard]] HexResult HexPairsToBytes(const char* text, std::size_t length, std::uint8_t* out);

// Why a conversion failed, for a message: "not a hex digit at position 3" or "odd number of hex
// digits".
[[nodiscard]] std::string HexProblemText(const HexResult& result);

// Each byte as two lower-case hex digits, without separators: {0x0d, 0x0a} gives "0d0a".
[[nodiscard]] std::string BytesToHexText(const std::uint8_t* data, std::size_t length);

} // namespace pw::app
