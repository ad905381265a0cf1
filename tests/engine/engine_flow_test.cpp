// No loss to a busy destination: megabytes streamed into a port whose far end reads slowly arrive
// complete, once and in order, while the engine holds the fast source back; counters and trace
// report exactly what was handed on. These run on the real clock.
#include "tests/engine/engine_harness.h"

#include <poll.h>
#include <unistd.h>

namespace enginetest {
namespace {

using testsupport::free_tcp_port;

// Each stream is larger than all the buffers on its way can hold while its reader stalls (a TCP
// connection on the loopback interface alone can buffer about 4 MB), so that a source that is not
// held back loses bytes.
constexpr std::size_t TCP_TOTAL = 6 * 1024 * 1024;
constexpr std::size_t SERIAL_TOTAL = 3 * 1024 * 1024;
constexpr auto TRANSFER_LIMIT = std::chrono::seconds(240);

// Reads `total` bytes from `fd` as a slow far end: nothing at all for the first 1.5 s (so that
// every buffer on the way fills up and the source must be held back), then `step` bytes at a time
// with a pause after each read. Calls `idle` whenever nothing arrived for 100 ms. Gives up at the
// time limit or after 30 s without progress.
template <class Idle>
Bytes readSlowly(int fd, std::size_t total, std::size_t step, int pauseMs, Idle idle) {
    using Clock = std::chrono::steady_clock;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto deadline = Clock::now() + TRANSFER_LIMIT;
    auto progress = Clock::now();
    Bytes out;
    out.reserve(total);
    std::vector<std::uint8_t> chunk(step);
    while (out.size() < total && Clock::now() < deadline &&
           Clock::now() - progress < std::chrono::seconds(30)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            idle();
            continue;
        }
        const ssize_t n = ::read(fd, chunk.data(), std::min(step, total - out.size()));
        if (n == 0) {
            break;
        }
        if (n > 0) {
            out.insert(out.end(), chunk.begin(), chunk.begin() + n);
            progress = Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
    }
    return out;
}

// Forwarding modes of the source port that pass every byte on. The gathering modes flush what is
// left when the stream ends by the inter-character timeout.
enum class Mode { Instant, SmallBuffers, FramesOrFullBuffers };

void applyMode(PortConfig& p, Mode mode) {
    p.fwdInstant = mode == Mode::Instant ? 1 : 0;
    p.fwdBufferFull = mode == Mode::Instant ? 0 : 1;
    // Small buffers: every received chunk becomes twenty-odd transmissions.
    p.bufferSize = mode == Mode::SmallBuffers ? 100 : RECEIVE_BUFFER_SIZE;
    p.fwdFrameEnd = mode == Mode::FramesOrFullBuffers ? 1 : 0;
    p.frameEndChar = '\n';
    p.fwdInterChar = mode == Mode::Instant ? 0 : 1;
    p.interCharMs = 10;
}

std::string modeName(const testing::TestParamInfo<Mode>& info) {
    switch (info.param) {
    case Mode::Instant:
        return "Instant";
    case Mode::SmallBuffers:
        return "SmallBuffers";
    case Mode::FramesOrFullBuffers:
        return "FramesOrFullBuffers";
    }
    return "Unknown";
}

class FlowTest : public EngineTest, public testing::WithParamInterface<Mode> {
protected:
    // While the reader waits for the end of the stream, the quiet time passes.
    Bytes readAll(int fd, std::size_t total, std::size_t step) {
        return readSlowly(fd, total, step, 2, [this] { tick(10); });
    }

    // Starts link 0 from `source`, in the test's forwarding mode, to `dest`; both traced.
    void startFlow(PortConfig source, PortConfig dest) {
        start();
        source.trace = 1;
        applyMode(source, GetParam());
        dest.trace = 1;
        useLink(0, linkConfig("flow", source, dest), {0, 1});
    }

    // A slow reader of the TCP server P2.
    Fd connectReader(std::uint16_t port) {
        Fd reader = testsupport::tcp_connect(port, 8 * 1024);
        EXPECT_TRUE(reader.valid());
        EXPECT_TRUE(reports().waitEvent(portHead(0, "flow", 1) + " TCP connection accepted."));
        return reader;
    }

