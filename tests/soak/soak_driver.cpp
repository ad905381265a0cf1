#include "tests/soak/soak_driver.h"

#include "base/platform.h"
#include "tests/soak/soak_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>

namespace soak {

namespace {

using std::chrono::milliseconds;

// The timer wake only posts: it runs on an engine thread with the engine's mutex held.
struct WakeBox {
    std::mutex mutex;
    std::condition_variable changed;
    bool posted = false;
};
WakeBox g_wake;

void onTimerWake() {
    {
        std::lock_guard<std::mutex> lock(g_wake.mutex);
        g_wake.posted = true;
    }
    g_wake.changed.notify_one();
}

constexpr std::uint32_t SERIAL_THREADS_PER_PORT = 2; // a reader and a writer per open COM port
constexpr std::uint32_t ABSENT_COM = 90;             // mapped to a path where no device is
constexpr std::uint32_t OUT_OF_RANGE_COM = 150;      // beyond the serial layer's ports

const char* const LOSSLESS_NAMES[LOSSLESS_LINKS] = {
    "lossless tcp-tcp",       "lossless tcp-com",    "lossless com-com",
    "lossless gather-client", "lossless gather-com", "lossless client-client"};
constexpr Kind LOSSLESS_KINDS[LOSSLESS_LINKS][PORTS_PER_LINK] = {
    {Kind::TcpServer, Kind::TcpServer}, {Kind::TcpServer, Kind::Serial},
    {Kind::Serial, Kind::Serial},       {Kind::TcpServer, Kind::TcpClient},
    {Kind::TcpServer, Kind::Serial},    {Kind::TcpClient, Kind::TcpClient}};

// The chaotic links: every pairing, at most one UDP port per link (see PortPlan).
constexpr Kind S = Kind::Serial;
constexpr Kind TS = Kind::TcpServer;
constexpr Kind TC = Kind::TcpClient;
constexpr Kind U = Kind::Udp;
constexpr Kind CHAOTIC_KINDS[SOAK_LINKS - LOSSLESS_LINKS][PORTS_PER_LINK] = {
    {S, TS},  {TS, U},  {TC, TS}, {S, U},   {TS, TS}, {TC, U},  {S, TC}, {TS, TC}, {U, TS},
    {TC, TC}, {S, TS},  {U, TC},  {TS, S},  {TC, TS}, {TS, U},  {U, TC}, {TS, TS}, {TC, TC},
    {U, TS},  {TS, TC}, {TC, U},  {TS, TS}, {U, TC},  {TC, TS}, {TS, U}, {TC, TC}};

std::string text(const char* format, std::int32_t value) {
    char out[64];
    std::snprintf(out, sizeof out, format, value);
    return out;
}

bool isTcp(Kind kind) {
    return kind == Kind::TcpServer || kind == Kind::TcpClient;
}

} // namespace

SoakDriver::SoakDriver(const RunSettings& settings)
    : settings_(settings), rng_(derive_seed(settings.seed, 1)) {}

SoakDriver::~SoakDriver() {
    tearDown();
}

void SoakDriver::contract(bool ok, const std::string& what) {
    if (ok) {
        return;
    }
    ++r_.contractCount;
    if (r_.contract.size() < 20) {
        r_.contract.push_back(what);
    }
}

PortStats SoakDriver::stats(std::uint32_t link, std::uint32_t port) {
    PortStats s{};
    char errText[ERR_TEXT_SIZE] = {};
    contract(WeaveGetPortStats(static_cast<std::int32_t>(link), static_cast<std::int32_t>(port), &s,
                               errText) == 1,
             "WeaveGetPortStats on lossless link " + std::to_string(link) + ": " + errText);
    return s;
}

void SoakDriver::applyConfig(std::uint32_t link) {
    char errText[ERR_TEXT_SIZE] = {};
    contract(WeaveSetLinkConfig(static_cast<std::int32_t>(link), &configs_[link], errText) == 1,
             "WeaveSetLinkConfig on allocated link " + std::to_string(link) + ": " + errText);
}

void SoakDriver::setUp() {
    // A sanitizer's runtime starts a helper thread of its own along with the first thread of
    // the process and keeps it; start and end one thread first so the baseline includes it.
    std::thread([] {}).join();
    r_.fdBaseline = fd_count();
    r_.threadBaseline = thread_count();
    dir_ = std::make_unique<testsupport::ScratchDir>();
    planLinks();
    startEngine();
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    setUpLossless();
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    connectLossless();
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    setUpChaotic();
    Recorder::instance().setGuard(true);
    lossless_->start();
    chaos_->start();

    std::size_t serialPorts = 0;
    for (const LinkPlan& plan : plans_) {
        for (const PortPlan& port : plan.port) {
            serialPorts += port.kind == Kind::Serial ? 1 : 0;
        }
    }
    // Test threads (two peers), the socket layer's and the serial delivery thread, a reader and
    // a writer per COM port, and room for a few that a close gave up waiting for.
    r_.threadBound = r_.threadBaseline + 2 + 2 + serialPorts * SERIAL_THREADS_PER_PORT + 8;
    // The engine holds per IP port at most a listener, a connection and one on its way out, per
    // COM port the device and its signals; the test holds the lossless ends and the chaos peers.
    const std::size_t ipPorts = SOAK_LINKS * PORTS_PER_LINK - serialPorts;
    r_.fdBound = r_.fdBaseline + ipPorts * 3 + serialPorts * 4 + 8 + losslessFds_.size() +
                 losslessPtys_.size() + chaos_->descriptorBound() + 32;
}

void SoakDriver::planLinks() {
    PortPicker picker(rng_);
    chaos_ = std::make_unique<ChaosPeers>(derive_seed(settings_.seed, 2), dir_->path());
    std::uint32_t com = 1;
    bool echo = false;
    for (std::uint32_t k = 0; k < SOAK_LINKS; ++k) {
        LinkPlan& plan = plans_[k];
        const bool lossless = k < LOSSLESS_LINKS;
        plan.name = lossless ? LOSSLESS_NAMES[k] : "chaos " + std::to_string(k);
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            PortPlan& port = plan.port[p];
            port.kind = lossless ? LOSSLESS_KINDS[k][p] : CHAOTIC_KINDS[k - LOSSLESS_LINKS][p];
            switch (port.kind) {
            case Kind::Serial:
                port.com = com++;
                if (lossless) {
                    losslessPtys_.push_back(std::make_unique<testsupport::PtyPair>());
                    comPaths_[port.com] = losslessPtys_.back()->slavePath();
                } else {
                    comPaths_[port.com] = chaos_->addSerialPort(port.com);
                }
                break;
            case Kind::TcpServer:
            case Kind::TcpClient:
                // A chaotic TCP port changes role now and then, so it has both numbers.
                if (!lossless || port.kind == Kind::TcpServer) {
                    port.ipPort = picker.pick();
                }
                if (!lossless || port.kind == Kind::TcpClient) {
                    port.targetPort = picker.pick();
                }
                break;
            case Kind::Udp:
                port.ipPort = picker.pick();
                port.udpEcho = echo;
                echo = !echo;
                break;
            }
            if (!lossless && port.kind != Kind::Serial) {
                chaos_->addIpPort(port.ipPort, isTcp(port.kind) ? port.targetPort : 0);
            }
        }
        configs_[k] = make_link(plan);
    }
    comPaths_[ABSENT_COM] = dir_->path() + "/absent-device";
}

