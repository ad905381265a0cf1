// The socket layer's calls.
#include "net/sock_state.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

constexpr int LISTEN_BACKLOG = 3;
constexpr std::uint32_t NOT_AN_ADDRESS = 0xFFFFFFFFu;

// Never destroyed: a process that ends without sock_cleanup must not end in the destructor of a
// running thread.
SockLayer& g_layer = *new SockLayer;

bool started() {
    return g_layer.started.load();
}

} // namespace

SockLayer& sock_layer() {
    return g_layer;
}

std::uint32_t sock_init(SockBufferFn bufferFn, SockEventFn eventFn) {
    if (started()) {
        return SOCK_RC_ALREADY_INIT;
    }
    if (bufferFn == nullptr || eventFn == nullptr) {
        return SOCK_RC_BAD_ARG;
    }
    g_layer.listenTable.close_all();
    g_layer.connectionTable.close_all();
    g_layer.stopRequested = 0;
    g_layer.threadStopped = 0;
    g_layer.selTimeoutSec = 0;
    g_layer.selTimeoutUsec = 0;
    g_layer.pause = false;
    g_layer.deadPeerLimit = SOCK_DEAD_PEER_LIMIT_DEFAULT;
    g_layer.passCount = 0;
    g_layer.bufferFn = bufferFn;
    g_layer.eventFn = eventFn;
    if (!sockos::wake_open()) {
        return SOCK_RC_STARTUP_FAILED;
    }
    // The thread's first pass tests `started`, so mark the layer started before the thread runs.
    g_layer.started = true;
    try {
        g_layer.thread = std::thread(sock_thread_proc);
    } catch (const std::system_error&) {
        g_layer.started = false;
        sockos::wake_close();
        return SOCK_RC_STARTUP_FAILED;
    }
    return SOCK_RC_OK;
}

void sock_set_poll_mode(std::uint32_t mode) {
    g_layer.selTimeoutSec = 0;
    g_layer.pause = false;
    switch (mode) {
    case 0:
        g_layer.selTimeoutUsec = 10000;
        break;
    case 1:
        g_layer.selTimeoutUsec = 0;
        break;
    case 2:
        g_layer.selTimeoutUsec = 0;
        g_layer.pause = true;
        break;
    default:
        break;
    }
    if (started()) {
        sockos::wake_signal();
    }
}

void sock_set_dead_peer_limit(std::uint32_t seconds) {
    // The platform takes probe times up to 32767 s.
    g_layer.deadPeerLimit = std::clamp(seconds, 1u, 32767u);
}

void sock_cleanup() {
    if (!started()) {
        return;
    }
    g_layer.stopRequested = 1;
    sockos::wake_signal();
    if (g_layer.thread.joinable()) {
        g_layer.thread.join();
    }
    g_layer.connectionTable.close_all();
    g_layer.listenTable.close_all();
    sockos::wake_close();
    g_layer.started = false;
}

std::uint32_t sock_open_udp(void* context, std::uint16_t port, SocketRecord** out) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (out == nullptr) {
        return SOCK_RC_BAD_ARG;
    }
    const sockos::Fd fd = sockos::udp_socket();
    if (fd == sockos::NO_FD) {
        return SOCK_RC_NO_SOCKET;
    }
    if (!sockos::bind_any(fd, port)) {
        sockos::close(fd);
        return SOCK_RC_BIND_FAILED;
    }
    SocketRecord* record = make_record(fd, context, false);
    if (record == nullptr) {
        sockos::close(fd);
        return SOCK_RC_NO_MEMORY;
    }
    record->isDatagram = true;
    *out = record; // before the event thread can see the record, so events never beat the handle
    g_layer.connectionTable.append(record);
    sockos::wake_signal();
    return SOCK_RC_OK;
}

