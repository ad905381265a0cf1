// The loopback helpers, the same on every platform; the calls that differ are in loopback_sys.h.
#include "tests/support/loopback.h"

#include "tests/support/loopback_sys.h"

#include <algorithm>
#include <bit>
#include <mutex>
#include <random>
#include <set>
#include <utility>

namespace testsupport {

namespace {

// Below the range of the system's own picks, only a process that picks the same port on purpose
// can take it between this call and the caller's bind; picks are random, and never repeated, so
// that two ports of one test (or one benchmark run) cannot collide.
std::uint16_t free_port(sys::Kind kind) {
    static std::mutex mutex;
    static std::mt19937 random{std::random_device{}()};
    static std::set<std::uint16_t> given;
    std::lock_guard<std::mutex> lock(mutex);
    std::uniform_int_distribution<unsigned> pick(sys::lowest_free_port(), sys::highest_free_port());
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const auto port = static_cast<std::uint16_t>(pick(random));
        if (given.count(port) == 0 && sys::bind_loopback(Fd(sys::open_socket(kind)).get(), port)) {
            given.insert(port);
            return port;
        }
    }
    return 0;
}

bool wait_readable(int fd, std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return sys::poll_readable(fd, static_cast<int>(std::max<long long>(left.count(), 0)));
}

std::chrono::steady_clock::time_point after(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

} // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    reset(this != &other ? other.release() : fd_);
    return *this;
}

int Fd::release() {
    return std::exchange(fd_, -1);
}

void Fd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        sys::close_socket(fd_);
    }
    fd_ = fd;
}

std::uint16_t free_tcp_port() {
    return free_port(sys::Kind::stream);
}

std::uint16_t free_udp_port() {
    return free_port(sys::Kind::datagram);
}

Fd tcp_connect(std::uint16_t port, int receiveBuffer) {
    Fd fd(sys::open_socket(sys::Kind::stream));
    if (receiveBuffer > 0) {
        sys::set_option(fd.get(), sys::Option::receive_buffer, receiveBuffer);
    }
    return sys::connect_loopback(fd.get(), port) ? std::move(fd) : Fd();
}

Fd tcp_connect_within(std::uint16_t port, int timeoutMs) {
    Fd fd;
    wait_until([&] { return (fd = tcp_connect(port)).valid(); },
               std::chrono::milliseconds(timeoutMs));
    return fd;
}

Fd tcp_listen(std::uint16_t port) {
    Fd fd(sys::open_socket(sys::Kind::stream));
    sys::set_option(fd.get(), sys::Option::reuse_address, 1);
    return sys::bind_loopback(fd.get(), port) && sys::listen_on(fd.get(), 8) ? std::move(fd) : Fd();
}

Fd tcp_accept(int listenFd, int timeoutMs) {
    return wait_readable(listenFd, after(timeoutMs)) ? Fd(sys::accept_one(listenFd)) : Fd();
}

Fd udp_bind(std::uint16_t port) {
    Fd fd(sys::open_socket(sys::Kind::datagram));
    return sys::bind_loopback(fd.get(), port) ? std::move(fd) : Fd();
}

std::uint16_t local_port(int fd) {
    return sys::bound_port(fd);
}

bool udp_send(int fd, std::uint16_t port, const void* data, std::size_t length) {
    return sys::send_datagram(fd, port, data, length);
}

void tcp_reset(Fd& fd) {
    sys::set_option(fd.get(), sys::Option::linger_seconds, 0);
    fd.reset();
}

std::vector<std::uint8_t> read_for(int fd, int timeoutMs, std::size_t limit) {
    std::vector<std::uint8_t> out;
    std::uint8_t chunk[4096];
    const auto end = after(timeoutMs);
    while (out.size() < limit && wait_readable(fd, end)) {
        const long n = sys::receive(fd, chunk, std::min(sizeof chunk, limit - out.size()));
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

bool read_exact(int fd, void* data, std::size_t length, int timeoutMs) {
    const std::vector<std::uint8_t> got = read_for(fd, timeoutMs, length);
    std::copy(got.begin(), got.end(), static_cast<std::uint8_t*>(data));
    return got.size() == length;
}

bool wait_peer_closed(int fd, int timeoutMs) {
    const auto end = after(timeoutMs);
    std::uint8_t chunk[4096];
    while (wait_readable(fd, end)) {
        const long n = sys::receive(fd, chunk, sizeof chunk);
        if (n == 0 || (n < 0 && !sys::transient_failure())) {
            return true;
        }
    }
    return false;
}

long read_now(int fd, void* data, std::size_t length) {
    return sys::receive(fd, data, length);
}

long write_now(int fd, const void* data, std::size_t length) {
    return sys::send_some(fd, data, length);
}

bool write_all(int fd, const void* data, std::size_t length) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        const long n = sys::send_some(fd, in, length);
        if (n <= 0 && !(n < 0 && sys::transient_failure())) {
            return false;
        }
        in += std::max<long>(n, 0);
        length -= static_cast<std::size_t>(std::max<long>(n, 0));
    }
    return true;
}

std::uint32_t net32(std::uint32_t host) {
    if constexpr (std::endian::native == std::endian::little) {
        return ((host & 0xFFu) << 24) | ((host & 0xFF00u) << 8) | ((host >> 8) & 0xFF00u) |
               (host >> 24);
    }
    return host;
}

std::uint16_t net16(std::uint16_t host) {
    return static_cast<std::uint16_t>(net32(host) >> 16);
}

StalledListener stalled_listener() {
    StalledListener s;
    s.listener = tcp_listen(0);
    if (!s.listener.valid() || !sys::listen_on(s.listener.get(), 0)) {
        return s;
    }
    s.port = local_port(s.listener.get());
    // With a backlog of 0 one completed connection fills the queue; a second makes sure.
    for (int i = 0; i < 2; ++i) {
        Fd c(sys::open_socket(sys::Kind::stream, true));
        (void)sys::connect_loopback(c.get(), s.port);
        s.queued.push_back(std::move(c));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return s;
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
