// The loopback helpers' calls on Windows (Winsock). A SOCKET fits an int, as every kernel handle
// does.
#include "tests/support/loopback.h"
#include "tests/support/loopback_sys.h"

#include <winsock2.h>

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

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

} // namespace

namespace sys {

int open_socket(Kind kind, bool nonblocking) {
    const SOCKET s = ::socket(AF_INET, kind == Kind::stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long on = nonblocking ? 1 : 0;
    ::ioctlsocket(s, FIONBIO, &on);
    return fd_of(s);
}

void close_socket(int fd) {
    ::closesocket(s_of(fd));
}

void set_option(int fd, Option option, int value) {
    if (option == Option::linger_seconds) {
        const linger lg{1, static_cast<u_short>(value)};
        ::setsockopt(s_of(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg),
                     sizeof lg);
    } else if (option == Option::receive_buffer) {
        ::setsockopt(s_of(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&value),
                     sizeof value);
    } // Windows's SO_REUSEADDR lets a second socket take a port in use: listeners go without.
}

bool bind_loopback(int fd, std::uint16_t port) {
    const sockaddr_in sa = loopback_address(port);
    return ::bind(s_of(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool connect_loopback(int fd, std::uint16_t port) {
    const sockaddr_in sa = loopback_address(port);
    return ::connect(s_of(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool listen_on(int fd, int backlog) {
    return ::listen(s_of(fd), backlog) == 0;
}

int accept_one(int listenFd) {
    return fd_of(::accept(s_of(listenFd), nullptr, nullptr));
}

std::uint16_t bound_port(int fd) {
    sockaddr_in sa{};
    int len = sizeof sa;
    return ::getsockname(s_of(fd), reinterpret_cast<sockaddr*>(&sa), &len) == 0 ? ntohs(sa.sin_port)
                                                                                : 0;
}

bool send_datagram(int fd, std::uint16_t port, const void* data, std::size_t length) {
    const sockaddr_in sa = loopback_address(port);
    return ::sendto(s_of(fd), static_cast<const char*>(data), static_cast<int>(length), 0,
                    reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == static_cast<int>(length);
}

long receive(int fd, void* data, std::size_t length) {
    return ::recv(s_of(fd), static_cast<char*>(data), static_cast<int>(length), 0);
}

long send_some(int fd, const void* data, std::size_t length) {
    return ::send(s_of(fd), static_cast<const char*>(data), static_cast<int>(length), 0);
}

bool transient_failure() {
    return WSAGetLastError() == WSAEWOULDBLOCK || WSAGetLastError() == WSAEINTR;
}

bool poll_readable(int fd, int timeoutMs) {
    WSAPOLLFD p{s_of(fd), POLLRDNORM, 0};
    return WSAPoll(&p, 1, timeoutMs) > 0;
}

// Windows hands out ports from 49152 on by itself.
std::uint16_t lowest_free_port() {
    return 20000;
}

std::uint16_t highest_free_port() {
    return 49151;
}

} // namespace sys

std::size_t open_fd_count() {
    // The sockets and devices (COM ports) among the process's handles (multiples of 4 from 4
    // on): Wine keeps handles of its own that come and go (each start of a Linux program, such
    // as a test's socat, leaves a file handle behind), and has no GetProcessHandleCount. The
    // walk ends well past the last handle in use.
    constexpr std::uintptr_t STEP = 4, GAP = 4096;
    std::size_t count = 0;
    for (std::uintptr_t h = STEP, last = 0; h <= last + GAP; h += STEP) {
        DWORD flags = 0;
        const auto handle = reinterpret_cast<HANDLE>(h);
        if (!GetHandleInformation(handle, &flags)) {
            continue;
        }
        last = h;
        int type = 0;
        int len = sizeof type;
        const DWORD kind = GetFileType(handle);
        count += kind == FILE_TYPE_CHAR || ::getsockopt(static_cast<SOCKET>(h), SOL_SOCKET, SO_TYPE,
                                                        reinterpret_cast<char*>(&type), &len) == 0;
    }
    return count;
}

double process_cpu_ms() {
    FILETIME created{}, ended{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    const ULARGE_INTEGER k{{kernel.dwLowDateTime, kernel.dwHighDateTime}},
        u{{user.dwLowDateTime, user.dwHighDateTime}};
    return static_cast<double>(k.QuadPart + u.QuadPart) / 10000.0; // from units of 100 ns
}

} // namespace testsupport
