#include "tests/soak/soak_chaos.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace soak {

namespace {

constexpr std::size_t MAX_CLIENTS = 2;  // ours per engine server port: a second one is rejected
constexpr std::size_t MAX_ACCEPTED = 2; // kept per listener
constexpr int POLL_MS = 2;
constexpr std::size_t NOISE_SIZE = 64 * 1024;
constexpr std::size_t READ_SIZE = 64 * 1024;

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr std::int64_t ms(std::uint32_t n) {
    return static_cast<std::int64_t>(n) * 1000;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

} // namespace

ChaosPeers::ChaosPeers(std::uint64_t seed, std::string dir)
    : rng_(seed), dir_(std::move(dir)), noise_(NOISE_SIZE), sink_(READ_SIZE) {
    for (std::uint8_t& b : noise_) {
        b = static_cast<std::uint8_t>(rng_.next());
    }
}

ChaosPeers::~ChaosPeers() {
    stop();
}

void ChaosPeers::addIpPort(std::uint16_t enginePort, std::uint16_t listenPort) {
    IpSide side;
    side.enginePort = enginePort;
    side.listenPort = listenPort;
    if (listenPort != 0) {
        side.listener = testsupport::tcp_listen(listenPort);
        if (side.listener.valid()) {
            (void)::fcntl(side.listener.get(), F_SETFL, O_NONBLOCK);
        }
    }
    side.udp = testsupport::udp_bind(0);
    ips_.push_back(std::move(side));
}

std::string ChaosPeers::addSerialPort(std::uint32_t com) {
    SerialSide side;
    side.link = dir_ + "/chaos-com" + std::to_string(com);
    side.pty = std::make_unique<testsupport::PtyPair>();
    pointLink(side);
    serials_.push_back(std::move(side));
    return serials_.back().link;
}

void ChaosPeers::pointLink(SerialSide& side) {
    const std::string tmp = side.link + ".new";
    (void)::unlink(tmp.c_str());
    if (::symlink(side.pty->slavePath().c_str(), tmp.c_str()) == 0) {
        (void)::rename(tmp.c_str(), side.link.c_str());
    }
}

std::size_t ChaosPeers::descriptorBound() const {
    // Per IP side: listener, UDP socket, clients, accepted ones, and one accepted only to be
    // closed at once; per serial side: the master, and a new one while the old one goes.
    return ips_.size() * (2 + MAX_CLIENTS + MAX_ACCEPTED + 1) + serials_.size() * 2;
}

void ChaosPeers::start() {
    thread_ = std::thread([this] { run(); });
}

void ChaosPeers::stop() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    // The descriptors go with the peers; the threads that used them are gone.
    for (IpSide& side : ips_) {
        side.clients.clear();
        side.accepted.clear();
        side.listener.reset();
        side.udp.reset();
    }
    serials_.clear();
}

void ChaosPeers::newConn(std::vector<Conn>& list, testsupport::Fd fd, bool connecting,
                         std::int64_t now) {
    Conn c;
    c.fd = std::move(fd);
    c.connecting = connecting;
    c.ending = static_cast<Ending>(rng_.below(4));
    // A peer that vanishes has stopped reading long before: what the engine sent lies unread.
    c.reading = c.ending != Ending::Vanish && rng_.chance(75);
    c.writing = rng_.chance(60);
    c.endAt = now + ms(rng_.between(10, 3000));
    c.nextWrite = now;
    list.push_back(std::move(c));
}

void ChaosPeers::endConn(Conn& c) {
    if (!c.fd.valid()) {
        return;
    }
    switch (c.ending) {
    case Ending::Reset:
        testsupport::tcp_reset(c.fd);
        ++sum_.resets;
        break;
    case Ending::Vanish:
        c.fd.reset();
        ++sum_.vanishes;
        break;
    case Ending::HalfClose:
        if (!c.halfClosed) {
            (void)::shutdown(c.fd.get(), SHUT_WR);
            c.halfClosed = true;
            c.writing = false;
            c.reading = true;
            c.endAt += ms(300);
            ++sum_.halfCloses;
            return;
        }
        c.fd.reset();
        break;
    case Ending::Close:
        c.fd.reset();
        ++sum_.closes;
        break;
    }
}

