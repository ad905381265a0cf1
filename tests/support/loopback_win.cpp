// Windows version of the loopback peers (Winsock): the helpers of loopback.cpp that the Windows
// tests use (no processor time, no stalled listener). A SOCKET fits an int, as every kernel
// handle does.
#include "tests/support/loopback.h"

#include <winsock2.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <set>
#include <utility>
#include <windows.h>

namespace testsupport {

namespace {

// Winsock is started once for the whole test process, before any helper runs.
const bool g_started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

SOCKET s_of(int fd) {
    return static_cast<SOCKET>(static_cast<std::intptr_t>(fd));
}

int fd_of(SOCKET s) {
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

int new_socket(int type) {
    const SOCKET s = ::socket(AF_INET, type, 0);
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return fd_of(s);
}

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

bool bind_to(int fd, std::uint16_t port) {
    const sockaddr_in sa = loopback_address(port);
    return ::bind(s_of(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

// Windows hands out ports from 49152 on by itself; picks stay below, random and never repeated.
std::uint16_t free_port(int type) {
    static std::mutex mutex;
    static std::mt19937 random{std::random_device{}()};
    static std::set<std::uint16_t> given;
    std::lock_guard<std::mutex> lock(mutex);
    std::uniform_int_distribution<unsigned> pick(20000, 49151);
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const auto port = static_cast<std::uint16_t>(pick(random));
        if (given.count(port) == 0 && bind_to(Fd(new_socket(type)).get(), port)) {
            given.insert(port);
            return port;
        }
    }
    return 0;
}

bool wait_readable(int fd, std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    WSAPOLLFD p{s_of(fd), POLLRDNORM, 0};
    return WSAPoll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) > 0;
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
    (void)(fd_ >= 0 && fd_ != fd && ::closesocket(s_of(fd_)) == 0);
    fd_ = fd;
}

std::uint16_t free_tcp_port() {
    return free_port(SOCK_STREAM);
}

std::uint16_t free_udp_port() {
    return free_port(SOCK_DGRAM);
}

Fd tcp_connect(std::uint16_t port, int receiveBuffer) {
    Fd fd(new_socket(SOCK_STREAM));
    if (receiveBuffer > 0) {
        ::setsockopt(s_of(fd.get()), SOL_SOCKET, SO_RCVBUF,
                     reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
    }
    const sockaddr_in sa = loopback_address(port);
    if (::connect(s_of(fd.get()), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return Fd();
    }
    return fd;
}

Fd tcp_listen(std::uint16_t port) {
    Fd fd(new_socket(SOCK_STREAM));
    return bind_to(fd.get(), port) && ::listen(s_of(fd.get()), 8) == 0 ? std::move(fd) : Fd();
}

Fd tcp_accept(int listenFd, int timeoutMs) {
    return wait_readable(listenFd, after(timeoutMs))
               ? Fd(fd_of(::accept(s_of(listenFd), nullptr, nullptr)))
               : Fd();
}

Fd udp_bind(std::uint16_t port) {
    Fd fd(new_socket(SOCK_DGRAM));
    return bind_to(fd.get(), port) ? std::move(fd) : Fd();
}

std::uint16_t local_port(int fd) {
    sockaddr_in sa{};
    int len = sizeof sa;
    return ::getsockname(s_of(fd), reinterpret_cast<sockaddr*>(&sa), &len) == 0 ? ntohs(sa.sin_port)
                                                                                : 0;
}

bool udp_send(int fd, std::uint16_t port, const void* data, std::size_t length) {
    const sockaddr_in sa = loopback_address(port);
    return ::sendto(s_of(fd), static_cast<const char*>(data), static_cast<int>(length), 0,
                    reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == static_cast<int>(length);
}

void tcp_reset(Fd& fd) {
    const linger lg{1, 0};
    ::setsockopt(s_of(fd.get()), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg),
                 sizeof lg);
    fd.reset();
}

std::vector<std::uint8_t> read_for(int fd, int timeoutMs, std::size_t limit) {
    std::vector<std::uint8_t> out;
    char chunk[4096];
    const auto end = after(timeoutMs);
    while (out.size() < limit && wait_readable(fd, end)) {
        const int n = ::recv(s_of(fd), chunk,
                             static_cast<int>(std::min(sizeof chunk, limit - out.size())), 0);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

bool wait_peer_closed(int fd, int timeoutMs) {
    const auto end = after(timeoutMs);
    char chunk[4096];
    while (wait_readable(fd, end)) {
        const int n = ::recv(s_of(fd), chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) {
            return true;
        }
    }
    return false;
}

bool write_all(int fd, const void* data, std::size_t length) {
    const auto* in = static_cast<const char*>(data);
    while (length > 0) {
        const int n = ::send(s_of(fd), in, static_cast<int>(length), 0);
        if (n <= 0) {
            return false;
        }
        in += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t open_fd_count() {
    // The sockets among the process's handles (multiples of 4 from 4 on): Wine keeps handles of
    // its own that come and go, and has no GetProcessHandleCount. The walk ends well past the
    // last handle in use.
    constexpr std::uintptr_t STEP = 4, GAP = 4096;
    std::size_t count = 0;
    for (std::uintptr_t h = STEP, last = 0; h <= last + GAP; h += STEP) {
        DWORD flags = 0;
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) {
            continue;
        }
        last = h;
        int type = 0;
        int len = sizeof type;
        count += ::getsockopt(static_cast<SOCKET>(h), SOL_SOCKET, SO_TYPE,
                              reinterpret_cast<char*>(&type), &len) == 0;
    }
    return count;
}

std::uint32_t net32(std::uint32_t host) {
    return htonl(host);
}

std::uint16_t net16(std::uint16_t host) {
    return htons(host);
}

} // namespace testsupport
