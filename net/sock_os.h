// The platform calls of the socket layer: the fixed set of functions that a backend implements
// (sock_posix.cpp on Linux, sock_win.cpp on Windows). Internal to net/; the rest of the layer calls
// nothing else of the platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sockos {

// A socket as the backend knows it: a descriptor, or a handle of the system's.
using Fd = std::intptr_t;
constexpr Fd NO_FD = -1;

// Readiness bits, both asked for and reported.
constexpr unsigned READABLE = 1u; // data, a pending connection, end of stream or an error to read
constexpr unsigned WRITABLE = 2u; // a send would take bytes; a pending connect has finished
constexpr unsigned FAILED = 4u;   // an error or hang-up condition (reported only)

// Outcome of a receive or send: bytes moved when >= 0, else one of these.
constexpr long IO_CLOSED_OR_FAILED = -1; // any failure other than the two below
constexpr long IO_WOULD_BLOCK = -2;      // nothing to do now (also an interrupted call)

enum class ConnectStart { Done, Pending, Failed };

// Sockets are created close-on-exec and non-blocking.
Fd tcp_socket();
Fd udp_socket();
void close(Fd fd);
// Ends the socket behind `fd` at once while the number stays taken, by an inert placeholder, until
// close(fd): a number closed outright could go to the next socket made while the event thread
// still means the old one.
void retire(Fd fd);
bool set_reuse_address(Fd fd);
void set_no_delay(Fd fd);
// Makes a connected TCP socket fail (as a receive error) once its peer has not answered for
// `seconds`, whether it is idle (keepalive probes) or has bytes unacknowledged.
void set_dead_peer_limit(Fd fd, std::uint32_t seconds);
bool bind_any(Fd fd, std::uint16_t port);
void listen(Fd fd, int backlog);
ConnectStart connect(Fd fd, std::uint32_t addressNet, std::uint16_t port);
// True when the connect of `fd` ended in an error (reads and clears the pending socket error).
bool connect_failed(Fd fd);
// Accepts one connection (non-blocking, close-on-exec); NO_FD on failure.
Fd accept(Fd listenFd, std::uint16_t* peerPortHost, char peerText[16]);
// Stream receive of at most `capacity` bytes.
long receive(Fd fd, std::uint8_t* buffer, std::size_t capacity);
// Datagram receive: returns the datagram's full length even when it exceeded `capacity` (only
// `capacity` bytes are stored), so that oversized datagrams can be recognised and dropped.
long receive_datagram(Fd fd, std::uint8_t* buffer, std::size_t capacity, std::uint16_t* portNet,
                      std::uint32_t* addressNet);
long send(Fd fd, const std::uint8_t* data, std::size_t length);
bool send_datagram(Fd fd, std::uint32_t addressNet, std::uint16_t portHost,
                   const std::uint8_t* data, std::size_t length);

// One readiness wait over many sockets. `asked` and `found` are arrays of `count` readiness bit
// sets; a socket of NO_FD or with nothing asked is skipped. `timeoutMs` < 0 waits without limit.
// The wake channel is part of every wait. Returns false when the wait itself failed.
struct WaitItem {
    Fd fd;
    unsigned asked;
    unsigned found;
};
bool wait(WaitItem* items, std::size_t count, int timeoutMs);
// Readiness of one socket now, without waiting.
unsigned probe(Fd fd, unsigned asked);

// The wake channel: lets any thread end the event thread's wait early. Opened and closed together
// with the placeholder of retire.
bool wake_open();
void wake_close();
void wake_signal();

// Resolves a host name to the dotted-quad text of its first IPv4 address.
bool resolve(const char* name, char out[16]);

} // namespace sockos
