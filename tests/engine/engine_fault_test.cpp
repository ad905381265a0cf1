// Peers that misbehave, on the real clock: a far end that never reads holds back only the source
// that feeds it (nothing is lost, other links keep moving bytes, every interface call returns at
// once, and the stuck port deactivates cleanly); a peer that resets mid-stream ends only its own
// connection, and the next client gets nothing of the dead connection's bytes; a client port
// whose server resets reconnects and carries the stream on in order; a host that does not
// resolve fails its client port, which is tried again.
#include "base/platform.h"
#include "tests/engine/engine_harness.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace enginetest {
namespace {

using Clock = std::chrono::steady_clock;
using testsupport::free_tcp_port;
using testsupport::free_udp_port;
using testsupport::timed;

// Far longer than any interface call takes, far shorter than a call that waits for a peer that
// never reads (that one never returns).
constexpr auto CALL_LIMIT = std::chrono::seconds(5);
// How long a writer must make no progress to count as held back.
constexpr auto STALL = std::chrono::milliseconds(1000);
constexpr auto STALL_LIMIT = std::chrono::seconds(60);

// Writes a pattern stream into a socket as fast as it is taken, on its own thread, until told to
// stop (or the socket fails). Counts what the socket took and when it last took anything.
class Flood {
public:
    Flood(int fd, std::uint32_t seed) : fd_(fd), data_(testsupport::pattern(1 << 20, seed)) {
        thread_ = std::thread([this] { run(); });
    }
    ~Flood() { stop(); }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    void stop() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    [[nodiscard]] std::uint64_t written() const { return written_.load(); }
    // True once the writer has taken bytes and then none for `quiet`.
    [[nodiscard]] bool stalledFor(std::chrono::milliseconds quiet) const {
        return written_.load() > 0 &&
               Clock::now() - Clock::time_point(Clock::duration(lastProgress_.load())) >= quiet;
    }
    // Waits until the writer has taken more than `count` bytes.
    bool waitWrittenAbove(std::uint64_t count) {
        return testsupport::wait_until([&] { return written_.load() > count; },
                                       std::chrono::seconds(30));
    }

private:
    void run() {
        std::size_t offset = 0;
        while (!stop_.load()) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            const std::size_t len = std::min<std::size_t>(16 * 1024, data_.size() - offset);
            const ssize_t n = ::send(fd_, data_.data() + offset, len, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            offset = (offset + static_cast<std::size_t>(n)) % data_.size();
            written_.fetch_add(static_cast<std::uint64_t>(n));
            lastProgress_.store(Clock::now().time_since_epoch().count());
        }
    }