    // `feed` writes `data` into P1 while the far end of P2 reads it slowly from `fd`: every byte
    // arrives once and in order, and the ports counted and traced exactly those bytes.
    template <class Feed>
    void expectStreamed(const Bytes& data, Feed feed, int fd, std::size_t step) {
        std::thread feeder(feed);
        const Bytes got = readAll(fd, data.size(), step);
        feeder.join();
        ASSERT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data) << "bytes arrived changed or out of order";
        EXPECT_EQ(stats(0, 0).rxBytes, data.size());
        EXPECT_EQ(stats(0, 1).txBytes, data.size());
        EXPECT_TRUE(reports().traced(0, 0, TRACE_DIR_RX) == data) << "received trace";
        EXPECT_TRUE(reports().traced(0, 1, TRACE_DIR_TX) == data) << "transmitted trace";
    }
};

TEST_P(FlowTest, TcpIntoASlowTcpReaderLosesNothing) {
    const std::uint16_t in = free_tcp_port();
    const std::uint16_t out = free_tcp_port();
    startFlow(tcpServer(in), tcpServer(out));
    Fd writer = connectClient(in, portHead(0, "flow", 0));
    Fd reader = connectReader(out);
    const Bytes data = testsupport::pattern(TCP_TOTAL, 11);
    expectStreamed(
        data, [&] { EXPECT_TRUE(testsupport::write_all(writer.get(), data.data(), data.size())); },
        reader.get(), 16 * 1024);
}

TEST_P(FlowTest, TcpIntoASlowSerialDeviceLosesNothing) {
    PtyPair& device = pty(8);
    const std::uint16_t in = free_tcp_port();
    startFlow(tcpServer(in), serialPort(8));
    Fd writer = connectClient(in, portHead(0, "flow", 0));
    const Bytes data = testsupport::pattern(SERIAL_TOTAL, 12);
    expectStreamed(
        data, [&] { EXPECT_TRUE(testsupport::write_all(writer.get(), data.data(), data.size())); },
        device.master(), 4 * 1024);
}

TEST_P(FlowTest, SerialIntoASlowTcpReaderLosesNothing) {
    PtyPair& device = pty(9);
    const std::uint16_t out = free_tcp_port();
    startFlow(serialPort(9), tcpServer(out));
    Fd reader = connectReader(out);
    const Bytes data = testsupport::pattern(TCP_TOTAL, 13);
    expectStreamed(
        data, [&] { EXPECT_TRUE(device.write(data, TRANSFER_LIMIT)); }, reader.get(), 16 * 1024);
}

INSTANTIATE_TEST_SUITE_P(Modes, FlowTest,
                         testing::Values(Mode::Instant, Mode::SmallBuffers,
                                         Mode::FramesOrFullBuffers),
                         modeName);

// Fills the transmit side of an open serial port whose device nobody reads, with test buffers
// sent on the port itself, until it takes no single byte more. Returns the bytes it took.
Bytes fillSerialPort(std::int32_t link, std::int32_t port) {
    Bytes taken;
    PortStats s{};
    WeaveGetPortStats(link, port, &s, nullptr);
    std::uint32_t counted = s.txBytes;
    const Bytes block = testsupport::pattern(RECEIVE_BUFFER_SIZE, 21);
    // The device takes bytes for a while after the ring is full; stop when two attempts a while
    // apart take nothing.
    int refusals = 0;
    while (refusals < 2) {
        bool tookAny = false;
        for (std::uint32_t size = RECEIVE_BUFFER_SIZE; size > 0; size /= 2) {
            for (;;) {
                char errText[ERR_TEXT_SIZE] = {};
                EXPECT_EQ(WeaveSendBuffer(link, port, block.data(), size, errText), 1u);
                WeaveGetPortStats(link, port, &s, nullptr);
                if (s.txBytes == counted) {
                    break;
                }
                counted = s.txBytes;
                taken.insert(taken.end(), block.begin(), block.begin() + size);
                tookAny = true;
            }
        }
        refusals = tookAny ? 0 : refusals + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return taken;
}

TEST_F(EngineTest, AFullDestinationDoesNotHoldBackASourceThatNeverPassesAnythingOn) {
    PtyPair& device = pty(5);
    start();
    const std::uint16_t udp = testsupport::free_udp_port();
    PortConfig source = udpPort(udp);
    source.fwdInstant = 0; // and no other condition
    useLink(0, linkConfig("none", source, serialPort(5)), {0, 1});
    // A device that hung up takes nothing: once the port's transmit ring is full, it stays so.
    device.hangUp();
    ASSERT_FALSE(fillSerialPort(0, 1).empty());
    Fd sender = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(sender.get(), udp, "counted", 7));
    EXPECT_TRUE(waitRx(0, 0, 7));
}

TEST_F(EngineTest, TheFlushWaitsForAFullDestinationInsteadOfDroppingTheBytes) {
    PtyPair& device = pty(5);
    start();
    const std::uint16_t udp = testsupport::free_udp_port();
    PortConfig source = udpPort(udp);
    source.fwdInstant = 0;
    source.fwdInterChar = 1;
    source.interCharMs = 10;
    useLink(0, linkConfig("flush", source, serialPort(5)), {0, 1});
    Fd sender = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(sender.get(), udp, "tail", 4));
    ASSERT_TRUE(waitRx(0, 0, 4));
    // Test buffers fill the destination meanwhile.
    Bytes expected = fillSerialPort(0, 1);
    tick(10);
    EXPECT_EQ(WeaveNextTimerDue(), 1u) << "the flush is tried again on the next pass";
    expected.insert(expected.end(), {'t', 'a', 'i', 'l'});
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (got.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        const Bytes part = device.read(expected.size() - got.size(), std::chrono::milliseconds(5));
        got.insert(got.end(), part.begin(), part.end());
        tick(1);
    }
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(stats(0, 1).txBytes, expected.size());
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
}

} // namespace
} // namespace enginetest
