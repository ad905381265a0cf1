#include "bench/scenarios.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = 12345;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

// Reads up to `length` bytes, giving up after `idleMs` without any.
std::size_t read_until(int fd, std::uint8_t* out, std::size_t length, int idleMs) {
    std::size_t got = 0;
    while (got < length) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, idleMs) <= 0) {
            break;
        }
        const ssize_t n = ::read(fd, out + got, length - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// Clients connected to both ports of each pair, first ports first.
struct Clients {
    std::vector<int> first;
    std::vector<int> second;
    ~Clients() {
        for (int fd : first) {
            ::close(fd);
        }
        for (int fd : second) {
            ::close(fd);
        }
    }
};

bool connect_pairs(const std::vector<PortPair>& pairs, Clients& c) {
    for (const auto& [a, b] : pairs) {
        const int fa = connect_retry(a);
        const int fb = fa >= 0 ? connect_retry(b) : -1;
        if (fa < 0 || fb < 0) {
            return false;
        }
        set_no_delay(fa);
        set_no_delay(fb);
        c.first.push_back(fa);
        c.second.push_back(fb);
    }
    // Let the relay take both connections before any byte is sent.
    std::this_thread::sleep_for(200ms);
    return true;
}

std::vector<PortPair> make_pairs(int n) {
    std::vector<PortPair> pairs;
    for (int i = 0; i < n; ++i) {
        pairs.emplace_back(free_port(), free_port());
    }
    return pairs;
}

double total_cpu_ms(const Relay& relay) {
    double sum = 0;
    for (pid_t pid : relay.pids()) {
        sum += cpu_ms(pid);
    }
    return sum;
}

// Streams `bytes` into the first port of pair `i` and reads them at its second port.
ThroughputResult stream_pair(Clients& c, std::size_t i, std::size_t bytes) {
    ThroughputResult result;
    const auto data = pattern(bytes);
    std::vector<std::uint8_t> received(bytes);
    const double t0 = now_us();
    std::thread writer([&] { write_all(c.first[i], data.data(), data.size()); });
    const std::size_t got = read_until(c.second[i], received.data(), bytes, 10000);
    const double t1 = now_us();
    ::shutdown(c.first[i], SHUT_RDWR);
    writer.join();
    std::size_t intact = 0;
    while (intact < got && received[intact] == data[intact]) {
        ++intact;
    }
    result.mbPerSecond = static_cast<double>(got) / (t1 - t0);
    result.deliveredPct = 100.0 * static_cast<double>(intact) / static_cast<double>(bytes);
    return result;
}

} // namespace

ThroughputResult run_throughput(const RelayFactory& make, std::size_t bytes) {
    auto relay = make();
    const auto pairs = make_pairs(1);
    Clients c;
    if (!relay->start_tcp_pairs(pairs) || !connect_pairs(pairs, c)) {
        return {};
    }
    return stream_pair(c, 0, bytes);
}

ThroughputResult run_beside_busy_link(const RelayFactory& make, std::size_t bytes,
                                      BusyTrace trace) {
    auto relay = make();
    const auto pairs = make_pairs(2);
    Clients c;
    if (!relay->start_tcp_pairs(pairs, trace == BusyTrace::None ? 0 : 1,
                                trace == BusyTrace::ListAndFile) ||
        !connect_pairs(pairs, c)) {
        return {};
    }
    // The second pair streams as fast as it can for the whole measurement.
    std::atomic<bool> stop{false};
    const auto chunk = pattern(64 * 1024);
    std::thread busyWriter([&] {
        while (!stop) {
            pollfd p{c.first[1], POLLOUT, 0};
            if (::poll(&p, 1, 50) > 0 &&
                ::send(c.first[1], chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
                errno != EAGAIN) {
                break;
            }
        }
    });
    std::thread busyReader([&] {
        std::vector<std::uint8_t> buf(64 * 1024);
        while (!stop) {
            pollfd p{c.second[1], POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::read(c.second[1], buf.data(), buf.size()) <= 0) {
                break;
            }
        }
    });
    std::this_thread::sleep_for(500ms); // under way, and the trace file with it
    const ThroughputResult result = stream_pair(c, 0, bytes);
    stop = true;
    busyWriter.join();
    busyReader.join();
    return result;
}

LatencyResult run_round_trip(const RelayFactory& make, int rounds) {
    LatencyResult result;
    auto relay = make();
    const auto pairs = make_pairs(1);
    Clients c;
    if (!relay->start_tcp_pairs(pairs) || !connect_pairs(pairs, c)) {
        return result;
    }
    std::atomic<bool> done{false};
    std::thread echo([&] {
        std::uint8_t byte = 0;
        while (!done && read_until(c.second[0], &byte, 1, 200) == 1) {
            write_all(c.second[0], &byte, 1);
        }
    });
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        auto byte = static_cast<std::uint8_t>(i);
        const double t0 = now_us();
        if (!write_all(c.first[0], &byte, 1) || read_until(c.first[0], &byte, 1, 2000) != 1) {
            break;
        }
        samples.push_back(now_us() - t0);
    }
    done = true;
    echo.join();
    result.complete = static_cast<int>(samples.size()) == rounds;
    result.p50 = percentile(samples, 50);
    result.p99 = percentile(samples, 99);
    return result;
}

