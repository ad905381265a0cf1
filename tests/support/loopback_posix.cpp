// The loopback helpers' calls on POSIX: descriptors, poll, and the system's own port range.
#include "tests/support/loopback.h"
#include "tests/support/loopback_sys.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// The lowest port the system hands out on its own to sockets that connect or bind to port 0.
std::uint16_t first_ephemeral_port() {
    unsigned low = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    return low >= 2048 && low <= 65535 ? static_cast<std::uint16_t>(low) : 32768;
}

} // namespace

namespace sys {

int open_socket(Kind kind, bool nonblocking) {
    return ::socket(AF_INET,
                    (kind == Kind::stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC |
                        (nonblocking ? SOCK_NONBLOCK : 0),
                    0);
}

void close_socket(int fd) {
    ::close(fd);
}

void set_option(int fd, Option option, int value) {
    if (option == Option::linger_seconds) {
        const linger lg{1, value};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    } else {
        ::setsockopt(fd, SOL_SOCKET, option == Option::receive_buffer ? SO_RCVBUF : SO_REUSEADDR,
                     &value, sizeof value);
    }
}

bool bind_loopback(int fd, std::uint16_t port) {
    const sockaddr_in sa = loopback_address(port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool connect_loopback(int fd, std::uint16_t port) {
    const sockaddr_in sa = loopback_address(port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool listen_on(int fd, int backlog) {
    return ::listen(fd, backlog) == 0;
}

int accept_one(int listenFd) {
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

std::uint16_t bound_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 ? ntohs(sa.sin_port) : 0;
}

bool send_datagram(int fd, std::uint16_t port, const void* data, std::size_t length) {
    const sockaddr_in sa = loopback_address(port);
    return ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) ==
           static_cast<ssize_t>(length);
}

long receive(int fd, void* data, std::size_t length) {
    return ::read(fd, data, length);
}

long send_some(int fd, const void* data, std::size_t length) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    return n < 0 && errno == ENOTSOCK ? ::write(fd, data, length) : n;
}

bool transient_failure() {
    return errno == EINTR || errno == EAGAIN;
}

bool poll_readable(int fd, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
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

std::uint16_t lowest_free_port() {
    return first_ephemeral_port() > 21000 ? 20000 : 1024; // the soak keeps below 20000
}

std::uint16_t highest_free_port() {
    return static_cast<std::uint16_t>(first_ephemeral_port() - 1u);
}

} // namespace sys

std::size_t open_fd_count() { // less the listing's own descriptor
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds))) - 1;
}

std::size_t thread_count() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

std::size_t resident_kib() {
    std::size_t pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

void set_nonblocking(int fd) {
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

double process_cpu_ms() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    const auto ms = [](const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

} // namespace testsupport