void ChaosPeers::writeConn(Conn& c, std::int64_t now) {
    if (!c.writing || c.connecting || !c.fd.valid() || now < c.nextWrite) {
        return;
    }
    const std::size_t length = rng_.between(1, 4096);
    const std::size_t from = rng_.below(static_cast<std::uint32_t>(NOISE_SIZE - length));
    const ssize_t n = ::send(c.fd.get(), noise_.data() + from, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        sum_.bytesOut += static_cast<std::uint64_t>(n);
    }
    c.nextWrite = now + ms(rng_.between(1, 20));
}

bool ChaosPeers::readFd(int fd) {
    const ssize_t n = ::read(fd, sink_.data(), sink_.size());
    if (n > 0) {
        sum_.bytesIn += static_cast<std::uint64_t>(n);
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

void ChaosPeers::reopenListener(IpSide& side) {
    side.listener = testsupport::tcp_listen(side.listenPort);
    if (side.listener.valid()) {
        (void)::fcntl(side.listener.get(), F_SETFL, O_NONBLOCK);
    }
}

void ChaosPeers::actIp(IpSide& side, std::int64_t now) {
    const std::uint32_t pick = rng_.below(100);
    if (pick < 30) {
        if (side.clients.size() < MAX_CLIENTS) {
            testsupport::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            const sockaddr_in sa = loopback(side.enginePort);
            const int rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
            if (rc == 0 || errno == EINPROGRESS) {
                newConn(side.clients, std::move(fd), rc != 0, now);
                if (rc == 0) {
                    ++sum_.connects;
                }
            }
        }
    } else if (pick < 42) {
        if (!side.clients.empty()) {
            endConn(side.clients[rng_.below(static_cast<std::uint32_t>(side.clients.size()))]);
        }
    } else if (pick < 50) {
        if (!side.accepted.empty()) {
            endConn(side.accepted[rng_.below(static_cast<std::uint32_t>(side.accepted.size()))]);
        }
    } else if (pick < 58) {
        // Not accepting for a while: connections queue up, then connects go unanswered.
        side.accepting = !side.accepting;
    } else if (pick < 61) {
        if (side.listener.valid()) {
            side.listener.reset();
            side.listenerBackAt = now + ms(rng_.between(300, 3000));
            ++sum_.listenerDowns;
        }
    } else if (pick < 80) {
        if (side.udp.valid()) {
            for (std::uint32_t i = rng_.between(1, 5); i > 0; --i) {
                // Empty and oversized datagrams included: the socket layer ignores them.
                const std::size_t length =
                    rng_.chance(5) ? rng_.between(0, 3000) : rng_.between(1, 1400);
                const std::size_t from =
                    rng_.below(static_cast<std::uint32_t>(NOISE_SIZE - length));
                const sockaddr_in sa = loopback(side.enginePort);
                if (::sendto(side.udp.get(), noise_.data() + from, length, MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof sa) >= 0) {
                    ++sum_.datagrams;
                }
            }
        }
    } else if (pick < 85) {
        side.udpReading = !side.udpReading;
    } else {
        std::vector<Conn>& list = rng_.chance(50) ? side.clients : side.accepted;
        if (!list.empty()) {
            Conn& c = list[rng_.below(static_cast<std::uint32_t>(list.size()))];
            if (c.ending != Ending::Vanish && !c.halfClosed) {
                c.reading = rng_.chance(70);
            }
            c.writing = !c.halfClosed && rng_.chance(60);
        }
    }
}

void ChaosPeers::actSerial(SerialSide& side, std::int64_t now) {
    const std::uint32_t pick = rng_.below(100);
    if (pick < 50) {
        side.writeUntil = now + ms(rng_.between(1, 300));
    } else if (pick < 80) {
        side.reading = !side.reading;
    } else if (pick < 83 && now >= side.nextHangUp) {
        // The device goes away (its master closes) and another one takes its name.
        side.pty->hangUp();
        side.pty = std::make_unique<testsupport::PtyPair>();
        pointLink(side);
        side.nextHangUp = now + ms(5000);
        ++sum_.hangUps;
    }
}

void ChaosPeers::sweep(std::vector<Conn>& list, std::int64_t now) {
    for (Conn& c : list) {
        if (c.fd.valid() && now >= c.endAt) {
            endConn(c);
        }
    }
    std::erase_if(list, [](const Conn& c) { return !c.fd.valid(); });
}

void ChaosPeers::run() {
    enum class What { Listener, Client, Accepted, Udp, Pty };
    struct Entry {
        What what;
        std::size_t side;
        std::size_t index;
    };
    std::vector<pollfd> fds;
    std::vector<Entry> entries;
    while (!stop_.load()) {
        const std::int64_t now = now_us();
        for (IpSide& side : ips_) {
            if (now >= side.nextAction) {
                actIp(side, now);
                side.nextAction = now + ms(rng_.between(5, 120));
            }
            if (!side.listener.valid() && side.listenPort != 0 && now >= side.listenerBackAt) {
                reopenListener(side);
                side.listenerBackAt = now + ms(500);
            }
            for (Conn& c : side.clients) {
                writeConn(c, now);
            }
            for (Conn& c : side.accepted) {
                writeConn(c, now);
            }
            sweep(side.clients, now);
            sweep(side.accepted, now);
        }
        for (SerialSide& side : serials_) {
            if (now >= side.nextAction) {
                actSerial(side, now);
                side.nextAction = now + ms(rng_.between(5, 200));
            }
            if (now < side.writeUntil) {
                const std::size_t length = rng_.between(1, 1024);
                const std::size_t from =
                    rng_.below(static_cast<std::uint32_t>(NOISE_SIZE - length));
                const ssize_t n = ::write(side.pty->master(), noise_.data() + from, length);
                if (n > 0) {
                    sum_.bytesOut += static_cast<std::uint64_t>(n);
                }
            }
        }

        fds.clear();
        entries.clear();
        auto watch = [&](int fd, short events, What what, std::size_t side, std::size_t index) {
            fds.push_back(pollfd{fd, events, 0});
            entries.push_back(Entry{what, side, index});
        };
        for (std::size_t s = 0; s < ips_.size(); ++s) {
            IpSide& side = ips_[s];
            if (side.listener.valid() && side.accepting) {
                watch(side.listener.get(), POLLIN, What::Listener, s, 0);
            }
            for (std::size_t i = 0; i < side.clients.size(); ++i) {
                const Conn& c = side.clients[i];
                if (c.connecting) {
                    watch(c.fd.get(), POLLOUT, What::Client, s, i);
                } else if (c.reading) {
                    watch(c.fd.get(), POLLIN, What::Client, s, i);
                }
            }
            for (std::size_t i = 0; i < side.accepted.size(); ++i) {
                if (side.accepted[i].reading) {
                    watch(side.accepted[i].fd.get(), POLLIN, What::Accepted, s, i);
                }
            }
            if (side.udp.valid() && side.udpReading) {
                watch(side.udp.get(), POLLIN, What::Udp, s, 0);
            }
        }
        for (std::size_t s = 0; s < serials_.size(); ++s) {
            if (serials_[s].reading) {
                watch(serials_[s].pty->master(), POLLIN, What::Pty, s, 0);
            }
        }
        if (::poll(fds.data(), fds.size(), POLL_MS) <= 0) {
            continue;
        }
        const std::int64_t after = now_us();
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0) {
                continue;
            }
            const Entry& e = entries[k];
            if (e.what == What::Pty) {
                (void)readFd(fds[k].fd); // a master whose slave is closed reads EIO: no matter
                continue;
            }
            IpSide& side = ips_[e.side];
            switch (e.what) {
            case What::Listener: {
                testsupport::Fd fd(
                    ::accept4(side.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
                if (!fd.valid()) {
                    break;
                }
                ++sum_.accepts;
                if (side.accepted.size() >= MAX_ACCEPTED) {
                    if (rng_.chance(50)) {
                        testsupport::tcp_reset(fd);
                    }
                    break;
                }
                newConn(side.accepted, std::move(fd), false, after);
                break;
            }
            case What::Client: {
                Conn& c = side.clients[e.index];
                if (c.connecting) {
                    int error = 0;
                    socklen_t len = sizeof error;
                    if (::getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 ||
                        error != 0) {
                        c.fd.reset();
                    } else {
                        c.connecting = false;
                        ++sum_.connects;
                    }
                } else if (!readFd(c.fd.get())) {
                    c.fd.reset();
                    ++sum_.peerEnded;
                }
                break;
            }
            case What::Accepted: {
                Conn& c = side.accepted[e.index];
                if (!readFd(c.fd.get())) {
                    c.fd.reset();
                    ++sum_.peerEnded;
                }
                break;
            }
            case What::Udp:
                (void)readFd(side.udp.get());
                break;
            case What::Pty:
                break;
            }
        }
    }
}

} // namespace soak
