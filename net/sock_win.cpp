// Windows backend of the socket layer: Winsock 2, one select over all sockets per wait, and a
// loopback datagram socket that sends to itself as the wake channel.
#include "net/sock_os.h"

#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mstcpip.h>
#include <mswsock.h>
#include <mutex>
#include <vector>
#include <ws2tcpip.h>

namespace sockos {

namespace {

// The retransmission limit of a TCP socket in seconds (ws2ipdef.h of newer SDKs).
constexpr int TCP_MAX_RETRANSMIT_TIME = 5;

// The wake channel: a datagram socket on 127.0.0.1 connected to itself. Written by
// wake_open/wake_close while no other thread uses the layer; read by any thread.
std::atomic<SOCKET> g_wake{INVALID_SOCKET};

// Sockets that retire already closed while their records still hold the handle: Windows hands a
// closed handle's value to the next socket made, which the event thread must not close in the
// old record's name. Each entry stands for one close that is already done.
std::mutex g_retiredMutex;
std::vector<SOCKET>& g_retired = *new std::vector<SOCKET>;

// Sockets whose connect failed. On Linux such a socket reads as ready, and its receive then
// reports the end; Windows' select never shows it again, so the backend does.
std::vector<SOCKET>& g_failedConnects = *new std::vector<SOCKET>; // under g_retiredMutex

// A select set of any size: Winsock reads the count and the array that follows it. Reused from
// wait to wait, and never destroyed, like the layer's state.
struct SelectSet {
    std::vector<SOCKET> storage;
    fd_set* reset(std::size_t capacity) {
        const std::size_t words =
            (offsetof(fd_set, fd_array) + sizeof(SOCKET) - 1) / sizeof(SOCKET);
        storage.assign(words + capacity, 0);
        auto* set = reinterpret_cast<fd_set*>(storage.data());
        set->fd_count = 0;
        return set;
    }
};
SelectSet& g_readSet = *new SelectSet;
SelectSet& g_writeSet = *new SelectSet;
SelectSet& g_exceptSet = *new SelectSet;

SOCKET as_socket(Fd fd) {
    return static_cast<SOCKET>(fd);
}

Fd as_fd(SOCKET s) {
    return s == INVALID_SOCKET ? NO_FD : static_cast<Fd>(s);
}

void add(fd_set* set, SOCKET s) {
    set->fd_array[set->fd_count++] = s;
}

bool contains(const fd_set* set, SOCKET s) {
    return std::find(set->fd_array, set->fd_array + set->fd_count, s) !=
           set->fd_array + set->fd_count;
}

long io_failure() {
    const int error = WSAGetLastError();
    return (error == WSAEWOULDBLOCK || error == WSAEINTR) ? IO_WOULD_BLOCK : IO_CLOSED_OR_FAILED;
}

sockaddr_in v4_address(std::uint32_t addressNet, std::uint16_t portHost) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(portHost);
    sa.sin_addr.s_addr = addressNet;
    return sa;
}

// Non-blocking and not inherited by child processes, as sockets are made on every platform.
Fd prepare(SOCKET s) {
    if (s == INVALID_SOCKET) {
        return NO_FD;
    }
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) {
        closesocket(s);
        return NO_FD;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return as_fd(s);
}

void remember_failed(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_retiredMutex);
    if (std::find(g_failedConnects.begin(), g_failedConnects.end(), s) == g_failedConnects.end()) {
        g_failedConnects.push_back(s);
    }
}

bool connect_has_failed(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_retiredMutex);
    return std::find(g_failedConnects.begin(), g_failedConnects.end(), s) != g_failedConnects.end();
}

// Takes one entry for `s` off the retired list; true when there was one. Either way the socket's
// failed connect is forgotten.
bool take_retired(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_retiredMutex);
    g_failedConnects.erase(std::remove(g_failedConnects.begin(), g_failedConnects.end(), s),
                           g_failedConnects.end());
    const auto it = std::find(g_retired.begin(), g_retired.end(), s);
    if (it == g_retired.end()) {
        return false;
    }
    g_retired.erase(it);
    return true;
}

} // namespace