void SoakDriver::startEngine() {
    Recorder::instance().reset(LOSSLESS_LINKS);
    std::map<unsigned, std::string> names(comPaths_.begin(), comPaths_.end());
    dir_->writePorts(names);
    pw::set_diag_sink(Recorder::onDiag);
    // The real clock: no time callback.
    const WeaveInitStruct init{Recorder::onEvent, Recorder::onTrace, Recorder::onStatus, nullptr};
    char errText[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveInit(&init, errText), 1u) << errText;
    engineUp_ = true;
    WeaveSetTimerWake(onTimerWake);
    WeaveSetPaused(0);
}

void SoakDriver::gatherRandomly(PortConfig& p) {
    // Every condition that drops bytes stays off: a full buffer is passed on, and the
    // inter-character timeout always runs, so the tail of a burst leaves too.
    p.fwdInstant = 0;
    p.fwdBufferFull = 1;
    p.bufferSize = rng_.between(1, RECEIVE_BUFFER_SIZE);
    p.fwdInterChar = 1;
    p.interCharMs = rng_.between(1, 20);
    p.fwdFrameEnd = rng_.chance(50) ? 1 : 0;
    p.frameEndChar = rng_.below(256);
}

void SoakDriver::setUpLossless() {
    mutables_ = {{0, 0}, {1, 1}, {3, 0}, {4, 0}, {4, 1}, {5, 1}};
    gatherRandomly(configs_[3].port[0]);
    gatherRandomly(configs_[4].port[0]);
    gatherRandomly(configs_[4].port[1]);
    // The test's listeners for the lossless client ports exist before the ports connect.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> listeners;
    for (std::uint32_t k = 0; k < LOSSLESS_LINKS; ++k) {
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            if (plans_[k].port[p].kind == Kind::TcpClient) {
                losslessFds_.push_back(testsupport::tcp_listen(plans_[k].port[p].targetPort));
                ASSERT_TRUE(losslessFds_.back().valid());
                listeners[{k, p}] = losslessFds_.size() - 1;
            }
        }
    }
    char errText[ERR_TEXT_SIZE] = {};
    PortPicker picker(rng_);
    for (std::uint32_t k = 0; k < LOSSLESS_LINKS; ++k) {
        const auto id = static_cast<std::int32_t>(k);
        ASSERT_EQ(WeaveAllocLink(id), 1u);
        allocated_[k] = true;
        applyConfig(k);
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            const auto pid = static_cast<std::int32_t>(p);
            ASSERT_EQ(WeaveActivatePort(id, pid, errText), 1u) << errText;
            // Another program may have taken a server port since it was picked: take another.
            for (int retry = 0; retry < 20 && plans_[k].port[p].kind == Kind::TcpServer &&
                                WeaveIsPortActive(id, pid) == 0;
                 ++retry) {
                plans_[k].port[p].ipPort = picker.pick();
                configs_[k].port[p].ipPort = plans_[k].port[p].ipPort;
                applyConfig(k);
                ASSERT_EQ(WeaveActivatePort(id, pid, errText), 1u) << errText;
            }
            ASSERT_EQ(WeaveIsPortActive(id, pid), 1u)
                << plans_[k].name << " port " << p << " did not activate";
        }
    }
    for (const auto& [at, index] : listeners) {
        testsupport::Fd accepted = testsupport::tcp_accept(losslessFds_[index].get(), 10000);
        ASSERT_TRUE(accepted.valid())
            << plans_[at.first].name << " port " << at.second << " did not connect";
        peerFd_[at.first][at.second] = accepted.get();
        losslessFds_.push_back(std::move(accepted));
    }
}

