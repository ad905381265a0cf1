// Moving bytes: chunking of received bytes, the transmit ring, data callbacks, closing while
// bytes move, and a device that hangs up.
#include "tests/serial/serio_fixture.h"

#include <thread>

namespace serio_test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t FULL_TX_SPACE = SERIO_TX_LIMIT * SERIO_CHUNK_SIZE;

class SerioDataTest : public SerioTest {
protected:
    void SetUp() override {
        SerioTest::SetUp();
        startLayer({{1, pty_.slavePath()}});
    }
    PtyPair pty_;
};

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Chunk boundaries depend on timing, which a loaded machine can stretch. Each trial below is
// repeated a few times and one clean run suffices; a wrong boundary rule fails every run.
constexpr int TIMING_ATTEMPTS = 5;

TEST_F(SerioDataTest, LongBurstArrivesInFullChunksThenTheRestAfterTheGap) {
    bool exact = false;
    for (int attempt = 0; attempt < TIMING_ATTEMPTS && !exact; ++attempt) {
        Collector& c = newCollector();
        SerialPort* h = openPort(1, c);
        ASSERT_NE(h, nullptr);
        const Bytes data = pattern(5000, static_cast<std::uint32_t>(attempt));
        const auto before = Clock::now();
        ASSERT_TRUE(pty_.write(data));
        ASSERT_TRUE(c.waitBytes(data.size()));
        // Whatever the timing: nothing lost or reordered, and the tail waited for the gap.
        EXPECT_EQ(c.allBytes(), data);
        {
            std::lock_guard<std::mutex> lk(c.m);
            EXPECT_GE(c.arrivals.back() - before, 50ms);
        }
        for (const std::size_t size : c.sizes()) {
            EXPECT_LE(size, SERIO_CHUNK_SIZE);
        }
        exact = c.sizes() == std::vector<std::size_t>{2048, 2048, 904};
        ASSERT_EQ(serio_close(h), 0u);
    }
    EXPECT_TRUE(exact);
}

TEST_F(SerioDataTest, BurstsCloserThanTheGapMergeAndFartherOnesSplit) {
    const Bytes first = {'a', 'b', 'c', 'd'};
    const Bytes second = {'e', 'f', 'g', 'h'};
    auto trial = [&](std::chrono::milliseconds pause, std::vector<std::size_t>* sizes) {
        Collector& c = newCollector();
        SerialPort* h = openPort(1, c);
        if (h == nullptr) {
            return Clock::duration::max();
        }
        const auto start = Clock::now();
        EXPECT_TRUE(pty_.write(first));
        std::this_thread::sleep_for(pause);
        EXPECT_TRUE(pty_.write(second));
        const auto span = Clock::now() - start;
        EXPECT_TRUE(c.waitBytes(8));
        EXPECT_EQ(c.allBytes(), concat({first, second}));
        *sizes = c.sizes();
        EXPECT_EQ(serio_close(h), 0u);
        return span;
    };
    bool merged = false;
    for (int attempt = 0; attempt < TIMING_ATTEMPTS && !merged; ++attempt) {
        std::vector<std::size_t> sizes;
        const auto span = trial(30ms, &sizes);
        // Only a run whose pause really stayed well below the gap counts.
        merged = span < 45ms && sizes == std::vector<std::size_t>{8};
    }
    EXPECT_TRUE(merged);
    bool split = false;
    for (int attempt = 0; attempt < TIMING_ATTEMPTS && !split; ++attempt) {
        std::vector<std::size_t> sizes;
        trial(60ms, &sizes);
        split = sizes == std::vector<std::size_t>{4, 4};
    }
    EXPECT_TRUE(split);
}

TEST_F(SerioDataTest, AChunkIsNotDeliveredBeforeTheGapHasPassed) {
    Collector& c = newCollector();
    ASSERT_NE(openPort(1, c), nullptr);
    for (int i = 0; i < 3; ++i) {
        const std::size_t before = c.allBytes().size();
        const auto sent = Clock::now();
        ASSERT_TRUE(pty_.write(Bytes{static_cast<std::uint8_t>('0' + i)}));
        ASSERT_TRUE(c.waitBytes(before + 1));
        std::lock_guard<std::mutex> lk(c.m);
        EXPECT_GE(c.arrivals.back() - sent, 50ms);
    }
}

