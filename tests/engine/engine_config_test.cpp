// Damaged configuration values, as only a damaged data file carries them: no table is read and
// no buffer written out of range, and each has a defined, documented effect.
#include "tests/engine/engine_harness.h"

#include <cerrno>
#include <cstring>

namespace enginetest {
namespace {

using testsupport::free_tcp_port;
using testsupport::free_udp_port;

TEST_F(EngineTest, SerialIndexesOutsideTheirTablesRefuseTheOpen) {
    pty(4);
    start();
    struct Case {
        const char* what;
        void (*damage)(PortConfig&);
    };
    const Case cases[] = {
        {"baud", [](PortConfig& p) { p.baudIndex = BAUD_RATE_COUNT; }},
        {"baud far", [](PortConfig& p) { p.baudIndex = 0xFFFFFFFFu; }},
        {"data bits", [](PortConfig& p) { p.dataBitsIndex = DATA_BITS_COUNT; }},
        {"parity", [](PortConfig& p) { p.parityIndex = PARITY_COUNT; }},
        {"stop bits", [](PortConfig& p) { p.stopBitsIndex = STOP_BITS_COUNT; }},
    };
    for (const Case& c : cases) {
        PortConfig serial = serialPort(4);
        c.damage(serial);
        useLink(0, linkConfig("bad", serial, udpPort(free_udp_port())));
        reports().clear();
        activate(0, 0);
        EXPECT_EQ(
            reports().events(),
            (std::vector<std::string>{
                "Link 0 (bad) Activating Port 0 (COM4)",
                portHead(0, "bad", 0) + format(" Serial port open fail (rc 10) (ExRc %d)", EINVAL),
            }))
            << c.what;
        EXPECT_EQ(WeaveIsPortActive(0, 0), 0u) << c.what;
    }
    // The same port with sound settings opens: the device was never held.
    useLink(0, linkConfig("bad", serialPort(4), udpPort(free_udp_port())), {0});
    EXPECT_EQ(WeaveIsPortActive(0, 0), 1u);
}

TEST_F(EngineTest, ComIndexBeyondTheSerialLayersRangeFailsToOpen) {
    start();
    PortConfig serial = serialPort(1);
    serial.comIndex = 100;
    useLink(0, linkConfig("far", serial, udpPort(free_udp_port())), {0});
    EXPECT_EQ(reports().events(),
              (std::vector<std::string>{
                  "Link 0 (far) Activating Port 0 (COM101)",
                  portHead(0, "far", 0) + " Serial port open fail (rc 1) (ExRc 0)",
              }));
}

TEST_F(EngineTest, BufferSizesOutsideTheirRangeActAsAFullBuffer) {
    for (const std::uint32_t size : {0u, RECEIVE_BUFFER_SIZE + 1, 0xFFFFFFFFu}) {
        start();
        const std::uint16_t udp = free_udp_port();
        const std::uint16_t tcp = free_tcp_port();
        PortConfig source = udpPort(udp);
        source.fwdInstant = 0;
        source.fwdBufferFull = 1;
        source.bufferSize = size;
        source.fwdFrameEnd = 1;
        source.frameEndChar = 0xEE;
        PortConfig dest = tcpServer(tcp);
        dest.trace = 1;
        useLink(0, linkConfig("size", source, dest), {0, 1});
        Fd client = connectClient(tcp, portHead(0, "size", 1));
        Fd sender = testsupport::udp_bind(0);
        Bytes data = testsupport::pattern(2048 + 10, size);
        std::replace(data.begin(), data.end(), std::uint8_t{0xEE}, std::uint8_t{0});
        ASSERT_TRUE(testsupport::udp_send(sender.get(), udp, data.data(), 1500));
        ASSERT_TRUE(waitRx(0, 0, 1500));
        ASSERT_TRUE(testsupport::udp_send(sender.get(), udp, data.data() + 1500, 558));
        ASSERT_TRUE(waitRx(0, 0, 2058));
        EXPECT_EQ(reports().traceSizes(0, 1, TRACE_DIR_TX), std::vector<std::size_t>{2048}) << size;
        // The 10 bytes after the full buffer are still gathered.
        const std::uint8_t end = 0xEE;
        ASSERT_TRUE(testsupport::udp_send(sender.get(), udp, &end, 1));
        ASSERT_TRUE(waitRx(0, 0, 2059));
        EXPECT_EQ(reports().traceSizes(0, 1, TRACE_DIR_TX), (std::vector<std::size_t>{2048, 11}))
            << size;
        data.push_back(end);
        EXPECT_EQ(testsupport::read_for(client.get(), 5000, data.size()), data);
        WeaveShutdown();
        reports().clear();
    }
}

TEST_F(EngineTest, TextFieldsWithoutTheirTerminatingZeroReadFortyCharacters) {
    start();
    LinkConfig config = linkConfig("", tcpClient("", 1), udpPort(free_udp_port()));
    std::memset(config.name, 'N', sizeof config.name);
    std::memset(config.port[0].remoteHost, 'h', sizeof config.port[0].remoteHost);
    useLink(0, config, {0});
    const std::string name(40, 'N');
    const std::string host(40, 'h');
    const auto events = reports().events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], "Link 0 (" + name + ") Activating Port 0 (TCP Client)");
    EXPECT_EQ(events[1], portHead(0, name.c_str(), 0) + " TCP connecting to " + host + " 1...");
    // A host that does not resolve leaves the connect to the socket layer, which refuses it.
    EXPECT_EQ(events[2],
              portHead(0, name.c_str(), 0) + " IP port activation failed (Socket Layer RC 9)");
}

