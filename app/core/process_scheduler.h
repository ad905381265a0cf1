// Drives the engine's periodic processing (WeaveProcess) without a free-running tick: one
// single-shot timer is armed for the moment the engine's earliest port timer falls due
// (WeaveNextTimerDue), and stopped while no port timer runs, so an idle bridge wakes the process
// only for the statistics refresh. The engine tells when it starts a timer (WeaveSetTimerWake),
// on any of its threads; that only posts one request to the main thread, which re-arms there.
//
// Passes are at least MIN_PASS_GAP_MS apart, as a loop that sleeps a millisecond per pass would
// make them: a timer due at once (a traffic generator with period 0) runs about a thousand
// passes a second instead of spinning.
//
// The timer, the posting and the clock are hooks, so the class runs with Qt in the application
// and with a plain loop in tests. Every member but wake() is for the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace pw::app {

class ProcessScheduler {
public:
    static constexpr std::uint32_t MIN_PASS_GAP_MS = 1;

    struct Hooks {
        std::function<void()> process;          // one pass: WeaveProcess
        std::function<std::uint32_t()> nextDue; // WeaveNextTimerDue
        std::function<void(std::uint32_t)> arm; // (re)start the single-shot timer, in ms
        std::function<void()> disarm;           // stop the timer
        std::function<void()> post;             // any thread: have wakeArrived() run
        std::function<std::uint32_t()> now;     // millisecond clock (wrapping)
    };

    explicit ProcessScheduler(Hooks hooks);

    // Any thread (the engine calls it under its lock): asks the main thread to re-arm. Posts at
    // most one request until that request has arrived.
    void wake();
    // The posted request arrived on the main thread.
    void wakeArrived();
    // Arms the timer for the engine's next due port timer, or stops it when none runs. Called
    // after every pass and after the application's own engine calls.
    void rearm();
    // The timer fired: one pass, then re-arm.
    void timerFired();

    [[nodiscard]] bool armed() const { return armed_; }
    [[nodiscard]] std::uint32_t armedDelay() const { return armedDelay_; } // ms, when armed
    [[nodiscard]] std::uint64_t passes() const { return passes_; }

private:
    Hooks hooks_;
    std::atomic<bool> wakePending_{false};
    bool armed_ = false;
    std::uint32_t armedDelay_ = 0;
    bool ranOnce_ = false;
    std::uint32_t lastPass_ = 0; // clock reading at the start of the last pass
    std::uint64_t passes_ = 0;
};

// Routes the engine's timer wake (a plain function) to `scheduler`; null detaches. Main thread.
// Once detaching returns, the previous scheduler is never called again.
void InstallTimerWake(ProcessScheduler* scheduler);

} // namespace pw::app
