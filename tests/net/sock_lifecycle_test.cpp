// Starting and stopping the layer, the calls' argument checks, and the address helpers.
#include "tests/net/sock_harness.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <thread>

using namespace socktest;
using namespace testsupport;

namespace {

std::uint8_t* otherProvider(void*, std::uint32_t) {
    return nullptr;
}
void otherHandler(void*, std::uint32_t, std::uintptr_t, std::uint32_t, std::uintptr_t) {}

TEST(SockLifecycle, EveryCallNeedsTheLayerStarted) {
    SocketRecord* rec = nullptr;
    std::uint32_t sent = 0;
    const std::uint8_t byte = 1;
    char text[16] = {};
    EXPECT_EQ(sock_open_udp(nullptr, 0, &rec), SOCK_RC_NOT_INIT);
    EXPECT_EQ(sock_open_tcp_server(0, nullptr, &rec), SOCK_RC_NOT_INIT);
    EXPECT_EQ(sock_open_tcp_client(nullptr, "127.0.0.1", 1, &rec), SOCK_RC_NOT_INIT);
    // Not started is tested before the arguments.
    EXPECT_EQ(sock_set_context(nullptr, nullptr), SOCK_RC_NOT_INIT);
    EXPECT_EQ(sock_send(nullptr, &byte, 1, &sent), SOCK_RC_NOT_INIT);
    EXPECT_EQ(sock_send_queued(nullptr, &byte, 1, &sent), SOCK_RC_NOT_INIT);
    EXPECT_EQ(sock_send_to(nullptr, 0, 0, &byte, 1), SOCK_RC_NOT_INIT);
    EXPECT_EQ(sock_close(nullptr), SOCK_RC_NOT_INIT);
    EXPECT_EQ(sock_resolve("", text), SOCK_RC_NOT_INIT);
    // These work in any state.
    sock_set_poll_mode(2);
    sock_cleanup();
    EXPECT_EQ(sock_is_dotted_quad("10.0.0.1"), 1u);
    EXPECT_EQ(sock_inet_addr("10.0.0.1"), htonl(0x0A000001u));
}

TEST(SockLifecycle, InitChecksItsCallbacksAndStartsOnce) {
    SocketRecord* rec = nullptr;
    EXPECT_EQ(sock_init(nullptr, &Owner::handle), SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_init(&Owner::provide, nullptr), SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_open_udp(nullptr, 0, &rec), SOCK_RC_NOT_INIT) << "a refused init starts nothing";

    Owner::instance().reset();
    ASSERT_EQ(sock_init(&Owner::provide, &Owner::handle), SOCK_RC_OK);
    sock_set_poll_mode(2);
    EXPECT_EQ(sock_init(&otherProvider, &otherHandler), SOCK_RC_ALREADY_INIT);

    // The first callbacks stay in place: data still reaches the first owner.
    const std::uint16_t port = free_udp_port();
    ASSERT_EQ(sock_open_udp(ctx(1), port, &rec), SOCK_RC_OK);
    Fd peer = udp_bind(0);
    ASSERT_TRUE(udp_send(peer.get(), port, "hi", 2));
    EXPECT_TRUE(Owner::instance().wait_events(ctx(1), 1));
    sock_cleanup();
}

TEST(SockLifecycle, CleanupClosesEverythingAndInitStartsAfresh) {
    const std::size_t fdsBefore = open_fd_count();
    Owner::instance().reset();
    ASSERT_EQ(sock_init(&Owner::provide, &Owner::handle), SOCK_RC_OK);
    sock_set_poll_mode(2);
    const std::uint16_t tcpPort = free_tcp_port();
    SocketRecord* server = nullptr;
    SocketRecord* udp = nullptr;
    ASSERT_EQ(sock_open_tcp_server(tcpPort, ctx(1), &server), SOCK_RC_OK);
    ASSERT_EQ(sock_open_udp(ctx(2), 0, &udp), SOCK_RC_OK);
    Owner::instance().on_event([](const Event& e) {
        if (e.event == SOCK_EVENT_ACCEPTED) {
            EXPECT_EQ(sock_set_context(reinterpret_cast<SocketRecord*>(e.a), ctx(3)), SOCK_RC_OK);
        }
    });
    Fd client = tcp_connect(tcpPort);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(Owner::instance().wait_events(ctx(1), 1));
    sock_cleanup();

    // Every socket is gone, and no callback came from the cleanup itself.
    EXPECT_TRUE(wait_peer_closed(client.get()));
    client.reset();
    EXPECT_EQ(open_fd_count(), fdsBefore);
    EXPECT_EQ(Owner::instance().events().size(), 1u);

    // A new start knows nothing of the old records, and the port can be listened on again.
    Owner::instance().reset();
    ASSERT_EQ(sock_init(&Owner::provide, &Owner::handle), SOCK_RC_OK);
    sock_set_poll_mode(2);
    ASSERT_EQ(sock_open_tcp_server(tcpPort, ctx(4), &server), SOCK_RC_OK);
    Fd second = tcp_connect(tcpPort);
    ASSERT_TRUE(Owner::instance().wait_events(ctx(4), 1));
    const auto events = Owner::instance().events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, SOCK_EVENT_ACCEPTED);
    sock_cleanup();
}

