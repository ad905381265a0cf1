// Socket layer: every IPv4 socket of the bridge (UDP sockets, listening TCP sockets, TCP client
// sockets and the connections accepted on a listening socket) behind a few calls with numeric
// results, served by one event thread.
//
// Everything that arrives comes back to the owner as events raised on the event thread through
// the two callbacks given to sock_init: accepted connections, received bytes, the outcome of a
// TCP connect and the end of a connection. sock_close ends a socket at once, on the caller's
// thread, so that its port can be opened again right away; the event thread frees the record on
// its next visit.
//
// Passes: the event thread serves the sockets in passes. Each pass visits the connection table
// (UDP sockets, TCP client sockets and accepted connections) and then the listening table, each in
// the order its records were made, with at most one receive per connection and one accept per
// listening socket. The end of a connection is therefore reported before an accept seen in the
// same pass, so an owner that serves one client at a time can take a client that drops and
// reconnects at once; a connection accepted in a pass is served from the next pass on. Per record,
// a connect outcome comes before data or the closure.
//
// Dead peers: every connected TCP socket (accepted or opened) probes a peer that stays silent and
// bounds how long sent bytes may go unacknowledged, so that a peer gone without a word (power cut,
// cable pulled, a NAT that forgot the connection) ends the connection with SOCK_EVENT_CLOSED
// within the dead-peer limit, 60 s unless sock_set_dead_peer_limit says otherwise, whether the
// connection is idle or sending. A peer that takes no bytes at all (its receive window stays shut)
// for that long counts as gone too.
//
// Threads: sock_init, sock_set_poll_mode and sock_cleanup come from one controlling thread (the
// engine's main thread). The opens, sends, sock_set_context, sock_close, sock_discard_queued and
// sock_resolve may be called from any thread, including from inside a callback on the event
// thread. The layer never holds one of its locks while it runs a callback. sock_is_dotted_quad,
// sock_inet_addr and sock_set_dead_peer_limit work in any state on any thread.
//
// Record lifetime: a SocketRecord handle stays valid until the event thread removes the record:
// right after the SOCK_EVENT_CLOSED callback returns, at the first visit after sock_close, or at
// sock_cleanup. The owner drops its handle at those points and never uses it again.
#pragma once

#include <cstdint>

// An open socket as the layer keeps it; opaque to callers, who hold a pointer as the handle.
struct SocketRecord;

// Result codes of the calls.
constexpr std::uint32_t SOCK_RC_FAIL = 0;             // failure without a code of its own
constexpr std::uint32_t SOCK_RC_OK = 1;               // success
constexpr std::uint32_t SOCK_RC_ALREADY_INIT = 2;     // sock_init on a started layer
constexpr std::uint32_t SOCK_RC_BAD_ARG = 3;          // a required argument is missing or empty
constexpr std::uint32_t SOCK_RC_NOT_INIT = 4;         // the layer is not started
constexpr std::uint32_t SOCK_RC_STARTUP_FAILED = 5;   // the layer could not start
constexpr std::uint32_t SOCK_RC_NO_SOCKET = 6;        // no socket could be created
constexpr std::uint32_t SOCK_RC_BIND_FAILED = 7;      // a UDP socket could not bind its port
constexpr std::uint32_t SOCK_RC_NO_MEMORY = 8;        // no record could be made
constexpr std::uint32_t SOCK_RC_CONNECT_FAILED = 9;   // a TCP connect failed at once
constexpr std::uint32_t SOCK_RC_CONNECT_PENDING = 10; // a TCP connect is under way
constexpr std::uint32_t SOCK_RC_WOULD_BLOCK = 12;     // a send took no bytes (would block)

// Event codes passed to SockEventFn.
//   event                      a                  b                       c
//   SOCK_EVENT_DATA            bytes received     source port, network    source IPv4 address,
//                              (1-2048)           byte order (0 for TCP)  network order (0 TCP)
//   SOCK_EVENT_CLOSED          0                  0                       0
//   SOCK_EVENT_CONNECTED       0                  0                       0
//   SOCK_EVENT_ACCEPTED        new SocketRecord*  peer port, host order   peer address as
//                                                                         dotted-quad text
//   SOCK_EVENT_CONNECT_FAILED  0                  0                       0
constexpr std::uint32_t SOCK_EVENT_DATA = 0;   // bytes lie at the start of the lent buffer
constexpr std::uint32_t SOCK_EVENT_CLOSED = 1; // peer closed or gone, receive failed; record goes
constexpr std::uint32_t SOCK_EVENT_CONNECTED = 2;      // a pending TCP connect succeeded
constexpr std::uint32_t SOCK_EVENT_ACCEPTED = 3;       // a listening socket accepted a connection
constexpr std::uint32_t SOCK_EVENT_CONNECT_FAILED = 4; // a pending TCP connect failed

