// Port activation and deactivation, connection events and the automatic re-activation: every
// transition of the (activated, connected) pair with its exact event lines and status reports.
// Re-activation timers run on the fake clock.
#include "tests/engine/engine_harness.h"

#include <atomic>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace enginetest {
namespace {

using testsupport::free_tcp_port;
using testsupport::free_udp_port;

const PortFlags DOWN{0, 0};
const PortFlags OPEN{1, 0}; // serial open, TCP server listening, TCP client connecting
const PortFlags UP{1, 1};   // connected, or UDP bound

std::vector<std::string> tail(const std::vector<std::string>& all, std::size_t from) {
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}

// Gives the socket thread time to report anything it should not.
void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

TEST_F(EngineTest, ClientWhoseServerIsDownFailsAndRetriesEveryInterval) {
    start();
    const std::uint16_t port = free_tcp_port();
    PortConfig client = reconnecting(tcpClient("127.0.0.1", port), 10);
    useLink(0, linkConfig("client", client, udpPort(free_udp_port())));
    const std::string head = portHead(0, "client", 0);
    const std::vector<std::string> attempt = {
        "Link 0 (client) Activating Port 0 (TCP Client)",
        head + format(" TCP connecting to 127.0.0.1 %u...", port),
        head + " IP port activated",
        head + " TCP connect failed.",
    };
    activate(0, 0);
    for (std::size_t round = 1; round <= 3; ++round) {
        ASSERT_TRUE(reports().waitEvents(4 * round));
        settle();
        const auto events = reports().events();
        ASSERT_EQ(events.size(), 4 * round);
        EXPECT_EQ(tail(events, 4 * (round - 1)), attempt);
        EXPECT_EQ(reports().flags(0, 0).size(), 2 * round);
        EXPECT_EQ(reports().flags(0, 0).back(), DOWN);
        EXPECT_EQ(WeaveNextTimerDue(), 10000u);
        tick(9999);
        EXPECT_EQ(reports().events().size(), 4 * round) << "one attempt per interval";
        EXPECT_EQ(WeaveNextTimerDue(), 1u);
        tick(1);
    }
    const std::vector<PortFlags> expected = {OPEN, DOWN, OPEN, DOWN, OPEN, DOWN, OPEN};
    ASSERT_TRUE(reports().waitEvents(16));
    const auto flags = reports().flags(0, 0);
    ASSERT_GE(flags.size(), expected.size());
    EXPECT_EQ(std::vector<PortFlags>(flags.begin(), flags.begin() + 7), expected);
}

TEST_F(EngineTest, ClientConnectsAndAfterADropReconnects) {
    start();
    Fd listener = testsupport::tcp_listen(0);
    const std::uint16_t port = testsupport::local_port(listener.get());
    PortConfig client = reconnecting(tcpClient("127.0.0.1", port), 3);
    useLink(4, linkConfig("cl", udpPort(free_udp_port()), client));
    const std::string head = portHead(4, "cl", 1);
    const std::vector<std::string> connecting = {
        "Link 4 (cl) Activating Port 1 (TCP Client)",
        head + format(" TCP connecting to 127.0.0.1 %u...", port),
        head + " IP port activated",
        head + " TCP connected.",
    };
    activate(4, 1);
    Fd served = testsupport::tcp_accept(listener.get());
    ASSERT_TRUE(served.valid());
    ASSERT_TRUE(reports().waitEvents(4));
    EXPECT_EQ(reports().events(), connecting);
    EXPECT_EQ(reports().flags(4, 1), (std::vector<PortFlags>{OPEN, UP}));
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    EXPECT_EQ(WeaveActivatePort(4, 1, nullptr), 1u);
    EXPECT_EQ(reports().events().size(), 4u) << "activating an activated port does nothing";

    served.reset();
    ASSERT_TRUE(reports().waitEvents(5));
    EXPECT_EQ(reports().events().back(), head + " IP interface closed.");
    EXPECT_EQ(reports().flags(4, 1).back(), DOWN);
    EXPECT_EQ(WeaveNextTimerDue(), 3000u);
    tick(3000);
    Fd again = testsupport::tcp_accept(listener.get());
    ASSERT_TRUE(again.valid());
    ASSERT_TRUE(reports().waitEvents(9));
    EXPECT_EQ(tail(reports().events(), 5), connecting);
    EXPECT_EQ(reports().flags(4, 1), (std::vector<PortFlags>{OPEN, UP, DOWN, OPEN, UP}));
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
}

TEST_F(EngineTest, ServerServesOneClientRejectsTheSecondAndListensOnAfterADrop) {
    start();
    const std::uint16_t port = free_tcp_port();
    PortConfig server = tcpServer(port);
    server.autoReconnect = 1; // a server never re-activates: a drop leaves it listening
    useLink(1, linkConfig("srv", server, udpPort(free_udp_port())));
    const std::string head = portHead(1, "srv", 0);
    activate(1, 0);
    EXPECT_EQ(reports().events(), (std::vector<std::string>{
                                      "Link 1 (srv) Activating Port 0 (TCP Server)",
                                      head + " IP port activated",
                                  }));
    EXPECT_EQ(reports().flags(1, 0), std::vector<PortFlags>{OPEN});

    Fd first = connectClient(port, head);
    EXPECT_EQ(reports().flags(1, 0), (std::vector<PortFlags>{OPEN, UP}));
    Fd second = testsupport::tcp_connect(port);
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(
        reports().waitEvent(head + " new connection rejected (1 client already connected)"));
    EXPECT_TRUE(testsupport::wait_peer_closed(second.get()));
    EXPECT_EQ(reports().flags(1, 0).size(), 2u) << "a rejection changes no flag";
    // The first client is not disturbed.
    ASSERT_TRUE(testsupport::write_all(first.get(), "still here", 10));
    ASSERT_TRUE(waitRx(1, 0, 10));

    first.reset();
    ASSERT_TRUE(reports().waitEvent(head + " IP interface closed."));
    EXPECT_EQ(reports().flags(1, 0), (std::vector<PortFlags>{OPEN, UP, OPEN}));
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    Fd third = connectClient(port, head, 2);
    ASSERT_TRUE(testsupport::write_all(third.get(), "next", 4));
    ASSERT_TRUE(waitRx(1, 0, 14));
    settle();
    EXPECT_EQ(reports().events(),
              (std::vector<std::string>{
                  "Link 1 (srv) Activating Port 0 (TCP Server)",
                  head + " IP port activated",
                  head + " TCP connection accepted.",
                  head + " new connection rejected (1 client already connected)",
                  head + " IP interface closed.",
                  head + " TCP connection accepted.",
              }));
    EXPECT_EQ(reports().flags(1, 0), (std::vector<PortFlags>{OPEN, UP, OPEN, UP}));
}

TEST_F(EngineTest, DeactivatingAServerClosesItsClientAndItsListeningSocket) {
    start();
    const std::uint16_t port = free_tcp_port();
    useLink(1, linkConfig("srv", tcpServer(port), tcpServer(free_tcp_port())));
    const std::string head = portHead(1, "srv", 0);
    activate(1, 0);
    Fd client = connectClient(port, head);
    reports().clear();
    deactivate(1, 0);
    EXPECT_EQ(reports().events(), std::vector<std::string>{head + " deactivated"});
    EXPECT_EQ(reports().flags(1, 0), std::vector<PortFlags>{DOWN});
    EXPECT_TRUE(testsupport::wait_peer_closed(client.get()));
    EXPECT_TRUE(testsupport::wait_until([&] { return !testsupport::tcp_connect(port).valid(); }));
    settle();
    EXPECT_EQ(reports().events().size(), 1u) << "the closed client raises no event";

    // Deactivating a port that is down says nothing.
    deactivate(1, 0);
    deactivate(1, 1);
    EXPECT_EQ(reports().events().size(), 1u);
    EXPECT_EQ(reports().statuses().size(), 1u);
}

TEST_F(EngineTest, DeactivateLinkClosesBothPortsFirstToLast) {
    start();
    useLink(9, linkConfig("pair", udpPort(free_udp_port()), tcpServer(free_tcp_port())), {1, 0});
    reports().clear();
    char errText[ERR_TEXT_SIZE] = "untouched";
    ASSERT_EQ(WeaveDeactivateLink(9, errText), 1u);
    EXPECT_STREQ(errText, "untouched");
    EXPECT_EQ(reports().events(), (std::vector<std::string>{
                                      portHead(9, "pair", 0) + " deactivated",
                                      portHead(9, "pair", 1) + " deactivated",
                                  }));
    EXPECT_EQ(reports().flags(9, 0), (std::vector<PortFlags>{DOWN, DOWN}));
    EXPECT_EQ(reports().flags(9, 1), (std::vector<PortFlags>{OPEN, DOWN}));
}

TEST_F(EngineTest, SerialOpenFailureWithoutReconnectIsOneLineAndNothingMore) {
    mapCom(5, dir_.path() + "/absent");
    start();
    useLink(0, linkConfig("ser", serialPort(5), udpPort(free_udp_port())), {0});
    EXPECT_EQ(reports().events(),
              (std::vector<std::string>{
                  "Link 0 (ser) Activating Port 0 (COM5)",
                  portHead(0, "ser", 0) + format(" Serial port open fail (rc 2) (ExRc %d)", ENOENT),
              }));
    EXPECT_TRUE(reports().statuses().empty()) << "a failed serial open reports no status";
    EXPECT_EQ(WeaveIsPortActive(0, 0), 0u);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    tick(1000000);
    EXPECT_EQ(reports().events().size(), 2u);
}

TEST_F(EngineTest, SerialOpenFailureRetriesUntilTheDeviceAppears) {
    PtyPair& device = pty(6);
    const std::string link = dir_.path() + "/later";
    mapCom(5, link);
    start();
    PortConfig serial = reconnecting(serialPort(5), 3);
    useLink(0, linkConfig("ser", serial, udpPort(free_udp_port())));
    const std::string head = portHead(0, "ser", 0);
    const std::vector<std::string> failure = {
        "Link 0 (ser) Activating Port 0 (COM5)",
        head + format(" Serial port open fail (rc 2) (ExRc %d)", ENOENT),
    };
    activate(0, 0);
    EXPECT_EQ(reports().events(), failure);
    EXPECT_EQ(WeaveNextTimerDue(), 3000u);
    tick(2999);
    EXPECT_EQ(reports().events().size(), 2u);
    tick(1);
    EXPECT_EQ(tail(reports().events(), 2), failure);

    // Deactivating a port that waits for its re-activation does not cancel the wait.
    tick(1000);
    deactivate(0, 0);
    EXPECT_EQ(WeaveNextTimerDue(), 2000u);
    // Activating it by hand tries at once and starts a fresh interval.
    activate(0, 0);
    EXPECT_EQ(tail(reports().events(), 4), failure);
    EXPECT_EQ(WeaveNextTimerDue(), 3000u);

    ASSERT_EQ(::symlink(device.slavePath().c_str(), link.c_str()), 0);
    tick(3000);
    EXPECT_EQ(tail(reports().events(), 6), (std::vector<std::string>{
                                               "Link 0 (ser) Activating Port 0 (COM5)",
                                               head + " Serial port (COM5) activated",
                                           }));
    EXPECT_EQ(reports().flags(0, 0), std::vector<PortFlags>{OPEN});
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    tick(3000);
    EXPECT_EQ(reports().events().size(), 8u);
}

std::atomic<int> g_wakes{0};
void countWake() {
    ++g_wakes;
}

TEST_F(EngineTest, SerialDeviceLossClosesThePortAndReopensItWhenTheDeviceIsBack) {
    // COM4 is reached through a link, so that a new device can take the lost one's place.
    auto lost = std::make_unique<PtyPair>();
    const std::string device = dir_.path() + "/usb-adapter";
    ASSERT_EQ(::symlink(lost->slavePath().c_str(), device.c_str()), 0);
    mapCom(4, device);
    start();
    g_wakes = 0;
    WeaveSetTimerWake(countWake);
    PortConfig serial = reconnecting(serialPort(4), 2);
    useLink(0, linkConfig("usb", serial, udpPort(free_udp_port())), {0});
    const std::string head = portHead(0, "usb", 0);
    ASSERT_EQ(reports().events().size(), 2u);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);

