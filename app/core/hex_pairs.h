// The hex pair conversion: a text of hexadecimal digit pairs to bytes, as the send buffer dialog
// and the traffic generator's data take them, and bytes back to such a text. Plain functions,
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pw::app {

// Converts `length` characters at `text` to length / 2 bytes at `out`, which must hold at least
// that many. Each pair of characters from the start gives one byte, the first character the high
// digit. A digit is the character's position in "0123456789ABCDEF" after a to z are made upper
// case; any other character (a blank, a separator, 'G') counts as 0 and is never skipped.
// An odd length fails (false) and writes nothing; an empty text succeeds with no bytes.
[[nodiscard]] bool HexPairsToBytes(const char* text, std::size_t length, std::uint8_t* out);

// Each byte as two lower-case hex digits, without separators: {0x0d, 0x0a} gives "0d0a".
[[nodiscard]] std::string BytesToHexText(const std::uint8_t* data, std::size_t length);

} // namespace pw::app