// Most bytes one receive takes; every record receives in chunks of at most this size.
constexpr std::uint32_t SOCK_RECEIVE_SIZE = 2048;
// The dead-peer limit of every TCP connection unless sock_set_dead_peer_limit sets another (s).
constexpr std::uint32_t SOCK_DEAD_PEER_LIMIT_DEFAULT = 60;
// Bytes of queued output a TCP connection can hold for sock_send_queued.
constexpr std::uint32_t SOCK_SEND_QUEUE_SIZE = 8192;

// Lends a buffer of at least `size` bytes for the next receive on the record whose context is
// `context`, or returns null to leave the bytes in the socket for a later pass (the owner's way
// of holding a fast sender back). Called on the event thread just before each receive; the buffer
// need only stay valid until the SOCK_EVENT_DATA call that follows returns.
using SockBufferFn = std::uint8_t* (*)(void* context, std::uint32_t size);

// Reports one event (see the table above) about the record whose context is `context`; for
// SOCK_EVENT_ACCEPTED it is the listening record's context. `a` and `c` carry a record pointer
// and a text pointer for SOCK_EVENT_ACCEPTED, hence pointer-sized; for the other events they hold
// 32-bit numbers. Called on the event thread, one call at a time; it may call every sock_* call
// except sock_init, sock_set_poll_mode and sock_cleanup, and should return promptly, since no
// other socket is served meanwhile.
using SockEventFn = void (*)(void* context, std::uint32_t event, std::uintptr_t a, std::uint32_t b,
                             std::uintptr_t c);

// Starts the layer: 2 if it is started already (the first callbacks stay), 3 if either callback
// is missing. Otherwise clears the whole layer state (so the poll mode is chosen afterwards),
// empties both tables, stores the callbacks, starts the event thread and returns 1; 5 if the
// thread or its wake-up channel could not be made (the layer then does not count as started).
[[nodiscard]] std::uint32_t sock_init(SockBufferFn bufferFn, SockEventFn eventFn);

// Chooses how the event thread waits between and within passes. No result; works in any state.
//   0: each pass waits up to 10 ms for a socket to become ready;
//   1: passes do not wait at all (the thread spins; for tests of the pass logic only);
//   2: the mode the engine uses: a pass starts as soon as a socket is ready or the tables change
//      (an open, a close request, queued output); while a record is held back (its owner lent no
//      buffer, or an accept failed) the wait lasts at most 1 ms so that the record is retried.
// Any other mode changes nothing.
void sock_set_poll_mode(std::uint32_t mode);

// Sets the dead-peer limit (1 to 32767 s; other values count as the nearer end of that range) of
// TCP connections accepted or opened after the call. Works in any state; sock_init sets
// SOCK_DEAD_PEER_LIMIT_DEFAULT again. For tests, which cannot wait a minute for a vanished peer;
// the engine keeps the default.
void sock_set_dead_peer_limit(std::uint32_t seconds);

// Stops the layer: nothing if it is not started. Asks the event thread to stop and waits, without
// limit, until it has finished the pass it is in; then closes every socket of the connection
// table and of the listening table, frees every record and marks the layer not started. No
// callback is raised. Must not be called from inside a callback.
void sock_cleanup();

// Opens a UDP socket bound to `port` on every local address. 4 if not started, 3 if `out` is
// missing, 6 if no socket could be made, 7 if the bind failed, 8 if no record could be made;
// 1 with the record in `out`. Datagrams are received by the event thread; an empty datagram is
// ignored and one longer than SOCK_RECEIVE_SIZE bytes is dropped (neither closes the socket).
[[nodiscard]] std::uint32_t sock_open_udp(void* context, std::uint16_t port, SocketRecord** out);

// Opens a listening TCP socket on `port` of every local IPv4 address (backlog 3, address reuse
// on, so a port can be listened on again right after it was closed). Clears `out` first. 4 if not
// started, 3 if `out` is missing, 8 if no record could be made, 6 if no socket could be made, 0
// if the bind failed (for instance the port is in use); 1 with the record in `out`. A failed open
// leaves nothing behind.
[[nodiscard]] std::uint32_t sock_open_tcp_server(std::uint16_t port, void* context,
                                                 SocketRecord** out);

// Starts a non-blocking TCP connect to the IPv4 address that sock_inet_addr gives for
// `addressText` (dotted quad, as sock_resolve writes it) at `port`. 4 if not started, 3 if `out`
// or the text is missing, 6 if no socket could be made, 9 if the connect failed at once (nothing
// is left behind), 8 if no record could be made. 1 (connected at once) or 10 (under way) put the
// record into `out`; in both cases the event thread later raises exactly one
// SOCK_EVENT_CONNECTED or SOCK_EVENT_CONNECT_FAILED. After SOCK_EVENT_CONNECT_FAILED the record
// stays until its owner calls sock_close.
[[nodiscard]] std::uint32_t sock_open_tcp_client(void* context, const char* addressText,
                                                 std::uint16_t port, SocketRecord** out);

