// Sending on TCP connections (plain and queued), holding a sender back, and UDP.
#include "tests/net/sock_harness.h"

#include <arpa/inet.h>
#include <chrono>
#include <thread>

using namespace socktest;
using namespace testsupport;

namespace {

// A client record connected to a test peer that the test reads (or does not read) itself.
struct Connected {
    Fd listener;
    Fd peer;
    SocketRecord* record = nullptr;
};

// Ends the record while its peer is still open, so that no closure event frees it under a test
// that still holds the handle.
void finish(Connected& c) {
    EXPECT_EQ(sock_close(c.record), SOCK_RC_OK);
}

Connected connect_client(Owner& owner, void* context) {
    Connected c;
    c.listener = tcp_listen(0);
    const std::uint32_t rc =
        sock_open_tcp_client(context, "127.0.0.1", local_port(c.listener.get()), &c.record);
    EXPECT_TRUE(rc == SOCK_RC_OK || rc == SOCK_RC_CONNECT_PENDING) << rc;
    c.peer = tcp_accept(c.listener.get());
    EXPECT_TRUE(c.peer.valid());
    EXPECT_TRUE(owner.wait_events(context, 1));
    return c;
}

TEST_F(SockTest, SendToAPeerThatStopsReadingEndsInWouldBlock) {
    Connected c = connect_client(owner(), ctx(1));
    const auto chunk = pattern(65536);
    std::uint64_t accepted = 0;
    bool sawPartial = false;
    std::uint32_t rc = SOCK_RC_OK;
    for (int i = 0; i < 10000 && rc == SOCK_RC_OK; ++i) {
        std::uint32_t sent = 0xFFFFFFFF;
        rc = sock_send(c.record, chunk.data(), static_cast<std::uint32_t>(chunk.size()), &sent);
        if (rc == SOCK_RC_OK) {
            ASSERT_LE(sent, chunk.size());
            sawPartial |= sent < chunk.size();
            accepted += sent;
        }
    }
    EXPECT_EQ(rc, SOCK_RC_WOULD_BLOCK);
    EXPECT_TRUE(sawPartial) << "the platform took part of a send before it blocked";
    // The peer receives exactly what the calls reported as sent, nothing of the blocked call.
    const auto got = read_for(c.peer.get(), 1000);
    EXPECT_EQ(got.size(), accepted);
    EXPECT_EQ(sock_send(c.record, nullptr, 1, nullptr), SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_send(c.record, chunk.data(), 0, nullptr), SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_send(nullptr, chunk.data(), 1, nullptr), SOCK_RC_BAD_ARG);
    finish(c);
}

TEST_F(SockTest, SendToAClosedPeerFailsWithoutKillingTheProcess) {
    Connected c = connect_client(owner(), ctx(1));
    // Held back, the record sees no receive and so no closure: it stays valid for the sends.
    owner().hold(ctx(1), true);
    tcp_reset(c.peer);
    const auto chunk = pattern(1024);
    std::uint32_t rc = SOCK_RC_OK;
    for (int i = 0; i < 100 && rc == SOCK_RC_OK; ++i) {
        std::uint32_t sent = 0;
        rc = sock_send(c.record, chunk.data(), 1024, &sent);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(rc, SOCK_RC_FAIL);
    EXPECT_EQ(owner().events_for(ctx(1)).size(), 1u) << "only the connect outcome";
}

TEST_F(SockTest, QueuedSendsKeepEveryByteInOrderForASlowPeer) {
    Connected c = connect_client(owner(), ctx(1));
    // More than the kernel buffers of both ends hold, so the queue fills again and again.
    const auto stream = pattern(32 * 1024 * 1024);
    std::vector<std::uint8_t> received;
    received.reserve(stream.size());
    std::size_t offset = 0;
    int refusals = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (offset < stream.size() && std::chrono::steady_clock::now() < deadline) {
        const auto len =
            static_cast<std::uint32_t>(std::min<std::size_t>(1500, stream.size() - offset));
        const std::uint32_t space = sock_send_space(c.record);
        std::uint32_t sent = 0;
        const std::uint32_t rc = sock_send_queued(c.record, stream.data() + offset, len, &sent);
        if (rc == SOCK_RC_OK) {
            ASSERT_LE(len, space) << "taken although the space said it would not fit";
            ASSERT_EQ(sent, len);
            offset += len;
            continue;
        }
        ASSERT_EQ(rc, SOCK_RC_WOULD_BLOCK);
        ASSERT_GT(len, space) << "refused although the space said it would fit";
        ++refusals;
        // Only now does the slow peer read a little.
        const auto got = read_for(c.peer.get(), 5, 256 * 1024);
        received.insert(received.end(), got.begin(), got.end());
    }
    ASSERT_EQ(offset, stream.size());
    const auto rest = read_for(c.peer.get(), 3000, stream.size() - received.size());
    received.insert(received.end(), rest.begin(), rest.end());
    EXPECT_GT(refusals, 1) << "the queue filled at some point";
    ASSERT_EQ(received.size(), stream.size());
    EXPECT_TRUE(received == stream) << "bytes lost, doubled or reordered";
    EXPECT_TRUE(wait_until([&] { return sock_send_space(c.record) == SOCK_SEND_QUEUE_SIZE; }));
    finish(c);
}

TEST_F(SockTest, QueuedSendIsAllOrNothingAndSpaceIsExact) {
    Connected c = connect_client(owner(), ctx(1));
    const auto stream = pattern(32 * 1024 * 1024);
    std::size_t offset = 0;
    std::uint32_t sent = 0;
    // The peer does not read: the socket fills, then the queue.
    while (offset + 1000 <= stream.size() &&
           sock_send_queued(c.record, stream.data() + offset, 1000, &sent) == SOCK_RC_OK) {
        offset += 1000;
    }
    ASSERT_LT(offset + 1000, stream.size()) << "the queue never filled";
    const std::uint32_t space = sock_send_space(c.record);
    EXPECT_LT(space, 1000u);
    // Exactly the promised space is taken, then not one byte more.
    if (space > 0) {
        ASSERT_EQ(sock_send_queued(c.record, stream.data() + offset, space, &sent), SOCK_RC_OK);
        offset += space;
    }
    EXPECT_EQ(sock_send_space(c.record), 0u);
    EXPECT_EQ(sock_send_queued(c.record, stream.data() + offset, 1, &sent), SOCK_RC_WOULD_BLOCK);
    EXPECT_EQ(sock_send_space(nullptr), 0u);
    EXPECT_EQ(sock_send_queued(c.record, stream.data(), 0, &sent), SOCK_RC_BAD_ARG);

    const auto got = read_for(c.peer.get(), 1000, offset);
    ASSERT_EQ(got.size(), offset);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), stream.begin()));
    finish(c);
}

