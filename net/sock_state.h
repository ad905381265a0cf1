// The socket layer's records, tables and state, shared by its calls (sock.cpp) and its event
// thread (sock_thread.cpp). Internal to net/.
#pragma once

#include "net/sock.h"
#include "net/sock_os.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class SocketTable;

struct SocketRecord {
    // Table links ("entry"): written only under the owning table's lock.
    SocketTable* table = nullptr;
    SocketRecord* prev = nullptr;
    SocketRecord* next = nullptr;

    sockos::Fd socket = sockos::NO_FD;            // set before the record is published, then fixed
    std::atomic<void*> context{nullptr};          // the owner's context; first callback argument
    std::atomic<std::uint32_t> closeRequested{0}; // 1 after sock_close (socket ended then)
    std::uint32_t connectPending = 0; // 1 until the event thread reported the connect outcome
    std::uint32_t receiveSize = 0;    // most bytes one receive takes (bytes)

    // Kind, fixed at creation.
    bool isDatagram = false; // UDP: receives with the sender's address
    bool isListener = false; // listening TCP socket

    // Event thread only.
    int waitSlot = -1;     // index into the pass's wait set, -1 when not in it
    bool heldBack = false; // its owner lent no buffer, or its accept failed: retry, do not wait

    // Held by the event thread for each platform call on the socket, by sock_send_queued, and by
    // sock_close, which ends the socket under it and sets closeRequested; also guards the output
    // queue. Never held while a callback runs.
    std::mutex ioMutex;
    // Output queue of sock_send_queued (TCP connections only; allocated with the record).
    std::uint8_t* outData = nullptr; // SOCK_SEND_QUEUE_SIZE bytes, or null
    std::uint32_t outLength = 0;     // bytes queued at the start of outData
};

// An ordered, doubly linked list of records in order of insertion. It owns its records. Every
// change and every step of a walk is made under the table's lock, held only for that step.
class SocketTable {
public:
    void append(SocketRecord* record);
    // Removes `record`, frees it and returns the record that followed it.
    SocketRecord* remove_and_free(SocketRecord* record);
    [[nodiscard]] SocketRecord* first();
    [[nodiscard]] SocketRecord* next_of(const SocketRecord* record);
    // Closes every socket and frees every record; used only when no thread walks the table.
    void close_all();

private:
    std::mutex mutex_;
    SocketRecord* first_ = nullptr;
    SocketRecord* last_ = nullptr;
};

// Makes a record with the given socket; null when no memory could be had.
SocketRecord* make_record(sockos::Fd socket, void* context, bool withOutputQueue);
void free_record(SocketRecord* record);

struct SockLayer {
    std::atomic<bool> started{false};
    SocketTable listenTable;     // listening TCP sockets
    SocketTable connectionTable; // UDP sockets, TCP client sockets and accepted connections
    SockBufferFn bufferFn = nullptr;
    SockEventFn eventFn = nullptr;
    std::atomic<std::uint32_t> stopRequested{0};
    std::atomic<std::uint32_t> threadStopped{0};
    // Wait limit of every readiness test, and the pause flag of poll mode 2.
    std::atomic<std::uint32_t> selTimeoutSec{0};
    std::atomic<std::uint32_t> selTimeoutUsec{0};
    std::atomic<bool> pause{false};
    std::atomic<std::uint32_t> deadPeerLimit{SOCK_DEAD_PEER_LIMIT_DEFAULT}; // seconds
    std::atomic<std::uint64_t> passCount{0};
    // Odd while the event thread's readiness wait runs: that wait holds every socket it watches,
    // so a socket ended meanwhile keeps its port until the wait returns. A closer waits for the
    // change on waitDone, under waitMutex: not with std::atomic::wait, which some standard
    // libraries (MinGW's GCC 12) build on a pool that can miss a notify.
    std::atomic<std::uint32_t> waitEpoch{0};
    std::mutex waitMutex;
    std::condition_variable waitDone;
    std::thread thread;
};

SockLayer& sock_layer();

// The event thread's body and one pass of it.
void sock_thread_proc();
void sock_poll_pass();