    // The adapter is pulled out, and its path is gone until it comes back.
    lost->hangUp();
    ASSERT_EQ(::unlink(device.c_str()), 0);
    ASSERT_TRUE(testsupport::wait_until([] { return WeaveNextTimerDue() == 0; }));
    EXPECT_GE(g_wakes.load(), 1) << "the main thread is woken to close the port";
    EXPECT_EQ(reports().events().size(), 2u) << "nothing is reported off the main thread";
    tick(0);
    EXPECT_EQ(tail(reports().events(), 2),
              (std::vector<std::string>{head + " Serial port closed."}));
    EXPECT_EQ(reports().flags(0, 0), (std::vector<PortFlags>{OPEN, DOWN}));
    EXPECT_EQ(WeaveIsPortActive(0, 0), 0u);
    EXPECT_EQ(WeaveNextTimerDue(), 2000u);

    // Re-opened every interval until the device is back.
    tick(2000);
    EXPECT_EQ(tail(reports().events(), 3),
              (std::vector<std::string>{
                  "Link 0 (usb) Activating Port 0 (COM4)",
                  head + format(" Serial port open fail (rc 2) (ExRc %d)", ENOENT),
              }));
    PtyPair back;
    ASSERT_EQ(::symlink(back.slavePath().c_str(), device.c_str()), 0);
    tick(2000);
    EXPECT_EQ(tail(reports().events(), 5), (std::vector<std::string>{
                                               "Link 0 (usb) Activating Port 0 (COM4)",
                                               head + " Serial port (COM4) activated",
                                           }));
    EXPECT_EQ(reports().flags(0, 0), (std::vector<PortFlags>{OPEN, DOWN, OPEN}));
    char errText[ERR_TEXT_SIZE] = {};
    const Bytes hello = bytesOf("back");
    ASSERT_EQ(WeaveSendBuffer(0, 0, hello.data(), 4, errText), 1u) << errText;
    EXPECT_EQ(textOf(back.read(4)), "back");
}