void SoakDriver::connectLossless() {
    std::size_t pty = 0;
    for (std::uint32_t k = 0; k < LOSSLESS_LINKS; ++k) {
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            const PortPlan& plan = plans_[k].port[p];
            if (plan.kind == Kind::TcpServer) {
                testsupport::Fd client = testsupport::tcp_connect(plan.ipPort);
                ASSERT_TRUE(client.valid()) << plans_[k].name << " port " << p;
                peerFd_[k][p] = client.get();
                losslessFds_.push_back(std::move(client));
            } else if (plan.kind == Kind::Serial) {
                peerFd_[k][p] = losslessPtys_[pty++]->master();
            }
        }
    }
    // Streaming starts once every IP port of the lossless links is connected: before that, the
    // engine drops what is sent to them, by design.
    const bool connected = testsupport::wait_until(
        [&] {
            for (std::uint32_t k = 0; k < LOSSLESS_LINKS; ++k) {
                LinkStatus status{};
                if (WeaveGetLinkStatus(static_cast<std::int32_t>(k), &status) != 1) {
                    return false;
                }
                for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
                    const bool ip = plans_[k].port[p].kind != Kind::Serial;
                    if (status.port[p].activated != 1 || (ip && status.port[p].connected != 1)) {
                        return false;
                    }
                }
            }
            return true;
        },
        std::chrono::seconds(20));
    ASSERT_TRUE(connected) << "the lossless links did not all connect";
    lossless_ = std::make_unique<LosslessPeers>(derive_seed(settings_.seed, 3));
    for (std::uint32_t k = 0; k < LOSSLESS_LINKS; ++k) {
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            const int fd = peerFd_[k][p];
            ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
        }
        firstStream_[k] = lossless_->addPath(plans_[k].name, peerFd_[k][0], peerFd_[k][1]);
    }
}

