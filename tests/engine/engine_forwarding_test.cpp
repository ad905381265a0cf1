// The forwarding conditions and their combinations, with the destination down, listening or
// connected. The source is a UDP port, so every datagram the test sends is exactly one received
// chunk; the destination is a traced TCP server port, so every transmission shows as one trace
// call. The inter-character flush runs on the fake clock.
#include "tests/engine/engine_harness.h"

#include <arpa/inet.h>
#include <cstring>
#include <functional>

namespace enginetest {
namespace {

using testsupport::free_tcp_port;
using testsupport::free_udp_port;

constexpr std::int32_t LINK = 0;
constexpr std::int32_t SOURCE = 0;
constexpr std::int32_t DEST = 1;

class ForwardingTest : public EngineTest {
protected:
    // Starts link 0: P1 a UDP port with the forwarding fields that `setup` gives it, P2 a TCP
    // server. With `connect`, a client is connected to P2 and reads what P2 transmits.
    void startLink(const std::function<void(PortConfig&)>& setup, bool connect = true) {
        start();
        udp_ = free_udp_port();
        tcp_ = free_tcp_port();
        PortConfig source = udpPort(udp_);
        source.trace = 1;
        setup(source);
        PortConfig dest = tcpServer(tcp_);
        dest.trace = 1;
        useLink(LINK, linkConfig("fwd", source, dest), {0, 1});
        sender_ = testsupport::udp_bind(0);
        if (connect) {
            connectDestination(1);
        }
    }

    void connectDestination(std::size_t nth) {
        client_ = connectClient(tcp_, portHead(LINK, "fwd", DEST), nth);
    }

    // Sends one datagram to P1 and waits until the engine has handled it completely.
    void send(const Bytes& chunk) {
        ASSERT_TRUE(testsupport::udp_send(sender_.get(), udp_, chunk.data(), chunk.size()));
        rxTotal_ += static_cast<std::uint32_t>(chunk.size());
        ASSERT_TRUE(waitRx(LINK, SOURCE, rxTotal_));
    }
    void send(const std::string& chunk) { send(bytesOf(chunk)); }

    // P2's transmissions so far, one string per transmission.
    std::vector<std::string> transmissions() {
        std::vector<std::string> out;
        for (const TraceRecord& t : reports().traces()) {
            if (t.link == LINK && t.port == DEST && t.direction == TRACE_DIR_TX) {
                out.push_back(textOf(t.data));
            }
        }
        return out;
    }

    // What the client has received, exactly `count` bytes.
    std::string clientReads(std::size_t count) {
        Bytes data(count);
        EXPECT_TRUE(testsupport::read_exact(client_.get(), data.data(), count));
        return textOf(data);
    }

    bool clientGetsNothing() { return testsupport::read_for(client_.get(), 100).empty(); }

