// The engine's interface: start and stop, the shared checks of every operation with their exact
// messages, link slots, counters and status records.
#include "tests/engine/engine_harness.h"

#include <climits>
#include <cstring>
#include <functional>

namespace enginetest {
namespace {

constexpr char UNTOUCHED[] = "untouched";

struct ErrText {
    char text[ERR_TEXT_SIZE];
    ErrText() { std::snprintf(text, sizeof text, "%s", UNTOUCHED); }
    std::string str() const { return text; }
};

// Runs every operation that takes an errText with the given ids and collects the messages.
std::vector<std::string> messagesOfEveryOperation(std::int32_t link, std::int32_t port) {
    const LinkConfig config = linkConfig("x", tcpServer(1), tcpServer(2));
    const std::uint8_t data[1] = {0};
    PortStats stats{};
    const std::vector<std::function<std::uint32_t(char*)>> operations = {
        [&](char* e) { return WeaveSetLinkConfig(link, &config, e); },
        [&](char* e) { return WeaveDeactivateLink(link, e); },
        [&](char* e) { return WeaveActivatePort(link, port, e); },
        [&](char* e) { return WeaveDeactivatePort(link, port, e); },
        [&](char* e) { return WeaveSendBuffer(link, port, data, 1, e); },
        [&](char* e) { return WeaveGetPortStats(link, port, &stats, e); },
        [&](char* e) { return WeaveClearPortStats(link, port, e); },
    };
    std::vector<std::string> out;
    for (const auto& operation : operations) {
        ErrText e;
        EXPECT_EQ(operation(e.text), 0u);
        out.push_back(e.str());
    }
    return out;
}

TEST_F(EngineTest, OperationsOnAnEngineThatIsNotInitializedFailWithTheirMessage) {
    // The first check wins even when the ids are out of range too.
    for (const auto& [link, port] : {std::pair{0, 0}, std::pair{99, 7}}) {
        for (const std::string& m : messagesOfEveryOperation(link, port)) {
            EXPECT_EQ(m, "not initialized");
        }
    }
    EXPECT_EQ(WeaveAllocLink(0), 0u);
    EXPECT_EQ(WeaveIsPortActive(0, 0), 0u);
    LinkStatus status{};
    status.linkId = 77;
    EXPECT_EQ(WeaveGetLinkStatus(0, &status), 0u);
    EXPECT_EQ(status.linkId, 77u);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    // These have no result; they must simply do nothing.
    WeaveSetPaused(0);
    WeaveFreeLink(0);
    WeaveProcess();
    WeaveShutdown();
    EXPECT_TRUE(reports().events().empty());
}

TEST_F(EngineTest, InitChecksItsArgumentsAndASecondInitChangesNothing) {
    const WeaveInitStruct init{nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(WeaveInit(&init, nullptr), 0u) << "no errText: refused even with an init record";
    ErrText e;
    EXPECT_EQ(WeaveInit(nullptr, e.text), 0u);
    EXPECT_EQ(e.str(), "NULL init structure pointer");
    EXPECT_EQ(WeaveAllocLink(0), 0u) << "the failed starts left the engine stopped";

    start();
    const LinkConfig config = linkConfig("kept", udpPort(testsupport::free_udp_port()),
                                         tcpServer(testsupport::free_tcp_port()));
    useLink(3, config, {0});
    const std::size_t eventsBefore = reports().events().size();
    ErrText again;
    EXPECT_EQ(WeaveInit(&init, again.text), 1u);
    EXPECT_EQ(WeaveInit(nullptr, nullptr), 1u);
    EXPECT_EQ(again.str(), UNTOUCHED);
    // Table, port state and the first callbacks all stay.
    EXPECT_EQ(WeaveIsPortActive(3, 0), 1u);
    deactivate(3, 0);
    EXPECT_EQ(reports().events().size(), eventsBefore + 1);
}

TEST_F(EngineTest, EveryCheckHasItsExactMessageAndOrder) {
    start();
    for (const std::int32_t bad : {-1, 32, INT_MIN, INT_MAX}) {
        for (const std::string& m : messagesOfEveryOperation(bad, 9)) {
            EXPECT_EQ(m, format("invalid link id (%d)", bad));
        }
        EXPECT_EQ(WeaveAllocLink(bad), 0u);
        EXPECT_EQ(WeaveIsPortActive(bad, 0), 0u);
        WeaveFreeLink(bad);
    }
    // The longest message fits the smallest buffer the interface asks for.
    EXPECT_LE(format("invalid link id (%d)", INT_MIN).size() + 1, WEAVE_ERR_TEXT_MIN);
    EXPECT_LE(format("invalid port id (%d)", INT_MIN).size() + 1, WEAVE_ERR_TEXT_MIN);

    for (const std::string& m : messagesOfEveryOperation(31, 9)) {
        EXPECT_EQ(m, "link not allocated");
    }
    ASSERT_EQ(WeaveAllocLink(5), 1u);
    for (const std::int32_t bad : {2, -1, INT_MIN}) {
        ErrText e;
        EXPECT_EQ(WeaveActivatePort(5, bad, e.text), 0u);
        EXPECT_EQ(e.str(), format("invalid port id (%d)", bad));
        EXPECT_EQ(WeaveIsPortActive(5, bad), 0u);
    }
    ErrText e;
    EXPECT_EQ(WeaveActivatePort(5, 2, e.text), 0u);
    EXPECT_EQ(e.str(), "invalid port id (2)");
    // The link-wide operations take no port id: they pass on an allocated slot.
    ErrText ok;
    const LinkConfig config = linkConfig("five", tcpServer(1), tcpServer(2));
    EXPECT_EQ(WeaveSetLinkConfig(5, &config, ok.text), 1u);
    EXPECT_EQ(WeaveDeactivateLink(5, ok.text), 1u);
    EXPECT_EQ(ok.str(), UNTOUCHED);

    const std::uint8_t data[3] = {1, 2, 3};
    ErrText down;
    EXPECT_EQ(WeaveSendBuffer(5, 1, data, 3, down.text), 0u);
    EXPECT_EQ(down.str(), "port not activated");
    ErrText badPort;
    EXPECT_EQ(WeaveSendBuffer(5, 2, data, 3, badPort.text), 0u);
    EXPECT_EQ(badPort.str(), "invalid port id (2)") << "the port check comes first";
    EXPECT_TRUE(reports().events().empty());
    EXPECT_TRUE(reports().statuses().empty());
}

TEST_F(EngineTest, SlotsAllocateOnceAndKeepCountersAcrossFreeAndAllocate) {
    start();
    const std::uint16_t udp = testsupport::free_udp_port();
    PortConfig echo = udpPort(udp);
    echo.loopback = 1;
    useLink(7, linkConfig("seven", echo, tcpServer(testsupport::free_tcp_port())));
    EXPECT_EQ(WeaveAllocLink(7), 1u) << "allocating an allocated slot succeeds";
    activate(7, 0);
    Fd peer = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(peer.get(), udp, "hello", 5));
    ASSERT_TRUE(waitTx(7, 0, 5));
    EXPECT_EQ(textOf(testsupport::read_for(peer.get(), 5000, 5)), "hello");

    reports().clear();
    WeaveFreeLink(7);
    EXPECT_EQ(reports().events(),
              std::vector<std::string>{portHead(7, "seven", 0) + " deactivated"});
    EXPECT_EQ(WeaveIsPortActive(7, 0), 0u);
    ErrText e;
    PortStats s{};
    EXPECT_EQ(WeaveGetPortStats(7, 0, &s, e.text), 0u);
    EXPECT_EQ(e.str(), "link not allocated");
    LinkStatus untouched{};
    untouched.linkId = 99;
    EXPECT_EQ(WeaveGetLinkStatus(7, &untouched), 0u);
    EXPECT_EQ(untouched.linkId, 99u);

    ASSERT_EQ(WeaveAllocLink(7), 1u);
    // The socket layer closes sockets on its own thread, shortly after they are let go.
    ASSERT_TRUE(waitUdpPortFree(udp));
    s = stats(7, 0);
    EXPECT_EQ(s.linkId, 7u);
    EXPECT_EQ(s.portId, 0u);
    EXPECT_EQ(s.rxBytes, 5u);
    EXPECT_EQ(s.txBytes, 5u);
    EXPECT_EQ(s.activated, 0u);
    EXPECT_EQ(s.connected, 0u);
    // The configuration stayed with the slot as well: the port comes back as it was.
    activate(7, 0);
    ASSERT_TRUE(testsupport::udp_send(peer.get(), udp, "again", 5));
    ASSERT_TRUE(waitTx(7, 0, 10));
    EXPECT_EQ(textOf(testsupport::read_for(peer.get(), 5000, 5)), "again");
}

TEST_F(EngineTest, CountersClearAndCountOnAndStatusRecordsCarryBothPorts) {
    start();
    const std::uint16_t udp = testsupport::free_udp_port();
    PortConfig echo = udpPort(udp);
    echo.loopback = 1;
    useLink(2, linkConfig("count", tcpServer(testsupport::free_tcp_port()), echo), {1});
    Fd peer = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(peer.get(), udp, "1234567", 7));
    ASSERT_TRUE(waitTx(2, 1, 7));