TEST_F(EngineTest, SerialDeviceLossWithoutReconnectLeavesThePortDown) {
    PtyPair& device = pty(2);
    start();
    useLink(1, linkConfig("usb", serialPort(2), udpPort(free_udp_port())), {0});
    deactivate(1, 0);
    activate(1, 0);
    device.hangUp();
    ASSERT_TRUE(testsupport::wait_until([] { return WeaveNextTimerDue() == 0; }));
    tick(0);
    EXPECT_EQ(reports().events().back(), portHead(1, "usb", 0) + " Serial port closed.");
    EXPECT_EQ(reports().flags(1, 0), (std::vector<PortFlags>{OPEN, DOWN, OPEN, DOWN}));
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    const std::size_t lines = reports().events().size();
    tick(100000);
    EXPECT_EQ(reports().events().size(), lines);
    // Deactivating the closed port says nothing more.
    deactivate(1, 0);
    EXPECT_EQ(reports().events().size(), lines);
}

TEST_F(EngineTest, SerialPortOpensAndStartsItsGenerator) {
    PtyPair& device = pty(3);
    start();
    PortConfig serial = serialPort(3);
    serial.genTraffic = 1;
    serial.genPeriodMs = 100;
    std::memcpy(serial.genData, "gen", 3);
    serial.genLength = 3;
    useLink(2, linkConfig("com", serial, udpPort(free_udp_port())), {0});
    EXPECT_EQ(reports().events(), (std::vector<std::string>{
                                      "Link 2 (com) Activating Port 0 (COM3)",
                                      portHead(2, "com", 0) + " Serial port (COM3) activated",
                                  }));
    EXPECT_EQ(reports().flags(2, 0), std::vector<PortFlags>{OPEN});
    EXPECT_EQ(WeaveNextTimerDue(), 100u);
    tick(100);
    EXPECT_EQ(textOf(device.read(3)), "gen");
    deactivate(2, 0);
    EXPECT_EQ(reports().events().back(), portHead(2, "com", 0) + " deactivated");
    EXPECT_EQ(reports().flags(2, 0), (std::vector<PortFlags>{OPEN, DOWN}));
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    // The device was released: the port opens again at once.
    activate(2, 0);
    EXPECT_EQ(reports().flags(2, 0), (std::vector<PortFlags>{OPEN, DOWN, OPEN}));
}

