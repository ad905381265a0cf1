// The fuzzer's input as values (zeros once used up): list positions, sometimes none (-1) or past
// the list, and texts, on request mostly digits; and a check that ends the run.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#define REQUIRE(condition) ((condition) ? void() : std::abort())

struct FuzzInput {
    const std::uint8_t* data;
    std::size_t size, at = 0;
    int last = 0, high = 0; // the byte read last, and the first of a two-byte value
    std::uint8_t byte() { return static_cast<std::uint8_t>(last = at < size ? data[at++] : 0); }
    std::uint32_t u16() { return high = byte(), high << 8 | byte(); }
    int choice(int n) { return byte(), last == 255 ? -1 : last < 240 ? last % n : n + last % 16; }
    std::string text(std::size_t max, bool digits) {
        std::string s(byte() % (max + 1), '\0');
        for (char& c : s) {
            c = static_cast<char>(byte(), digits && last < 240 ? '0' + last % 10 : last);
        }
        return s;
    }
};