TEST_F(SockTest, HeldBackBytesStayInTheSocketUntilABufferIsLent) {
    const std::uint16_t port = free_udp_port();
    SocketRecord* udp = nullptr;
    ASSERT_EQ(sock_open_udp(ctx(1), port, &udp), SOCK_RC_OK);
    owner().hold(ctx(1), true);
    Fd peer = udp_bind(0);
    ASSERT_TRUE(udp_send(peer.get(), port, "one", 3));
    ASSERT_TRUE(udp_send(peer.get(), port, "two", 3));
    ASSERT_TRUE(wait_until([&] { return owner().buffer_requests() >= 3; }));
    const double cpuBefore = process_cpu_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double cpuUsed = process_cpu_ms() - cpuBefore;
    EXPECT_TRUE(owner().events_for(ctx(1)).empty());
    // Retried, but not spun on: a spinning thread would use the whole 300 ms.
    EXPECT_LT(cpuUsed, 150.0);
    owner().hold(ctx(1), false);
    ASSERT_TRUE(owner().wait_events(ctx(1), 2));
    EXPECT_EQ(owner().data_for(ctx(1)), (std::vector<std::uint8_t>{'o', 'n', 'e', 't', 'w', 'o'}));
}

TEST_F(SockTest, UdpReportsTheSenderAndSendsDatagrams) {
    const std::uint16_t port = free_udp_port();
    SocketRecord* udp = nullptr;
    ASSERT_EQ(sock_open_udp(ctx(1), port, &udp), SOCK_RC_OK);
    Fd peer = udp_bind(0);
    const auto big = pattern(SOCK_RECEIVE_SIZE);
    ASSERT_TRUE(udp_send(peer.get(), port, big.data(), big.size()));
    ASSERT_TRUE(owner().wait_events(ctx(1), 1));
    const Event e = owner().events_for(ctx(1))[0];
    EXPECT_EQ(e.event, SOCK_EVENT_DATA);
    EXPECT_EQ(e.a, SOCK_RECEIVE_SIZE) << "a datagram of exactly the receive size arrives whole";
    EXPECT_EQ(e.b, htons(local_port(peer.get()))) << "source port in network byte order";
    EXPECT_EQ(e.c, htonl(0x7F000001u)) << "source address in network byte order";
    EXPECT_EQ(e.data, big);

    const auto reply = pattern(100, 7);
    EXPECT_EQ(sock_send_to(udp, static_cast<std::uint32_t>(e.c), local_port(peer.get()),
                           reply.data(), 100),
              SOCK_RC_OK);
    EXPECT_EQ(read_for(peer.get(), 2000, 100), reply);
}

