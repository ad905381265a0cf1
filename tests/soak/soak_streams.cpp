#include "tests/soak/soak_streams.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace soak {

namespace {

// Writers: bursts at up to BURST_RATE bytes per second per stream, then pauses.
constexpr double BURST_RATE = 2.0 * 1024 * 1024;
constexpr double TOKEN_CAP = 64.0 * 1024; // bytes a writer may save up
constexpr std::size_t WRITE_MAX = 16 * 1024;
constexpr std::size_t READ_FAST = 64 * 1024;
constexpr std::size_t READ_SLOW = 256; // per visit, about every POLL_MS
constexpr int POLL_MS = 2;

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool is_socket(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0;
}

} // namespace

std::uint8_t stream_byte(std::uint32_t stream, std::uint64_t offset) {
    std::uint64_t x = offset * 0x9E3779B97F4A7C15ull + (static_cast<std::uint64_t>(stream) << 48);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    return static_cast<std::uint8_t>(x >> 56);
}

LosslessPeers::LosslessPeers(std::uint64_t seed) : rng_(seed), buffer_(READ_FAST) {}

LosslessPeers::~LosslessPeers() {
    stop();
}

std::uint32_t LosslessPeers::addPath(const std::string& name, int fdA, int fdB) {
    const auto first = static_cast<std::uint32_t>(streams_.size());
    streams_.push_back(std::make_unique<Stream>());
    streams_.back()->name = name + " A>B";
    streams_.push_back(std::make_unique<Stream>());
    streams_.back()->name = name + " B>A";
    Endpoint a;
    a.name = name + " A";
    a.fd = fdA;
    a.socket = is_socket(fdA);
    a.tx = first;
    a.rx = first + 1;
    Endpoint b;
    b.name = name + " B";
    b.fd = fdB;
    b.socket = is_socket(fdB);
    b.tx = first + 1;
    b.rx = first;
    endpoints_.push_back(a);
    endpoints_.push_back(b);
    return first;
}

void LosslessPeers::start() {
    thread_ = std::thread([this] { run(); });
}

void LosslessPeers::finishWriting() {
    finishing_.store(true);
}

bool LosslessPeers::settled() const {
    if (anyFailed_.load()) {
        return true;
    }
    if (!finished_.load()) {
        return false;
    }
    return std::all_of(streams_.begin(), streams_.end(), [](const std::unique_ptr<Stream>& s) {
        return s->received.load() >= s->sent.load();
    });
}

void LosslessPeers::stop() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::uint64_t LosslessPeers::sent(std::uint32_t stream) const {
    return streams_.at(stream)->sent.load();
}

std::uint64_t LosslessPeers::received(std::uint32_t stream) const {
    return streams_.at(stream)->received.load();
}

std::vector<LosslessPeers::StreamReport> LosslessPeers::reports() const {
    std::vector<StreamReport> out;
    for (const auto& s : streams_) {
        StreamReport r;
        r.name = s->name;
        r.sent = s->sent.load();
        r.received = s->received.load();
        r.corrupt = s->corrupt;
        r.firstBad = s->firstBad;
        r.expected = s->expected;
        r.got = s->got;
        out.push_back(r);
    }
    return out;
}

std::vector<std::string> LosslessPeers::failures() const {
    return failures_;
}

void LosslessPeers::fail(Endpoint& e, const std::string& what) {
    e.failed = true;
    failures_.push_back(e.name + ": " + what);
    anyFailed_.store(true);
}

void LosslessPeers::updatePhases(std::int64_t now, double elapsedSeconds) {
    const bool finishing = finishing_.load();
    for (auto& sp : streams_) {
        Stream& s = *sp;
        if (now >= s.writePhaseEnd) {
            const bool burst = s.writePhase == WritePhase::Pause;
            s.writePhase = burst ? WritePhase::Burst : WritePhase::Pause;
            s.writePhaseEnd = now + (burst ? rng_.between(20, 400) : rng_.between(0, 300)) * 1000;
        }
        if (s.writePhase == WritePhase::Burst) {
            s.tokens = std::min(TOKEN_CAP, s.tokens + BURST_RATE * elapsedSeconds);
        }
    }
    for (Endpoint& e : endpoints_) {
        if (finishing) {
            e.readPhase = ReadPhase::Fast;
            continue;
        }
        if (now >= e.readPhaseEnd) {
            const std::uint32_t pick = rng_.below(10);
            e.readPhase = pick < 5   ? ReadPhase::Fast
                          : pick < 8 ? ReadPhase::Slow
                                     : ReadPhase::Stalled;
            e.readPhaseEnd = now + rng_.between(20, 500) * 1000;
        }
    }
}