    int fd_;
    Bytes data_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> written_{0};
    std::atomic<Clock::rep> lastProgress_{0};
    std::thread thread_;
};

std::vector<std::string> g_diags;
std::mutex g_diagMutex;

TEST_F(EngineTest, APeerThatNeverReadsHoldsBackOnlyItsOwnSource) {
    PtyPair& device = pty(4); // the test never reads this device
    start();
    pw::set_diag_sink([](const char* text) {
        std::lock_guard<std::mutex> lock(g_diagMutex);
        g_diags.emplace_back(text);
    });
    const std::uint16_t inA = free_tcp_port();
    const std::uint16_t outA = free_tcp_port();
    const std::uint16_t inB = free_tcp_port();
    const std::uint16_t inC = free_tcp_port();
    const std::uint16_t outC = free_tcp_port();
    const LinkConfig stuck = linkConfig("stuck", tcpServer(inA), tcpServer(outA));
    useLink(0, stuck, {0, 1});
    useLink(1, linkConfig("serial", tcpServer(inB), serialPort(4)), {0, 1});
    useLink(2, linkConfig("free", tcpServer(inC), tcpServer(outC)), {0, 1});
    Fd writerA = connectClient(inA, portHead(0, "stuck", 0));
    Fd readerA = testsupport::tcp_connect(outA, 4096);
    ASSERT_TRUE(readerA.valid());
    ASSERT_TRUE(reports().waitEvent(portHead(0, "stuck", 1) + " TCP connection accepted."));
    Fd writerB = connectClient(inB, portHead(1, "serial", 0));
    Fd writerC = connectClient(inC, portHead(2, "free", 0));
    Fd readerC = connectClient(outC, portHead(2, "free", 1));

    Flood floodA(writerA.get(), 41);
    Flood floodB(writerB.get(), 42);
    // Both writers come to a standstill: their bytes wait in the sockets, not dropped.
    ASSERT_TRUE(testsupport::wait_until([&] { return floodA.stalledFor(STALL); }, STALL_LIMIT));
    ASSERT_TRUE(testsupport::wait_until([&] { return floodB.stalledFor(STALL); }, STALL_LIMIT));
    EXPECT_TRUE(testsupport::wait_until([&] { return stats(0, 0).rxBytes == stats(0, 1).txBytes; },
                                        std::chrono::seconds(10)))
        << "bytes for a connected TCP destination were dropped";
    EXPECT_TRUE(testsupport::wait_until([&] { return stats(1, 0).rxBytes == stats(1, 1).txBytes; },
                                        std::chrono::seconds(10)))
        << "bytes for an open serial destination were dropped";
    EXPECT_GT(stats(0, 0).rxBytes, 0u);
    EXPECT_GT(stats(1, 0).rxBytes, 0u);

    // Another link moves a megabyte meanwhile, byte for byte.
    const Bytes data = testsupport::pattern(1 << 20, 43);
    std::thread feed(
        [&] { EXPECT_TRUE(testsupport::write_all(writerC.get(), data.data(), data.size())); });
    Bytes got(data.size());
    const bool arrived = testsupport::read_exact(readerC.get(), got.data(), got.size(), 60000);
    feed.join();
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(got == data);

    // Every call of the interface returns at once, the stuck ports' included.
    const std::uint8_t probe[4] = {'p', 'r', 'o', 'b'};
    char errText[ERR_TEXT_SIZE] = {};
    const auto slowest = std::max({
        timed([&] { (void)stats(0, 1); }), timed([&] {
            LinkStatus s{};
            EXPECT_EQ(WeaveGetLinkStatus(0, &s), 1u);
        }),
        timed([&] { EXPECT_EQ(WeaveSendBuffer(0, 1, probe, sizeof probe, errText), 1u); }),
        timed([&] { EXPECT_EQ(WeaveSendBuffer(1, 1, probe, sizeof probe, errText), 1u); }),
        timed([&] { EXPECT_EQ(WeaveSetLinkConfig(0, &stuck, errText), 1u); }),
        timed([&] { tick(1); }), timed([&] { (void)WeaveNextTimerDue(); }),
        timed([&] { deactivate(1, 1); }), // the serial port whose device never reads
    });
    EXPECT_LT(slowest, CALL_LIMIT);
    EXPECT_EQ(reports().eventCount(portHead(1, "serial", 1) + " deactivated"), 1u);
    // Its source is free again (its bytes now go nowhere), and the device was let go in order.
    const std::uint64_t beforeB = floodB.written();
    EXPECT_TRUE(floodB.waitWrittenAbove(beforeB));
    floodB.stop();
    activate(1, 1);
    EXPECT_EQ(reports().eventCount(portHead(1, "serial", 1) + " Serial port (COM4) activated"), 2u);
    {
        std::lock_guard<std::mutex> lock(g_diagMutex);
        std::string said;
        for (const std::string& d : g_diags) {
            said += d + "\n";
        }
        EXPECT_EQ(said, "") << "the serial layer had trouble letting the device go";
    }

    // The peer that never read resets: only that connection ends, the server listens on, and
    // the source moves again (its bytes are dropped while no client is connected).
    testsupport::tcp_reset(readerA);
    ASSERT_TRUE(reports().waitEvent(portHead(0, "stuck", 1) + " IP interface closed."));
    EXPECT_EQ(reports().flags(0, 1).back(), PortFlags(1, 0));
    EXPECT_EQ(reports().flags(0, 0).back(), PortFlags(1, 1));
    const std::uint64_t beforeA = floodA.written();
    EXPECT_TRUE(floodA.waitWrittenAbove(beforeA));
    floodA.stop();
    writerA.reset();
    ASSERT_TRUE(reports().waitEvent(portHead(0, "stuck", 0) + " IP interface closed."));

    // The next client of the destination gets the bytes sent from now on and nothing of what
    // the dead connection still had queued.
    Fd next = connectClient(outA, portHead(0, "stuck", 1), 2);
    Fd writer = connectClient(inA, portHead(0, "stuck", 0), 2);
    ASSERT_TRUE(testsupport::write_all(writer.get(), "fresh", 5));
    EXPECT_EQ(textOf(testsupport::read_for(next.get(), 500, 64 * 1024)), "fresh");
    pw::set_diag_sink([](const char*) {});
    (void)device;
}

TEST_F(EngineTest, AServerThatResetsMidStreamIsReconnectedAndTheStreamGoesOnInOrder) {
    start();
    const std::uint16_t in = free_tcp_port();
    Fd listener = testsupport::tcp_listen(0);
    PortConfig client =
        reconnecting(tcpClient("127.0.0.1", testsupport::local_port(listener.get())), 1);
    useLink(0, linkConfig("rst", tcpServer(in), client), {0, 1});
    Fd served = testsupport::tcp_accept(listener.get());
    ASSERT_TRUE(served.valid());
    ASSERT_TRUE(reports().waitEvent(portHead(0, "rst", 1) + " TCP connected."));
    Fd writer = connectClient(in, portHead(0, "rst", 0));

    // The stream is a pattern whose every 64-byte window is unique, so any slice of it can be
    // placed.
    Flood flood(writer.get(), 51);
    const Bytes whole = testsupport::pattern(1 << 20, 51);
    ASSERT_FALSE(testsupport::read_for(served.get(), 5000, 256 * 1024).empty());
    testsupport::tcp_reset(served);
    ASSERT_TRUE(reports().waitEvent(portHead(0, "rst", 1) + " IP interface closed."));
    EXPECT_EQ(reports().flags(0, 1).back(), PortFlags(0, 0));
    EXPECT_EQ(reports().flags(0, 0).back(), PortFlags(1, 1)) << "the source stays connected";
    ASSERT_EQ(WeaveNextTimerDue(), 1000u);

    tick(1000);
    Fd again = testsupport::tcp_accept(listener.get());
    ASSERT_TRUE(again.valid());
    ASSERT_TRUE(reports().waitEvent(portHead(0, "rst", 1) + " TCP connected.", 2));
    const Bytes got = testsupport::read_for(again.get(), 10000, 512 * 1024);
    flood.stop();
    ASSERT_GE(got.size(), 64u);
    // What arrives after the reconnect is one unbroken piece of the stream (the stream wraps
    // around every megabyte).
    Bytes twice = whole;
    twice.insert(twice.end(), whole.begin(), whole.end());
    const auto at = std::search(twice.begin(), twice.end(), got.begin(), got.begin() + 64);
    ASSERT_NE(at, twice.end()) << "the bytes after the reconnect are not part of the stream";
    const auto offset = static_cast<std::size_t>(at - twice.begin());
    const std::size_t compared = std::min(got.size(), twice.size() - offset);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(compared), at))
        << "bytes changed, lost or doubled within the stream after the reconnect";

    // The source resets too: it alone ends; the destination keeps its connection. What is still
    // on its way is drained first: a source held back by a full destination is not read, so its
    // reset would only show once the destination had room again.
    while (!testsupport::read_for(again.get(), 500).empty()) {
    }
    testsupport::tcp_reset(writer);
    ASSERT_TRUE(reports().waitEvent(portHead(0, "rst", 0) + " IP interface closed."));
    EXPECT_EQ(reports().flags(0, 0).back(), PortFlags(1, 0));
    EXPECT_EQ(reports().flags(0, 1).back(), PortFlags(1, 1));
    // A new source reaches the same destination (after whatever was still on its way).
    Fd second = connectClient(in, portHead(0, "rst", 0), 2);
    ASSERT_TRUE(testsupport::write_all(second.get(), "later", 5));
    std::string tail;
    EXPECT_TRUE(testsupport::wait_until(
        [&] {
            tail += textOf(testsupport::read_for(again.get(), 20));
            return tail.size() >= 5 && tail.compare(tail.size() - 5, 5, "later") == 0;
        },
        std::chrono::seconds(10)));
}

