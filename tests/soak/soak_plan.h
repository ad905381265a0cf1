// The soak's world: its random source, the ports it uses and the 32 links it runs. Links
// 0 to LOSSLESS_LINKS - 1 carry verified streams; the others are chaotic.
#pragma once

#include "engine/records.h"

#include <array>
#include <cstdint>
#include <set>
#include <string>

namespace soak {

// A small, fast generator with a well-defined sequence, so a seed replays the same choices on
// any platform.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    // 0 to n - 1 (0 when n is 0).
    std::uint32_t below(std::uint32_t n) {
        return n == 0 ? 0 : static_cast<std::uint32_t>(next() % n);
    }
    // lo to hi, both included.
    std::uint32_t between(std::uint32_t lo, std::uint32_t hi) { return lo + below(hi - lo + 1); }
    // True `percent` times in a hundred.
    bool chance(std::uint32_t percent) { return below(100) < percent; }

private:
    std::uint64_t state_;
};

// Seeds of the parts of the soak, derived from the run's one seed.
std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t part);

// Hands out ports for the soak below the kernel's ephemeral range, so that the free ports that
// tests running alongside pick (port 0 binds) never land on one the soak uses, and the soak's
// peers never connect to another test's server. Each port handed out was free for TCP and UDP.
class PortPicker {
public:
    explicit PortPicker(Rng& rng) : rng_(rng) {}
    std::uint16_t pick();

private:
    Rng& rng_;
    std::set<std::uint16_t> used_;
};

enum class Kind : std::uint32_t {
    Serial,
    TcpServer,
    TcpClient,
    Udp,
};

constexpr std::uint32_t LOSSLESS_LINKS = 6;
constexpr std::uint32_t SOAK_LINKS = MAX_LINKS;

// The fixed facts of one port: what it is and the numbers it uses.
//
// An engine UDP port sends to its own port number at the remote host, and on loopback every
// address is the engine's own, so what it sends without echo comes straight back to it. Two UDP
// ports on one link would pass such datagrams back and forth for ever, and an echoing port that
// ever sent to itself would echo to itself for ever; so a link has at most one UDP port, and a
// UDP port keeps the echo setting it starts with.
struct PortPlan {
    Kind kind = Kind::TcpServer;  // what the port is opened as at the start
    std::uint16_t ipPort = 0;     // TCP server and UDP: the engine's own port number
    std::uint16_t targetPort = 0; // TCP client: the test's listener
    std::uint32_t com = 0;        // serial: COM number
    bool udpEcho = false;         // UDP: loopback on (answers the sender), for good
};

struct LinkPlan {
    std::string name;
    std::array<PortPlan, PORTS_PER_LINK> port;
};

// A port configured as `kind` that passes everything on at once and never reconnects.
PortConfig make_port(const PortPlan& plan, Kind kind);
LinkConfig make_link(const LinkPlan& plan);

// Settings of one run, from the environment: PW_SOAK_SECONDS (default 60) and PW_SOAK_SEED
// (default: drawn from the clock, printed so the run can be replayed).
struct RunSettings {
    std::uint32_t seconds = 60;
    std::uint64_t seed = 0;
};
RunSettings run_settings();

} // namespace soak