    std::uint16_t udp_ = 0;
    std::uint16_t tcp_ = 0;
    Fd sender_;
    Fd client_;
    std::uint32_t rxTotal_ = 0;
};

void gathering(PortConfig& p) {
    p.fwdInstant = 0;
    p.fwdBufferFull = 0;
    p.fwdInterChar = 0;
    p.fwdFrameEnd = 0;
}

TEST_F(ForwardingTest, InstantForwardingPassesEachChunkOnAsOneTransmission) {
    startLink([](PortConfig&) {});
    send("one");
    send("two");
    send("three");
    EXPECT_EQ(transmissions(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(clientReads(11), "onetwothree");
    EXPECT_EQ(reports().traced(LINK, SOURCE, TRACE_DIR_RX), bytesOf("onetwothree"));
    // Each chunk is traced as received before it is traced as transmitted.
    const auto traces = reports().traces();
    ASSERT_EQ(traces.size(), 6u);
    for (std::size_t i = 0; i < traces.size(); i += 2) {
        EXPECT_EQ(traces[i].port, static_cast<std::uint32_t>(SOURCE));
        EXPECT_EQ(traces[i].direction, TRACE_DIR_RX);
        EXPECT_EQ(traces[i + 1].port, static_cast<std::uint32_t>(DEST));
        EXPECT_EQ(traces[i + 1].direction, TRACE_DIR_TX);
        EXPECT_EQ(traces[i].data, traces[i + 1].data);
    }
    EXPECT_EQ(stats(LINK, SOURCE).rxBytes, 11u);
    EXPECT_EQ(stats(LINK, DEST).txBytes, 11u);
    EXPECT_EQ(stats(LINK, SOURCE).txBytes, 0u);
    EXPECT_EQ(stats(LINK, DEST).rxBytes, 0u);
}

TEST_F(ForwardingTest, FrameEndPassesTheFrameAndKeepsTheRestGathered) {
    startLink([](PortConfig& p) {
        gathering(p);
        p.fwdFrameEnd = 1;
        p.frameEndChar = 13;
    });
    send("PQ\rST");
    EXPECT_EQ(transmissions(), std::vector<std::string>{"PQ\r"});
    EXPECT_EQ(clientReads(3), "PQ\r");
    EXPECT_TRUE(clientGetsNothing());
    send("U\r\r");
    EXPECT_EQ(transmissions(), (std::vector<std::string>{"PQ\r", "STU\r", "\r"}));
    EXPECT_EQ(clientReads(5), "STU\r\r");
    EXPECT_EQ(stats(LINK, DEST).txBytes, 8u);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER) << "no flush without fwdInterChar";
}

TEST_F(ForwardingTest, FullBufferPassesEachFullBufferAndLeavesTheRemainder) {
    startLink([](PortConfig& p) {
        gathering(p);
        p.fwdBufferFull = 1;
        p.bufferSize = 4;
    });
    send("abcdefghij");
    EXPECT_EQ(transmissions(), (std::vector<std::string>{"abcd", "efgh"}));
    EXPECT_EQ(clientReads(8), "abcdefgh");
    EXPECT_TRUE(clientGetsNothing());
    send("kl");
    EXPECT_EQ(transmissions(), (std::vector<std::string>{"abcd", "efgh", "ijkl"}));
    EXPECT_EQ(clientReads(4), "ijkl");
}

TEST_F(ForwardingTest, FrameEndFallingOnTheSizeLimitIsOneTransmission) {
    startLink([](PortConfig& p) {
        gathering(p);
        p.fwdBufferFull = 1;
        p.bufferSize = 4;
        p.fwdFrameEnd = 1;
        p.frameEndChar = 'd';
    });
    send("abcdefgdxyd");
    EXPECT_EQ(transmissions(), (std::vector<std::string>{"abcd", "efgd", "xyd"}));
    EXPECT_EQ(clientReads(11), "abcdefgdxyd");
}

TEST_F(ForwardingTest, InterCharacterFlushPassesOnAfterTheQuietTime) {
    startLink([](PortConfig& p) {
        gathering(p);
        p.fwdInterChar = 1;
        p.interCharMs = 10;
    });
    send("hello");
    EXPECT_EQ(WeaveNextTimerDue(), 10u);
    tick(9);
    EXPECT_TRUE(transmissions().empty());
    tick(1);
    EXPECT_EQ(transmissions(), std::vector<std::string>{"hello"});
    EXPECT_EQ(clientReads(5), "hello");
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);

    // Each chunk starts the quiet time again.
    send("ab");
    tick(6);
    send("cd");
    tick(6);
    EXPECT_EQ(transmissions().size(), 1u);
    tick(4);
    EXPECT_EQ(transmissions(), (std::vector<std::string>{"hello", "abcd"}));
    EXPECT_EQ(clientReads(4), "abcd");
}

TEST_F(ForwardingTest, InterCharacterAloneDiscardsEachFullBufferOfAStreamThatNeverPauses) {
    startLink([](PortConfig& p) {
        gathering(p);
        p.fwdInterChar = 1;
        p.interCharMs = 10;
    });
    const Bytes first = testsupport::pattern(1500, 1);
    const Bytes second = testsupport::pattern(1500, 2);
    send(first);
    send(second);
    tick(10);
    // 1500 + 548 bytes filled the buffer and were dropped; the last 952 are flushed.
    const auto sizes = reports().traceSizes(LINK, DEST, TRACE_DIR_TX);
    ASSERT_EQ(sizes, std::vector<std::size_t>{952});
    EXPECT_EQ(reports().traced(LINK, DEST, TRACE_DIR_TX),
              Bytes(second.begin() + 548, second.end()));
    EXPECT_EQ(stats(LINK, SOURCE).rxBytes, 3000u);
    EXPECT_EQ(stats(LINK, DEST).txBytes, 952u);
}

TEST_F(ForwardingTest, AllConditionsTogether) {
    startLink([](PortConfig& p) {
        gathering(p);
        p.fwdBufferFull = 1;
        p.bufferSize = 4;
        p.fwdFrameEnd = 1;
        p.frameEndChar = '\r';
        p.fwdInterChar = 1;
        p.interCharMs = 25;
    });
    send("ab\rcdefgh");
    EXPECT_EQ(transmissions(), (std::vector<std::string>{"ab\r", "cdef"}));
    EXPECT_EQ(WeaveNextTimerDue(), 25u);
    tick(25);
    EXPECT_EQ(transmissions(), (std::vector<std::string>{"ab\r", "cdef", "gh"}));
    // A chunk that ends on a frame end leaves nothing to flush.
    send("ij\r");
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
    EXPECT_EQ(clientReads(12), "ab\rcdefghij\r");
}

TEST_F(ForwardingTest, InstantForwardingTakesPrecedenceOverTheOtherConditions) {
    startLink([](PortConfig& p) {
        p.fwdInstant = 1;
        p.fwdBufferFull = 1;
        p.bufferSize = 2;
        p.fwdFrameEnd = 1;
        p.frameEndChar = 'b';
        p.fwdInterChar = 1;
    });
    send("abcde");
    EXPECT_EQ(transmissions(), std::vector<std::string>{"abcde"});
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER);
}

TEST_F(ForwardingTest, WithoutAnyConditionBytesAreCountedAndTracedButNeverPassedOn) {
    startLink(gathering);
    send("abc");
    send(testsupport::pattern(2048, 3)); // fills and discards the buffer
    tick(100000);
    EXPECT_EQ(stats(LINK, SOURCE).rxBytes, 2051u);
    EXPECT_EQ(reports().traceSizes(LINK, SOURCE, TRACE_DIR_RX),
              (std::vector<std::size_t>{3, 2048}));
    EXPECT_TRUE(transmissions().empty());
    EXPECT_EQ(stats(LINK, DEST).txBytes, 0u);
    EXPECT_TRUE(clientGetsNothing());
}

TEST_F(ForwardingTest, BytesForADestinationThatIsDownAreCountedButNeitherSentNorKept) {
    startLink(
        [](PortConfig& p) {
            gathering(p);
            p.fwdFrameEnd = 1;
            p.frameEndChar = '\r';
        },
        false);
    deactivate(LINK, DEST);
    send("AB");
    EXPECT_EQ(stats(LINK, SOURCE).rxBytes, 2u);
    EXPECT_EQ(reports().traced(LINK, SOURCE, TRACE_DIR_RX), bytesOf("AB"));
    ASSERT_TRUE(waitTcpPortFree(tcp_));
    activate(LINK, DEST);
    connectDestination(1);
    send("C\r");
    EXPECT_EQ(transmissions(), std::vector<std::string>{"C\r"});
    EXPECT_EQ(clientReads(2), "C\r");
}

TEST_F(ForwardingTest, BytesForAListeningServerWithoutClientAreDroppedNotHeldBack) {
    startLink([](PortConfig&) {}, false);
    send("lost");
    PortStats dest = stats(LINK, DEST);
    EXPECT_EQ(dest.activated, 1u);
    EXPECT_EQ(dest.connected, 0u);
    EXPECT_EQ(dest.txBytes, 0u);
    EXPECT_TRUE(transmissions().empty());
    connectDestination(1);
    send("kept");
    EXPECT_EQ(clientReads(4), "kept");
    EXPECT_TRUE(clientGetsNothing());
}

TEST_F(ForwardingTest, FrameEndCharactersAtTheEndsOfTheByteRange) {
    startLink([](PortConfig& p) {
        gathering(p);
        p.fwdFrameEnd = 1;
        p.frameEndChar = 255;
    });
    send(Bytes{1, 2, 0xFF, 3});
    ASSERT_EQ(reports().traceSizes(LINK, DEST, TRACE_DIR_TX), std::vector<std::size_t>{3});
    EXPECT_EQ(reports().traced(LINK, DEST, TRACE_DIR_TX), (Bytes{1, 2, 0xFF}));

    // The configuration may change while the link runs: it applies from the next chunk.
    LinkConfig config = linkConfig("fwd", udpPort(udp_), tcpServer(tcp_));
    gathering(config.port[0]);
    config.port[0].fwdFrameEnd = 1;
    config.port[0].frameEndChar = 0;
    config.port[1].trace = 1;
    reconfigure(LINK, config);
    send(Bytes{4, 0, 5});
    EXPECT_EQ(reports().traced(LINK, DEST, TRACE_DIR_TX), (Bytes{1, 2, 0xFF, 3, 4, 0}));
    EXPECT_EQ(reports().traced(LINK, SOURCE, TRACE_DIR_RX), (Bytes{1, 2, 0xFF, 3}))
        << "tracing of P1 was switched off by the new configuration";
}

TEST_F(EngineTest, PauseIgnoresReceivedBytesAndSendsNothing) {
    start();
    const std::uint16_t in = free_tcp_port();
    const std::uint16_t out = free_tcp_port();
    PortConfig source = tcpServer(in);
    source.trace = 1;
    PortConfig dest = tcpServer(out);
    dest.trace = 1;
    useLink(0, linkConfig("pause", source, dest), {0, 1});
    const std::string p1 = portHead(0, "pause", 0);
    Fd writer = connectClient(in, p1);
    Fd reader = connectClient(out, portHead(0, "pause", 1));

    WeaveSetPaused(1);
    ASSERT_TRUE(testsupport::write_all(writer.get(), "paused", 6));
    const std::uint8_t data[3] = {'s', 'b', 'x'};
    char errText[ERR_TEXT_SIZE] = "untouched";
    EXPECT_EQ(WeaveSendBuffer(0, 1, data, 3, errText), 1u);
    EXPECT_STREQ(errText, "untouched");
    // The connection's end is reported after the bytes before it were handled.
    writer.reset();
    ASSERT_TRUE(reports().waitEvent(p1 + " IP interface closed."));
    EXPECT_EQ(stats(0, 0).rxBytes, 0u);
    EXPECT_EQ(stats(0, 1).txBytes, 0u);
    EXPECT_TRUE(reports().traces().empty());

    WeaveSetPaused(0);
    writer = connectClient(in, p1, 2);
    ASSERT_TRUE(testsupport::write_all(writer.get(), "live", 4));
    EXPECT_EQ(textOf(testsupport::read_for(reader.get(), 5000, 4)), "live");
    EXPECT_EQ(stats(0, 0).rxBytes, 4u);
    EXPECT_EQ(stats(0, 1).txBytes, 4u);
    EXPECT_EQ(reports().traced(0, 0, TRACE_DIR_RX), bytesOf("live"));
    EXPECT_EQ(reports().traced(0, 1, TRACE_DIR_TX), bytesOf("live"));
}

TEST_F(EngineTest, NothingMovesUntilThePauseIsLifted) {
    start(false);
    const std::uint16_t tcp = free_tcp_port();
    PortConfig echo = tcpServer(tcp);
    echo.loopback = 1;
    echo.trace = 1;
    echo.genTraffic = 1;
    echo.genPeriodMs = 20;
    echo.genLength = 2;
    useLink(0, linkConfig("p", echo, udpPort(free_udp_port())), {0});
    EXPECT_EQ(WeaveIsPortActive(0, 0), 1u) << "ports activate while paused";
    const std::string head = portHead(0, "p", 0);
    Fd client = connectClient(tcp, head);
    ASSERT_TRUE(testsupport::write_all(client.get(), "quiet", 5));
    tick(20);
    EXPECT_EQ(WeaveNextTimerDue(), 20u) << "the generator keeps its rhythm while paused";
    const std::uint8_t data[1] = {1};
    char errText[ERR_TEXT_SIZE] = {};
    EXPECT_EQ(WeaveSendBuffer(0, 0, data, 1, errText), 1u);
    client.reset();
    ASSERT_TRUE(reports().waitEvent(head + " IP interface closed."));
    EXPECT_EQ(stats(0, 0).rxBytes, 0u);
    EXPECT_EQ(stats(0, 0).txBytes, 0u);
    EXPECT_TRUE(reports().traces().empty());

    WeaveSetPaused(0);
    client = connectClient(tcp, head, 2);
    ASSERT_TRUE(testsupport::write_all(client.get(), "loud", 4));
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 4)), "loud");
}

