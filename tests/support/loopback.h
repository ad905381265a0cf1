// Test peers on 127.0.0.1 (plain sockets as the far ends of the bridge's ports), and the tools
// the tests wait and measure with.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
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

// A free port on 127.0.0.1 never given to this process before, below the system's range for
// automatic ports, so that no client socket takes it before the caller binds it.
std::uint16_t free_tcp_port();
std::uint16_t free_udp_port();

// Blocking connect to 127.0.0.1:port, invalid when refused; a small `receiveBuffer` makes a slow
// reader push back.
Fd tcp_connect(std::uint16_t port, int receiveBuffer = 0);
// Connects as soon as the port listens, within the time limit.
Fd tcp_connect_within(std::uint16_t port, int timeoutMs = 10000);
Fd tcp_listen(std::uint16_t port); // 0: any free port
// Accepts one connection within the time limit; invalid otherwise.
Fd tcp_accept(int listenFd, int timeoutMs = 5000);
Fd udp_bind(std::uint16_t port); // 0: any free port
std::uint16_t local_port(int fd);
bool udp_send(int fd, std::uint16_t port, const void* data, std::size_t length);
// Closes a TCP connection with a reset instead of an orderly close.
void tcp_reset(Fd& fd);

// What arrives until the time limit or the end of the stream, at most `limit` bytes.
std::vector<std::uint8_t> read_for(int fd, int timeoutMs, std::size_t limit = SIZE_MAX);
bool read_exact(int fd, void* data, std::size_t length, int timeoutMs = 5000);
// True when the peer closed (end of stream or a reset) within the time limit.
bool wait_peer_closed(int fd, int timeoutMs = 5000);
// Writes everything (never raising SIGPIPE).
bool write_all(int fd, const void* data, std::size_t length);
// A socket's calls return at once from now on; read_now and write_now then move what they can
// (-1: nothing now; read_now 0: the stream ended).
void set_nonblocking(int fd);
long read_now(int fd, void* data, std::size_t length);
long write_now(int fd, const void* data, std::size_t length);

// A number in network byte order, as the socket layer reports addresses and ports.
std::uint32_t net32(std::uint32_t host);
std::uint16_t net16(std::uint16_t host);

std::size_t open_fd_count(); // descriptors (on Windows: sockets, devices) held
double process_cpu_ms();     // processor time (user + system) this process has used
std::size_t thread_count();  // threads of this process
std::size_t resident_kib();  // this process's memory in use (resident, the working set)

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

template <class Call>
std::chrono::steady_clock::duration timed(Call call) {
    const auto begin = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - begin;
}

// A listener that never accepts, with a full queue: a connect to it stays under way (port 0:
// could not be set up).
struct StalledListener {
    Fd listener;
    std::vector<Fd> queued;
    std::uint16_t port = 0;
};
StalledListener stalled_listener();

// n bytes of a recognisable pattern that does not repeat at 2048.
std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed = 1);

} // namespace testsupport