void SoakDriver::setUpChaotic() {
    char errText[ERR_TEXT_SIZE] = {};
    for (std::uint32_t k = LOSSLESS_LINKS; k < SOAK_LINKS; ++k) {
        for (int i = 0; i < 3; ++i) {
            mutateChaotic(k, rng_.below(PORTS_PER_LINK));
        }
        const auto id = static_cast<std::int32_t>(k);
        ASSERT_EQ(WeaveAllocLink(id), 1u);
        allocated_[k] = true;
        applyConfig(k);
        for (std::int32_t p = 0; p < static_cast<std::int32_t>(PORTS_PER_LINK); ++p) {
            if (rng_.chance(70)) {
                contract(WeaveActivatePort(id, p, errText) == 1,
                         "WeaveActivatePort on an allocated link: " + std::string(errText));
            }
        }
    }
}

void SoakDriver::mutateChaotic(std::uint32_t link, std::uint32_t port) {
    PortConfig& p = configs_[link].port[port];
    const PortPlan& plan = plans_[link].port[port];
    switch (rng_.below(8)) {
    case 0: // forwarding conditions, damaged values included
        p.fwdInstant = rng_.chance(40) ? 1 : 0;
        p.fwdBufferFull = rng_.chance(40) ? 1 : 0;
        p.fwdInterChar = rng_.chance(50) ? 1 : 0;
        p.fwdFrameEnd = rng_.chance(30) ? 1 : 0;
        p.bufferSize = rng_.chance(5) ? rng_.between(2049, 100000) * rng_.below(2)
                                      : rng_.between(1, RECEIVE_BUFFER_SIZE);
        p.interCharMs = rng_.chance(5) ? 0 : rng_.between(1, 50);
        p.frameEndChar = rng_.chance(5) ? rng_.between(256, 1000) : rng_.below(256);
        break;
    case 1:
        p.trace ^= 1u;
        break;
    case 2:
        if (plan.kind != Kind::Udp) {
            p.loopback ^= 1u;
        }
        break;
    case 3: // the generator
        p.genTraffic = rng_.chance(50) ? 1 : 0;
        p.genPeriodMs = rng_.chance(20)   ? 0
                        : rng_.chance(50) ? rng_.between(1, 20)
                                          : rng_.between(20, 500);
        p.genLength =
            rng_.chance(5) ? rng_.between(GEN_DATA_SIZE + 1, 1000) : rng_.between(0, GEN_DATA_SIZE);
        for (std::uint8_t& b : p.genData) {
            b = static_cast<std::uint8_t>(rng_.next());
        }
        break;
    case 4:
        p.autoReconnect = rng_.chance(60) ? 1 : 0;
        p.reconnectSecs = rng_.chance(5) ? 0 : rng_.between(1, 2);
        break;
    case 5: // the role of a TCP port, from its next activation
        if (isTcp(plan.kind)) {
            const bool server = rng_.chance(50);
            p.tcpRole = server ? TCP_ROLE_SERVER : TCP_ROLE_CLIENT;
            p.ipPort = server ? plan.ipPort : plan.targetPort;
        }
        break;
    case 6: // where a client connects to
        if (isTcp(plan.kind)) {
            static const char* const HOSTS[] = {"127.0.0.1", "127.0.0.1", "127.0.0.1",
                                                "127.0.0.2", "300.1.1.1", ""};
            std::snprintf(p.remoteHost, sizeof p.remoteHost, "%s", HOSTS[rng_.below(6)]);
        }
        break;
    case 7: // serial settings, a device that is not there, values out of range
        if (plan.kind == Kind::Serial) {
            const std::uint32_t pick = rng_.below(10);
            p.comIndex = (pick == 0 ? ABSENT_COM : pick == 1 ? OUT_OF_RANGE_COM : plan.com) - 1;
            p.baudIndex =
                rng_.chance(10) ? rng_.between(BAUD_RATE_COUNT, 99) : rng_.below(BAUD_RATE_COUNT);
            p.dataBitsIndex = rng_.below(DATA_BITS_COUNT);
            p.parityIndex = rng_.below(PARITY_COUNT);
            p.stopBitsIndex = rng_.below(STOP_BITS_COUNT);
            p.rtsCts = rng_.chance(10) ? 1 : 0;
        }
        break;
    default:
        break;
    }
}