// ---- Loopback ----

TEST_F(EngineTest, TcpLoopbackEchoesToTheClientAndNothingReachesTheOtherPort) {
    start();
    const std::uint16_t tcp = free_tcp_port();
    const std::uint16_t other = free_tcp_port();
    PortConfig server = tcpServer(tcp);
    server.loopback = 1;
    useLink(0, linkConfig("loop", server, tcpServer(other)), {0, 1});
    Fd client = connectClient(tcp, portHead(0, "loop", 0));
    Fd bystander = connectClient(other, portHead(0, "loop", 1));
    ASSERT_TRUE(testsupport::write_all(client.get(), "echo me", 7));
    Bytes back(7);
    ASSERT_TRUE(testsupport::read_exact(client.get(), back.data(), 7));
    EXPECT_EQ(textOf(back), "echo me");
    EXPECT_TRUE(testsupport::read_for(bystander.get(), 100).empty());
    EXPECT_EQ(stats(0, 0).txBytes, 7u);
    EXPECT_EQ(stats(0, 1).txBytes, 0u);
}

TEST_F(EngineTest, LoopbackWithInterCharacterFlushSendsTheGatheredBytesBack) {
    start();
    const std::uint16_t tcp = free_tcp_port();
    PortConfig server = tcpServer(tcp);
    server.loopback = 1;
    server.fwdInstant = 0;
    server.fwdInterChar = 1;
    server.interCharMs = 50;
    useLink(0, linkConfig("loop", server, tcpServer(free_tcp_port())), {0});
    Fd client = connectClient(tcp, portHead(0, "loop", 0));
    ASSERT_TRUE(testsupport::write_all(client.get(), "later", 5));
    ASSERT_TRUE(waitRx(0, 0, 5));
    EXPECT_TRUE(testsupport::read_for(client.get(), 100).empty());
    tick(50);
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 5)), "later");
}