std::uint32_t sock_open_tcp_server(std::uint16_t port, void* context, SocketRecord** out) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (out == nullptr) {
        return SOCK_RC_BAD_ARG;
    }
    *out = nullptr;
    SocketRecord* record = make_record(sockos::NO_FD, context, false);
    if (record == nullptr) {
        return SOCK_RC_NO_MEMORY;
    }
    record->isListener = true;
    // Binds the IPv4 any-address directly: looking up the local host name would add nothing
    // and fails on hosts whose name does not resolve.
    const sockos::Fd fd = sockos::tcp_socket();
    if (fd == sockos::NO_FD) {
        free_record(record);
        return SOCK_RC_NO_SOCKET;
    }
    // Without address reuse a port could not be listened on again for a minute after a close.
    sockos::set_reuse_address(fd);
    if (!sockos::bind_any(fd, port)) {
        sockos::close(fd);
        free_record(record);
        return SOCK_RC_FAIL;
    }
    sockos::listen(fd, LISTEN_BACKLOG);
    record->socket = fd;
    *out = record;
    g_layer.listenTable.append(record);
    sockos::wake_signal();
    return SOCK_RC_OK;
}

std::uint32_t sock_open_tcp_client(void* context, const char* addressText, std::uint16_t port,
                                   SocketRecord** out) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (out == nullptr || addressText == nullptr) {
        return SOCK_RC_BAD_ARG;
    }
    const sockos::Fd fd = sockos::tcp_socket();
    if (fd == sockos::NO_FD) {
        return SOCK_RC_NO_SOCKET;
    }
    sockos::set_no_delay(fd);
    sockos::set_dead_peer_limit(fd, g_layer.deadPeerLimit.load());
    // The connect starts before the record is published: the event thread must never test a
    // socket whose connect has not begun (an unconnected socket looks hung up).
    const sockos::ConnectStart start = sockos::connect(fd, sock_inet_addr(addressText), port);
    if (start == sockos::ConnectStart::Failed) {
        sockos::close(fd);
        return SOCK_RC_CONNECT_FAILED;
    }
    SocketRecord* record = make_record(fd, context, true);
    if (record == nullptr) {
        sockos::close(fd);
        return SOCK_RC_NO_MEMORY;
    }
    // Also a connect that succeeded at once is reported by the event thread, as for a pending one.
    record->connectPending = 1;
    *out = record;
    g_layer.connectionTable.append(record);
    sockos::wake_signal();
    return start == sockos::ConnectStart::Done ? SOCK_RC_OK : SOCK_RC_CONNECT_PENDING;
}

std::uint32_t sock_set_context(SocketRecord* record, void* context) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (record == nullptr) {
        return SOCK_RC_BAD_ARG;
    }
    record->context.store(context);
    return SOCK_RC_OK;
}

std::uint32_t sock_send(SocketRecord* record, const std::uint8_t* data, std::uint32_t length,
                        std::uint32_t* sent) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (record == nullptr || data == nullptr || length == 0) {
        return SOCK_RC_BAD_ARG;
    }
    const long n = sockos::send(record->socket, data, length);
    if (n == sockos::IO_WOULD_BLOCK) {
        return SOCK_RC_WOULD_BLOCK;
    }
    if (n < 0) {
        return SOCK_RC_FAIL;
    }
    if (sent != nullptr) {
        *sent = static_cast<std::uint32_t>(n);
    }
    return SOCK_RC_OK;
}

std::uint32_t sock_send_queued(SocketRecord* record, const std::uint8_t* data, std::uint32_t length,
                               std::uint32_t* sent) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (record == nullptr || data == nullptr || length == 0 || record->outData == nullptr) {
        return SOCK_RC_BAD_ARG;
    }
    bool queuedNow = false;
    {
        std::lock_guard<std::mutex> lock(record->ioMutex);
        if (length > SOCK_SEND_QUEUE_SIZE - record->outLength) {
            return SOCK_RC_WOULD_BLOCK;
        }
        std::uint32_t taken = 0;
        if (record->outLength == 0) {
            const long n = sockos::send(record->socket, data, length);
            if (n == sockos::IO_CLOSED_OR_FAILED) {
                return SOCK_RC_FAIL;
            }
            taken = n > 0 ? static_cast<std::uint32_t>(n) : 0;
            queuedNow = taken < length;
        }
        std::memcpy(record->outData + record->outLength, data + taken, length - taken);
        record->outLength += length - taken;
    }
    if (queuedNow) {
        // The event thread must start watching this socket for writability.
        sockos::wake_signal();
    }
    if (sent != nullptr) {
        *sent = length;
    }
    return SOCK_RC_OK;
}