TEST_F(EngineTest, AHostThatDoesNotResolveFailsTheClientPortWhichIsTriedAgain) {
    start();
    PortConfig client = reconnecting(tcpClient("no-such-host.invalid", 4000), 2);
    const std::uint16_t udp = free_udp_port();
    useLink(0, linkConfig("dns", client, udpPort(udp)));
    const std::string head = portHead(0, "dns", 0);
    const std::vector<std::string> attempt = {
        "Link 0 (dns) Activating Port 0 (TCP Client)",
        head + " TCP connecting to no-such-host.invalid 4000...",
        head + " IP port activation failed (Socket Layer RC 9)",
    };
    activate(0, 0);
    EXPECT_EQ(reports().events(), attempt);
    EXPECT_EQ(reports().flags(0, 0), std::vector<PortFlags>{PortFlags(0, 0)});
    EXPECT_EQ(WeaveIsPortActive(0, 0), 0u);
    EXPECT_EQ(WeaveNextTimerDue(), 2000u);

    // The other port of the link works all the same.
    activate(0, 1);
    EXPECT_EQ(reports().flags(0, 1).back(), PortFlags(1, 1));
    Fd sender = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(sender.get(), udp, "dgram", 5));
    EXPECT_TRUE(waitRx(0, 1, 5));

    reports().clear();
    tick(2000);
    EXPECT_EQ(reports().events(), attempt);
    EXPECT_EQ(WeaveNextTimerDue(), 2000u);
}

} // namespace
} // namespace enginetest
