// The engine's link status reports, handed from whichever thread the engine reports on to the
// main thread. A report only says what the "Status" column of one link shows, so only the latest
// report of each link matters: a link reported twice before the main thread looks keeps the
// later one, and the queue never holds more than one report per link.
#pragma once

#include "engine/records.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace pw::app {

class StatusQueue {
public:
    // `wake` is called on the reporting thread (under the engine's lock) when a report arrives
    // while none is pending; it must only post a request to the main thread to call take().
    explicit StatusQueue(std::function<void()> wake);

    // Any thread: keeps a copy of the report.
    void push(const LinkStatus& status);

    // Main thread: the pending reports, in the order their links were first reported since the
    // last call.
    [[nodiscard]] std::vector<LinkStatus> take();

private:
    const std::function<void()> wake_;
    std::mutex mutex_;
    bool wakePending_ = false;
    LinkStatus latest_[MAX_LINKS]{};
    bool pending_[MAX_LINKS]{};
    std::uint32_t order_[MAX_LINKS]{}; // ids of the pending links, first reported first
    std::uint32_t count_ = 0;          // pending links
};

} // namespace pw::app