    LinkStatus status{};
    ASSERT_EQ(WeaveGetLinkStatus(2, &status), 1u);
    EXPECT_EQ(status.linkId, 2u);
    EXPECT_EQ(status.port[0].portId, 0u);
    EXPECT_EQ(status.port[0].portType, PORT_TYPE_IP);
    EXPECT_EQ(status.port[0].activated, 0u);
    EXPECT_EQ(status.port[1].portId, 1u);
    EXPECT_EQ(status.port[1].activated, 1u);
    EXPECT_EQ(status.port[1].connected, 1u);
    EXPECT_EQ(status.port[1].txBytes, 7u);
    EXPECT_EQ(status.port[1].rxBytes, 7u);

    ErrText e;
    ASSERT_EQ(WeaveClearPortStats(2, 1, e.text), 1u);
    EXPECT_EQ(e.str(), UNTOUCHED);
    PortStats s = stats(2, 1);
    EXPECT_EQ(s.txBytes, 0u);
    EXPECT_EQ(s.rxBytes, 0u);
    EXPECT_EQ(s.activated, 1u);
    EXPECT_EQ(s.connected, 1u);
    ASSERT_TRUE(testsupport::udp_send(peer.get(), udp, "abc", 3));
    ASSERT_TRUE(waitTx(2, 1, 3));
    s = stats(2, 1);
    EXPECT_EQ(s.txBytes, 3u);
    EXPECT_EQ(s.rxBytes, 3u);
    // Counter changes alone never raise a status report.
    for (const LinkStatus& reported : reports().statuses()) {
        EXPECT_EQ(reported.port[1].rxBytes, 0u);
    }
}

TEST_F(EngineTest, ShutdownIsSilentAndTheNextInitStartsClean) {
    start();
    useLink(0,
            linkConfig("down", udpPort(testsupport::free_udp_port()),
                       tcpServer(testsupport::free_tcp_port())),
            {0, 1});
    reports().clear();
    WeaveShutdown();
    EXPECT_TRUE(reports().events().empty());
    EXPECT_TRUE(reports().statuses().empty());
    ErrText e;
    EXPECT_EQ(WeaveActivatePort(0, 0, e.text), 0u);
    EXPECT_EQ(e.str(), "not initialized");

    start();
    ErrText again;
    EXPECT_EQ(WeaveActivatePort(0, 0, again.text), 0u);
    EXPECT_EQ(again.str(), "link not allocated") << "the table starts empty";
    ASSERT_EQ(WeaveAllocLink(0), 1u);
    const PortStats s = stats(0, 1);
    EXPECT_EQ(s.activated, 0u);
    EXPECT_EQ(s.connected, 0u);
}

TEST_F(EngineTest, MissingCallbacksAreAllowed) {
    dir_.writePorts({});
    const WeaveInitStruct init{nullptr, nullptr, nullptr, nullptr};
    ErrText e;
    ASSERT_EQ(WeaveInit(&init, e.text), 1u);
    WeaveSetPaused(0);
    const std::uint16_t udp = testsupport::free_udp_port();
    PortConfig echo = udpPort(udp);
    echo.loopback = 1;
    echo.trace = 1;
    echo.genTraffic = 1;
    echo.genPeriodMs = 5;
    useLink(0, linkConfig("quiet", echo, tcpServer(testsupport::free_tcp_port())), {0});
    Fd peer = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(peer.get(), udp, "x", 1));
    ASSERT_TRUE(waitTx(0, 0, 1));
    WeaveProcess();
    deactivate(0, 0);
}

} // namespace
} // namespace enginetest