TEST_F(EngineTest, UdpLoopbackAnswersTheLastSenderAlsoForGeneratorAndSendBuffer) {
    start();
    const std::uint16_t udp = free_udp_port();
    PortConfig echo = udpPort(udp, "127.0.0.1");
    echo.loopback = 1;
    echo.genTraffic = 1;
    echo.genPeriodMs = 100;
    echo.genLength = 3;
    std::memcpy(echo.genData, "GEN", 3);
    useLink(0, linkConfig("udp", echo, tcpServer(free_tcp_port())), {0});
    Fd alice = testsupport::udp_bind(0);
    Fd bob = testsupport::udp_bind(0);
    ASSERT_TRUE(testsupport::udp_send(alice.get(), udp, "from alice", 10));
    EXPECT_EQ(textOf(testsupport::read_for(alice.get(), 5000, 10)), "from alice");
    ASSERT_TRUE(testsupport::udp_send(bob.get(), udp, "bob", 3));
    EXPECT_EQ(textOf(testsupport::read_for(bob.get(), 5000, 3)), "bob");
    ASSERT_TRUE(waitTx(0, 0, 13));

    tick(100);
    EXPECT_EQ(textOf(testsupport::read_for(bob.get(), 5000, 3)), "GEN");
    const std::uint8_t data[4] = {'s', 'e', 'n', 't'};
    char errText[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveSendBuffer(0, 0, data, 4, errText), 1u);
    EXPECT_EQ(textOf(testsupport::read_for(bob.get(), 5000, 4)), "sent");
    EXPECT_TRUE(testsupport::read_for(alice.get(), 100).empty());
    EXPECT_EQ(stats(0, 0).txBytes, 20u);
}

