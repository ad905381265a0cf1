// The road of the logs' rows and the engine's status reports to the main thread: batching, one
// wake per batch, bounded batches at the row cap, and many logging threads at once.
#include "app/core/row_queue.h"
#include "app/core/status_queue.h"
#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace pw::app;
using apptest::ListModel;
using apptest::LogIn;
using apptest::TempDir;

TEST(RowQueueTest, OneWakePerBatchAndRowsInOrder) {
    TempDir dir;
    pw::LogStore log(LogIn(dir));
    std::atomic<int> wakes{0};
    RowQueue queue([&] { ++wakes; });
    log.setSink(&queue);
    log.logEvent("one");
    log.logEvent("two");
    const std::uint8_t bytes[] = {0x41, 0x42, 0x0d};
    log.traceData(0, 0, TRACE_DIR_RX, bytes, sizeof(bytes));
    EXPECT_EQ(wakes.load(), 1);

    ListModel model;
    model.apply(queue.take());
    EXPECT_EQ(model.eventTexts(), (std::vector<std::string>{"one", "two"}));
    ASSERT_EQ(model.traces.size(), 1u);
    EXPECT_EQ(model.traces[0][1], "L1 P1 (COM1)"); // no configuration: zeros, a COM1
    EXPECT_EQ(model.traces[0][2], "Rx");
    EXPECT_EQ(model.traces[0][3], "3");
    EXPECT_EQ(model.traces[0][4], "41 42 0d ");
    EXPECT_TRUE(queue.take().empty());

    log.logEvent("three"); // the next batch wakes again
    EXPECT_EQ(wakes.load(), 2);
    model.apply(queue.take());
    EXPECT_EQ(model.events.size(), 3u);
}

TEST(RowQueueTest, RowsPastTheCapNeverPileUpInABatch) {
    TempDir dir;
    pw::LogStore log(LogIn(dir));
    RowQueue queue([] {});
    log.setSink(&queue);
    ListModel model;
    // Some rows shown, then far more than the cap before the main thread looks again.
    for (int i = 0; i < 100; ++i) {
        log.logEvent(std::to_string(i).c_str());
    }
    model.apply(queue.take());
    const int total = static_cast<int>(pw::LOG_ROW_CAP) + 5000;
    for (int i = 100; i < total; ++i) {
        log.logEvent(std::to_string(i).c_str());
    }
    RowBatch batch = queue.take();
    EXPECT_LE(batch.events.rows.size(), pw::LOG_ROW_CAP);
    EXPECT_EQ(batch.events.dropFront, 100u);
    model.apply(std::move(batch));
    ASSERT_EQ(model.events.size(), pw::LOG_ROW_CAP);
    EXPECT_EQ(model.events.front()[1], std::to_string(total - pw::LOG_ROW_CAP));
    EXPECT_EQ(model.events.back()[1], std::to_string(total - 1));

    // One more row drops exactly the oldest one.
    log.logEvent("last");
    model.apply(queue.take());
    ASSERT_EQ(model.events.size(), pw::LOG_ROW_CAP);
    EXPECT_EQ(model.events.front()[1], std::to_string(total - pw::LOG_ROW_CAP + 1));
    EXPECT_EQ(model.events.back()[1], "last");
}

TEST(RowQueueTest, ClearTraceDropsShownAndPendingRows) {
    TempDir dir;
    pw::LogStore log(LogIn(dir));
    RowQueue queue([] {});
    log.setSink(&queue);
    ListModel model;
    const std::uint8_t byte = 0x55;
    log.traceData(1, 1, TRACE_DIR_TX, &byte, 1);
    model.apply(queue.take());
    log.traceData(1, 1, TRACE_DIR_TX, &byte, 1);
    log.clearTrace();
    log.traceData(2, 0, TRACE_DIR_RX, &byte, 1);
    model.apply(queue.take());
    ASSERT_EQ(model.traces.size(), 1u);
    EXPECT_EQ(model.traces[0][1], "L3 P1 (COM1)");
}

TEST(RowQueueTest, TraceFileSwitchedOffReachesTheMainThread) {
    TempDir dir;
    pw::LogOptions options = LogIn(dir);
    options.allocateLineBuffer = [](std::size_t) -> char* { return nullptr; };
    pw::LogStore log(options);
    RowQueue queue([] {});
    log.setSink(&queue);
    log.setTraceToFile(true);
    const std::uint8_t byte = 1;
    log.traceData(0, 0, TRACE_DIR_RX, &byte, 1);
    ListModel model;
    model.apply(queue.take());
    EXPECT_TRUE(model.traceToFileSwitchedOff);
    EXPECT_EQ(model.traces.size(), 1u);
}