void SoakDriver::chaosStep() {
    ++r_.chaosSteps;
    const std::uint32_t link = LOSSLESS_LINKS + rng_.below(SOAK_LINKS - LOSSLESS_LINKS);
    const std::uint32_t port = rng_.below(PORTS_PER_LINK);
    const auto id = static_cast<std::int32_t>(link);
    const auto pid = static_cast<std::int32_t>(port);
    const std::string where = " (link " + std::to_string(link) + " port " + std::to_string(port);
    char errText[ERR_TEXT_SIZE] = {};
    auto onFree = [&](std::uint32_t rc, const char* call) {
        contract(rc == 0 && std::strcmp(errText, "link not allocated") == 0,
                 std::string(call) + " on a free link" + where + "): " + errText);
    };
    const std::uint32_t pick = rng_.below(100);
    if (pick < 25) {
        if (!allocated_[link] && rng_.chance(60)) {
            contract(WeaveAllocLink(id) == 1, "WeaveAllocLink" + where + ")");
            allocated_[link] = true;
            applyConfig(link);
        }
        const std::uint32_t rc = WeaveActivatePort(id, pid, errText);
        if (allocated_[link]) {
            contract(rc == 1, "WeaveActivatePort" + where + "): " + errText);
        } else {
            onFree(rc, "WeaveActivatePort");
        }
    } else if (pick < 35) {
        const std::uint32_t rc = WeaveDeactivatePort(id, pid, errText);
        if (allocated_[link]) {
            contract(rc == 1, "WeaveDeactivatePort" + where + "): " + errText);
        } else {
            onFree(rc, "WeaveDeactivatePort");
        }
    } else if (pick < 38) {
        const std::uint32_t rc = WeaveDeactivateLink(id, errText);
        if (allocated_[link]) {
            contract(rc == 1, "WeaveDeactivateLink" + where + "): " + errText);
        } else {
            onFree(rc, "WeaveDeactivateLink");
        }
    } else if (pick < 41) {
        WeaveFreeLink(id);
        allocated_[link] = false;
        contract(WeaveIsPortActive(id, 0) == 0 && WeaveIsPortActive(id, 1) == 0,
                 "a port of a freed link is active" + where + ")");
    } else if (pick < 66) {
        mutateChaotic(link, port);
        if (allocated_[link]) {
            applyConfig(link);
            ++r_.configChanges;
        }
    } else if (pick < 78) {
        static std::uint8_t data[RECEIVE_BUFFER_SIZE + 1];
        const std::uint32_t lengthPick = rng_.below(20);
        const std::uint32_t length = lengthPick == 0   ? 0
                                     : lengthPick == 1 ? RECEIVE_BUFFER_SIZE + 1
                                                       : rng_.between(1, RECEIVE_BUFFER_SIZE);
        const std::uint8_t* what = lengthPick == 2 ? nullptr : data;
        data[0] = static_cast<std::uint8_t>(rng_.next());
        const std::uint32_t rc = WeaveSendBuffer(id, pid, what, length, errText);
        if (allocated_[link]) {
            contract(rc == 1 || (rc == 0 && std::strcmp(errText, "port not activated") == 0),
                     "WeaveSendBuffer" + where + "): " + std::to_string(rc) + " " + errText);
        } else {
            onFree(rc, "WeaveSendBuffer");
        }
    } else if (pick < 90) {
        PortStats s{};
        const std::uint32_t rc = WeaveGetPortStats(id, pid, &s, errText);
        LinkStatus status{};
        const std::uint32_t statusRc = WeaveGetLinkStatus(id, &status);
        const std::uint32_t active = WeaveIsPortActive(id, pid);
        if (allocated_[link]) {
            contract(rc == 1 && s.linkId == link && s.portId == port && s.activated <= 1 &&
                         s.connected <= 1 && (s.connected == 0 || s.activated == 1),
                     "WeaveGetPortStats" + where + "): activated " + std::to_string(s.activated) +
                         " connected " + std::to_string(s.connected));
            contract(statusRc == 1 && status.linkId == link, "WeaveGetLinkStatus" + where + ")");
            contract(active <= 1, "WeaveIsPortActive" + where + ")");
            if (rng_.chance(30)) {
                contract(WeaveClearPortStats(id, pid, errText) == 1,
                         "WeaveClearPortStats" + where + "): " + errText);
            }
        } else {
            onFree(rc, "WeaveGetPortStats");
            contract(statusRc == 0 && active == 0, "status of a free link" + where + ")");
        }
    } else {
        static const std::int32_t BAD_LINKS[] = {-1, static_cast<std::int32_t>(MAX_LINKS), 1000,
                                                 INT_MIN, INT_MAX};
        static const std::int32_t BAD_PORTS[] = {-1, static_cast<std::int32_t>(PORTS_PER_LINK), 7,
                                                 INT_MIN};
        const std::int32_t badLink = BAD_LINKS[rng_.below(5)];
        const std::int32_t badPort = BAD_PORTS[rng_.below(4)];
        contract(WeaveActivatePort(badLink, 0, errText) == 0 &&
                     text("invalid link id (%d)", badLink) == errText,
                 "WeaveActivatePort on link " + std::to_string(badLink) + ": " + errText);
        const std::uint32_t rc = WeaveDeactivatePort(id, badPort, errText);
        if (allocated_[link]) {
            contract(rc == 0 && text("invalid port id (%d)", badPort) == errText,
                     "WeaveDeactivatePort on port " + std::to_string(badPort) + where +
                         "): " + errText);
        } else {
            onFree(rc, "WeaveDeactivatePort");
        }
        PortStats s{};
        LinkStatus status{};
        const std::uint8_t byte = 0;
        contract(WeaveSetLinkConfig(id, nullptr, errText) == 0 &&
                     WeaveGetPortStats(id, pid, nullptr, errText) == 0 &&
                     WeaveAllocLink(badLink) == 0 && WeaveGetLinkStatus(badLink, &status) == 0 &&
                     WeaveIsPortActive(badLink, 0) == 0 && WeaveIsPortActive(id, badPort) == 0 &&
                     WeaveGetPortStats(badLink, 0, &s, errText) == 0 &&
                     WeaveSendBuffer(badLink, 0, &byte, 1, errText) == 0,
                 "a call without a record or with an id out of range succeeded" + where + ")");
        WeaveFreeLink(badLink);
    }
}

