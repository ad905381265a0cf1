// The port timers on the fake clock: when the next one falls due, the wrap of the clock, and the
// wake that tells the application a timer was started, also on the layers' threads.
#include "tests/engine/engine_harness.h"

#include <cstring>

namespace enginetest {
namespace {

using testsupport::free_tcp_port;
using testsupport::free_udp_port;

// Records the thread of every wake.
struct Wakes {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    static void record() {
        Wakes& w = instance();
        std::lock_guard<std::mutex> lock(w.mutex);
        w.threads.push_back(std::this_thread::get_id());
    }
    static Wakes& instance() {
        static Wakes w;
        return w;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return threads.size();
    }
    std::size_t fromOtherThreads(std::thread::id main) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<std::size_t>(
            std::count_if(threads.begin(), threads.end(), [&](auto id) { return id != main; }));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        threads.clear();
    }
};

class TimerTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Wakes::instance().clear();
        WeaveSetTimerWake(Wakes::record);
    }
    Wakes& wakes() { return Wakes::instance(); }
    const std::thread::id main_ = std::this_thread::get_id();
};

PortConfig generator(PortConfig p, std::uint32_t periodMs) {
    p.genTraffic = 1;
    p.genPeriodMs = periodMs;
    p.genLength = 1;
    return p;
}

TEST_F(TimerTest, NextTimerDueIsTheEarliestRemainingTime) {
    start();
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    // Each UDP port sends to itself; what it receives goes to a port that takes nothing, so no
    // datagram comes round again.
    useLink(0, linkConfig("t", generator(udpPort(free_udp_port()), 250),
                          generator(tcpServer(free_tcp_port()), 400)));
    useLink(31, linkConfig("u", generator(udpPort(free_udp_port()), 120), tcpServer(1)));
    activate(0, 0);
    EXPECT_EQ(WeaveNextTimerDue(), 250u);
    advanceClock(100);
    activate(0, 1);
    EXPECT_EQ(WeaveNextTimerDue(), 150u);
    activate(31, 0);
    EXPECT_EQ(WeaveNextTimerDue(), 120u);
    advanceClock(500);
    EXPECT_EQ(WeaveNextTimerDue(), 0u) << "overdue timers are due now";
    WeaveProcess();
    EXPECT_EQ(WeaveNextTimerDue(), 120u) << "every due timer ran and started again";
    EXPECT_EQ(stats(0, 0).txBytes, 1u);
    EXPECT_EQ(stats(0, 1).txBytes, 0u) << "a server without a client sends nothing";
    EXPECT_EQ(stats(31, 0).txBytes, 1u);
    WeaveDeactivateLink(31, nullptr);
    EXPECT_EQ(WeaveNextTimerDue(), 250u);
}

TEST_F(TimerTest, TimersRunAcrossTheWrapOfTheClock) {
    setClock(0xFFFFFFFFu - 40);
    start();
    useLink(0, linkConfig("wrap", generator(udpPort(free_udp_port()), 100), tcpServer(1)), {0});
    tick(60); // the clock wraps here
    EXPECT_LT(clockNow(), 100u);
    EXPECT_EQ(WeaveNextTimerDue(), 40u);
    EXPECT_EQ(stats(0, 0).txBytes, 0u);
    tick(39);
    EXPECT_EQ(stats(0, 0).txBytes, 0u);
    tick(1);
    EXPECT_EQ(WeaveNextTimerDue(), 100u);
}

TEST_F(TimerTest, WakeIsCalledForTimersStartedOnTheMainThread) {
    start();
    useLink(0, linkConfig("w", generator(udpPort(free_udp_port()), 50), tcpServer(1)), {0});
    EXPECT_EQ(wakes().count(), 1u);
    tick(50);
    EXPECT_EQ(wakes().count(), 2u) << "restarting the generator wakes again";
    EXPECT_EQ(wakes().fromOtherThreads(main_), 0u);
    WeaveSetTimerWake(nullptr);
    tick(50);
    EXPECT_EQ(wakes().count(), 2u);
}

TEST_F(TimerTest, WakeIsCalledWhenTheSocketThreadStartsTheFlushOrAReconnect) {
    start();
    const std::uint16_t udp = free_udp_port();
    PortConfig source = udpPort(udp);
    source.fwdInstant = 0;
    source.fwdInterChar = 1;
    source.interCharMs = 30;
    Fd listener = testsupport::tcp_listen(0);
    PortConfig client =
        reconnecting(tcpClient("127.0.0.1", testsupport::local_port(listener.get())), 2);
    useLink(0, linkConfig("sock", source, client), {0, 1});
    Fd served = testsupport::tcp_accept(listener.get());
    ASSERT_TRUE(reports().waitEvent(portHead(0, "sock", 1) + " TCP connected."));
    ASSERT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    ASSERT_EQ(wakes().count(), 0u);

    Fd sender = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(sender.get(), udp, "x", 1));
    ASSERT_TRUE(testsupport::wait_until([&] { return wakes().count() == 1; }));
    EXPECT_EQ(wakes().fromOtherThreads(main_), 1u);
    EXPECT_EQ(WeaveNextTimerDue(), 30u);
    tick(30);
    EXPECT_EQ(textOf(testsupport::read_for(served.get(), 5000, 1)), "x");

    served.reset();
    ASSERT_TRUE(testsupport::wait_until([&] { return wakes().count() == 2; }));
    EXPECT_EQ(wakes().fromOtherThreads(main_), 2u);
    EXPECT_EQ(WeaveNextTimerDue(), 2000u);
}

TEST_F(TimerTest, WakeIsCalledWhenTheSerialThreadStartsTheFlush) {
    PtyPair& device = pty(7);
    start();
    PortConfig serial = serialPort(7);
    serial.fwdInstant = 0;
    serial.fwdInterChar = 1;
    serial.interCharMs = 15;
    serial.loopback = 1;
    useLink(0, linkConfig("ser", serial, tcpServer(1)), {0});
    ASSERT_TRUE(device.write("abc"));
    ASSERT_TRUE(testsupport::wait_until([&] { return wakes().count() == 1; }));
    EXPECT_EQ(wakes().fromOtherThreads(main_), 1u);
    EXPECT_EQ(WeaveNextTimerDue(), 15u);
    tick(15);
    EXPECT_EQ(textOf(device.read(3)), "abc");
}

TEST_F(TimerTest, WakeSurvivesShutdownAndInit) {
    start();
    WeaveShutdown();
    start();
    useLink(0, linkConfig("again", generator(udpPort(free_udp_port()), 5), tcpServer(1)), {0});
    EXPECT_EQ(wakes().count(), 1u);
}

} // namespace
} // namespace enginetest