TEST(RowQueueTest, ManyThreadsLogWhileTheMainThreadTakes) {
    TempDir dir;
    pw::LogStore log(LogIn(dir));
    std::atomic<int> wakes{0};
    RowQueue queue([&] { ++wakes; });
    log.setSink(&queue);
    constexpr int THREADS = 4;
    constexpr int ROWS = 3000;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&log, t] {
            const std::uint8_t data[4] = {1, 2, 3, static_cast<std::uint8_t>(t)};
            for (int i = 0; i < ROWS; ++i) {
                log.traceData(static_cast<std::uint32_t>(t), 0, TRACE_DIR_RX, data, sizeof(data));
                log.logEvent(("t" + std::to_string(t) + " " + std::to_string(i)).c_str());
            }
        });
    }
    ListModel model;
    std::thread consumer([&] {
        while (!done.load()) {
            model.apply(queue.take());
            std::this_thread::yield();
        }
    });
    for (std::thread& t : threads) {
        t.join();
    }
    done = true;
    consumer.join();
    model.apply(queue.take());
    EXPECT_EQ(model.traces.size(), static_cast<std::size_t>(THREADS * ROWS));
    ASSERT_EQ(model.events.size(), static_cast<std::size_t>(THREADS * ROWS));
    // Each thread's events arrive in the order it logged them.
    std::vector<int> next(THREADS, 0);
    for (const auto& row : model.events) {
        const int t = row[1][1] - '0';
        EXPECT_EQ(row[1], "t" + std::to_string(t) + " " + std::to_string(next[t]++));
    }
    EXPECT_GE(wakes.load(), 1);
}

LinkStatus Status(std::uint32_t id, std::uint32_t activated1, std::uint32_t connected1) {
    LinkStatus s{};
    s.linkId = id;
    s.port[0].portId = 0;
    s.port[0].activated = activated1;
    s.port[0].connected = connected1;
    s.port[1].portId = 1;
    return s;
}

TEST(StatusQueueTest, KeepsTheLatestReportOfEachLink) {
    int wakes = 0;
    StatusQueue queue([&] { ++wakes; });
    queue.push(Status(5, 1, 0));
    queue.push(Status(2, 1, 0));
    queue.push(Status(5, 1, 1));
    queue.push(Status(MAX_LINKS, 1, 1)); // not a link: ignored
    EXPECT_EQ(wakes, 1);
    const std::vector<LinkStatus> got = queue.take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(+got[0].linkId, 5u);
    EXPECT_EQ(got[0].port[0].connected, 1u);
    EXPECT_EQ(+got[1].linkId, 2u);
    EXPECT_TRUE(queue.take().empty());
    queue.push(Status(2, 0, 0));
    EXPECT_EQ(wakes, 2);
}

TEST(StatusQueueTest, ReportsFromManyThreads) {
    std::atomic<int> wakes{0};
    StatusQueue queue([&] { ++wakes; });
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&queue, t] {
            for (std::uint32_t i = 0; i < 2000; ++i) {
                LinkStatus s = Status(t * 8 + i % 8, 1, 0);
                s.port[0].rxBytes = i;
                queue.push(s);
            }
        });
    }
    // The latest report of each link, as the main thread would show it.
    std::uint32_t shown[MAX_LINKS] = {};
    bool any[MAX_LINKS] = {};
    auto take = [&] {
        for (const LinkStatus& s : queue.take()) {
            ASSERT_LT(s.linkId, MAX_LINKS);
            shown[s.linkId] = s.port[0].rxBytes;
            any[s.linkId] = true;
        }
    };
    for (int i = 0; i < 100; ++i) {
        take();
    }
    for (std::thread& t : threads) {
        t.join();
    }
    take();
    // Link t*8+k is reported with i = k, k+8, ..., 1992+k: the last report must win.
    for (std::uint32_t id = 0; id < MAX_LINKS; ++id) {
        ASSERT_TRUE(any[id]);
        EXPECT_EQ(shown[id], 1992u + id % 8) << "link " << id;
    }
    EXPECT_GE(wakes.load(), 1);
}

} // namespace