void SoakDriver::losslessStep() {
    if (rng_.chance(40)) {
        // Tracing on or off: the bytes still go their way.
        const std::uint32_t link = rng_.below(LOSSLESS_LINKS);
        configs_[link].port[rng_.below(PORTS_PER_LINK)].trace ^= 1u;
        applyConfig(link);
        ++r_.losslessChanges;
        return;
    }
    const Mutable m = mutables_[rng_.below(static_cast<std::uint32_t>(mutables_.size()))];
    PortConfig& p = configs_[m.link].port[m.port];
    if (p.fwdInstant != 0 || rng_.chance(50)) {
        // To gathering, or other gathering values: nothing gathered is ever left behind.
        gatherRandomly(p);
        applyConfig(m.link);
        ++r_.losslessChanges;
        return;
    }
    // Back to instant forwarding while bytes flow: what was gathered goes on ahead of them.
    p.fwdInstant = 1;
    applyConfig(m.link);
    ++r_.instantSwitches;
    ++r_.losslessChanges;
}

void SoakDriver::pass() {
    lastPass_ = Clock::now();
    WeaveProcess();
    ++r_.passes;
}

void SoakDriver::rearm() {
    {
        std::lock_guard<std::mutex> lock(g_wake.mutex);
        g_wake.posted = false;
    }
    const std::uint32_t due = WeaveNextTimerDue();
    if (due == WEAVE_NO_TIMER) {
        armed_.reset();
        return;
    }
    // Passes at least a millisecond apart, as the application makes them.
    armed_ = std::max(Clock::now() + milliseconds(due), lastPass_ + milliseconds(1));
}

