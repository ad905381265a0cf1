#include "tests/engine/engine_harness.h"

#include "base/platform.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace enginetest {

namespace {

std::atomic<std::uint32_t> g_clock{0};

void onEvent(const char* text) {
    reports().addEvent(text);
}
void onTrace(std::uint32_t link, std::uint32_t port, std::uint32_t direction,
             const std::uint8_t* data, std::uint32_t length) {
    reports().addTrace(link, port, direction, data, length);
}
void onStatus(const LinkStatus* status) {
    reports().addStatus(*status);
}
std::uint32_t onTime() {
    return g_clock.load();
}

PortConfig basePort() {
    PortConfig p{};
    p.fwdInstant = 1;
    p.bufferSize = RECEIVE_BUFFER_SIZE;
    p.interCharMs = 10;
    p.frameEndChar = 13;
    p.reconnectSecs = 10;
    return p;
}

PortConfig ipPortConfig(std::uint32_t protocol, std::uint32_t role, std::uint32_t ipPort,
                        const char* host) {
    PortConfig p = basePort();
    p.portType = PORT_TYPE_IP;
    p.ipProtocol = protocol;
    p.tcpRole = role;
    p.ipPort = ipPort;
    std::snprintf(p.remoteHost, sizeof p.remoteHost, "%s", host);
    return p;
}

} // namespace

void engineBarrier() {
    [[maybe_unused]] const std::uint32_t active = WeaveIsPortActive(0, 0);
}

Reports& reports() {
    static Reports instance;
    return instance;
}

void Reports::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    statuses_.clear();
    traces_.clear();
    keepTraceBytes_ = true;
}

void Reports::addEvent(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.emplace_back(text);
    changed_.notify_all();
}

void Reports::addTrace(std::uint32_t link, std::uint32_t port, std::uint32_t direction,
                       const std::uint8_t* data, std::uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    TraceRecord record{link, port, direction, {}};
    if (keepTraceBytes_) {
        record.data.assign(data, data + length);
    } else {
        record.data.resize(length);
    }
    traces_.push_back(std::move(record));
    changed_.notify_all();
}

void Reports::addStatus(const LinkStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses_.push_back(status);
    changed_.notify_all();
}

std::vector<std::string> Reports::events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

bool Reports::waitEvents(std::size_t count, std::chrono::milliseconds limit) {
    bool arrived = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived = changed_.wait_for(lock, limit, [&] { return events_.size() >= count; });
    }
    engineBarrier();
    return arrived;
}

bool Reports::waitEvent(const std::string& text, std::size_t times,
                        std::chrono::milliseconds limit) {
    bool arrived = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived = changed_.wait_for(lock, limit, [&] {
            return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), text)) >=
                   times;
        });
    }
    engineBarrier();
    return arrived;
}

std::size_t Reports::eventCount(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), text));
}

std::vector<LinkStatus> Reports::statuses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
}

std::vector<PortFlags> Reports::flags(std::uint32_t link, std::uint32_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PortFlags> out;
    for (const LinkStatus& s : statuses_) {
        if (s.linkId == link) {
            out.emplace_back(s.port[port].activated, s.port[port].connected);
        }
    }
    return out;
}

std::vector<TraceRecord> Reports::traces() {
    std::lock_guard<std::mutex> lock(mutex_);
    return traces_;
}

std::vector<std::size_t> Reports::traceSizes(std::uint32_t link, std::uint32_t port,
                                             std::uint32_t direction) {
    std::vector<std::size_t> out;
    for (const TraceRecord& t : traces()) {
        if (t.link == link && t.port == port && t.direction == direction) {
            out.push_back(t.data.size());
        }
    }
    return out;
}

Bytes Reports::traced(std::uint32_t link, std::uint32_t port, std::uint32_t direction) {
    Bytes out;
    for (const TraceRecord& t : traces()) {
        if (t.link == link && t.port == port && t.direction == direction) {
            out.insert(out.end(), t.data.begin(), t.data.end());
        }
    }
    return out;
}

void Reports::keepTraceBytes(bool keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    keepTraceBytes_ = keep;
}

void setClock(std::uint32_t ms) {
    g_clock.store(ms);
}
void advanceClock(std::uint32_t ms) {
    g_clock.fetch_add(ms);
}
std::uint32_t clockNow() {
    return g_clock.load();
}

