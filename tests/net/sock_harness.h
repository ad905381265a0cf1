// A test owner for the socket layer: records every event with the pass it came from, lends a
// buffer unless told to hold a context back, and lets a test react inside the callback.
#pragma once

#include "net/sock.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace socktest {

struct Event {
    void* context = nullptr;
    std::uint32_t event = 0;
    std::uintptr_t a = 0;
    std::uint32_t b = 0;
    std::uintptr_t c = 0;
    std::string text;                // SOCK_EVENT_ACCEPTED: the peer's address text
    std::vector<std::uint8_t> data;  // SOCK_EVENT_DATA: the bytes received
    std::uint64_t pass = 0;          // the event thread's pass that raised it
    SocketRecord* subject = nullptr; // sock_callback_record() during the call
};

class Owner {
public:
    static Owner& instance();

    void reset();
    // Called inside the event callback, on the event thread, after the event is recorded.
    void on_event(std::function<void(const Event&)> reaction);
    // While held, the buffer provider lends nothing for this context.
    void hold(void* context, bool held);

    std::vector<Event> events();
    std::vector<Event> events_for(void* context);
    // Waits until `count` events for the context (any context when null) have arrived.
    bool wait_events(void* context, std::size_t count, int timeoutMs = 10000);
    std::vector<std::uint8_t> data_for(void* context);
    std::size_t buffer_requests();

    static std::uint8_t* provide(void* context, std::uint32_t size);
    static void handle(void* context, std::uint32_t event, std::uintptr_t a, std::uint32_t b,
                       std::uintptr_t c);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    std::set<void*> held_;
    std::function<void(const Event&)> reaction_;
    std::size_t bufferRequests_ = 0;
    std::uint8_t buffer_[SOCK_RECEIVE_SIZE] = {};
};

// Starts the layer in the engine's poll mode for each test and stops it afterwards.
class SockTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    Owner& owner() { return Owner::instance(); }
};

// Distinct contexts for the records of a test.
inline void* ctx(std::uintptr_t n) {
    return reinterpret_cast<void*>(n * 16);
}

} // namespace socktest
