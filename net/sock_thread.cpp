// The socket event thread: serves every socket of both tables, turns readiness into events and
// is the only place where records are removed while the layer runs (sock_close ends a socket on
// its caller's thread; the event thread then closes the placeholder that keeps its number).
//
// A pass begins with one readiness wait over all sockets (instead of one test per socket), then
// walks the connection table and the listening table in order, exactly as if each socket had been
// tested on its own at its visit: at most one accept per listening socket and one receive per
// connection per pass, and per record the connect outcome before data or closure. Records that
// were not part of the wait (appended during the pass, or held back) are tested at their visit.
//
// Connections come first so that the end of a connection is reported before an accept seen in the
// same pass: a client that drops and reconnects at once finds its old connection gone, and an
// owner that serves one client at a time takes it instead of turning it away.
#include "net/sock_state.h"

#include <cstring>
#include <vector>

namespace {

// Wait limit while some record is held back: it must be retried soon, but not spun on.
constexpr int HELD_BACK_RETRY_MS = 1;

// The pass's wait set, reused from pass to pass; never destroyed, as the layer's state.
std::vector<sockos::WaitItem>& g_waitSet = *new std::vector<sockos::WaitItem>;

// The record a callback on this thread is about; see sock_callback_record.
thread_local SocketRecord* t_callbackRecord = nullptr;

// Marks `record` as the subject of the callbacks made while it lives.
class CallbackSubject {
public:
    explicit CallbackSubject(SocketRecord* record) { t_callbackRecord = record; }
    ~CallbackSubject() { t_callbackRecord = nullptr; }
    CallbackSubject(const CallbackSubject&) = delete;
    CallbackSubject& operator=(const CallbackSubject&) = delete;
};

// Holds the record's socket for one platform call: sock_close cannot end it meanwhile, and a
// socket already ended is not touched (its number now belongs to a placeholder).
class SocketUse {
public:
    explicit SocketUse(SocketRecord* record)
        : lock_(record->ioMutex), open_(record->closeRequested.load() == 0) {}
    explicit operator bool() const { return open_; }

private:
    std::lock_guard<std::mutex> lock_;
    bool open_;
};

void raise(SocketRecord* record, std::uint32_t event, std::uintptr_t a = 0, std::uint32_t b = 0,
           std::uintptr_t c = 0) {
    const CallbackSubject subject(record);
    sock_layer().eventFn(record->context.load(), event, a, b, c);
}

bool has_queued_output(SocketRecord* record) {
    if (record->outData == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(record->ioMutex);
    return record->outLength > 0;
}

// Adds the record to the wait set unless it is held back (then it is retried without waiting).
// Returns whether the record needs its visit at once regardless of readiness.
bool enlist(SocketRecord* record, unsigned asked, bool& anyHeldBack) {
    record->waitSlot = -1;
    if (record->closeRequested.load() != 0) {
        return true;
    }
    if (record->heldBack) {
        anyHeldBack = true;
        return false;
    }
    record->waitSlot = static_cast<int>(g_waitSet.size());
    g_waitSet.push_back(sockos::WaitItem{record->socket, asked, 0});
    return false;
}

// Waits until the pass has something to do, as the poll mode says, and records what is ready.
void wait_for_readiness() {
    SockLayer& layer = sock_layer();
    g_waitSet.clear();
    bool anyHeldBack = false;
    bool visitNow = false;
    for (SocketRecord* r = layer.listenTable.first(); r != nullptr;
         r = layer.listenTable.next_of(r)) {
        visitNow |= enlist(r, sockos::READABLE, anyHeldBack);
    }
    for (SocketRecord* r = layer.connectionTable.first(); r != nullptr;
         r = layer.connectionTable.next_of(r)) {
        unsigned asked = sockos::READABLE;
        if (r->connectPending != 0 || has_queued_output(r)) {
            asked |= sockos::WRITABLE;
        }
        visitNow |= enlist(r, asked, anyHeldBack);
    }

    int timeoutMs = 0;
    if (!visitNow) {
        if (layer.pause.load()) {
            timeoutMs = anyHeldBack ? HELD_BACK_RETRY_MS : -1;
        } else {
            timeoutMs = static_cast<int>(layer.selTimeoutSec.load() * 1000u +
                                         (layer.selTimeoutUsec.load() + 999u) / 1000u);
        }
    }
    layer.waitEpoch.fetch_add(1);
    const bool waited = sockos::wait(g_waitSet.data(), g_waitSet.size(), timeoutMs);
    {
        // Taken so that a closer between its look at the epoch and its sleep cannot miss this.
        std::lock_guard<std::mutex> lock(layer.waitMutex);
        layer.waitEpoch.fetch_add(1);
    }
    layer.waitDone.notify_all();
    if (!waited) {
        // A failed wait counts as nothing ready; records are still visited one by one below.
        for (auto& item : g_waitSet) {
            item.found = 0;
        }
    }
}

// Readiness of the record for `asked`: from the pass's wait when it took part, else tested now.
unsigned readiness(SocketRecord* record, unsigned asked) {
    if (record->waitSlot >= 0) {
        return g_waitSet[static_cast<std::size_t>(record->waitSlot)].found;
    }
    const SocketUse use(record);
    return use ? sockos::probe(record->socket, asked) : 0;
}

SocketRecord* close_and_remove(SocketTable& table, SocketRecord* record) {
    {
        // A sock_close that set the flag may not have let go of the record yet.
        const std::lock_guard<std::mutex> lock(record->ioMutex);
    }
    sockos::close(record->socket);
    return table.remove_and_free(record);
}

// One visit of a listening record; returns the record to visit next.
SocketRecord* visit_listener(SocketRecord* r) {
    SockLayer& layer = sock_layer();
    if (r->closeRequested.load() != 0) {
        return close_and_remove(layer.listenTable, r);
    }
    if ((readiness(r, sockos::READABLE) & sockos::READABLE) == 0) {
        r->heldBack = false;
        return layer.listenTable.next_of(r);
    }
    // The record comes first: without one, the connection waits in the backlog.
    SocketRecord* n = make_record(sockos::NO_FD, nullptr, true);
    if (n == nullptr) {
        r->heldBack = true;
        return layer.listenTable.next_of(r);
    }
    std::uint16_t peerPort = 0;
    char peerText[16] = {};
    {
        const SocketUse use(r);
        n->socket = use ? sockos::accept(r->socket, &peerPort, peerText) : sockos::NO_FD;
    }
    if (n->socket == sockos::NO_FD) {
        // The listening socket is retried after a short pause rather than spun on (say, out of
        // descriptors).
        free_record(n);
        r->heldBack = true;
        return layer.listenTable.next_of(r);
    }
    r->heldBack = false;
    sockos::set_no_delay(n->socket);
    sockos::set_dead_peer_limit(n->socket, layer.deadPeerLimit.load());
    layer.connectionTable.append(n);
    raise(r, SOCK_EVENT_ACCEPTED, reinterpret_cast<std::uintptr_t>(n), peerPort,
          reinterpret_cast<std::uintptr_t>(peerText));
    return layer.listenTable.next_of(r);
}

// Writes out what sock_send_queued left queued, as far as the socket takes it now.
void flush_queued_output(SocketRecord* r) {
    std::lock_guard<std::mutex> lock(r->ioMutex);
    if (r->outLength == 0 || r->closeRequested.load() != 0) {
        return;
    }
    const long n = sockos::send(r->socket, r->outData, r->outLength);
    if (n == sockos::IO_CLOSED_OR_FAILED) {
        // The connection is gone; its receive reports the end.
        r->outLength = 0;
        return;
    }
    if (n > 0) {
        const auto sent = static_cast<std::uint32_t>(n);
        std::memmove(r->outData, r->outData + sent, r->outLength - sent);
        r->outLength -= sent;
    }
}

// Receives once into the owner's buffer. Returns false when the record ended (already removed).
bool receive_once(SocketRecord* r, SocketRecord** following) {
    SockLayer& layer = sock_layer();
    if (r->closeRequested.load() != 0) {
        return true; // closed by its owner meanwhile; it goes at the next visit
    }
    std::uint8_t* buffer = nullptr;
    {
        const CallbackSubject subject(r);
        buffer = layer.bufferFn(r->context.load(), r->receiveSize);
    }
    if (buffer == nullptr) {
        r->heldBack = true;
        return true;
    }
    r->heldBack = false;
    std::uint16_t portNet = 0;
    std::uint32_t addressNet = 0;
    long n = 0;
    {
        const SocketUse use(r);
        if (!use) {
            return true; // its owner closed it meanwhile; it goes at the next visit
        }
        n = r->isDatagram
                ? sockos::receive_datagram(r->socket, buffer, r->receiveSize, &portNet, &addressNet)
                : sockos::receive(r->socket, buffer, r->receiveSize);
    }
    if (n == sockos::IO_WOULD_BLOCK) {
        return true;
    }
    if (r->isDatagram && n >= 0 && (n == 0 || n > static_cast<long>(r->receiveSize))) {
        // Anyone on the network can send an empty or oversized datagram; dropping it keeps the
        // port open for everyone else.
        return true;
    }
    if (n <= 0) {
        raise(r, SOCK_EVENT_CLOSED);
        *following = close_and_remove(layer.connectionTable, r);
        return false;
    }
    raise(r, SOCK_EVENT_DATA, static_cast<std::uintptr_t>(n), portNet, addressNet);
    return true;
}

// One visit of a connection record; returns the record to visit next.
SocketRecord* visit_connection(SocketRecord* r) {
    SockLayer& layer = sock_layer();
    if (r->closeRequested.load() != 0) {
        return close_and_remove(layer.connectionTable, r);
    }
    if (r->connectPending != 0) {
        const unsigned ready = readiness(r, sockos::READABLE | sockos::WRITABLE);
        if ((ready & (sockos::WRITABLE | sockos::FAILED)) == 0) {
            return layer.connectionTable.next_of(r);
        }
        bool failed = false;
        {
            const SocketUse use(r);
            if (!use) {
                return layer.connectionTable.next_of(r);
            }
            failed = (ready & sockos::FAILED) != 0 || sockos::connect_failed(r->socket);
        }
        r->connectPending = 0;
        if (failed) {
            raise(r, SOCK_EVENT_CONNECT_FAILED);
            // A failed socket also reads as readable here; its owner closes it in answer to the
            // event, so no receive (which would report a closure as well) follows in this visit.
            return layer.connectionTable.next_of(r);
        }
        raise(r, SOCK_EVENT_CONNECTED);
    }
    const unsigned ready = readiness(r, sockos::READABLE | sockos::WRITABLE);
    if ((ready & sockos::WRITABLE) != 0 && r->outData != nullptr) {
        flush_queued_output(r);
    }
    if ((ready & sockos::READABLE) == 0) {
        r->heldBack = false;
        return layer.connectionTable.next_of(r);
    }
    SocketRecord* following = nullptr;
    if (!receive_once(r, &following)) {
        return following;
    }
    return layer.connectionTable.next_of(r);
}

} // namespace

SocketRecord* sock_callback_record() {
    return t_callbackRecord;
}

void sock_poll_pass() {
    SockLayer& layer = sock_layer();
    if (!layer.started.load()) {
        return;
    }
    layer.passCount.fetch_add(1);
    for (SocketRecord* r = layer.connectionTable.first(); r != nullptr;) {
        r = visit_connection(r);
    }
    for (SocketRecord* r = layer.listenTable.first(); r != nullptr;) {
        r = visit_listener(r);
    }
}

void sock_thread_proc() {
    SockLayer& layer = sock_layer();
    layer.threadStopped = 0;
    while (layer.stopRequested.load() == 0) {
        wait_for_readiness();
        if (layer.stopRequested.load() != 0) {
            break;
        }
        sock_poll_pass();
    }
    g_waitSet.clear();
    g_waitSet.shrink_to_fit();
    layer.threadStopped = 1;
}