// Sets the record's context (the first argument of its callbacks): 4 if not started, 3 if the
// record is missing, else 1. The owner of a listening socket calls it from inside
// SOCK_EVENT_ACCEPTED to adopt the new connection.
[[nodiscard]] std::uint32_t sock_set_context(SocketRecord* record, void* context);

// One send on a TCP connection. 4 if not started, 3 if record or data is missing or length is 0.
// 1 with the number of bytes the platform took in `sent` (possibly fewer than `length`: the rest
// is neither sent nor kept); 12 if the send would block (nothing sent); 0 on any other failure.
// Do not mix with sock_send_queued on the same record.
[[nodiscard]] std::uint32_t sock_send(SocketRecord* record, const std::uint8_t* data,
                                      std::uint32_t length, std::uint32_t* sent);

// Sends on a TCP connection without losing what the socket cannot take at the moment: bytes the
// platform does not take are kept in the record's output queue (SOCK_SEND_QUEUE_SIZE bytes) and
// written by the event thread, in order, as soon as the socket becomes writable; while the queue
// holds bytes, new bytes join its end. All or nothing: 1 with `sent` = `length` when every byte
// was sent or queued; 12 when the bytes do not fit (nothing taken); 0 when the connection failed
// (nothing taken); 4 and 3 as for sock_send. Queued bytes are dropped if the connection closes.
[[nodiscard]] std::uint32_t sock_send_queued(SocketRecord* record, const std::uint8_t* data,
                                             std::uint32_t length, std::uint32_t* sent);

// Bytes that sock_send_queued will take right now on the record: SOCK_SEND_QUEUE_SIZE minus what
// is queued; 0 when the record is missing or the layer is not started.
[[nodiscard]] std::uint32_t sock_send_space(SocketRecord* record);

// Empties the record's output queue of sock_send_queued, so that those bytes are never written,
// and returns how many it held; 0 when the record is missing, has no queue (not a TCP connection)
// or the layer is not started. Any thread, also inside a callback about the record (including
// SOCK_EVENT_CLOSED, while the record is still valid). An owner that counts what it transmits
// takes these bytes off the count.
[[nodiscard]] std::uint32_t sock_discard_queued(SocketRecord* record);

// Sends one datagram to the IPv4 `address` (network byte order) and `port` (host byte order).
// 4 if not started, 3 if record or data is missing or length is 0; 1 when the platform took the
// datagram, 0 when it refused it.
[[nodiscard]] std::uint32_t sock_send_to(SocketRecord* record, std::uint32_t address,
                                         std::uint16_t port, const std::uint8_t* data,
                                         std::uint32_t length);

// Closes the record's socket before it returns, so that an open of the same port number right
// after it succeeds, from any thread (also inside a callback); the event thread frees the record
// at its next visit, without an event. 4 if not started, 3 if the record is missing, else 1 (also
// when called twice before that visit; the socket is closed once). It never waits for a callback
// to end, so it may be called with a lock held that a callback is waiting for; at most it waits
// for the event thread's readiness wait, which it ends at once. An event whose cause the event
// thread had already taken from the socket may still follow the call (sock_callback_record tells
// it apart); no other does. The caller drops its handle after this call.
[[nodiscard]] std::uint32_t sock_close(SocketRecord* record);

// Turns a host name or dotted quad into dotted-quad text in `out` (16 bytes). 4 if not started,
// 3 if either is missing or the name is empty. A name that passes sock_is_dotted_quad is copied
// unchanged (values above 255 included); otherwise it is looked up and the first IPv4 address is
// written: 1, or 0 when the lookup finds nothing. May block for the lookup's duration.
[[nodiscard]] std::uint32_t sock_resolve(const char* name, char* out);

// 1 if `text` is 7 to 15 characters of exactly four groups of 1 to 3 decimal digits separated by
// single dots, else 0. The values of the groups are not range-tested.
[[nodiscard]] std::uint32_t sock_is_dotted_quad(const char* text);

// The IPv4 address (network byte order) of a dotted quad (as sock_is_dotted_quad accepts it),
// every group read as decimal, leading zeros included ("010.001.002.003" is 10.1.2.3). All ones
// for any other text, a group above 255 and a missing text.
[[nodiscard]] std::uint32_t sock_inet_addr(const char* text);

// Inside a callback on the event thread: the record the callback is about (for
// SOCK_EVENT_ACCEPTED, the listening record; for a buffer request, the record about to receive).
// Null on any other thread or outside a callback. An owner that closes and re-opens sockets for
// the same context tells by it whether an event still concerns its current socket: an event that
// was under way when the owner called sock_close may reach the owner after the call.
[[nodiscard]] SocketRecord* sock_callback_record();

// Number of passes the event thread has begun since sock_init. For tests and diagnostics: a
// callback can tell whether two events came from the same pass.
[[nodiscard]] std::uint64_t sock_pass_count();