std::string format(const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string portHead(std::uint32_t link, const char* name, std::uint32_t port) {
    return format("Link %u (%s) Port %u", link, name, port);
}

PortConfig serialPort(std::uint32_t com) {
    PortConfig p = basePort();
    p.portType = PORT_TYPE_SERIAL;
    p.comIndex = com - 1;
    p.baudIndex = 12;    // 115200
    p.dataBitsIndex = 3; // 8
    p.parityIndex = 2;   // none
    p.stopBitsIndex = 0; // one
    return p;
}

PortConfig tcpServer(std::uint32_t ipPort) {
    return ipPortConfig(IP_PROTO_TCP, TCP_ROLE_SERVER, ipPort, "");
}

PortConfig tcpClient(const char* host, std::uint32_t ipPort) {
    return ipPortConfig(IP_PROTO_TCP, TCP_ROLE_CLIENT, ipPort, host);
}

PortConfig udpPort(std::uint32_t ipPort, const char* host) {
    return ipPortConfig(IP_PROTO_UDP, 0, ipPort, host);
}

void reconfigure(std::int32_t link, const LinkConfig& config) {
    char errText[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveSetLinkConfig(link, &config, errText), 1u) << errText;
}

PortConfig reconnecting(PortConfig p, std::uint32_t secs) {
    p.autoReconnect = 1;
    p.reconnectSecs = secs;
    return p;
}

LinkConfig linkConfig(const char* name, const PortConfig& p1, const PortConfig& p2) {
    LinkConfig c{};
    std::snprintf(c.name, sizeof c.name, "%s", name);
    c.port[0] = p1;
    c.port[1] = p2;
    return c;
}

bool waitUdpPortFree(std::uint16_t port) {
    return testsupport::wait_until([&] { return testsupport::udp_bind(port).valid(); });
}

bool waitTcpPortFree(std::uint16_t port) {
    return testsupport::wait_until([&] { return !testsupport::tcp_connect(port).valid(); });
}

void EngineTest::SetUp() {
    reports().clear();
    setClock(100000);
    // Layer diagnostics (a device that hung up, say) are expected in some tests; keep them off
    // the test output.
    pw::set_diag_sink([](const char*) {});
}

void EngineTest::TearDown() {
    WeaveShutdown();
    WeaveSetTimerWake(nullptr);
    pw::set_diag_sink(nullptr);
}

PtyPair& EngineTest::pty(std::uint32_t com) {
    auto& slot = ptys_[com];
    slot = std::make_unique<PtyPair>();
    comMap_[com] = slot->slavePath();
    return *slot;
}

void EngineTest::start(bool unpause) {
    std::map<unsigned, std::string> map(comMap_.begin(), comMap_.end());
    dir_.writePorts(map);
    const WeaveInitStruct init{onEvent, onTrace, onStatus, onTime};
    char errText[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveInit(&init, errText), 1u) << errText;
    if (unpause) {
        WeaveSetPaused(0);
    }
}

void EngineTest::useLink(std::int32_t link, const LinkConfig& config,
                         std::initializer_list<std::int32_t> activated) {
    char errText[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveAllocLink(link), 1u);
    ASSERT_EQ(WeaveSetLinkConfig(link, &config, errText), 1u) << errText;
    for (const std::int32_t port : activated) {
        activate(link, port);
    }
}

void EngineTest::activate(std::int32_t link, std::int32_t port) {
    char errText[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveActivatePort(link, port, errText), 1u) << errText;
}

void EngineTest::deactivate(std::int32_t link, std::int32_t port) {
    char errText[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveDeactivatePort(link, port, errText), 1u) << errText;
}

PortStats EngineTest::stats(std::int32_t link, std::int32_t port) {
    PortStats s{};
    char errText[ERR_TEXT_SIZE] = {};
    EXPECT_EQ(WeaveGetPortStats(link, port, &s, errText), 1u) << errText;
    return s;
}

bool EngineTest::waitRx(std::int32_t link, std::int32_t port, std::uint32_t count,
                        std::chrono::milliseconds limit) {
    return testsupport::wait_until([&] { return stats(link, port).rxBytes >= count; }, limit);
}

bool EngineTest::waitTx(std::int32_t link, std::int32_t port, std::uint32_t count,
                        std::chrono::milliseconds limit) {
    return testsupport::wait_until([&] { return stats(link, port).txBytes >= count; }, limit);
}

void EngineTest::tick(std::uint32_t ms) {
    advanceClock(ms);
    WeaveProcess();
}

Fd EngineTest::connectClient(std::uint16_t port, const std::string& head, std::size_t nth) {
    Fd client = testsupport::tcp_connect(port);
    EXPECT_TRUE(client.valid());
    EXPECT_TRUE(reports().waitEvent(head + " TCP connection accepted.", nth));
    return client;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::string textOf(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

} // namespace enginetest