TEST_F(SerioDataTest, TransmitTakesOneToFullChunkSizes) {
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    const Bytes big = pattern(SERIO_CHUNK_SIZE + 1);
    EXPECT_EQ(serio_transmit(h, big.data(), SERIO_CHUNK_SIZE + 1), 0u);
    EXPECT_EQ(serio_transmit(h, big.data(), 0), 0u);
    EXPECT_EQ(serio_transmit(h, nullptr, 5), 0u);
    EXPECT_EQ(serio_transmit(nullptr, big.data(), 5), 0u);
    EXPECT_EQ(serio_tx_space(nullptr), 0u);
    ASSERT_EQ(serio_transmit(h, big.data(), SERIO_CHUNK_SIZE), 1u);
    const Bytes out = pty_.read(SERIO_CHUNK_SIZE);
    EXPECT_EQ(out, Bytes(big.begin(), big.begin() + SERIO_CHUNK_SIZE));
    // The refused calls queued nothing.
    EXPECT_TRUE(pty_.drain(100ms).empty());
    EXPECT_TRUE(waitTxSpace(h, FULL_TX_SPACE));
}

TEST_F(SerioDataTest, TenthFullChunkIsRefusedWhileOutputIsHeld) {
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c, SERIO_FLOW_XON_XOFF);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(holdOutput(pty_, c));
    std::vector<Bytes> sent;
    sent.push_back(pattern(SERIO_CHUNK_SIZE, 0));
    ASSERT_EQ(serio_transmit(h, sent[0].data(), SERIO_CHUNK_SIZE), 1u);
    // The writer takes the first chunk and cannot get rid of it.
    ASSERT_TRUE(waitTxSpace(h, FULL_TX_SPACE));
    for (std::uint32_t k = 1; k <= SERIO_TX_LIMIT; ++k) {
        sent.push_back(pattern(SERIO_CHUNK_SIZE, k * 7));
        ASSERT_EQ(serio_transmit(h, sent.back().data(), SERIO_CHUNK_SIZE), 1u) << k;
    }
    EXPECT_EQ(serio_tx_space(h), 0u);
    const Bytes more = pattern(SERIO_CHUNK_SIZE, 99);
    EXPECT_EQ(serio_transmit(h, more.data(), SERIO_CHUNK_SIZE), 0u);
    EXPECT_EQ(serio_transmit(h, more.data(), 1), 0u);
    EXPECT_TRUE(pty_.drain(100ms).empty());

    ASSERT_TRUE(releaseOutput(pty_));
    const Bytes all = concat(sent);
    EXPECT_EQ(pty_.read(all.size()), all);
    ASSERT_TRUE(waitTxSpace(h, FULL_TX_SPACE));
    EXPECT_EQ(serio_transmit(h, more.data(), SERIO_CHUNK_SIZE), 1u);
    EXPECT_EQ(pty_.read(SERIO_CHUNK_SIZE), more);
}

TEST_F(SerioDataTest, SmallTransmitsShareEntriesAndSpaceIsExact) {
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c, SERIO_FLOW_XON_XOFF);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(holdOutput(pty_, c));
    std::vector<Bytes> sent;
    sent.push_back(pattern(100, 1));
    ASSERT_EQ(serio_transmit(h, sent[0].data(), 100), 1u);
    ASSERT_TRUE(waitTxSpace(h, FULL_TX_SPACE));
    // Thirty small transmits fit although only nine entries can wait.
    for (std::uint32_t k = 0; k < 30; ++k) {
        sent.push_back(pattern(100, k + 2));
        ASSERT_EQ(serio_transmit(h, sent.back().data(), 100), 1u) << k;
    }
    std::uint32_t space = serio_tx_space(h);
    EXPECT_EQ(space, FULL_TX_SPACE - 3000);
    // Exactly the reported space can be filled, in uneven pieces.
    std::uint32_t seed = 100;
    while (space > 0) {
        const std::uint32_t n = std::min<std::uint32_t>(space, 1500);
        sent.push_back(pattern(n, seed++));
        ASSERT_EQ(serio_transmit(h, sent.back().data(), n), 1u) << space;
        space -= n;
        EXPECT_EQ(serio_tx_space(h), space);
    }
    const Bytes one = pattern(1);
    EXPECT_EQ(serio_transmit(h, one.data(), 1), 0u);

    ASSERT_TRUE(releaseOutput(pty_));
    const Bytes all = concat(sent);
    EXPECT_EQ(pty_.read(all.size()), all);
}