void SoakDriver::sample() {
    r_.fdMax = std::max(r_.fdMax, fd_count());
    r_.threadMax = std::max(r_.threadMax, thread_count());
}

void SoakDriver::run() {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(settings_.seconds);
    const auto warmAt = start + std::min<milliseconds>(std::chrono::seconds(15),
                                                       milliseconds(settings_.seconds * 250));
    auto drainDeadline = deadline;
    bool finishing = false;
    bool warm = false;
    auto nextChaos = start;
    auto nextLossless = start + milliseconds(200);
    auto nextSample = start;
    auto nextMode = start + milliseconds(rng_.between(2000, 6000));
    nextPass_ = start;
    for (;;) {
        auto now = Clock::now();
        if (!finishing && now >= deadline) {
            finishing = true;
            lossless_->finishWriting();
            // Generous: what is in flight is bounded by the buffers on the way.
            drainDeadline = now + std::chrono::seconds(60 + settings_.seconds / 10);
            r_.runSeconds = std::chrono::duration<double>(now - start).count();
        }
        if (finishing && (lossless_->settled() || now >= drainDeadline)) {
            r_.settled = lossless_->settled();
            r_.drainSeconds = std::chrono::duration<double>(now - deadline).count();
            break;
        }
        if (!dueMode_) {
            if (now >= nextPass_) {
                pass();
                nextPass_ = lastPass_ + milliseconds(1);
            }
        } else {
            bool posted = false;
            {
                std::lock_guard<std::mutex> lock(g_wake.mutex);
                posted = g_wake.posted;
            }
            if (posted) {
                rearm();
            }
            if (armed_ && Clock::now() >= *armed_) {
                pass();
                rearm();
            }
        }
        now = Clock::now();
        if (now >= nextMode) {
            dueMode_ = !dueMode_;
            nextMode = now + milliseconds(rng_.between(2000, 6000));
            nextPass_ = now;
            if (dueMode_) {
                rearm();
            }
        }
        if (now >= nextChaos) {
            chaosStep();
            nextChaos = now + milliseconds(rng_.between(1, 15));
            if (dueMode_) {
                rearm();
            }
        }
        if (!finishing && now >= nextLossless) {
            losslessStep();
            nextLossless = now + milliseconds(rng_.between(200, 1200));
            if (dueMode_) {
                rearm();
            }
        }
        if (now >= nextSample) {
            sample();
            nextSample = now + milliseconds(250);
        }
        if (!warm && (now >= warmAt || finishing)) {
            r_.rssWarmKib = resident_kib();
            warm = true;
        }

        auto wakeAt = std::min({nextChaos, nextSample, nextMode, now + milliseconds(50)});
        if (!dueMode_) {
            wakeAt = std::min(wakeAt, nextPass_);
        } else if (armed_) {
            wakeAt = std::min(wakeAt, *armed_);
        }
        if (!finishing) {
            wakeAt = std::min({wakeAt, nextLossless, deadline});
        }
        if (finishing) {
            wakeAt = std::min(wakeAt, now + milliseconds(1));
        }
        std::unique_lock<std::mutex> lock(g_wake.mutex);
        if (dueMode_) {
            g_wake.changed.wait_until(lock, wakeAt, [] { return g_wake.posted; });
        } else {
            g_wake.changed.wait_until(lock, wakeAt);
        }
    }
    // Anything beyond a stream's end would be a byte delivered twice: give it time to show.
    const auto extra = Clock::now() + milliseconds(300);
    while (Clock::now() < extra) {
        pass();
        std::this_thread::sleep_for(milliseconds(1));
    }
    sample();
    r_.rssEndKib = resident_kib();
    finalChecks();
}

