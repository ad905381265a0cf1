// Latest status report per link, waiting for the main thread.
#include "app/core/status_queue.h"

namespace pw::app {

StatusQueue::StatusQueue(std::function<void()> wake) : wake_(std::move(wake)) {}

void StatusQueue::push(const LinkStatus& status) {
    if (status.linkId >= MAX_LINKS) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    latest_[status.linkId] = status;
    if (!pending_[status.linkId]) {
        pending_[status.linkId] = true;
        order_[count_++] = status.linkId;
    }
    if (!wakePending_) {
        wakePending_ = true;
        if (wake_) {
            wake_();
        }
    }
}

std::vector<LinkStatus> StatusQueue::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    wakePending_ = false;
    std::vector<LinkStatus> out;
    out.reserve(count_);
    for (std::uint32_t i = 0; i < count_; ++i) {
        out.push_back(latest_[order_[i]]);
        pending_[order_[i]] = false;
    }
    count_ = 0;
    return out;
}

} // namespace pw::app