Fd tcp_socket() {
    return prepare(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

Fd udp_socket() {
    const Fd fd = prepare(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (fd != NO_FD) {
        // Windows fails the next receive of a datagram socket whose earlier datagram drew an
        // "unreachable" answer; a peer that is not there yet must not end the port.
        BOOL report = FALSE;
        DWORD unused = 0;
        WSAIoctl(as_socket(fd), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused,
                 nullptr, nullptr);
    }
    return fd;
}

void close(Fd fd) {
    if (fd == NO_FD || take_retired(as_socket(fd))) {
        return;
    }
    ::closesocket(as_socket(fd));
}

void retire(Fd fd) {
    // The socket goes at once, so that its port is free when sock_close returns; its handle value
    // is remembered, so that the record's later close does not close a newer socket that got the
    // same value.
    if (fd == NO_FD) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_retiredMutex);
        g_retired.push_back(as_socket(fd));
        g_failedConnects.erase(
            std::remove(g_failedConnects.begin(), g_failedConnects.end(), as_socket(fd)),
            g_failedConnects.end());
    }
    // Under Wine a close waits for a select that watches the socket: the wake ends that select
    // first. No lock is held meanwhile, since the event thread takes them between its waits.
    wake_signal();
    ::closesocket(as_socket(fd));
}

bool set_reuse_address(Fd) {
    // Windows lets a listener's port be listened on again at once after a close. Its
    // SO_REUSEADDR would instead let a second socket take a port that is in use.
    return true;
}

void set_no_delay(Fd fd) {
    const BOOL on = TRUE;
    ::setsockopt(as_socket(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on);
}

void set_dead_peer_limit(Fd fd, std::uint32_t seconds) {
    // An idle connection is probed from half the limit on, spaced by a sixth (Windows sends ten
    // probes; the retransmission limit below ends the connection at the limit in any case).
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = std::max(1u, seconds / 2) * 1000u;
    values.keepaliveinterval = std::max(1u, seconds / 6) * 1000u;
    DWORD unused = 0;
    WSAIoctl(as_socket(fd), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &unused,
             nullptr, nullptr);
    // Bytes left unacknowledged end the connection after the same time.
    const DWORD maxRetransmitSeconds = seconds;
    ::setsockopt(as_socket(fd), IPPROTO_TCP, TCP_MAX_RETRANSMIT_TIME,
                 reinterpret_cast<const char*>(&maxRetransmitSeconds), sizeof maxRetransmitSeconds);
}

bool bind_any(Fd fd, std::uint16_t port) {
    const sockaddr_in sa = v4_address(htonl(INADDR_ANY), port);
    return ::bind(as_socket(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

void listen(Fd fd, int backlog) {
    ::listen(as_socket(fd), backlog);
}

ConnectStart connect(Fd fd, std::uint32_t addressNet, std::uint16_t port) {
    const sockaddr_in sa = v4_address(addressNet, port);
    if (::connect(as_socket(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return ConnectStart::Done;
    }
    // A non-blocking connect under way reports would-block (10035).
    return WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::Pending : ConnectStart::Failed;
}

bool connect_failed(Fd fd) {
    int error = 0;
    int len = sizeof error;
    const bool failed = ::getsockopt(as_socket(fd), SOL_SOCKET, SO_ERROR,
                                     reinterpret_cast<char*>(&error), &len) != 0 ||
                        error != 0;
    if (failed) {
        remember_failed(as_socket(fd));
    }
    return failed;
}

Fd accept(Fd listenFd, std::uint16_t* peerPortHost, char peerText[16]) {
    sockaddr_in sa{};
    int len = sizeof sa;
    const Fd fd = prepare(::accept(as_socket(listenFd), reinterpret_cast<sockaddr*>(&sa), &len));
    if (fd == NO_FD) {
        return NO_FD;
    }
    *peerPortHost = ntohs(sa.sin_port);
    if (::inet_ntop(AF_INET, &sa.sin_addr, peerText, 16) == nullptr) {
        peerText[0] = '\0';
    }
    return fd;
}

long receive(Fd fd, std::uint8_t* buffer, std::size_t capacity) {
    const int n =
        ::recv(as_socket(fd), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
    return n >= 0 ? static_cast<long>(n) : io_failure();
}

long receive_datagram(Fd fd, std::uint8_t* buffer, std::size_t capacity, std::uint16_t* portNet,
                      std::uint32_t* addressNet) {
    sockaddr_in sa{};
    int len = sizeof sa;
    const int n = ::recvfrom(as_socket(fd), reinterpret_cast<char*>(buffer),
                             static_cast<int>(capacity), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) {
        // A datagram longer than the buffer is cut and reported as an error; its full length is
        // unknown, so report one byte more than fits, which marks it as oversized all the same.
        if (WSAGetLastError() == WSAEMSGSIZE) {
            return static_cast<long>(capacity) + 1;
        }
        return io_failure();
    }
    *portNet = sa.sin_port;
    *addressNet = sa.sin_addr.s_addr;
    return static_cast<long>(n);
}

long send(Fd fd, const std::uint8_t* data, std::size_t length) {
    const int n =
        ::send(as_socket(fd), reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
    return n >= 0 ? static_cast<long>(n) : io_failure();
}

bool send_datagram(Fd fd, std::uint32_t addressNet, std::uint16_t portHost,
                   const std::uint8_t* data, std::size_t length) {
    const sockaddr_in sa = v4_address(addressNet, portHost);
    const int n =
        ::sendto(as_socket(fd), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
                 reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == static_cast<int>(length);
}

bool wait(WaitItem* items, std::size_t count, int timeoutMs) {
    fd_set* reads = g_readSet.reset(count + 1);
    fd_set* writes = g_writeSet.reset(count);
    fd_set* excepts = g_exceptSet.reset(count);
    const SOCKET wake = g_wake.load();
    add(reads, wake);
    bool anyFailed = false;
    for (std::size_t i = 0; i < count; ++i) {
        items[i].found = 0;
        if (items[i].fd == NO_FD || items[i].asked == 0) {
            continue;
        }
        const SOCKET s = as_socket(items[i].fd);
        if ((items[i].asked & READABLE) && connect_has_failed(s)) {
            items[i].found = FAILED | READABLE;
            anyFailed = true;
        } else if (items[i].asked & READABLE) {
            add(reads, s);
        }
        if (items[i].asked & WRITABLE) {
            // A connect that fails shows in the exception set, not as writable.
            add(writes, s);
            add(excepts, s);
        }
    }
    if (anyFailed) {
        timeoutMs = 0; // they are ready now
    }
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int n =
        ::select(0, reads, writes->fd_count > 0 ? writes : nullptr,
                 excepts->fd_count > 0 ? excepts : nullptr, timeoutMs < 0 ? nullptr : &limit);
    if (n == SOCKET_ERROR) {
        // A socket ended by sock_close during the wait makes it fail; the pass goes on.
        return WSAGetLastError() == WSAENOTSOCK || WSAGetLastError() == WSAEINTR;
    }
    if (contains(reads, wake)) {
        char drained[64];
        while (::recv(wake, drained, sizeof drained, 0) > 0) {
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (items[i].fd == NO_FD || items[i].asked == 0) {
            continue;
        }
        const SOCKET s = as_socket(items[i].fd);
        if (contains(reads, s)) {
            items[i].found |= READABLE;
        }
        if (contains(writes, s)) {
            items[i].found |= WRITABLE;
        }
        if (contains(excepts, s)) {
            // The connect failed; the error is there to be read, and a receive reports it.
            items[i].found |= FAILED | READABLE;
            remember_failed(s);
        }
    }
    return true;
}

unsigned probe(Fd fd, unsigned asked) {
    if (fd == NO_FD) {
        return 0;
    }
    const SOCKET s = as_socket(fd);
    if ((asked & READABLE) && connect_has_failed(s)) {
        return FAILED | READABLE;
    }
    fd_set reads;
    fd_set writes;
    fd_set excepts;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&excepts);
    if (asked & READABLE) {
        FD_SET(s, &reads);
    }
    if (asked & WRITABLE) {
        FD_SET(s, &writes);
        FD_SET(s, &excepts);
    }
    timeval now{0, 0};
    if (::select(0, &reads, &writes, &excepts, &now) <= 0) {
        return 0;
    }
    unsigned found = 0;
    if (FD_ISSET(s, &reads)) {
        found |= READABLE;
    }
    if (FD_ISSET(s, &writes)) {
        found |= WRITABLE;
    }
    if (FD_ISSET(s, &excepts)) {
        found |= FAILED | READABLE;
        remember_failed(s);
    }
    return found;
}

bool wake_open() {
    // The layer's start and end are Winsock's: every successful start is matched by a clean-up.
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return false;
    }
    const Fd fd = prepare(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (fd == NO_FD) {
        WSACleanup();
        return false;
    }
    const SOCKET s = as_socket(fd);
    sockaddr_in sa = v4_address(htonl(INADDR_LOOPBACK), 0);
    int len = sizeof sa;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        ::closesocket(s);
        WSACleanup();
        return false;
    }
    g_wake = s;
    return true;
}

void wake_close() {
    const SOCKET s = g_wake.exchange(INVALID_SOCKET);
    if (s == INVALID_SOCKET) {
        return;
    }
    ::closesocket(s);
    {
        std::lock_guard<std::mutex> lock(g_retiredMutex);
        g_retired.clear();
        g_failedConnects.clear();
    }
    for (SelectSet* set : {&g_readSet, &g_writeSet, &g_exceptSet}) {
        set->storage.clear();
        set->storage.shrink_to_fit();
    }
    WSACleanup();
}

void wake_signal() {
    // A full queue already holds a wake; losing this byte loses nothing.
    const char one = 1;
    ::send(g_wake.load(), &one, 1, 0);
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
