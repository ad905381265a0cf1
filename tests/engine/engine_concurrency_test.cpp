// All three of the engine's threads at once: the main thread calls the interface and runs the
// periodic processing while the socket thread and the serial delivery thread stream data through
// the same links. Meant for ThreadSanitizer as much as for the data it checks.
#include "tests/engine/engine_harness.h"

#include <atomic>

namespace enginetest {
namespace {

using testsupport::free_tcp_port;
using testsupport::free_udp_port;

constexpr std::size_t STREAM = 4 * 1024 * 1024;

TEST_F(EngineTest, InterfaceCallsAndTimersRunWhileSocketsAndSerialPortsStream) {
    PtyPair& device = pty(1);
    PtyPair& noisy = pty(2);
    start();

    // Link 0: a serial port and a TCP server, streaming both ways; the serial side gathers, so
    // the flush on the main thread meets gathering on the delivery thread.
    const std::uint16_t tcp = free_tcp_port();
    PortConfig serial = serialPort(1);
    serial.fwdInstant = 0;
    serial.fwdBufferFull = 1;
    serial.bufferSize = 512;
    serial.fwdInterChar = 1;
    serial.interCharMs = 5;
    serial.trace = 1;
    PortConfig server = tcpServer(tcp);
    server.trace = 1;
    LinkConfig stream = linkConfig("stream", serial, server);
    useLink(0, stream, {0, 1});
    Fd client = connectClient(tcp, portHead(0, "stream", 1));

    // Link 1: a UDP echo port with a generator that sends on every pass.
    const std::uint16_t udp = free_udp_port();
    PortConfig echo = udpPort(udp);
    echo.loopback = 1;
    echo.genTraffic = 1;
    echo.genPeriodMs = 0;
    echo.genLength = 8;
    useLink(1, linkConfig("echo", echo, tcpServer(free_tcp_port())), {0});

    // Link 2: a serial port that never stops talking, opened and closed again and again.
    const std::uint16_t sink = free_tcp_port();
    const LinkConfig toggled = linkConfig("toggle", serialPort(2), tcpServer(sink));
    useLink(2, toggled);

    const Bytes toDevice = testsupport::pattern(STREAM, 31);
    const Bytes fromDevice = testsupport::pattern(STREAM, 32);
    Bytes atClient;
    Bytes atDevice;
    std::atomic<bool> done{false};
    std::thread deviceWriter(
        [&] { EXPECT_TRUE(device.write(fromDevice, std::chrono::seconds(240))); });
    std::thread clientWriter([&] {
        EXPECT_TRUE(testsupport::write_all(client.get(), toDevice.data(), toDevice.size()));
    });
    std::thread deviceReader([&] { atDevice = device.read(STREAM, std::chrono::seconds(240)); });
    std::thread clientReader(
        [&] { atClient = testsupport::read_for(client.get(), 240000, STREAM); });
    std::thread chatter([&] {
        const Bytes noise = testsupport::pattern(256, 33);
        while (!done.load()) {
            (void)noisy.write(noise, std::chrono::milliseconds(50));
            (void)noisy.drain(std::chrono::milliseconds(1));
        }
    });
    std::thread udpPeer([&] {
        Fd peer = testsupport::udp_bind(0);
        while (!done.load()) {
            (void)testsupport::udp_send(peer.get(), udp, "ping", 4);
            (void)testsupport::read_for(peer.get(), 2, 64 * 1024);
        }
    });

    const std::uint8_t test[5] = {'t', 'e', 's', 't', '!'};
    char errText[ERR_TEXT_SIZE] = {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    for (std::uint32_t pass = 0; (stats(0, 1).txBytes < STREAM || stats(0, 0).txBytes < STREAM) &&
                                 std::chrono::steady_clock::now() < deadline;
         ++pass) {
        tick(1);
        LinkStatus status{};
        EXPECT_EQ(WeaveGetLinkStatus(0, &status), 1u);
        (void)WeaveNextTimerDue();
        (void)WeaveSendBuffer(1, 0, test, sizeof test, errText);
        if (pass % 10 == 0) {
            // Tracing switched on and off on the running link, as the main window does.
            stream.port[0].trace = stream.port[1].trace = (pass / 10) % 2;
            EXPECT_EQ(WeaveSetLinkConfig(0, &stream, errText), 1u);
        }
        if (pass % 25 == 0) {
            (void)WeaveActivatePort(2, 0, errText);
            (void)WeaveActivatePort(2, 1, errText);
        } else if (pass % 25 == 12) {
            (void)WeaveDeactivateLink(2, errText);
        } else if (pass % 100 == 50) {
            WeaveFreeLink(2);
            EXPECT_EQ(WeaveAllocLink(2), 1u);
            EXPECT_EQ(WeaveSetLinkConfig(2, &toggled, errText), 1u);
        }
        if (pass % 50 == 0) {
            EXPECT_EQ(WeaveClearPortStats(1, 0, errText), 1u);
        }
    }
    deviceWriter.join();
    clientWriter.join();
    // The tail gathered on the serial side leaves with the flush.
    const auto flushUntil = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (stats(0, 1).txBytes < STREAM && std::chrono::steady_clock::now() < flushUntil) {
        tick(10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    deviceReader.join();
    clientReader.join();
    done.store(true);
    chatter.join();
    udpPeer.join();

    EXPECT_EQ(atClient.size(), STREAM);
    EXPECT_TRUE(atClient == fromDevice) << "serial to TCP changed or reordered bytes";
    EXPECT_EQ(atDevice.size(), STREAM);
    EXPECT_TRUE(atDevice == toDevice) << "TCP to serial changed or reordered bytes";
    const PortStats s0 = stats(0, 0);
    const PortStats s1 = stats(0, 1);
    EXPECT_EQ(s0.rxBytes, STREAM);
    EXPECT_EQ(s0.txBytes, STREAM);
    EXPECT_EQ(s1.rxBytes, STREAM);
    EXPECT_EQ(s1.txBytes, STREAM);
    EXPECT_GT(reports().eventCount(portHead(2, "toggle", 0) + " Serial port (COM2) activated"), 1u);
}

} // namespace
} // namespace enginetest
