#include "tests/soak/soak_plan.h"

#include "tests/support/loopback.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace soak {

namespace {

// Below the ephemeral range (32768 and up on Linux), above the well-known services, and below the
// ports that other tests pick (20000 and up), so that the soak's listeners, which go down and come
// back all the time, never meet a port another test running at the same time has picked.
constexpr std::uint16_t FIRST_PORT = 10000;
constexpr std::uint16_t LAST_PORT = 19999;

} // namespace

std::uint64_t Rng::next() {
    // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t part) {
    Rng rng(seed ^ (part * 0xD6E8FEB86659FD93ull));
    return rng.next();
}

std::uint16_t PortPicker::pick() {
    for (;;) {
        const auto port = static_cast<std::uint16_t>(rng_.between(FIRST_PORT, LAST_PORT));
        if (used_.count(port) != 0) {
            continue;
        }
        // Free for both, since a chaotic port may be opened as either.
        const testsupport::Fd tcp = testsupport::tcp_listen(port);
        const testsupport::Fd udp = testsupport::udp_bind(port);
        if (tcp.valid() && udp.valid()) {
            used_.insert(port);
            return port;
        }
    }
}

PortConfig make_port(const PortPlan& plan, Kind kind) {
    PortConfig p{};
    p.fwdInstant = 1;
    p.bufferSize = RECEIVE_BUFFER_SIZE;
    p.interCharMs = 5;
    p.frameEndChar = '\n';
    p.reconnectSecs = 1;
    switch (kind) {
    case Kind::Serial:
        p.portType = PORT_TYPE_SERIAL;
        p.comIndex = plan.com - 1;
        p.baudIndex = 12;    // 115200
        p.dataBitsIndex = 3; // 8
        p.parityIndex = 2;   // none
        p.stopBitsIndex = 0; // one
        break;
    case Kind::TcpServer:
        p.portType = PORT_TYPE_IP;
        p.ipProtocol = IP_PROTO_TCP;
        p.tcpRole = TCP_ROLE_SERVER;
        p.ipPort = plan.ipPort;
        break;
    case Kind::TcpClient:
        p.portType = PORT_TYPE_IP;
        p.ipProtocol = IP_PROTO_TCP;
        p.tcpRole = TCP_ROLE_CLIENT;
        p.ipPort = plan.targetPort;
        break;
    case Kind::Udp:
        p.portType = PORT_TYPE_IP;
        p.ipProtocol = IP_PROTO_UDP;
        p.ipPort = plan.ipPort;
        p.loopback = plan.udpEcho ? 1 : 0;
        break;
    }
    if (kind != Kind::Serial) {
        std::snprintf(p.remoteHost, sizeof p.remoteHost, "127.0.0.1");
    }
    return p;
}

LinkConfig make_link(const LinkPlan& plan) {
    LinkConfig c{};
    std::snprintf(c.name, sizeof c.name, "%s", plan.name.c_str());
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        c.port[p] = make_port(plan.port[p], plan.port[p].kind);
    }
    return c;
}

RunSettings run_settings() {
    RunSettings s;
    if (const char* text = std::getenv("PW_SOAK_SECONDS"); text != nullptr && *text != '\0') {
        const unsigned long v = std::strtoul(text, nullptr, 10);
        s.seconds = v == 0 ? 1 : static_cast<std::uint32_t>(v);
    }
    if (const char* text = std::getenv("PW_SOAK_SEED"); text != nullptr && *text != '\0') {
        s.seed = std::strtoull(text, nullptr, 0);
    } else {
        s.seed =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        s.seed = derive_seed(s.seed, 0) & 0xFFFFFFFFFFFFull; // short enough to type
    }
    return s;
}

} // namespace soak