TEST_F(EngineTest, UdpPortActivatesEvenWhenItsHostCannotBeResolved) {
    start();
    const std::vector<const char*> hosts = {"127.0.0.1", "no-such-host.invalid", ""};
    for (std::uint32_t i = 0; i < hosts.size(); ++i) {
        useLink(static_cast<std::int32_t>(i),
                linkConfig("udp", tcpServer(free_tcp_port()), udpPort(free_udp_port(), hosts[i])));
        reports().clear();
        activate(static_cast<std::int32_t>(i), 1);
        EXPECT_EQ(reports().events(), (std::vector<std::string>{
                                          format("Link %u (udp) Activating Port 1 (UDP)", i),
                                          portHead(i, "udp", 1) + " IP port activated",
                                      }))
            << hosts[i];
        EXPECT_EQ(reports().flags(i, 1), std::vector<PortFlags>{UP});
    }
}

TEST_F(EngineTest, IpOpenFailuresAreReportedWithTheLayersCodeAndRetried) {
    start();
    Fd takenUdp = testsupport::udp_bind(0);
    Fd takenTcp = testsupport::tcp_listen(0);
    PortConfig udp = reconnecting(udpPort(testsupport::local_port(takenUdp.get())), 2);
    PortConfig server = tcpServer(testsupport::local_port(takenTcp.get()));
    useLink(3, linkConfig("busy", udp, server), {0, 1});
    const std::string p0 = portHead(3, "busy", 0);
    const std::string p1 = portHead(3, "busy", 1);
    EXPECT_EQ(reports().events(), (std::vector<std::string>{
                                      "Link 3 (busy) Activating Port 0 (UDP)",
                                      p0 + " IP port activation failed (Socket Layer RC 7)",
                                      "Link 3 (busy) Activating Port 1 (TCP Server)",
                                      p1 + " IP port activation failed (Socket Layer RC 0)",
                                  }));
    EXPECT_EQ(reports().flags(3, 0), (std::vector<PortFlags>{DOWN, DOWN}));
    EXPECT_EQ(WeaveNextTimerDue(), 2000u) << "only the port with autoReconnect waits";

    takenUdp.reset();
    tick(2000);
    EXPECT_EQ(tail(reports().events(), 4), (std::vector<std::string>{
                                               "Link 3 (busy) Activating Port 0 (UDP)",
                                               p0 + " IP port activated",
                                           }));
    EXPECT_EQ(reports().flags(3, 0).back(), UP);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
}

