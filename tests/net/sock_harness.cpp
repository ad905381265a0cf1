#include "tests/net/sock_harness.h"

#include <chrono>
#include <cstring>

namespace socktest {

Owner& Owner::instance() {
    static Owner owner;
    return owner;
}

void Owner::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    held_.clear();
    reaction_ = nullptr;
    bufferRequests_ = 0;
}

void Owner::on_event(std::function<void(const Event&)> reaction) {
    std::lock_guard<std::mutex> lock(mutex_);
    reaction_ = std::move(reaction);
}

void Owner::hold(void* context, bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held) {
        held_.insert(context);
    } else {
        held_.erase(context);
    }
}

std::vector<Event> Owner::events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Event> Owner::events_for(void* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    for (const auto& e : events_) {
        if (e.context == context) {
            out.push_back(e);
        }
    }
    return out;
}

bool Owner::wait_events(void* context, std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        std::size_t n = 0;
        for (const auto& e : events_) {
            if (context == nullptr || e.context == context) {
                ++n;
            }
        }
        return n >= count;
    });
}

std::vector<std::uint8_t> Owner::data_for(void* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint8_t> out;
    for (const auto& e : events_) {
        if (e.context == context && e.event == SOCK_EVENT_DATA) {
            out.insert(out.end(), e.data.begin(), e.data.end());
        }
    }
    return out;
}

std::size_t Owner::buffer_requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bufferRequests_;
}

std::uint8_t* Owner::provide(void* context, std::uint32_t size) {
    Owner& o = instance();
    std::lock_guard<std::mutex> lock(o.mutex_);
    ++o.bufferRequests_;
    EXPECT_LE(size, SOCK_RECEIVE_SIZE);
    if (o.held_.count(context) != 0) {
        return nullptr;
    }
    std::memset(o.buffer_, 0xEE, sizeof o.buffer_);
    return o.buffer_;
}

void Owner::handle(void* context, std::uint32_t event, std::uintptr_t a, std::uint32_t b,
                   std::uintptr_t c) {
    Owner& o = instance();
    Event e;
    e.context = context;
    e.event = event;
    e.a = a;
    e.b = b;
    e.c = c;
    e.pass = sock_pass_count();
    e.subject = sock_callback_record();
    std::function<void(const Event&)> reaction;
    {
        std::lock_guard<std::mutex> lock(o.mutex_);
        if (event == SOCK_EVENT_DATA) {
            e.data.assign(o.buffer_, o.buffer_ + a);
        }
        if (event == SOCK_EVENT_ACCEPTED) {
            e.text = reinterpret_cast<const char*>(c);
        }
        o.events_.push_back(e);
        reaction = o.reaction_;
    }
    if (reaction) {
        reaction(e);
    }
    o.changed_.notify_all();
}

void SockTest::SetUp() {
    owner().reset();
    ASSERT_EQ(sock_init(&Owner::provide, &Owner::handle), SOCK_RC_OK);
    sock_set_poll_mode(2);
}

void SockTest::TearDown() {
    // Reactions may refer to the finished test's locals; events of the cleanup must not run them.
    owner().on_event(nullptr);
    sock_cleanup();
    owner().reset();
}

} // namespace socktest
