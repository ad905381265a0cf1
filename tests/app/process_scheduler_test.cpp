// The single-shot scheduling of WeaveProcess: armed for the next due port timer, stopped while
// none runs, never more often than once a millisecond, and woken from the engine's threads.
#include "app/core/process_scheduler.h"
#include "base/platform.h"
#include "engine/weave.h"
#include "tests/app/app_test_util.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace pw::app;
using namespace std::chrono_literals;

// A main thread in miniature: tasks posted from any thread, and one single-shot timer.
class TestLoop {
public:
    void post(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
        cv_.notify_one();
    }
    void arm(std::uint32_t ms) {
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        armed_ = true;
    }
    void disarm() { armed_ = false; }
    [[nodiscard]] bool armed() const { return armed_; }

    // Runs posted tasks and the timer until `until` holds or `limit` passes.
    bool run(const std::function<void()>& onTimer, const std::function<bool()>& until,
             std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!until()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= end) {
                return until();
            }
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                auto wakeAt = end;
                if (armed_ && deadline_ < wakeAt) {
                    wakeAt = deadline_;
                }
                cv_.wait_until(lock, wakeAt, [this] { return !tasks_.empty(); });
                if (!tasks_.empty()) {
                    task = std::move(tasks_.front());
                    tasks_.pop_front();
                }
            }
            if (task) {
                task();
            } else if (armed_ && std::chrono::steady_clock::now() >= deadline_) {
                armed_ = false;
                onTimer();
            }
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    std::chrono::steady_clock::time_point deadline_{};
    bool armed_ = false;
};

// Hooks around a due time the test sets and a clock it moves.
struct FakeEngine {
    std::uint32_t due = WEAVE_NO_TIMER;
    std::uint32_t clock = 1000;
    int processed = 0;
    int posts = 0;
    std::vector<std::uint32_t> arms;
    int disarms = 0;
    std::mutex postMutex;

    ProcessScheduler::Hooks hooks() {
        return ProcessScheduler::Hooks{[this] { ++processed; },
                                       [this] { return due; },
                                       [this](std::uint32_t ms) { arms.push_back(ms); },
                                       [this] { ++disarms; },
                                       [this] {
                                           std::lock_guard<std::mutex> lock(postMutex);
                                           ++posts;
                                       },
                                       [this] { return clock; }};
    }
};

TEST(ProcessSchedulerTest, ArmsForTheNextDueTimerAndStopsWithoutOne) {
    FakeEngine engine;
    ProcessScheduler scheduler(engine.hooks());
    scheduler.rearm();
    EXPECT_FALSE(scheduler.armed());
    EXPECT_TRUE(engine.arms.empty());
    EXPECT_EQ(engine.disarms, 0); // nothing was armed, nothing to stop

    engine.due = 250;
    scheduler.rearm();
    ASSERT_TRUE(scheduler.armed());
    EXPECT_EQ(engine.arms.back(), 250u);

    engine.due = WEAVE_NO_TIMER; // the port timer was stopped before it fell due
    scheduler.rearm();
    EXPECT_FALSE(scheduler.armed());
    EXPECT_EQ(engine.disarms, 1);

    engine.due = 5;
    scheduler.rearm();
    engine.due = WEAVE_NO_TIMER; // the pass ran the last timer
    scheduler.timerFired();
    EXPECT_EQ(engine.processed, 1);
    EXPECT_FALSE(scheduler.armed());
    EXPECT_EQ(engine.disarms, 1); // a single-shot timer that fired needs no stopping
}