TEST_F(EngineTest, SerialLoopbackEchoesOnTheSameDevice) {
    PtyPair& device = pty(2);
    start();
    PortConfig serial = serialPort(2);
    serial.loopback = 1;
    useLink(0, linkConfig("sloop", serial, tcpServer(free_tcp_port())), {0});
    ASSERT_TRUE(device.write("round trip"));
    EXPECT_EQ(textOf(device.read(10)), "round trip");
    EXPECT_EQ(stats(0, 0).rxBytes, 10u);
    EXPECT_EQ(stats(0, 0).txBytes, 10u);
}

// ---- The UDP destination ----

TEST_F(EngineTest, UdpSendsToItsResolvedHostAndKeepsItAcrossAConfigurationUpdate) {
    start();
    const std::uint16_t tcp = free_tcp_port();
    const std::uint16_t udp = free_udp_port();
    // P2 sends to 127.0.0.1 on its own port: its datagrams come back to it and, forwarded to
    // P1, to the client. A datagram sent anywhere else would never come back.
    LinkConfig config = linkConfig("udpdest", tcpServer(tcp), udpPort(udp, "localhost"));
    useLink(0, config, {0, 1});
    Fd client = connectClient(tcp, portHead(0, "udpdest", 0));
    ASSERT_TRUE(testsupport::write_all(client.get(), "ping", 4));
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 4)), "ping");

    // The application's copy never holds the resolved address; here it holds one that leads
    // nowhere near this host.
    config.port[1].remoteAddr = ::inet_addr("192.0.2.1");
    config.port[0].trace = 1;
    config.port[1].trace = 1;
    reconfigure(0, config);
    ASSERT_TRUE(testsupport::write_all(client.get(), "pong", 4));
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 4)), "pong");
    EXPECT_EQ(reports().traced(0, 1, TRACE_DIR_TX), bytesOf("pong"));
    EXPECT_EQ(reports().traced(0, 1, TRACE_DIR_RX), bytesOf("pong"));
}

