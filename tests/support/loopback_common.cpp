// The loopback helpers that need no platform call.
#include "tests/support/loopback.h"

#include <algorithm>

namespace testsupport {

Fd tcp_connect_within(std::uint16_t port, int timeoutMs) {
    Fd fd;
    wait_until([&] { return (fd = tcp_connect(port)).valid(); },
               std::chrono::milliseconds(timeoutMs));
    return fd;
}

bool read_exact(int fd, void* data, std::size_t length, int timeoutMs) {
    const std::vector<std::uint8_t> got = read_for(fd, timeoutMs, length);
    std::copy(got.begin(), got.end(), static_cast<std::uint8_t*>(data));
    return got.size() == length;
}

std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed * 2654435761u + 1u;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

} // namespace testsupport