TEST(SockLifecycle, CleanupWaitsForTheRunningCallback) {
    Owner::instance().reset();
    ASSERT_EQ(sock_init(&Owner::provide, &Owner::handle), SOCK_RC_OK);
    sock_set_poll_mode(2);
    std::atomic<bool> inCallback{false};
    std::atomic<bool> callbackDone{false};
    Owner::instance().on_event([&](const Event&) {
        inCallback = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        callbackDone = true;
    });
    SocketRecord* udp = nullptr;
    const std::uint16_t port = free_udp_port();
    ASSERT_EQ(sock_open_udp(ctx(1), port, &udp), SOCK_RC_OK);
    Fd peer = udp_bind(0);
    ASSERT_TRUE(udp_send(peer.get(), port, "x", 1));
    ASSERT_TRUE(wait_until([&] { return inCallback.load(); }));
    sock_cleanup();
    EXPECT_TRUE(callbackDone.load());
    Owner::instance().reset();
}

TEST(SockLifecycle, IdleLayerDoesNotSpin) {
    Owner::instance().reset();
    ASSERT_EQ(sock_init(&Owner::provide, &Owner::handle), SOCK_RC_OK);
    sock_set_poll_mode(2);
    SocketRecord* server = nullptr;
    SocketRecord* udp = nullptr;
    ASSERT_EQ(sock_open_tcp_server(free_tcp_port(), ctx(1), &server), SOCK_RC_OK);
    ASSERT_EQ(sock_open_udp(ctx(2), 0, &udp), SOCK_RC_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::uint64_t before = sock_pass_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // With nothing arriving a pass has nothing to do; a free-running loop would count hundreds.
    EXPECT_LT(sock_pass_count() - before, 5u);
    sock_cleanup();
}

TEST_F(SockTest, ResolveCopiesDottedQuadsAndLooksUpNames) {
    char out[16] = {};
    EXPECT_EQ(sock_resolve("192.168.1.300", out), SOCK_RC_OK);
    EXPECT_STREQ(out, "192.168.1.300") << "the syntax test does not check values";
    EXPECT_EQ(sock_inet_addr(out), 0xFFFFFFFFu);

    EXPECT_EQ(sock_resolve("localhost", out), SOCK_RC_OK);
    EXPECT_STREQ(out, "127.0.0.1");

    // Five groups fail the syntax test, so this is looked up as a name, and found nowhere.
    EXPECT_EQ(sock_is_dotted_quad("1.2.3.4.5"), 0u);
    EXPECT_EQ(sock_resolve("1.2.3.4.5", out), SOCK_RC_FAIL);
    EXPECT_EQ(sock_resolve("no-such-host.invalid", out), SOCK_RC_FAIL);

    EXPECT_EQ(sock_resolve("", out), SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_resolve(nullptr, out), SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_resolve("localhost", nullptr), SOCK_RC_BAD_ARG);
}

TEST(SockAddressText, DottedQuadSyntax) {
    for (const char* good : {"1.2.3.4", "255.255.255.255", "01.02.03.04", "999.999.999.999"}) {
        EXPECT_EQ(sock_is_dotted_quad(good), 1u) << good;
    }
    for (const char* bad :
         {"1.2.3", "1..2.3", "1.2.3.4.", ".1.2.3.4", "1234.1.1.1", " 1.2.3.4", "1.2.3.4 ",
          "a.b.c.d", "1.2.3.4a", "100.100.100.1000" /* 16 chars */, ""}) {
        EXPECT_EQ(sock_is_dotted_quad(bad), 0u) << bad;
    }
    EXPECT_EQ(sock_is_dotted_quad(nullptr), 0u);
}

TEST(SockAddressText, InetAddr) {
    EXPECT_EQ(sock_inet_addr("127.0.0.1"), htonl(0x7F000001u));
    EXPECT_EQ(sock_inet_addr("192.168.1.300"), 0xFFFFFFFFu);
    EXPECT_EQ(sock_inet_addr("host.example"), 0xFFFFFFFFu);
    EXPECT_EQ(sock_inet_addr(""), 0xFFFFFFFFu);
    EXPECT_EQ(sock_inet_addr(nullptr), 0xFFFFFFFFu);
}

} // namespace
