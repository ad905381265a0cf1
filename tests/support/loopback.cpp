#include "tests/support/loopback.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace testsupport {

namespace {

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

bool bind_to(int fd, std::uint16_t port) {
    const sockaddr_in sa = loopback_address(port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

// The lowest port the system hands out on its own to sockets that connect or bind to port 0.
std::uint16_t first_ephemeral_port() {
    unsigned low = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    return low >= 2048 && low <= 65535 ? static_cast<std::uint16_t>(low) : 32768;
}

// Below the range of the system's own picks, only a process that picks the same port on purpose
// can take it between this call and the caller's bind; picks are random, and never repeated, so
// that two ports of one test (or one benchmark run) cannot collide.
std::uint16_t free_port(int type) {
    static std::mutex mutex;
    static std::mt19937 random{std::random_device{}()};
    static std::set<std::uint16_t> given;
    const std::uint16_t high = first_ephemeral_port();
    const std::uint16_t low = high > 21000 ? 20000 : 1024; // the soak keeps below 20000
    std::lock_guard<std::mutex> lock(mutex);
    std::uniform_int_distribution<unsigned> pick(low, high - 1u);
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const auto port = static_cast<std::uint16_t>(pick(random));
        if (given.count(port) == 0 &&
            bind_to(Fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0)).get(), port)) {
            given.insert(port);
            return port;
        }
    }
    return 0;
}

bool wait_readable(int fd, std::chrono::steady_clock::time_point end) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
        if (n >= 0 || errno != EINTR) {
            return n > 0;
        }
    }
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
    (void)(fd_ >= 0 && fd_ != fd && ::close(fd_) == 0);
    fd_ = fd;
}

std::uint16_t free_tcp_port() {
    return free_port(SOCK_STREAM);
}

std::uint16_t free_udp_port() {
    return free_port(SOCK_DGRAM);
}

Fd tcp_connect(std::uint16_t port, int receiveBuffer) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    const sockaddr_in sa = loopback_address(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return Fd();
    }
    return fd;
}

Fd tcp_listen(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return bind_to(fd.get(), port) && ::listen(fd.get(), 8) == 0 ? std::move(fd) : Fd();
}

Fd tcp_accept(int listenFd, int timeoutMs) {
    return wait_readable(listenFd, after(timeoutMs))
               ? Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC))
               : Fd();
}

Fd udp_bind(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return bind_to(fd.get(), port) ? std::move(fd) : Fd();
}

std::uint16_t local_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 ? ntohs(sa.sin_port) : 0;
}

bool udp_send(int fd, std::uint16_t port, const void* data, std::size_t length) {
    const sockaddr_in sa = loopback_address(port);
    return ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) ==
           static_cast<ssize_t>(length);
}

void tcp_reset(Fd& fd) {
    const linger lg{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    fd.reset();
}

std::vector<std::uint8_t> read_for(int fd, int timeoutMs, std::size_t limit) {
    std::vector<std::uint8_t> out;
    std::uint8_t chunk[4096];
    const auto end = after(timeoutMs);
    while (out.size() < limit && wait_readable(fd, end)) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - out.size()));
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

bool wait_peer_closed(int fd, int timeoutMs) {
    const auto end = after(timeoutMs);
    std::uint8_t chunk[4096];
    while (wait_readable(fd, end)) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
    return false;
}

bool write_all(int fd, const void* data, std::size_t length) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        ssize_t n = ::send(fd, in, length, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            n = ::write(fd, in, length);
        }
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            return false;
        }
        in += std::max<ssize_t>(n, 0);
        length -= static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
    return true;
}

std::uint32_t net32(std::uint32_t host) {
    return htonl(host);
}

std::uint16_t net16(std::uint16_t host) {
    return htons(host);
}

std::size_t open_fd_count() { // less the listing's own descriptor
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds))) - 1;
}

double process_cpu_ms() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    const auto ms = [](const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

StalledListener stalled_listener() {
    StalledListener s;
    s.listener = tcp_listen(0);
    if (!s.listener.valid() || ::listen(s.listener.get(), 0) != 0) {
        return s;
    }
    s.port = local_port(s.listener.get());
    const sockaddr_in sa = loopback_address(s.port);
    // With a backlog of 0 one completed connection fills the queue; a second makes sure.
    for (int i = 0; i < 2; ++i) {
        Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        (void)::connect(c.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        s.queued.push_back(std::move(c));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return s;
}

} // namespace testsupport