// ---- The traffic generator ----

class GeneratorTest : public EngineTest {
protected:
    // Link 0: P1 a TCP server with the generator, P2 a UDP port.
    void startGenerator(std::uint32_t periodMs, std::uint32_t length) {
        start();
        tcp_ = free_tcp_port();
        PortConfig gen = tcpServer(tcp_);
        gen.genTraffic = 1;
        gen.genPeriodMs = periodMs;
        gen.genLength = length;
        gen.trace = 1;
        for (std::uint32_t i = 0; i < GEN_DATA_SIZE; ++i) {
            gen.genData[i] = static_cast<std::uint8_t>('A' + i % 26);
        }
        useLink(0, linkConfig("gen", gen, udpPort(free_udp_port())), {0});
    }
    std::uint16_t tcp_ = 0;
};

TEST_F(GeneratorTest, KeepsItsRhythmWhileNoClientIsConnectedAndSendsOnceOneIs) {
    startGenerator(100, 5);
    EXPECT_EQ(WeaveNextTimerDue(), 100u);
    tick(100);
    EXPECT_EQ(stats(0, 0).txBytes, 0u);
    EXPECT_EQ(WeaveNextTimerDue(), 100u);
    Fd client = connectClient(tcp_, portHead(0, "gen", 0));
    tick(99);
    EXPECT_EQ(stats(0, 0).txBytes, 0u);
    tick(1);
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 5)), "ABCDE");
    tick(100);
    EXPECT_EQ(textOf(testsupport::read_for(client.get(), 5000, 5)), "ABCDE");
    EXPECT_EQ(reports().traceSizes(0, 0, TRACE_DIR_TX), (std::vector<std::size_t>{5, 5}));
    deactivate(0, 0);
    EXPECT_EQ(WeaveNextTimerDue(), WEAVE_NO_TIMER) << "deactivation stops the generator";
}

TEST_F(GeneratorTest, PeriodZeroSendsOnEveryPass) {
    startGenerator(0, 50);
    Fd client = connectClient(tcp_, portHead(0, "gen", 0));
    EXPECT_EQ(WeaveNextTimerDue(), 0u);
    WeaveProcess();
    WeaveProcess();
    WeaveProcess();
    EXPECT_EQ(stats(0, 0).txBytes, 150u);
    EXPECT_EQ(testsupport::read_for(client.get(), 5000, 150).size(), 150u);
}

TEST_F(GeneratorTest, LengthZeroRunsAndSendsNothing) {
    startGenerator(10, 0);
    Fd client = connectClient(tcp_, portHead(0, "gen", 0));
    for (int i = 0; i < 5; ++i) {
        tick(10);
        EXPECT_EQ(WeaveNextTimerDue(), 10u);
    }
    EXPECT_EQ(stats(0, 0).txBytes, 0u);
    EXPECT_TRUE(reports().traces().empty());
    EXPECT_TRUE(testsupport::read_for(client.get(), 100).empty());
}

TEST_F(EngineTest, AClientStillConnectingTakesNothingFromTheGeneratorOrSendBuffer) {
    start();
    testsupport::StalledListener stalled = testsupport::stalled_listener();
    ASSERT_NE(stalled.port, 0);
    PortConfig client = tcpClient("127.0.0.1", stalled.port);
    client.genTraffic = 1;
    client.genPeriodMs = 5;
    client.genLength = 4;
    useLink(0, linkConfig("slow", client, udpPort(free_udp_port())), {0});
    const std::uint8_t data[2] = {1, 2};
    char errText[ERR_TEXT_SIZE] = "untouched";
    EXPECT_EQ(WeaveSendBuffer(0, 0, data, 2, errText), 1u);
    EXPECT_STREQ(errText, "untouched");
    tick(5);
    tick(5);
    const PortStats s = stats(0, 0);
    EXPECT_EQ(s.activated, 1u);
    EXPECT_EQ(s.connected, 0u);
    EXPECT_EQ(s.txBytes, 0u);
    EXPECT_EQ(WeaveNextTimerDue(), 5u);
}

} // namespace
} // namespace enginetest
