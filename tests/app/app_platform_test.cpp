// What runs around the window: the reach of a second start, the queues to the main thread and
// the passes of the engine's periodic processing (the platform's own cases beside, in
// app_platform_posix_test.cpp and app_platform_win_test.cpp).
#include "app/core/app_platform.h"
#include "app/core/process_scheduler.h"
#include "base/platform.h"
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace {

using namespace apptest;

TEST(InstanceChannelTest, ASecondStartReachesTheRunningInstanceWhileItStartsAndOnceItRuns) {
    testsupport::TempDir dir;
    const std::string path = InstanceChannelPath((dir / "lock").string());
    EXPECT_FALSE(AskRunningInstanceToShow(path, 0)); // none runs
    InstanceChannel running;
    for (int round = 0; round < 2; ++round) { // the first while the running instance starts
        bool answered = false;
        std::thread second([&] { answered = AskRunningInstanceToShow(path, 30000); });
        ASSERT_TRUE(round == 1 || running.listen(path));
        EXPECT_TRUE(WaitReadable(running.readFd(), 30000) && running.takeRequests() == 1);
        second.join();
        EXPECT_TRUE(answered && running.takeRequests() == 0);
    }
    running.close();
    EXPECT_TRUE(!std::filesystem::exists(path) && !AskRunningInstanceToShow(path, 0));
}

TEST(QueuesTest, OneWakePerBatchTheLatestStatusOfEachLinkAndASwitchedOffTraceFile) {
    App app({}, [](std::size_t) -> char* { return nullptr; }); // no trace line buffer
    app.log.logEvent("one");
    app.log.setTraceToFile(true); // the log switches it off again and says so
    app.log.traceData(0, 0, TRACE_DIR_RX, reinterpret_cast<const std::uint8_t*>("A"), 1);
    app.pump();
    EXPECT_TRUE(app.rows.take().empty() && app.traceToFileSwitchedOff && app.traces.size() == 1);
    app.log.logEvent("two");
    for (const std::uint32_t id : {5u, 31u, MAX_LINKS, 5u, 2u}) {
        const auto wakes = static_cast<std::uint32_t>(app.wakes.load()); // reported as rxBytes
        app.status.push(LinkStatus{id, {{0, 0, 0, 0, 0, wakes}, {}}});
    }
    std::string got;
    for (const LinkStatus& s : app.status.take()) {
        got += Format("%u:%u ", s.linkId, s.port[0].rxBytes);
    }
    EXPECT_EQ(got + std::to_string(app.status.take().size()), "5:3 31:3 2:3 0");
}

TEST(QueuesTest, ARowMadeInTheStorageOfADroppedOneHoldsOnlyItsOwnTexts) {
    App app;
    std::vector<QueuedTraceRow> dropped(RowQueue::ROW_SPARE_MAX + 1,
                                        QueuedTraceRow{"a timestamp longer than any",
                                                       "L32 P2 TCP Server", "Tx", "2048",
                                                       std::string(600, 'x'), true});
    app.rows.recycle(dropped);
    EXPECT_TRUE(dropped.empty());
    app.log.traceData(0, 1, TRACE_DIR_RX, reinterpret_cast<const std::uint8_t*>("AB"), 2);
    app.pump();
    ASSERT_EQ(app.traces.size(), 1u);
    const QueuedTraceRow& row = app.traces.back();
    EXPECT_EQ(row.linkPort + "|" + row.direction + "|" + row.length + "|" + row.data +
                  (row.ascii ? "|ascii" : "") + "|" + std::to_string(row.timestamp.size()),
              "L1 P2 (COM1)|Rx|2|AB|24");
}

TEST(QueuesTest, HoweverLateTheListTakesItsRowsItHoldsTheNewest30000InOrder) {
    App app;
    std::uint32_t next = 0; // each chunk is its number
    const struct {
        std::uint32_t chunks; // traced before the step
        char step;            // 'p' the list takes its rows, 'c' "Clear Trace" first
        const char* expected; // rows held: count, first and last chunk
    } steps[] = {
        {100, 'p', "100:0-99"},
        {44900, 'p', "30000:15000-44999"}, // more than the cap before one take
        {10, 'p', "30000:15010-45009"},    // the oldest shown rows go
        {75000, 'p', "30000:90010-120009"},
        {5, 'c', "2:120015-120016"}, // cleared while rows were pending
        {0, 'p', "2:120015-120016"},
    };
    for (const auto& s : steps) {
        for (std::uint32_t i = 0; i < s.chunks; ++i, ++next) {
            app.log.traceData(0, 0, TRACE_DIR_RX, reinterpret_cast<const std::uint8_t*>(&next), 4);
        }
        if (s.step == 'c') {
            app.log.clearTrace();
            for (std::uint32_t i = 0; i < 2; ++i, ++next) { // after the clear
                app.log.traceData(0, 0, TRACE_DIR_RX, reinterpret_cast<const std::uint8_t*>(&next),
                                  4);
            }
        }
        app.pump();
        const auto number = [](const QueuedTraceRow& row) {
            std::uint32_t n = 0;
            std::memcpy(&n, row.data.data(), std::min<std::size_t>(row.data.size(), 4));
            return n;
        };
        EXPECT_EQ(Format("%zu:%u-%u", app.traces.size(), number(app.traces.front()),
                         number(app.traces.back())),
                  s.expected);
    }
}

TEST(QueuesTest, ACopiedRowIsItsLineOfTheLogFileInHexAlsoWhenShownInAscii) {
    App app;
    app.log.setEventsToFile(true);
    app.log.setTraceToFile(true);
    const std::uint8_t bytes[] = {'A', 0xe9, '\r'};
    for (const bool ascii : {true, false}) {
        app.log.setTraceAscii(ascii);
        app.log.traceData(3, 1, TRACE_DIR_TX, bytes, sizeof(bytes));
    }
    app.log.logEvent("copied");
    app.log.flush();
    app.pump();
    ASSERT_EQ(app.traces.size(), 2u);
    EXPECT_EQ(LogLineOf(app.traces[0]) + "\r\n" + LogLineOf(app.traces[1]) + "\r\n",
              testsupport::read_file(app.dir.str() + "/trace.log"));
    EXPECT_EQ(LogLineOf(app.events.back()) + "\r\n",
              testsupport::read_file(app.dir.str() + "/event.log"));
}

TEST(ProcessSchedulerTest, TheEnginesTimersWakeItOncePerRequest) {
    std::atomic<int> posts{0};
    ProcessScheduler s({WeaveProcess, WeaveNextTimerDue, [](std::uint32_t) {}, [] {},
                        [&] { ++posts; }, pw::now_ms});
    EXPECT_EQ((s.wake(), s.wake(), posts.load()), 1); // one request until it has arrived
    InstallTimerWake(&s); // a client refused at once starts a timer to try again in a second
    s.wakeArrived();
    LinkTable table{};
    PortConfig retry = Client(free_tcp_port(), true);
    retry.autoReconnect = retry.reconnectSecs = 1;
    testsupport::set_link(table, 0, "retry", retry, Server(0));
    App app;
    ASSERT_TRUE(app.start(table));
    EXPECT_TRUE(testsupport::wait_until( // armed for the engine's timer
        [&] { return posts == 2 && (s.wakeArrived(), s.armed()) && s.armedDelay() <= 1000; }));
    InstallTimerWake(nullptr);
}

} // namespace