std::uint32_t sock_send_space(SocketRecord* record) {
    if (!started() || record == nullptr || record->outData == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(record->ioMutex);
    return SOCK_SEND_QUEUE_SIZE - record->outLength;
}

std::uint32_t sock_discard_queued(SocketRecord* record) {
    if (!started() || record == nullptr || record->outData == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(record->ioMutex);
    return std::exchange(record->outLength, 0u);
}

std::uint32_t sock_send_to(SocketRecord* record, std::uint32_t address, std::uint16_t port,
                           const std::uint8_t* data, std::uint32_t length) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (record == nullptr || data == nullptr || length == 0) {
        return SOCK_RC_BAD_ARG;
    }
    return sockos::send_datagram(record->socket, address, port, data, length) ? SOCK_RC_OK
                                                                              : SOCK_RC_FAIL;
}

std::uint32_t sock_close(SocketRecord* record) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (record == nullptr) {
        return SOCK_RC_BAD_ARG;
    }
    {
        std::lock_guard<std::mutex> lock(record->ioMutex);
        if (record->closeRequested.load() != 0) {
            return SOCK_RC_OK;
        }
        // Ended here rather than at the event thread's next visit, so that the port can be
        // opened again as soon as this call returns; the record goes at that visit. The flag
        // comes last: once the event thread sees it, it closes the number.
        sockos::retire(record->socket);
        record->closeRequested = 1;
    }
    // A readiness wait under way still holds the socket, and the wake ends it at once (the wake
    // comes after the look, so that it cannot go to an earlier wait). Waiting for that is safe
    // with any lock held: the wait runs between callbacks, never in one.
    const std::uint32_t epoch = g_layer.waitEpoch.load();
    sockos::wake_signal();
    if (epoch % 2 != 0) {
        std::unique_lock<std::mutex> lock(g_layer.waitMutex);
        g_layer.waitDone.wait(lock, [epoch] { return g_layer.waitEpoch.load() != epoch; });
    }
    return SOCK_RC_OK;
}

std::uint32_t sock_resolve(const char* name, char* out) {
    if (!started()) {
        return SOCK_RC_NOT_INIT;
    }
    if (name == nullptr || out == nullptr || name[0] == '\0') {
        return SOCK_RC_BAD_ARG;
    }
    if (sock_is_dotted_quad(name) != 0) {
        std::memcpy(out, name, std::strlen(name) + 1); // at most 15 characters and the NUL
        return SOCK_RC_OK;
    }
    return sockos::resolve(name, out) ? SOCK_RC_OK : SOCK_RC_FAIL;
}

std::uint32_t sock_is_dotted_quad(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const std::size_t len = std::strlen(text);
    if (len < 7 || len > 15) {
        return 0;
    }
    int groups = 0;
    int digits = 0;
    for (std::size_t i = 0; i <= len; ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 3) {
                return 0;
            }
        } else if (c == '.' || c == '\0') {
            if (digits == 0) {
                return 0;
            }
            ++groups;
            digits = 0;
        } else {
            return 0;
        }
    }
    return groups == 4 ? 1 : 0;
}

std::uint32_t sock_inet_addr(const char* text) {
    // Every group is read as decimal, also with leading zeros: the platform's inet_addr would
    // read "010" as octal (8) and accept forms that are no dotted quad at all.
    if (sock_is_dotted_quad(text) == 0) {
        return NOT_AN_ADDRESS;
    }
    std::uint8_t groups[4] = {};
    std::size_t group = 0;
    unsigned value = 0;
    for (const char* c = text;; ++c) {
        if (*c >= '0' && *c <= '9') {
            value = value * 10 + static_cast<unsigned>(*c - '0');
            continue;
        }
        if (value > 255) {
            return NOT_AN_ADDRESS;
        }
        groups[group++] = static_cast<std::uint8_t>(value);
        value = 0;
        if (*c == '\0') {
            break;
        }
    }
    std::uint32_t address = 0; // network byte order: the first group is the first byte
    std::memcpy(&address, groups, sizeof address);
    return address;
}

std::uint64_t sock_pass_count() {
    return g_layer.passCount.load();
}
