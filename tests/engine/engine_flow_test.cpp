// No loss to a busy destination: megabytes streamed into a port whose far end reads slowly arrive
// complete, once and in order, while the engine holds the fast source back; counters and trace
// report exactly what was handed on. These run on the real clock.
#include "tests/engine/engine_harness.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

// A client socket whose receive window stays small, so that a slow reader really pushes back.
Fd smallWindowClient(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int size = 8 * 1024;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        return Fd();
    }
    return fd;
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

    // What the link's ports counted and traced matches the bytes that arrived.
    void expectHandedOn(std::int32_t from, std::int32_t to, const Bytes& data) {
        EXPECT_EQ(stats(0, from).rxBytes, data.size());
        EXPECT_EQ(stats(0, to).txBytes, data.size());
        EXPECT_TRUE(reports().traced(0, from, TRACE_DIR_RX) == data) << "received trace";
        EXPECT_TRUE(reports().traced(0, to, TRACE_DIR_TX) == data) << "transmitted trace";
    }
};

TEST_P(FlowTest, TcpIntoASlowTcpReaderLosesNothing) {
    start();
    const std::uint16_t in = free_tcp_port();
    const std::uint16_t out = free_tcp_port();
    PortConfig source = tcpServer(in);
    source.trace = 1;
    applyMode(source, GetParam());
    PortConfig dest = tcpServer(out);
    dest.trace = 1;
    useLink(0, linkConfig("flow", source, dest));
    activate(0, 0);
    activate(0, 1);
    Fd writer = connectClient(in, portHead(0, "flow", 0));
    Fd reader = smallWindowClient(out);
    ASSERT_TRUE(reader.valid());
    ASSERT_TRUE(reports().waitEvent(portHead(0, "flow", 1) + " TCP connection accepted."));

    const Bytes data = testsupport::pattern(TCP_TOTAL, 11);
    std::thread feed(
        [&] { EXPECT_TRUE(testsupport::write_all(writer.get(), data.data(), data.size())); });
    const Bytes got = readAll(reader.get(), data.size(), 16 * 1024);
    feed.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes arrived changed or out of order";
    expectHandedOn(0, 1, data);
}

TEST_P(FlowTest, TcpIntoASlowSerialDeviceLosesNothing) {
    PtyPair& device = pty(8);
    start();
    const std::uint16_t in = free_tcp_port();
    PortConfig source = tcpServer(in);
    source.trace = 1;
    applyMode(source, GetParam());
    PortConfig dest = serialPort(8);
    dest.trace = 1;
    useLink(0, linkConfig("flow", source, dest));
    activate(0, 0);
    activate(0, 1);
    Fd writer = connectClient(in, portHead(0, "flow", 0));

    const Bytes data = testsupport::pattern(SERIAL_TOTAL, 12);
    std::thread feed(
        [&] { EXPECT_TRUE(testsupport::write_all(writer.get(), data.data(), data.size())); });
    const Bytes got = readAll(device.master(), data.size(), 4 * 1024);
    feed.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes arrived changed or out of order";
    expectHandedOn(0, 1, data);
}

TEST_P(FlowTest, SerialIntoASlowTcpReaderLosesNothing) {
    PtyPair& device = pty(9);
    start();
    const std::uint16_t out = free_tcp_port();
    PortConfig source = serialPort(9);
    source.trace = 1;
    applyMode(source, GetParam());
    PortConfig dest = tcpServer(out);
    dest.trace = 1;
    useLink(0, linkConfig("flow", source, dest));
    activate(0, 0);
    activate(0, 1);
    Fd reader = smallWindowClient(out);
    ASSERT_TRUE(reader.valid());
    ASSERT_TRUE(reports().waitEvent(portHead(0, "flow", 1) + " TCP connection accepted."));

    const Bytes data = testsupport::pattern(TCP_TOTAL, 13);
    std::thread feed([&] { EXPECT_TRUE(device.write(data, TRANSFER_LIMIT)); });
    const Bytes got = readAll(reader.get(), data.size(), 16 * 1024);
    feed.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes arrived changed or out of order";
    expectHandedOn(0, 1, data);
}

INSTANTIATE_TEST_SUITE_P(Modes, FlowTest,
                         testing::Values(Mode::Instant, Mode::SmallBuffers,
                                         Mode::FramesOrFullBuffers),
                         modeName);

} // namespace
} // namespace enginetest