void SoakDriver::finalChecks() {
    for (std::uint32_t k = 0; k < LOSSLESS_LINKS; ++k) {
        LinkStatus status{};
        const bool have = WeaveGetLinkStatus(static_cast<std::int32_t>(k), &status) == 1;
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            const bool ip = plans_[k].port[p].kind != Kind::Serial;
            if (!have || status.port[p].activated != 1 || (ip && status.port[p].connected != 1)) {
                r_.linkState.push_back(plans_[k].name + " port " + std::to_string(p) + " is down");
            }
        }
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            // The stream that enters at port p leaves at the other port; the counters wrap at 32
            // bits.
            const std::uint32_t stream = firstStream_[k] + p;
            const auto sent = static_cast<std::uint32_t>(lossless_->sent(stream));
            const auto received = static_cast<std::uint32_t>(lossless_->received(stream));
            const PortStats in = stats(k, p);
            const PortStats out = stats(k, 1 - p);
            if (in.rxBytes != sent || out.txBytes != received) {
                r_.counters.push_back(plans_[k].name + " stream into port " + std::to_string(p) +
                                      ": rxBytes " + std::to_string(in.rxBytes) + " for " +
                                      std::to_string(sent) + " sent, txBytes of the other port " +
                                      std::to_string(out.txBytes) + " for " +
                                      std::to_string(received) + " received");
            }
        }
    }
}

void SoakDriver::tearDown() {
    if (chaos_) {
        chaos_->stop();
        r_.chaos = chaos_->summary();
    }
    if (lossless_) {
        lossless_->stop();
        r_.streams = lossless_->reports();
        r_.streamFailures = lossless_->failures();
    }
    Recorder::instance().setGuard(false);
    if (engineUp_) {
        WeaveSetTimerWake(nullptr);
        WeaveShutdown();
        pw::set_diag_sink(nullptr);
        engineUp_ = false;
    }
    chaos_.reset();
    lossless_.reset();
    losslessFds_.clear();
    losslessPtys_.clear();
    dir_.reset();
}

} // namespace soak
