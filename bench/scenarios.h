// The benchmark's scenarios, each run the same way against any relay.
#pragma once

#include "bench/relays.h"

#include <cstddef>
#include <functional>
#include <memory>

namespace bench {

using RelayFactory = std::function<std::unique_ptr<Relay>()>;

struct ThroughputResult {
    double mbPerSecond = 0;  // megabytes (10^6) per second, first byte written to last received
    double deliveredPct = 0; // bytes received intact, in percent of the bytes sent
};
// One client streams `bytes` into one TCP port; another drains the other port of the pair.
ThroughputResult run_throughput(const RelayFactory& make, std::size_t bytes);
// How the busy second pair of run_beside_busy_link is traced.
enum class BusyTrace { None, List, ListAndFile };
// As run_throughput on one pair while a second pair streams at full speed throughout, both its
// ports traced as `trace` says (where the relay has a trace).
ThroughputResult run_beside_busy_link(const RelayFactory& make, std::size_t bytes, BusyTrace trace);

struct LatencyResult {
    double p50 = 0; // microseconds (round trip) or milliseconds (serial), see the scenario
    double p99 = 0;
    bool complete = false; // every round came back
};
// One byte out, echoed back by the far client, `rounds` times; microseconds.
LatencyResult run_round_trip(const RelayFactory& make, int rounds);
// Bursts written to a pseudo-terminal, arriving at a TCP client: the time from a burst's last
// byte to its arrival, minus the relay's end-of-burst silence; milliseconds.
LatencyResult run_serial_latency(const RelayFactory& make, int bursts);

struct IdleResult {
    double cpuPercent = 0; // of one core, over the measured period
    double rssMiB = 0;     // resident memory of all the relay's processes
};
// `links` relays of two TCP ports, all connected and silent, for `seconds`.
IdleResult run_idle(const RelayFactory& make, int links, int seconds);

struct ScaleResult {
    double mbPerSecond = 0;  // all links together
    double slowestShare = 0; // the slowest link's part of the total
};
// `links` relays streaming at once for `seconds`.
ScaleResult run_scale(const RelayFactory& make, int links, int seconds);

} // namespace bench
