// POSIX backend of the socket layer: BSD sockets, poll and an eventfd as the wake channel.
#include "net/sock_os.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace sockos {

namespace {

// Written by wake_open/wake_close while no other thread uses the layer; read by any thread.
std::atomic<int> g_wakeFd{-1};
// The placeholder of retire: an eventfd that is never written, so it never reads as ready.
std::atomic<int> g_inertFd{-1};
// Reused by every wait so that a pass allocates nothing once the tables stop growing. Never
// destroyed, like the layer's state: the event thread may outlive static destruction when a
// process ends without stopping the layer.
std::vector<pollfd>& g_pollSet = *new std::vector<pollfd>;

short to_poll_events(unsigned asked) {
    short events = 0;
    if (asked & READABLE) {
        events |= POLLIN;
    }
    if (asked & WRITABLE) {
        events |= POLLOUT;
    }
    return events;
}

unsigned from_poll_events(short revents) {
    unsigned found = 0;
    if (revents & (POLLIN | POLLPRI | POLLRDHUP)) {
        found |= READABLE;
    }
    if (revents & POLLOUT) {
        found |= WRITABLE;
    }
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        // An error or hang-up is there to be read: a receive reports it.
        found |= FAILED | READABLE;
    }
    return found;
}

// The descriptor behind a socket (descriptors always fit).
int fd_of(Fd fd) {
    return static_cast<int>(fd);
}

long io_failure() {
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? IO_WOULD_BLOCK
                                                                       : IO_CLOSED_OR_FAILED;
}

sockaddr_in v4_address(std::uint32_t addressNet, std::uint16_t portHost) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(portHost);
    sa.sin_addr.s_addr = addressNet;
    return sa;
}

} // namespace

Fd tcp_socket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

Fd udp_socket() {
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void close(Fd fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

void retire(Fd fd) {
    // dup3 swaps the file behind the number in one step; the socket is released with it unless
    // a call on another thread still holds it. Should the swap fail, shutting the socket down at
    // least stops a listener (address reuse then lets the port be listened on again).
    if (fd >= 0 && ::dup3(g_inertFd.load(), fd_of(fd), O_CLOEXEC) < 0) {
        ::shutdown(fd_of(fd), SHUT_RDWR);
    }
}

bool set_reuse_address(Fd fd) {
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

void set_no_delay(Fd fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void set_dead_peer_limit(Fd fd, std::uint32_t seconds) {
    // An idle connection is probed from half the limit on, three times spaced by a sixth, so that
    // the last unanswered probe ends it at the limit; the user timeout ends it there as well
    // while sent bytes stay unacknowledged (keepalive probes wait for those).
    const int on = 1;
    const int idle = static_cast<int>(std::max(1u, seconds / 2));
    const int interval = static_cast<int>(std::max(1u, seconds / 6));
    const int probes = 3;
    const unsigned timeoutMs = seconds * 1000u;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeoutMs, sizeof timeoutMs);
}

bool bind_any(Fd fd, std::uint16_t port) {
    const sockaddr_in sa = v4_address(htonl(INADDR_ANY), port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

void listen(Fd fd, int backlog) {
    ::listen(fd, backlog);
}

ConnectStart connect(Fd fd, std::uint32_t addressNet, std::uint16_t port) {
    const sockaddr_in sa = v4_address(addressNet, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return ConnectStart::Done;
    }
    return (errno == EINPROGRESS || errno == EAGAIN) ? ConnectStart::Pending : ConnectStart::Failed;
}

bool connect_failed(Fd fd) {
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
        return true;
    }
    return error != 0;
}

Fd accept(Fd listenFd, std::uint16_t* peerPortHost, char peerText[16]) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const Fd fd =
        ::accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return NO_FD;
    }
    *peerPortHost = ntohs(sa.sin_port);
    if (::inet_ntop(AF_INET, &sa.sin_addr, peerText, 16) == nullptr) {
        peerText[0] = '\0';
    }
    return fd;
}

long receive(Fd fd, std::uint8_t* buffer, std::size_t capacity) {
    const ssize_t n = ::recv(fd, buffer, capacity, 0);
    return n >= 0 ? static_cast<long>(n) : io_failure();
}

long receive_datagram(Fd fd, std::uint8_t* buffer, std::size_t capacity, std::uint16_t* portNet,
                      std::uint32_t* addressNet) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const ssize_t n =
        ::recvfrom(fd, buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) {
        return io_failure();
    }
    *portNet = sa.sin_port;
    *addressNet = sa.sin_addr.s_addr;
    return static_cast<long>(n);
}

long send(Fd fd, const std::uint8_t* data, std::size_t length) {
    // MSG_NOSIGNAL: a peer that went away must fail the send, not kill the process.
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    return n >= 0 ? static_cast<long>(n) : io_failure();
}

bool send_datagram(Fd fd, std::uint32_t addressNet, std::uint16_t portHost,
                   const std::uint8_t* data, std::size_t length) {
    const sockaddr_in sa = v4_address(addressNet, portHost);
    const ssize_t n =
        ::sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == static_cast<ssize_t>(length);
}

bool wait(WaitItem* items, std::size_t count, int timeoutMs) {
    g_pollSet.resize(count + 1);
    g_pollSet[0] = pollfd{g_wakeFd.load(), POLLIN, 0};
    for (std::size_t i = 0; i < count; ++i) {
        const bool skip = items[i].fd < 0 || items[i].asked == 0;
        g_pollSet[i + 1] =
            pollfd{skip ? -1 : fd_of(items[i].fd), to_poll_events(items[i].asked), 0};
        items[i].found = 0;
    }
    const int n = ::poll(g_pollSet.data(), g_pollSet.size(), timeoutMs);
    if (n < 0) {
        return errno == EINTR;
    }
    if (g_pollSet[0].revents & POLLIN) {
        std::uint64_t drained = 0;
        [[maybe_unused]] const ssize_t r = ::read(g_wakeFd.load(), &drained, sizeof drained);
    }
    for (std::size_t i = 0; i < count; ++i) {
        items[i].found = from_poll_events(g_pollSet[i + 1].revents);
    }
    return true;
}

unsigned probe(Fd fd, unsigned asked) {
    if (fd < 0) {
        return 0;
    }
    pollfd p{fd_of(fd), to_poll_events(asked), 0};
    if (::poll(&p, 1, 0) <= 0) {
        return 0;
    }
    return from_poll_events(p.revents);
}

bool wake_open() {
    g_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    g_inertFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (g_wakeFd < 0 || g_inertFd < 0) {
        wake_close();
        return false;
    }
    return true;
}

void wake_close() {
    close(g_wakeFd.exchange(-1));
    close(g_inertFd.exchange(-1));
    g_pollSet.clear();
    g_pollSet.shrink_to_fit();
}

void wake_signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(g_wakeFd.load(), &one, sizeof one);
}

bool resolve(const char* name, char out[16]) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    const auto* sa = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const bool ok = ::inet_ntop(AF_INET, &sa->sin_addr, out, 16) != nullptr;
    ::freeaddrinfo(found);
    return ok;
}

} // namespace sockos