TEST_F(EngineTest, UnknownProtocolOrPortTypeActivatesNothing) {
    start();
    PortConfig strange = udpPort(free_udp_port());
    strange.ipProtocol = 2;
    strange.autoReconnect = 1;
    PortConfig none = udpPort(free_udp_port());
    none.portType = 2;
    none.autoReconnect = 1;
    useLink(0, linkConfig("odd", strange, none), {0, 1});
    EXPECT_EQ(reports().events(),
              std::vector<std::string>{portHead(0, "odd", 0) +
                                       " IP port activation failed (unknown protocol 2)"});
    EXPECT_TRUE(reports().statuses().empty());
    EXPECT_EQ(WeaveIsPortActive(0, 0), 0u);
    EXPECT_EQ(WeaveIsPortActive(0, 1), 0u);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
}

TEST_F(EngineTest, FreeingALinkDropsItsPendingReactivation) {
    mapCom(1, dir_.path() + "/absent");
    start();
    PortConfig serial = reconnecting(serialPort(1), 1);
    useLink(0, linkConfig("gone", serial, udpPort(free_udp_port())), {0});
    ASSERT_EQ(WeaveNextTimerDue(), 1000u);
    WeaveFreeLink(0);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    tick(5000);
    EXPECT_EQ(reports().events().size(), 2u);
    ASSERT_EQ(WeaveAllocLink(0), 1u);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER) << "a slot allocated again starts idle";
}

TEST_F(EngineTest, PortNumbersAboveSixteenBitsUseTheirLowBitsButPrintInFull) {
    constexpr std::uint32_t configured = 70000; // 70000 - 65536 = 4464
    {
        Fd probe = testsupport::tcp_listen(4464);
        if (!probe.valid()) {
            GTEST_SKIP() << "port 4464 is in use on this machine";
        }
    }
    start();
    // The link's own client connects to its own server: both use port 4464.
    useLink(0, linkConfig("wide", tcpServer(configured), tcpClient("127.0.0.1", configured)),
            {0, 1});
    ASSERT_TRUE(reports().waitEvent(portHead(0, "wide", 1) + " TCP connected."));
    ASSERT_TRUE(reports().waitEvent(portHead(0, "wide", 0) + " TCP connection accepted."));
    EXPECT_EQ(
        reports().eventCount(portHead(0, "wide", 1) + " TCP connecting to 127.0.0.1 70000..."), 1u);
    Fd outsider = testsupport::tcp_connect(4464);
    ASSERT_TRUE(outsider.valid());
    EXPECT_TRUE(reports().waitEvent(portHead(0, "wide", 0) +
                                    " new connection rejected (1 client already connected)"));
}

} // namespace
} // namespace enginetest