LatencyResult run_serial_latency(const RelayFactory& make, int bursts) {
    LatencyResult result;
    auto relay = make();
    Pty pty = open_pty();
    const std::uint16_t port = free_port();
    if (pty.master < 0 || !relay->start_serial_tcp(pty.slavePath, port)) {
        return result;
    }
    const int client = connect_retry(port);
    if (client < 0) {
        return result;
    }
    std::this_thread::sleep_for(300ms);
    const auto burst = pattern(64);
    std::vector<std::uint8_t> got(burst.size());
    std::vector<double> samples;
    for (int i = 0; i < bursts; ++i) {
        if (!write_all(pty.master, burst.data(), burst.size())) {
            break;
        }
        const double written = now_us();
        if (read_until(client, got.data(), got.size(), 2000) != got.size()) {
            break;
        }
        samples.push_back((now_us() - written) / 1000.0 - relay->burst_gap_ms());
        // Bursts apart by more than the end-of-burst silence.
        std::this_thread::sleep_for(80ms);
    }
    ::close(client);
    relay->stop();
    ::close(pty.master);
    result.complete = static_cast<int>(samples.size()) == bursts;
    result.p50 = percentile(samples, 50);
    result.p99 = percentile(samples, 99);
    return result;
}

IdleResult run_idle(const RelayFactory& make, int links, int seconds) {
    IdleResult result;
    auto relay = make();
    const auto pairs = make_pairs(links);
    Clients c;
    if (!relay->start_tcp_pairs(pairs) || !connect_pairs(pairs, c)) {
        return result;
    }
    std::this_thread::sleep_for(2s);
    const double cpu0 = total_cpu_ms(*relay);
    const double t0 = now_us();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu1 = total_cpu_ms(*relay);
    const double t1 = now_us();
    result.cpuPercent = 100.0 * (cpu1 - cpu0) / ((t1 - t0) / 1000.0);
    long rss = 0;
    for (pid_t pid : relay->pids()) {
        rss += rss_kib(pid);
    }
    result.rssMiB = static_cast<double>(rss) / 1024.0;
    return result;
}

ScaleResult run_scale(const RelayFactory& make, int links, int seconds) {
    ScaleResult result;
    auto relay = make();
    const auto pairs = make_pairs(links);
    Clients c;
    if (!relay->start_tcp_pairs(pairs) || !connect_pairs(pairs, c)) {
        return result;
    }
    const auto chunk = pattern(64 * 1024);
    std::atomic<bool> stop{false};
    std::vector<std::atomic<std::uint64_t>> counts(static_cast<std::size_t>(links));
    std::vector<std::thread> threads;
    for (int i = 0; i < links; ++i) {
        threads.emplace_back([&, i] {
            while (!stop) {
                pollfd p{c.first[i], POLLOUT, 0};
                if (::poll(&p, 1, 50) > 0 &&
                    ::send(c.first[i], chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <
                        0 &&
                    errno != EAGAIN) {
                    break;
                }
            }
        });
        threads.emplace_back([&, i] {
            std::vector<std::uint8_t> buf(64 * 1024);
            while (!stop) {
                pollfd p{c.second[i], POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) {
                    continue;
                }
                const ssize_t n = ::read(c.second[i], buf.data(), buf.size());
                if (n <= 0) {
                    break;
                }
                counts[static_cast<std::size_t>(i)] += static_cast<std::uint64_t>(n);
            }
        });
    }
    std::this_thread::sleep_for(1s); // ramp up
    std::vector<std::uint64_t> start(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
        start[i] = counts[i];
    }
    const double t0 = now_us();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double t1 = now_us();
    std::uint64_t total = 0;
    std::uint64_t slowest = UINT64_MAX;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const std::uint64_t got = counts[i] - start[i];
        total += got;
        slowest = std::min(slowest, got);
    }
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    result.mbPerSecond = static_cast<double>(total) / (t1 - t0);
    result.slowestShare = total > 0 ? static_cast<double>(slowest) / static_cast<double>(total) : 0;
    return result;
}

} // namespace bench