void LosslessPeers::writeSome(Endpoint& e) {
    Stream& s = *streams_[e.tx];
    const auto budget = static_cast<std::size_t>(std::min<double>(s.tokens, WRITE_MAX));
    if (budget == 0) {
        return;
    }
    const std::uint64_t offset = s.sent.load();
    for (std::size_t i = 0; i < budget; ++i) {
        buffer_[i] = stream_byte(e.tx, offset + i);
    }
    const ssize_t n = e.socket ? ::send(e.fd, buffer_.data(), budget, MSG_NOSIGNAL | MSG_DONTWAIT)
                               : ::write(e.fd, buffer_.data(), budget);
    if (n > 0) {
        s.sent.store(offset + static_cast<std::uint64_t>(n));
        s.tokens -= static_cast<double>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        fail(e, std::string("write failed: ") + std::strerror(errno));
    }
}

void LosslessPeers::readSome(Endpoint& e) {
    Stream& s = *streams_[e.rx];
    const std::size_t limit = e.readPhase == ReadPhase::Slow ? READ_SLOW : READ_FAST;
    const ssize_t n = ::read(e.fd, buffer_.data(), limit);
    if (n == 0) {
        fail(e, "closed by the far side");
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            fail(e, std::string("read failed: ") + std::strerror(errno));
        }
        return;
    }
    const std::uint64_t offset = s.received.load();
    if (!s.corrupt) {
        for (ssize_t i = 0; i < n; ++i) {
            const std::uint8_t want = stream_byte(e.rx, offset + static_cast<std::uint64_t>(i));
            if (buffer_[static_cast<std::size_t>(i)] != want) {
                s.corrupt = true;
                s.firstBad = offset + static_cast<std::uint64_t>(i);
                s.expected = want;
                s.got = buffer_[static_cast<std::size_t>(i)];
                break;
            }
        }
    }
    s.received.store(offset + static_cast<std::uint64_t>(n));
}

void LosslessPeers::run() {
    std::vector<pollfd> fds(endpoints_.size());
    std::int64_t last = now_us();
    while (!stop_.load()) {
        const std::int64_t now = now_us();
        updatePhases(now, static_cast<double>(now - last) / 1e6);
        last = now;
        const bool finishing = finishing_.load();
        if (finishing) {
            finished_.store(true);
        }
        for (std::size_t i = 0; i < endpoints_.size(); ++i) {
            const Endpoint& e = endpoints_[i];
            const Stream& tx = *streams_[e.tx];
            short events = 0;
            if (!e.failed && e.readPhase != ReadPhase::Stalled) {
                events |= POLLIN;
            }
            if (!e.failed && !finishing && tx.writePhase == WritePhase::Burst && tx.tokens >= 1) {
                events |= POLLOUT;
            }
            // A negative descriptor is skipped by poll.
            fds[i] = pollfd{events != 0 ? e.fd : -1, events, 0};
        }
        if (::poll(fds.data(), fds.size(), POLL_MS) <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < endpoints_.size(); ++i) {
            Endpoint& e = endpoints_[i];
            const short got = fds[i].revents;
            if (got == 0 || e.failed) {
                continue;
            }
            if ((got & POLLNVAL) != 0) {
                fail(e, "descriptor not open");
                continue;
            }
            if ((got & (POLLIN | POLLHUP | POLLERR)) != 0) {
                readSome(e);
            }
            if ((got & POLLOUT) != 0 && !e.failed) {
                writeSome(e);
            }
        }
    }
}

} // namespace soak