TEST_F(SockTest, UdpIgnoresEmptyAndOversizedDatagrams) {
    const std::uint16_t port = free_udp_port();
    SocketRecord* udp = nullptr;
    ASSERT_EQ(sock_open_udp(ctx(1), port, &udp), SOCK_RC_OK);
    Fd peer = udp_bind(0);
    const auto oversized = pattern(SOCK_RECEIVE_SIZE + 1);
    ASSERT_TRUE(udp_send(peer.get(), port, "", 0));
    ASSERT_TRUE(udp_send(peer.get(), port, oversized.data(), oversized.size()));
    ASSERT_TRUE(udp_send(peer.get(), port, "after", 5));
    ASSERT_TRUE(owner().wait_events(ctx(1), 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto evs = owner().events_for(ctx(1));
    ASSERT_EQ(evs.size(), 1u) << "no closure, no data for the dropped datagrams";
    EXPECT_EQ(evs[0].event, SOCK_EVENT_DATA);
    EXPECT_EQ(owner().data_for(ctx(1)), (std::vector<std::uint8_t>{'a', 'f', 't', 'e', 'r'}));
}

TEST_F(SockTest, UdpOpenAndSendFailures) {
    Fd holder = udp_bind(0);
    SocketRecord* udp = nullptr;
    EXPECT_EQ(sock_open_udp(ctx(1), 0, nullptr), SOCK_RC_BAD_ARG);
    const std::size_t fdsBefore = open_fd_count();
    // The holder is bound to 127.0.0.1 without address reuse, so the any-address bind fails.
    EXPECT_EQ(sock_open_udp(ctx(1), local_port(holder.get()), &udp), SOCK_RC_BIND_FAILED);
    EXPECT_EQ(open_fd_count(), fdsBefore);

    ASSERT_EQ(sock_open_udp(ctx(1), 0, &udp), SOCK_RC_OK);
    const std::uint8_t byte = 1;
    // A broadcast without permission is refused by the platform, and the call says so.
    EXPECT_EQ(sock_send_to(udp, 0xFFFFFFFFu, 9, &byte, 1), SOCK_RC_FAIL);
    EXPECT_EQ(sock_send_to(udp, htonl(0x7F000001u), 9, nullptr, 1), SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_send_to(udp, htonl(0x7F000001u), 9, &byte, 0), SOCK_RC_BAD_ARG);
    EXPECT_EQ(sock_send_to(nullptr, htonl(0x7F000001u), 9, &byte, 1), SOCK_RC_BAD_ARG);
}

} // namespace
