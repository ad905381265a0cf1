// The relays the benchmark compares: the real portweave binary, driven by a data file the
// benchmark writes, and socat, the general-purpose relay users would otherwise pick.
#pragma once

#include "bench/bench_util.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using PortPair = std::pair<std::uint16_t, std::uint16_t>;

class Relay {
public:
    virtual ~Relay() = default;
    [[nodiscard]] virtual std::string name() const = 0;
    // Relays between two listening TCP ports per pair (the first port of each pair is connected
    // first by the clients). Returns once the first port of every pair accepts connections. The
    // last `traced` pairs trace both their ports, where the relay has a trace: to its list, and
    // with `toFile` to its trace file as well.
    virtual bool start_tcp_pairs(const std::vector<PortPair>& pairs, std::size_t traced = 0,
                                 bool toFile = false) = 0;
    // Relays between the device `slavePath` (115200 8N1, raw) and a listening TCP port.
    virtual bool start_serial_tcp(const std::string& slavePath, std::uint16_t tcpPort) = 0;
    // Every process of the relay, for CPU and memory readings.
    [[nodiscard]] virtual std::vector<pid_t> pids() const = 0;
    virtual void stop() = 0;
    // Silence after which the relay passes on a serial burst (its end-of-burst rule), in ms.
    [[nodiscard]] virtual double burst_gap_ms() const = 0;
};

// `binary`: the portweave executable; it is copied into a scratch directory, which becomes its
// working directory, next to the data file.
std::unique_ptr<Relay> make_portweave(const std::string& binary);
std::unique_ptr<Relay> make_socat(const std::string& socat = "/usr/bin/socat");

} // namespace bench
