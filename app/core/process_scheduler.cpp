// The single-shot scheduling of WeaveProcess.
#include "app/core/process_scheduler.h"

#include "engine/weave.h"

namespace pw::app {

namespace {

std::atomic<ProcessScheduler*> g_wakeTarget{nullptr};

void WakeTrampoline() {
    if (ProcessScheduler* scheduler = g_wakeTarget.load()) {
        scheduler->wake();
    }
}

} // namespace

ProcessScheduler::ProcessScheduler(Hooks hooks) : hooks_(std::move(hooks)) {}

void ProcessScheduler::wake() {
    if (!wakePending_.exchange(true)) {
        hooks_.post();
    }
}

void ProcessScheduler::wakeArrived() {
    // Cleared before re-arming, so a timer started from now on posts again.
    wakePending_.store(false);
    rearm();
}

void ProcessScheduler::rearm() {
    const std::uint32_t due = hooks_.nextDue();
    if (due == WEAVE_NO_TIMER) {
        if (armed_) {
            hooks_.disarm();
            armed_ = false;
        }
        return;
    }
    std::uint32_t delay = due;
    if (ranOnce_) {
        const std::uint32_t since = hooks_.now() - lastPass_;
        if (since < MIN_PASS_GAP_MS && delay < MIN_PASS_GAP_MS - since) {
            delay = MIN_PASS_GAP_MS - since;
        }
    }
    armed_ = true;
    armedDelay_ = delay;
    hooks_.arm(delay);
}

void ProcessScheduler::timerFired() {
    armed_ = false;
    lastPass_ = hooks_.now();
    ranOnce_ = true;
    ++passes_;
    hooks_.process();
    rearm();
}

void InstallTimerWake(ProcessScheduler* scheduler) {
    if (scheduler != nullptr) {
        g_wakeTarget.store(scheduler);
        WeaveSetTimerWake(WakeTrampoline);
    } else {
        // Taking the engine's lock waits out a wake in progress on another thread.
        WeaveSetTimerWake(nullptr);
        g_wakeTarget.store(nullptr);
    }
}

} // namespace pw::app