TEST(ProcessSchedulerTest, PassesStayAMillisecondApart) {
    FakeEngine engine;
    ProcessScheduler scheduler(engine.hooks());
    engine.due = 0; // e.g. a traffic generator with period 0: due at every pass
    scheduler.rearm();
    EXPECT_EQ(engine.arms.back(), 0u); // the first pass may run at once
    scheduler.timerFired();
    EXPECT_EQ(engine.arms.back(), ProcessScheduler::MIN_PASS_GAP_MS);
    engine.clock += ProcessScheduler::MIN_PASS_GAP_MS;
    scheduler.rearm();
    EXPECT_EQ(engine.arms.back(), 0u);
    engine.due = 40;
    scheduler.timerFired();
    EXPECT_EQ(engine.arms.back(), 40u);
    // The clock wraps: the difference still counts.
    engine.clock = 0xFFFFFFFFu;
    engine.due = 0;
    scheduler.timerFired();
    engine.clock = 0;
    scheduler.rearm();
    EXPECT_EQ(engine.arms.back(), 0u);
}

TEST(ProcessSchedulerTest, WakesPostOnceUntilTheyArrive) {
    FakeEngine engine;
    ProcessScheduler scheduler(engine.hooks());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&scheduler] {
            for (int i = 0; i < 1000; ++i) {
                scheduler.wake();
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(engine.posts, 1);
    engine.due = 10;
    scheduler.wakeArrived();
    EXPECT_TRUE(scheduler.armed());
    EXPECT_EQ(engine.arms.back(), 10u);
    scheduler.wake();
    EXPECT_EQ(engine.posts, 2);
}

// The real engine: a TCP client whose connection is refused re-activates itself every second,
// and the scheduler runs WeaveProcess just for that.
std::mutex g_eventsMutex;
std::vector<std::string> g_events;

void CollectEvent(const char* text) {
    std::lock_guard<std::mutex> lock(g_eventsMutex);
    g_events.emplace_back(text);
}

int CountEvents(const std::string& suffix) {
    std::lock_guard<std::mutex> lock(g_eventsMutex);
    int n = 0;
    for (const std::string& e : g_events) {
        if (e.size() >= suffix.size() &&
            e.compare(e.size() - suffix.size(), suffix.size(), suffix) == 0) {
            ++n;
        }
    }
    return n;
}

TEST(ProcessSchedulerTest, DrivesTheEnginesReconnectTimer) {
    {
        std::lock_guard<std::mutex> lock(g_eventsMutex);
        g_events.clear();
    }
    TestLoop loop;
    ProcessScheduler* self = nullptr;
    ProcessScheduler scheduler(ProcessScheduler::Hooks{
        WeaveProcess, WeaveNextTimerDue, [&loop](std::uint32_t ms) { loop.arm(ms); },
        [&loop] { loop.disarm(); }, [&loop, &self] { loop.post([&self] { self->wakeArrived(); }); },
        pw::now_ms});
    self = &scheduler;
    InstallTimerWake(&scheduler);

    WeaveInitStruct init{};
    init.eventCallback = CollectEvent;
    char err[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveInit(&init, err), 1u);
    WeaveSetPaused(0);
    ASSERT_EQ(WeaveAllocLink(0), 1u);
    LinkConfig config{};
    std::snprintf(config.name, sizeof(config.name), "retry");
    config.port[0] = apptest::TcpClientPort(testsupport::free_tcp_port(), true);
    config.port[0].autoReconnect = 1;
    config.port[0].reconnectSecs = 1;
    config.port[1] = apptest::TcpServerPort(testsupport::free_tcp_port(), false);
    ASSERT_EQ(WeaveSetLinkConfig(0, &config, err), 1u);
    ASSERT_EQ(WeaveActivatePort(0, 0, err), 1u);

    // The first attempt fails at once; the timer brings a second and a third within seconds.
    const bool retried = loop.run([&scheduler] { scheduler.timerFired(); },
                                  [] { return CountEvents("TCP connect failed.") >= 3; }, 15s);
    EXPECT_TRUE(retried);
    // One or two passes per retry, not one per millisecond.
    EXPECT_LT(scheduler.passes(), 100u);

    WeaveFreeLink(0);
    scheduler.rearm();
    EXPECT_FALSE(scheduler.armed()); // no port timer runs any more
    WeaveShutdown();
    InstallTimerWake(nullptr);
}

} // namespace
