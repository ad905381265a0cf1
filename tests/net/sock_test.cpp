// The socket layer as the engine owns it: every event recorded, a buffer lent unless a context
// is held back, reactions inside callbacks. Once it stops, no descriptor may outlive it.
#include "tests/net/sock_fixture.h"

namespace {

using namespace socktest;

TEST_F(SockTest, StopClosesEverythingSilentlyAndTheNextStartIsFresh) {
    EXPECT_EQ(sock_init(&provide, &handle), SOCK_RC_ALREADY_INIT);
    const std::uint16_t port = free_tcp_port();
    server(port, ctx(1));
    udp(0, ctx(2));
    Fd accepted = tcp_connect(port);
    auto client = std::make_unique<Client>(ctx(3));
    ASSERT_TRUE(wait(ctx(1), 1));
    sock_cleanup();
    EXPECT_TRUE(wait_peer_closed(accepted.get()) && wait_peer_closed(client->peer.get()));
    EXPECT_EQ(sock_init(nullptr, &handle) + sock_init(&provide, nullptr), 2 * SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_open_udp(ctx(2), 0, nullptr), SOCK_RC_NOT_INIT) << "a refused start started";
    ASSERT_NO_FATAL_FAILURE(start());
    // Our side closed the connection first, yet the port can be listened on again at once.
    server(port, ctx(4));
    Fd again = tcp_connect(port);
    ASSERT_TRUE(wait(ctx(4), 1));
    EXPECT_EQ(kinds(ctx(1)) + kinds(ctx(3)) + kinds(ctx(4)) + kinds(nullptr),
              "ACCEPTEDCONNECTEDACCEPTED")
        << "the stop raised events";
}

TEST_F(SockTest, AddressTextsAreCheckedCopiedAndLookedUp) {
    for (const char* good : {"1.2.3.4", "10.0.0.1", "255.255.255.255", "999.999.999.999"}) {
        EXPECT_EQ(sock_is_dotted_quad(good), 1u) << good;
    }
    for (const char* bad : {"1.2.3", "1..23.45", ".1.2.34", "1.2.34.", "1.2.3.4.5", "1234.1.1.1",
                            " 1.2.3.4", "1.2.3.4a", "a.b.c.d", ""}) {
        EXPECT_EQ(sock_is_dotted_quad(bad), 0u) << bad;
    }
    EXPECT_EQ(sock_is_dotted_quad(nullptr), 0u);
    EXPECT_EQ(sock_inet_addr("127.0.0.1"), net32(0x7F000001u));
    EXPECT_EQ(sock_inet_addr("010.001.002.003"), net32(0x0A010203u)) << "decimal, not octal";
    EXPECT_EQ(sock_inet_addr("192.168.1.300") & sock_inet_addr("127.1") & sock_inet_addr(nullptr),
              0xFFFFFFFFu);
    // Values above 255 pass the syntax test and are copied; five groups fail it: a name.
    char out[16] = {};
    EXPECT_TRUE(sock_resolve("192.168.1.300", out) == 1 && std::string(out) == "192.168.1.300");
    EXPECT_TRUE(sock_resolve("localhost", out) == 1 && std::string(out) == "127.0.0.1");
    EXPECT_TRUE(sock_resolve("1.2.3.4.5", out) == SOCK_RC_FAIL &&
                sock_resolve("", out) == SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_resolve("no-such-host.invalid", out), SOCK_RC_FAIL);
}

TEST_F(SockTest, UdpReportsTheSenderIgnoresEmptyAndOversizedDatagramsAndHoldsBack) {
    Fd holder = udp_bind(0); // bound to 127.0.0.1 without address reuse
    R r = nullptr;
    EXPECT_EQ(sock_open_udp(ctx(1), local_port(holder.get()), &r), SOCK_RC_BIND_FAILED);
    const std::uint16_t port = free_udp_port();
    R u = udp(port, ctx(1));
    Fd peer = udp_bind(0);
    const Bytes over = pattern(SOCK_RECEIVE_SIZE + 1, 3);
    const Bytes full = pattern(SOCK_RECEIVE_SIZE);
    ASSERT_TRUE(udp_send(peer.get(), port, "", 0));
    ASSERT_TRUE(udp_send(peer.get(), port, over.data(), over.size()));
    ASSERT_TRUE(udp_send(peer.get(), port, full.data(), full.size()));
    ASSERT_TRUE(wait(ctx(1), 1));
    const Event e = of(ctx(1))[0];
    EXPECT_EQ(bytes(e.data), full) << "a datagram of exactly the receive size arrives whole";
    EXPECT_EQ(e.b, net16(local_port(peer.get()))) << "source port in network byte order";
    EXPECT_EQ(e.c, net32(0x7F000001u)) << "source address in network byte order";
    EXPECT_EQ(sock_send_to(u, net32(0x7F000001u), local_port(peer.get()), full.data(), 100),
              SOCK_RC_OK);
    EXPECT_EQ(read_for(peer.get(), 5000, 100), Bytes(full.begin(), full.begin() + 100));
    // A broadcast without permission is refused by the platform, and the call says so.
    EXPECT_EQ(sock_send_to(u, 0xFFFFFFFFu, 9, full.data(), 1), SOCK_RC_FAIL);

    // Held back, bytes wait in the socket: retried about every millisecond (else the bytes never
    // came), not spun on; and with nothing arriving, a pass has nothing to do.
    server(free_tcp_port(), ctx(2));
    hold(ctx(1), true);
    ASSERT_TRUE(udp_send(peer.get(), port, "one", 3) && udp_send(peer.get(), port, "two", 3));
    std::uint64_t passes = sock_pass_count();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(sock_pass_count() - passes, 1000u);
    EXPECT_EQ(of(ctx(1)).size(), 1u);
    hold(ctx(1), false);
    ASSERT_TRUE(wait(ctx(1), 3));
    EXPECT_EQ(bytes(of(ctx(1))[1].data + of(ctx(1))[2].data), bytes("onetwo"));
    std::this_thread::sleep_for(50ms);
    passes = sock_pass_count();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(sock_pass_count() - passes, 5u);
}

TEST_F(SockTest, AServerAcceptsReceivesAndClosesSilentlyAndAPortInUseFailsCleanly) {
    Fd holder = tcp_listen(0);
    const std::size_t fdsBefore = open_fd_count();
    SocketRecord* listener = rec(16);
    EXPECT_EQ(sock_open_tcp_server(local_port(holder.get()), ctx(1), &listener), SOCK_RC_FAIL);
    EXPECT_EQ(listener, nullptr) << "the out handle is cleared";
    EXPECT_EQ(open_fd_count(), fdsBefore) << "a failed open left something behind";
    const std::uint16_t port = free_tcp_port();
    listener = server(port, ctx(1));
    on_event([](const Event& e) {
        if (e.event == SOCK_EVENT_ACCEPTED) {
            EXPECT_EQ(sock_set_context(rec(e.a), ctx(2)), SOCK_RC_OK);
        }
    });
    Fd client = tcp_connect(port);
    ASSERT_TRUE(wait(ctx(1), 1));
    const Event acc = of(ctx(1))[0];
    EXPECT_EQ(acc.subject, listener) << "an accept is about the listening record";
    EXPECT_EQ(acc.b, local_port(client.get())) << "peer port in host byte order";
    EXPECT_EQ(acc.data, "127.0.0.1");
    // Closing the listener raises nothing and leaves its connection alone.
    const std::size_t fds = open_fd_count();
    EXPECT_EQ(sock_close(listener), SOCK_RC_OK);
    ASSERT_TRUE(wait_until([&] { return open_fd_count() == fds - 1; }));
    const Bytes sent = pattern(5000);
    ASSERT_TRUE(write_all(client.get(), sent.data(), sent.size()));
    client.reset();
    ASSERT_TRUE(wait_until([&] { return kinds(ctx(2)).ends_with("CLOSED"); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(data(ctx(2)), sent);
    const auto evs = of(ctx(2));
    for (std::size_t i = 0; i < evs.size(); ++i) {
        EXPECT_EQ(evs[i].event, i + 1 < evs.size() ? SOCK_EVENT_DATA : SOCK_EVENT_CLOSED) << i;
        EXPECT_TRUE(evs[i].subject == rec(acc.a) && evs[i].b == 0 && evs[i].c == 0) << i;
    }
    EXPECT_EQ(kinds(ctx(1)), "ACCEPTED") << "closing the listener raised an event";
}

TEST_F(SockTest, AClientThatReconnectsAtOnceIsSeenToLeaveBeforeItIsAcceptedAgain) {
    static const std::uint16_t port = free_tcp_port();
    static Fd old;         // the reaction's once it is set
    server(port, nullptr); // its connections keep the empty context: one line of events
    old = tcp_connect(port);
    const int fd = old.get();
    // Held in the callback of its first bytes, the client reconnects and drops the old connection.
    on_event([](const Event& e) {
        if (e.event == SOCK_EVENT_DATA) {
            old = tcp_connect(port);
        }
    });
    ASSERT_TRUE(write_all(fd, "x", 1) && wait(nullptr, 4));
    EXPECT_EQ(kinds(nullptr), "ACCEPTED DATA CLOSED ACCEPTED");
    old.reset();
}

TEST_F(SockTest, APortClosedCanBeOpenedAgainAtOnceAndServesWhileTheThreadIsBusy) {
    std::uint16_t port = 0;
    while (!udp_bind(port = free_tcp_port()).valid()) {
    }
    R s = server(port, ctx(1));
    R u = udp(port, ctx(2));
    Fd peer = udp_bind(0), client;
    for (std::size_t i = 1; i <= 300; ++i) {
        ASSERT_EQ(sock_close(s) + sock_close(u), 2 * SOCK_RC_OK);
        ASSERT_EQ(sock_open_tcp_server(port, ctx(1), &s), SOCK_RC_OK) << i;
        ASSERT_EQ(sock_open_udp(ctx(2), port, &u), SOCK_RC_OK) << i;
        client = tcp_connect(port); // the one before ends: the thread is busy with it meanwhile
        ASSERT_TRUE(udp_send(peer.get(), port, "x", 1) && wait(ctx(1), i) && wait(ctx(2), i)) << i;
    }
}

TEST_F(SockTest, AClientConnectsOnceCarriesBothDirectionsAndEndsAtAReset) {
    Client c(ctx(1));
    R u = udp(0, ctx(2));
    EXPECT_EQ(sock_send_space(c.record), SOCK_SEND_QUEUE_SIZE);
    EXPECT_EQ(sock_send_space(u) + sock_send_space(nullptr), 0u) << "only TCP connections queue";
    EXPECT_EQ(sock_discard_queued(u) + sock_discard_queued(nullptr), 0u);
    std::uint32_t sent = 0;
    EXPECT_EQ(sock_send(c.record, nullptr, 3, &sent), SOCK_RC_BAD_ARG);
    ASSERT_TRUE(sock_send(c.record, bytes("abc").data(), 3, &sent) == SOCK_RC_OK && sent == 3);
    EXPECT_EQ(read_for(c.peer.get(), 5000, 3), bytes("abc"));
    ASSERT_TRUE(write_all(c.peer.get(), "xyz", 3) && wait(ctx(1), 2));
    EXPECT_EQ(kinds(ctx(1)), "CONNECTED DATA");
    EXPECT_EQ(data(ctx(1)), bytes("xyz"));
    // Held back, the record is not received on and so not ended: it stays valid for the sends.
    hold(ctx(1), true);
    tcp_reset(c.peer);
    EXPECT_TRUE(wait_until(
        [&] { return sock_send(c.record, pattern(9).data(), 9, &sent) == SOCK_RC_FAIL; }));
    hold(ctx(1), false);
    ASSERT_TRUE(wait(ctx(1), 3));
    EXPECT_EQ(kinds(ctx(1)), "CONNECTED DATA CLOSED");
}

TEST_F(SockTest, ARefusedConnectFailsOnceAndAConnectToNoAddressAtOnce) {
    const std::size_t fds = open_fd_count();
    SocketRecord* r = rec(16);
    // An unresolved host leaves the text empty, which is no address at all.
    EXPECT_EQ(sock_open_tcp_client(ctx(3), "", 80, &r), SOCK_RC_CONNECT_FAILED);
    EXPECT_EQ(r, rec(16)) << "a handle for a failed open";
    EXPECT_EQ(open_fd_count(), fds);
    const std::uint16_t port = free_tcp_port(); // nothing listens there
    on_event([](const Event& e) {
        if (e.context == ctx(1) && e.event == SOCK_EVENT_CONNECT_FAILED) {
            EXPECT_EQ(sock_close(e.subject), SOCK_RC_OK);
        }
    });
    ASSERT_EQ(sock_open_tcp_client(ctx(1), "127.0.0.1", port, &r), SOCK_RC_CONNECT_PENDING);
    ASSERT_EQ(sock_open_tcp_client(ctx(2), "127.0.0.1", port, &r), SOCK_RC_CONNECT_PENDING);
    // The record left open reads as ended on a later pass; the one closed in answer says no more.
    ASSERT_TRUE(wait(ctx(2), 2));
    ASSERT_TRUE(wait_until([&] { return open_fd_count() == fds; }));
    EXPECT_EQ(kinds(ctx(1)) + ", " + kinds(ctx(2)), "FAILED, FAILED CLOSED");
}

TEST_F(SockTest, QueuedSendsAreAllOrNothingAndKeepEveryByteInOrderForASlowPeer) {
    Client c(ctx(1));
    // More than the kernel buffers of both ends hold, so the queue fills again and again.
    const Bytes stream = pattern(32 * 1024 * 1024);
    std::size_t offset = 0;
    auto send = [&](std::uint32_t n) {
        std::uint32_t sent = 0;
        const std::uint32_t rc = sock_send_queued(c.record, stream.data() + offset, n, &sent);
        EXPECT_EQ(sent, rc == SOCK_RC_OK ? n : 0);
        offset += sent;
        return rc;
    };
    // The peer does not read yet. Bytes the socket cannot take wait in the queue and are written
    // once the peer reads, without a further call; each send finds the event thread asleep.
    while (sock_send_space(c.record) == SOCK_SEND_QUEUE_SIZE) {
        ASSERT_EQ(send(SOCK_SEND_QUEUE_SIZE), SOCK_RC_OK);
        std::this_thread::sleep_for(1ms);
    }
    Bytes received = read_for(c.peer.get(), 5000, offset);
    ASSERT_EQ(received.size(), offset) << "queued bytes were not written";
    // Then the socket fills again, and the queue; exactly its room is taken.
    while (send(1000) == SOCK_RC_OK) {
    }
    const std::uint32_t space = sock_send_space(c.record);
    ASSERT_LT(space, 1000u);
    EXPECT_TRUE(space == 0 || send(space) == SOCK_RC_OK);
    EXPECT_EQ(sock_send_space(c.record), 0u);
    EXPECT_EQ(send(1), SOCK_RC_WOULD_BLOCK);
    // Discarded bytes are never written: the stream goes on from where they began.
    offset -= sock_discard_queued(c.record);
    EXPECT_EQ(sock_send_space(c.record), SOCK_SEND_QUEUE_SIZE);
    // Now the peer reads a little whenever the queue is full.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (offset < stream.size() && std::chrono::steady_clock::now() < deadline) {
        const std::uint32_t rc = send(std::min<std::uint32_t>(1500, stream.size() - offset));
        ASSERT_TRUE(rc == SOCK_RC_OK || rc == SOCK_RC_WOULD_BLOCK) << rc;
        const Bytes got = rc == SOCK_RC_OK ? Bytes{} : read_for(c.peer.get(), 5, 256 * 1024);
        received.insert(received.end(), got.begin(), got.end());
    }
    const Bytes rest = read_for(c.peer.get(), 5000, stream.size() - received.size());
    received.insert(received.end(), rest.begin(), rest.end());
    EXPECT_TRUE(received == stream) << "bytes lost, doubled or reordered";
    EXPECT_TRUE(wait_until([&] { return sock_send_space(c.record) == SOCK_SEND_QUEUE_SIZE; }));
    // Closed by its owner while the peer is there (else the peer's end frees the record).
    EXPECT_EQ(sock_close(c.record), SOCK_RC_OK);
}

} // namespace
