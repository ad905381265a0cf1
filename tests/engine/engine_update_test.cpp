// Configuration updates while ports run: forwarding, trace, loopback and generator settings
// apply at once; the connection settings (port type, protocol, role, port number, host) only at
// the port's next activation, so a running port goes on as it was opened and is closed as such.
#include "tests/engine/engine_harness.h"

namespace enginetest {
namespace {

using testsupport::free_tcp_port;
using testsupport::free_udp_port;

TEST_F(EngineTest, GatheredBytesGoFirstWhenThePortIsSwitchedToInstantForwarding) {
    start();
    const std::uint16_t in = free_tcp_port();
    const std::uint16_t out = free_tcp_port();
    PortConfig source = tcpServer(in);
    source.fwdInstant = 0;
    source.fwdFrameEnd = 1; // no timer passes gathered bytes on
    source.frameEndChar = '\n';
    const LinkConfig gathering = linkConfig("switch", source, tcpServer(out));
    useLink(0, gathering, {0, 1});
    Fd writer = connectClient(in, portHead(0, "switch", 0));
    Fd reader = connectClient(out, portHead(0, "switch", 1));
    ASSERT_TRUE(testsupport::write_all(writer.get(), "first ", 6));
    ASSERT_TRUE(waitRx(0, 0, 6));
    EXPECT_EQ(stats(0, 1).txBytes, 0u) << "gathered until the frame ends";

    LinkConfig instant = gathering;
    instant.port[0].fwdInstant = 1;
    reconfigure(0, instant);
    EXPECT_EQ(textOf(testsupport::read_for(reader.get(), 5000, 6)), "first ");
    ASSERT_TRUE(testsupport::write_all(writer.get(), "then", 4));
    EXPECT_EQ(textOf(testsupport::read_for(reader.get(), 5000, 4)), "then");

    // Back to gathering and once more to instant, this time with bytes arriving before the
    // switch is noticed by any timer: the order holds all the same.
    reconfigure(0, gathering);
    ASSERT_TRUE(testsupport::write_all(writer.get(), "older ", 6));
    ASSERT_TRUE(waitRx(0, 0, 16));
    reconfigure(0, instant);
    ASSERT_TRUE(testsupport::write_all(writer.get(), "newer", 5));
    EXPECT_EQ(textOf(testsupport::read_for(reader.get(), 5000, 11)), "older newer");
    EXPECT_EQ(stats(0, 1).txBytes, 21u);
}

TEST_F(EngineTest, SerialPortSwitchedToIpWhileOpenIsStillClosedAsASerialPort) {
    PtyPair& device = pty(3);
    start();
    const std::uint16_t tcp = free_tcp_port();
    LinkConfig config = linkConfig("switch", serialPort(3), tcpServer(tcp));
    useLink(0, config, {0, 1});
    Fd client = connectClient(tcp, portHead(0, "switch", 1));
    reconfigure(0, linkConfig("switch", udpPort(free_udp_port()), tcpServer(tcp)));
    // Still a serial port: it forwards what the device sends.
    ASSERT_TRUE(device.write("abc"));
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 3)), "abc");
    ASSERT_TRUE(testsupport::write_all(client.get(), "xyz", 3));
    EXPECT_EQ(textOf(device.read(3)), "xyz");
    deactivate(0, 0);
    EXPECT_EQ(reports().flags(0, 0).back(), (PortFlags{0, 0}));
    // The device was released: with its serial settings back, the port opens again.
    reconfigure(0, config);
    reports().clear();
    activate(0, 0);
    EXPECT_EQ(reports().events(), (std::vector<std::string>{
                                      "Link 0 (switch) Activating Port 0 (COM3)",
                                      portHead(0, "switch", 0) + " Serial port (COM3) activated",
                                  }));
}

TEST_F(EngineTest, UdpPortSwitchedToSerialWhileOpenKeepsSendingAndIsClosed) {
    start();
    const std::uint16_t tcp = free_tcp_port();
    const std::uint16_t udp = free_udp_port();
    // P2 sends to itself, so what the client sends comes back to it (see the UDP destination
    // test of the forwarding tests).
    LinkConfig config = linkConfig("switch", tcpServer(tcp), udpPort(udp));
    useLink(0, config, {0, 1});
    Fd client = connectClient(tcp, portHead(0, "switch", 0));
    LinkConfig changed = config;
    changed.port[1] = serialPort(1);
    reconfigure(0, changed);
    ASSERT_TRUE(testsupport::write_all(client.get(), "loop", 4));
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 4)), "loop");
    deactivate(0, 1);
    const PortStats s = stats(0, 1);
    EXPECT_EQ(s.activated, 0u);
    EXPECT_EQ(s.connected, 0u);
    EXPECT_EQ(reports().flags(0, 1).back(), (PortFlags{0, 0}));
    EXPECT_TRUE(waitUdpPortFree(udp)) << "the UDP socket was closed";
}

TEST_F(EngineTest, UdpPortKeepsItsDestinationPortWhenTheConfiguredPortChanges) {
    start();
    const std::uint16_t tcp = free_tcp_port();
    const std::uint16_t udp = free_udp_port();
    LinkConfig config = linkConfig("dest", tcpServer(tcp), udpPort(udp));
    useLink(0, config, {0, 1});
    Fd client = connectClient(tcp, portHead(0, "dest", 0));
    LinkConfig changed = config;
    changed.port[1].ipPort = free_udp_port();
    std::snprintf(changed.port[1].remoteHost, sizeof changed.port[1].remoteHost, "192.0.2.1");
    reconfigure(0, changed);
    ASSERT_TRUE(testsupport::write_all(client.get(), "same", 4));
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 4)), "same");
}

TEST_F(EngineTest, ServerSwitchedToClientWhileListeningStillServesAfterADrop) {
    start();
    const std::uint16_t tcp = free_tcp_port();
    PortConfig server = tcpServer(tcp);
    useLink(0, linkConfig("role", server, udpPort(free_udp_port())), {0});
    const std::string head = portHead(0, "role", 0);
    Fd first = connectClient(tcp, head);
    PortConfig client = tcpClient("127.0.0.1", tcp);
    client.autoReconnect = 1;
    reconfigure(0, linkConfig("role", client, udpPort(free_udp_port())));
    first.reset();
    ASSERT_TRUE(reports().waitEvent(head + " IP interface closed."));
    EXPECT_EQ(reports().flags(0, 0).back(), (PortFlags{1, 0})) << "still listening";
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER) << "a listening port does not reconnect";
    Fd second = connectClient(tcp, head, 2);
    EXPECT_EQ(reports().flags(0, 0).back(), (PortFlags{1, 1}));
    deactivate(0, 0);
    EXPECT_TRUE(testsupport::wait_peer_closed(second.get()));
    EXPECT_TRUE(waitTcpPortFree(tcp)) << "the listening socket was closed";
}

} // namespace
} // namespace enginetest