TEST_F(SerioDataTest, CallbackCanSendBackOnItsOwnPort) {
    Collector& c = newCollector();
    c.echo = true;
    ASSERT_NE(openPort(1, c), nullptr);
    const Bytes data = pattern(6000, 3);
    ASSERT_TRUE(pty_.write(data));
    EXPECT_EQ(pty_.read(data.size()), data);
    EXPECT_EQ(c.echoFailures.load(), 0u);
}

TEST_F(SerioDataTest, RefusedChunkIsOfferedAgainAndNothingOvertakesIt) {
    Collector& c = newCollector();
    c.accept = false;
    ASSERT_NE(openPort(1, c), nullptr);
    ASSERT_TRUE(pty_.write("first"));
    ASSERT_TRUE(c.waitRefused(1));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(pty_.write("second"));
    // Offered again and again while refused.
    ASSERT_TRUE(c.waitRefused(20));
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard<std::mutex> lk(c.m);
        for (const Bytes& offer : c.refused) {
            EXPECT_EQ(offer, Bytes({'f', 'i', 'r', 's', 't'}));
        }
        EXPECT_TRUE(c.chunks.empty());
    }
    c.accept = true;
    ASSERT_TRUE(c.waitBytes(11));
    std::lock_guard<std::mutex> lk(c.m);
    ASSERT_EQ(c.chunks.size(), 2u);
    EXPECT_EQ(c.chunks[0], Bytes({'f', 'i', 'r', 's', 't'}));
    EXPECT_EQ(c.chunks[1], Bytes({'s', 'e', 'c', 'o', 'n', 'd'}));
}

TEST_F(SerioDataTest, HeldBackChunksBeyondTheRingAreNotLost) {
    Collector& c = newCollector();
    c.accept = false;
    ASSERT_NE(openPort(1, c), nullptr);
    // More than the receive ring holds.
    const Bytes data = pattern((SERIO_RX_LIMIT + 11) * SERIO_CHUNK_SIZE, 5);
    bool written = false;
    std::thread writer([&] { written = pty_.write(data, 30s); });
    EXPECT_TRUE(c.waitRefused(1));
    std::this_thread::sleep_for(300ms);
    c.accept = true;
    EXPECT_TRUE(c.waitBytes(data.size(), 30s));
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(c.allBytes(), data);
}

TEST_F(SerioDataTest, ReopenedPortDoesNotGetTheOldOpensChunks) {
    Collector& old = newCollector();
    old.accept = false;
    SerialPort* h = openPort(1, old);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(pty_.write("old"));
    ASSERT_TRUE(old.waitRefused(2));
    ASSERT_EQ(serio_close(h), 0u);
    const int offersAtClose = old.entered.load();
    Collector& fresh = newCollector();
    ASSERT_NE(openPort(1, fresh), nullptr);
    ASSERT_TRUE(pty_.write("new"));
    ASSERT_TRUE(fresh.waitBytes(3));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(fresh.allBytes(), Bytes({'n', 'e', 'w'}));
    EXPECT_EQ(old.entered.load(), offersAtClose) << "callback of a closed port was called";
}

TEST_F(SerioDataTest, CloseWaitsForTheRunningCallback) {
    Collector& c = newCollector();
    c.callbackSleepMs = 300;
    SerialPort* h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(pty_.write("x"));
    ASSERT_TRUE(testsupport::wait_until([&] { return c.entered.load() > 0; }, 5s));
    ASSERT_EQ(c.entered.load(), 1);
    ASSERT_EQ(serio_close(h), 0u);
    // The callback finished before close returned.
    EXPECT_EQ(c.allBytes(), Bytes({'x'}));
}

TEST_F(SerioDataTest, CloseGivesUpOnAStuckCallbackAndTheNextOpenLosesNothing) {
    Collector& stuck = newCollector();
    stuck.callbackSleepMs = static_cast<int>(SERIO_CLOSE_WAIT_MS) + 500;
    SerialPort* h = openPort(1, stuck);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(pty_.write("old"));
    ASSERT_TRUE(testsupport::wait_until([&] { return stuck.entered.load() > 0; }, 5s));
    ASSERT_EQ(stuck.entered.load(), 1);
    ASSERT_EQ(serio_close(h), 0u);
    EXPECT_EQ(diagCount("SERIO: data callback did not return"), 1u);
    // Opened again while the old callback still runs: when it returns, taking the old chunk
    // must not remove anything from the new open's ring.
    Collector& fresh = newCollector();
    ASSERT_NE(openPort(1, fresh), nullptr);
    ASSERT_TRUE(pty_.write("new"));
    ASSERT_TRUE(fresh.waitBytes(3));
    EXPECT_EQ(fresh.allBytes(), Bytes({'n', 'e', 'w'}));
    EXPECT_EQ(stuck.allBytes(), Bytes({'o', 'l', 'd'}));
}

