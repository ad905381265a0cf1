// The socket layer on Linux: a peer cut off without a word, across network namespaces.
#include "tests/net/sock_fixture.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

using namespace socktest;

TEST_F(SockTest, APeerGoneSilentIsGivenUpWithinTheLimitAndTheDeviceIsServedWhenItIsBack) {
    const std::string b = "pw-dev-" + std::to_string(::getpid());
    const auto sh = [&](const std::string& script) {
        return std::system(("B=" + b + "; (" + script + ") >/dev/null 2>&1").c_str()) == 0;
    };
    const std::shared_ptr<void> gone(nullptr, [&](void*) { sh("ip netns del $B"); });
    // A thread of its own opens the server in a new namespace and then, from namespace B, a
    // client across a link that goes down: the client falls silent without a FIN or a reset.
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0 ||
            !sh("ip netns add $B && ip link add v type veth peer name v netns $B && "
                "ip addr add 10.9.0.1/24 dev v && ip -n $B addr add 10.9.0.2/24 dev v && "
                "ip link set v up && ip -n $B link set v up")) {
            GTEST_SKIP() << "no network namespaces here (needs root with CAP_NET_ADMIN, iproute2)";
        }
        server(7000, nullptr); // its connections keep the empty context: one line of events
        const Fd there(::open(("/run/netns/" + b).c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::setns(there.get(), CLONE_NEWNET), 0); // sockets stay where they were made
        sock_set_dead_peer_limit(2);
        R r = nullptr;
        ASSERT_EQ(sock_open_tcp_client(ctx(2), "10.9.0.1", 7000, &r), SOCK_RC_CONNECT_PENDING);
        ASSERT_TRUE(wait(ctx(2), 1) && wait(nullptr, 1) && sh("ip link set v down"));
        // The served connection is idle, the client has bytes to send: both are given up.
        ASSERT_EQ(sock_send_queued(r, bytes("lost").data(), 4, nullptr), SOCK_RC_OK);
        ASSERT_TRUE(wait(nullptr, 2) && wait(ctx(2), 2)); // nothing but the end can follow now
        ASSERT_TRUE(sh("ip link set v up"));
        ASSERT_EQ(sock_open_tcp_client(ctx(3), "10.9.0.1", 7000, &r), SOCK_RC_CONNECT_PENDING);
        ASSERT_TRUE(wait(ctx(3), 1) && sock_send_queued(r, bytes("hi").data(), 2, nullptr) == 1u);
        ASSERT_TRUE(wait(nullptr, 4));
        EXPECT_EQ(kinds(nullptr), "ACCEPTED CLOSED ACCEPTED DATA");
    }).join();
}

} // namespace
