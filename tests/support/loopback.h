// Test peers on 127.0.0.1: plain POSIX sockets that play the other end of the bridge's ports.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Owns one descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A port on 127.0.0.1 that nothing uses at the moment of the call, chosen at random below the
// system's range for automatically assigned ports, so that no client socket of this or another
// process takes it before the caller binds it.
std::uint16_t free_tcp_port();
std::uint16_t free_udp_port();

// Blocking TCP connect to 127.0.0.1:port; invalid Fd when refused. A `receiveBuffer` (bytes)
// keeps the receive window small, so that a slow reader really pushes back.
Fd tcp_connect(std::uint16_t port, int receiveBuffer = 0);
// Listening TCP socket on 127.0.0.1:port (0: any free port).
Fd tcp_listen(std::uint16_t port);
// Accepts one connection within the time limit; invalid Fd otherwise.
Fd tcp_accept(int listenFd, int timeoutMs = 5000);
// UDP socket bound to 127.0.0.1:port (0: any free port).
Fd udp_bind(std::uint16_t port);
std::uint16_t local_port(int fd);
// Sends a datagram to 127.0.0.1:port.
bool udp_send(int fd, std::uint16_t port, const void* data, std::size_t length);
// Closes a TCP connection with a reset instead of an orderly close.
void tcp_reset(Fd& fd);

bool wait_readable(int fd, int timeoutMs);
// Reads exactly `length` bytes within the time limit.
bool read_exact(int fd, void* data, std::size_t length, int timeoutMs = 5000);
// Reads what arrives until the time limit or end of stream; stops early at `limit` bytes.
std::vector<std::uint8_t> read_for(int fd, int timeoutMs, std::size_t limit = SIZE_MAX);
// True when the peer closed (read returns 0 or a reset) within the time limit.
bool wait_peer_closed(int fd, int timeoutMs = 5000);
bool write_all(int fd, const void* data, std::size_t length);

// Number of descriptors this process holds open.
std::size_t open_fd_count();
// CPU time (user + system) this process has used, in milliseconds.
double process_cpu_ms();

// Polls `pred` every millisecond until it holds or the time limit passes.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A listening socket that never accepts and whose queue is full, so that the system drops every
// further SYN and a connect to it stays under way.
struct StalledListener {
    Fd listener;
    std::vector<Fd> queued;
    std::uint16_t port = 0; // 0 when it could not be set up
};
StalledListener stalled_listener();

// Runs `call` and tells how long it took.
template <class Call>
std::chrono::steady_clock::duration timed(Call call) {
    const auto begin = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - begin;
}

// Bytes 0..n-1 of a recognisable, non-repeating-at-2048 pattern.
std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed = 1);

} // namespace testsupport