TEST_F(SerioDataTest, CloseEndsThreadsWhileReading) {
    Collector& c = newCollector();
    // Waiting for the first byte.
    SerialPort* h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    std::this_thread::sleep_for(20ms);
    expectPromptClose(h);
    // In the middle of a chunk.
    h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(pty_.write(pattern(300)));
    std::this_thread::sleep_for(10ms);
    expectPromptClose(h);
}

TEST_F(SerioDataTest, CloseEndsTheWriterWhileOutputIsHeld) {
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c, SERIO_FLOW_XON_XOFF);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(holdOutput(pty_, c));
    const Bytes data = pattern(SERIO_CHUNK_SIZE);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(serio_transmit(h, data.data(), SERIO_CHUNK_SIZE), 1u);
    }
    ASSERT_TRUE(waitTxSpace(h, FULL_TX_SPACE - 2 * SERIO_CHUNK_SIZE));
    expectPromptClose(h);
    // The held bytes were discarded, and the port opens again at once.
    Collector& again = newCollector();
    ASSERT_NE(openPort(1, again), nullptr);
    EXPECT_TRUE(pty_.drain(100ms).empty());
}

TEST_F(SerioDataTest, HangUpIsReportedOnceAndDoesNotSpin) {
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(pty_.write("bye"));
    ASSERT_TRUE(c.waitBytes(3));
    pty_.hangUp();
    ASSERT_TRUE(waitDiag("ReadFile in ReaderAndStatusProc"));
    // A spinning reader would burn a whole core; an idle process uses next to nothing.
    const double cpuBefore = testsupport::process_cpu_ms();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(testsupport::process_cpu_ms() - cpuBefore, 300.0);
    EXPECT_EQ(diagCount("ReadFile in ReaderAndStatusProc"), 1u);

    // Writing fails once; after that the writer takes nothing, so the ring fills and transmits
    // are refused instead of vanishing.
    const Bytes data = pattern(SERIO_CHUNK_SIZE);
    ASSERT_EQ(serio_transmit(h, data.data(), SERIO_CHUNK_SIZE), 1u);
    ASSERT_TRUE(waitDiag("WriteFile"));
    std::uint32_t accepted = 0;
    while (serio_transmit(h, data.data(), SERIO_CHUNK_SIZE) == 1u && accepted < 100) {
        ++accepted;
    }
    EXPECT_EQ(accepted, SERIO_TX_LIMIT);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(diagCount("WriteFile"), 1u);
    expectPromptClose(h);
}

// Faults reported to the owner: the context and how many bytes it had taken at that moment.
std::mutex g_faultMutex;
std::vector<std::pair<void*, std::size_t>> g_faults;

void recordFault(void* context) {
    const std::size_t taken = static_cast<Collector*>(context)->allBytes().size();
    std::lock_guard<std::mutex> lk(g_faultMutex);
    g_faults.emplace_back(context, taken);
}

std::vector<std::pair<void*, std::size_t>> faults() {
    std::lock_guard<std::mutex> lk(g_faultMutex);
    return g_faults;
}

TEST_F(SerioDataTest, HangUpIsToldToTheOwnerOnceAfterTheDataReadBeforeIt) {
    {
        std::lock_guard<std::mutex> lk(g_faultMutex);
        g_faults.clear();
    }
    serio_set_fault_callback(recordFault);
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    // Held back first, so the chunk is still waiting in the ring when the device goes away.
    c.accept = false;
    ASSERT_TRUE(pty_.write("last words"));
    ASSERT_TRUE(c.waitRefused(1));
    pty_.hangUp();
    ASSERT_TRUE(waitDiag("ReadFile in ReaderAndStatusProc"));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(faults().empty()) << "told before the data read earlier was delivered";
    c.accept = true;
    ASSERT_TRUE(c.waitBytes(10));
    const auto deadline = Clock::now() + 5s;
    while (faults().empty() && Clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    std::this_thread::sleep_for(100ms);
    const auto told = faults();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].first, &c);
    EXPECT_EQ(told[0].second, 10u);
    EXPECT_EQ(serio_close(h), 0u);
    serio_set_fault_callback(nullptr);
}

} // namespace
} // namespace serio_test