TEST_F(EngineTest, ZeroReconnectIntervalWaitsOneSecond) {
    mapCom(1, dir_.path() + "/absent");
    start();
    PortConfig serial = reconnecting(serialPort(1), 0);
    useLink(0, linkConfig("zero", serial, udpPort(free_udp_port())), {0});
    EXPECT_EQ(WeaveNextTimerDue(), 1000u);
    tick(999);
    EXPECT_EQ(reports().events().size(), 2u);
    tick(1);
    EXPECT_EQ(reports().events().size(), 4u);

    // An interval too long to count in milliseconds waits as long as the clock can count.
    LinkConfig config = linkConfig("zero", serial, udpPort(free_udp_port()));
    config.port[0].reconnectSecs = 0xFFFFFFFFu;
    reconfigure(0, config);
    activate(0, 0);
    EXPECT_EQ(WeaveNextTimerDue(), 0xFFFFFFFFu - 1) << "one below the no-timer mark";
}

TEST_F(EngineTest, GeneratorLengthBeyondItsDataSendsAllOfItsData) {
    start();
    const std::uint16_t tcp = free_tcp_port();
    PortConfig gen = tcpServer(tcp);
    gen.genTraffic = 1;
    gen.genPeriodMs = 10;
    gen.genLength = 1000;
    for (std::uint32_t i = 0; i < GEN_DATA_SIZE; ++i) {
        gen.genData[i] = static_cast<std::uint8_t>(i);
    }
    useLink(0, linkConfig("long", gen, udpPort(free_udp_port())), {0});
    Fd client = connectClient(tcp, portHead(0, "long", 0));
    tick(10);
    const Bytes got = testsupport::read_for(client.get(), 5000, GEN_DATA_SIZE);
    ASSERT_EQ(got.size(), GEN_DATA_SIZE);
    EXPECT_EQ(got, Bytes(gen.genData, gen.genData + GEN_DATA_SIZE));
    EXPECT_TRUE(testsupport::read_for(client.get(), 100).empty());
}

TEST_F(EngineTest, FrameEndCharacterAboveTheByteRangeNeverEndsAFrame) {
    start();
    const std::uint16_t udp = free_udp_port();
    const std::uint16_t tcp = free_tcp_port();
    PortConfig source = udpPort(udp);
    source.fwdInstant = 0;
    source.fwdFrameEnd = 1;
    source.frameEndChar = 0x100 + ',';
    PortConfig dest = tcpServer(tcp);
    dest.trace = 1;
    useLink(0, linkConfig("wide", source, dest), {0, 1});
    Fd client = connectClient(tcp, portHead(0, "wide", 1));
    Fd sender = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(sender.get(), udp, "a,b,c", 5));
    ASSERT_TRUE(waitRx(0, 0, 5));
    EXPECT_TRUE(reports().traceSizes(0, 1, TRACE_DIR_TX).empty());
}

} // namespace
} // namespace enginetest
