// The socket layer's test fixture: every event recorded, a buffer lent unless a context is held
// back, reactions inside callbacks. Once the layer stops, no descriptor may outlive it.
#pragma once

#include "net/sock.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Named, so that every test file shares one fixture class.
namespace socktest {

using namespace testsupport;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class SockTest : public ::testing::Test {
protected:
    struct Event {
        void* context;
        std::uint32_t event;
        std::uintptr_t a;
        std::uint32_t b;
        std::uintptr_t c;
        SocketRecord* subject; // sock_callback_record() during the call
        std::string data;      // the bytes received, or the peer's address text of an accept
    };
    using Reaction = std::function<void(const Event&)>;

    static void* ctx(std::uintptr_t n) { return reinterpret_cast<void*>(n * 16); }
    static SocketRecord* rec(std::uintptr_t a) { return reinterpret_cast<SocketRecord*>(a); }
    static Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

    // `fn` runs inside each callback after the event is recorded; it captures no test locals.
    static void on_event(Reaction fn) {
        std::lock_guard<std::mutex> lk(m_);
        react_ = std::move(fn);
    }
    static void hold(void* c, bool on) {
        std::lock_guard<std::mutex> lk(m_);
        on ? (void)held_.insert(c) : (void)held_.erase(c);
    }
    // The events about `c`, and their kinds as text ("CONNECTED DATA CLOSED").
    static std::vector<Event> of(void* c) {
        std::lock_guard<std::mutex> lk(m_);
        std::vector<Event> out;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
                     [c](const Event& e) { return e.context == c; });
        return out;
    }
    static std::string kinds(void* c) {
        static const char* const names[] = {"DATA", "CLOSED", "CONNECTED", "ACCEPTED", "FAILED"};
        std::string out;
        for (const Event& e : of(c)) {
            out.append(out.empty() ? "" : " ").append(names[e.event]);
        }
        return out;
    }
    static Bytes data(void* c) {
        std::string out;
        for (const Event& e : of(c)) {
            out += e.event == SOCK_EVENT_DATA ? e.data : "";
        }
        return bytes(out);
    }
    static bool wait(void* c, std::size_t n) {
        return wait_until([&] { return of(c).size() >= n; });
    }

    static std::uint8_t* provide(void* c, std::uint32_t size) {
        std::lock_guard<std::mutex> lk(m_);
        EXPECT_EQ(size, SOCK_RECEIVE_SIZE);
        return held_.count(c) != 0 ? nullptr : buffer_;
    }
    static void handle(void* c, std::uint32_t event, std::uintptr_t a, std::uint32_t b,
                       std::uintptr_t text) {
        Event e{c, event, a, b, text, sock_callback_record(), {}};
        Reaction react;
        {
            std::lock_guard<std::mutex> lk(m_);
            if (event == SOCK_EVENT_DATA) {
                e.data.assign(reinterpret_cast<const char*>(buffer_), a);
            } else if (event == SOCK_EVENT_ACCEPTED) {
                e.data = reinterpret_cast<const char*>(text);
            }
            events_.push_back(e);
            react = react_;
        }
        if (react) {
            react(e);
        }
    }

    void SetUp() override {
        fds_ = open_fd_count();
        start();
    }
    void TearDown() override {
        on_event(nullptr);
        sock_cleanup();
        EXPECT_EQ(open_fd_count(), fds_) << "a descriptor outlived the layer";
        std::lock_guard<std::mutex> lk(m_);
        events_.clear();
        held_.clear();
    }
    static void start() {
        ASSERT_EQ(sock_init(&provide, &handle), SOCK_RC_OK);
        sock_set_poll_mode(2);
    }
    static SocketRecord* server(std::uint16_t port, void* c) {
        SocketRecord* r = nullptr;
        EXPECT_EQ(sock_open_tcp_server(port, c, &r), SOCK_RC_OK);
        return r;
    }
    static SocketRecord* udp(std::uint16_t port, void* c) {
        SocketRecord* r = nullptr;
        EXPECT_EQ(sock_open_udp(c, port, &r), SOCK_RC_OK);
        return r;
    }
    // A client record connected to a test peer, which the test reads (or does not read) itself.
    struct Client {
        Fd listener = tcp_listen(0);
        SocketRecord* record = nullptr;
        Fd peer;
        explicit Client(void* c) {
            const std::uint32_t rc =
                sock_open_tcp_client(c, "127.0.0.1", local_port(listener.get()), &record);
            EXPECT_TRUE(rc == SOCK_RC_OK || rc == SOCK_RC_CONNECT_PENDING) << rc;
            peer = tcp_accept(listener.get());
            EXPECT_TRUE(peer.valid() && wait(c, 1));
        }
    };

    std::size_t fds_ = 0;

private:
    static inline std::mutex m_;
    static inline std::vector<Event> events_;
    static inline std::set<void*> held_;
    static inline Reaction react_;
    static inline std::uint8_t buffer_[SOCK_RECEIVE_SIZE];
};

using R = SocketRecord*;

} // namespace socktest
