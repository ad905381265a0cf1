// Test harness of the link engine: records everything the engine reports through its callbacks,
// drives its timers with a fake clock, builds link configurations and plays the far ends of the
// ports (sockets on 127.0.0.1 and pseudo-terminals as COM ports).
#pragma once

#include "engine/weave.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace enginetest {

using Bytes = std::vector<std::uint8_t>;
using testsupport::Fd;
using testsupport::PtyPair;

// One call of the trace callback.
struct TraceRecord {
    std::uint32_t link;
    std::uint32_t port;
    std::uint32_t direction;
    Bytes data;
};

// A port's (activated, connected) pair as a status report carried it.
using PortFlags = std::pair<std::uint32_t, std::uint32_t>;

// Everything the engine reported, in the order it was reported.
class Reports {
public:
    void clear();
    void addEvent(const char* text);
    void addTrace(std::uint32_t link, std::uint32_t port, std::uint32_t direction,
                  const std::uint8_t* data, std::uint32_t length);
    void addStatus(const LinkStatus& status);

    std::vector<std::string> events();
    // The waits return after engineBarrier(). Waits until at least `count` event lines have
    // arrived.
    bool waitEvents(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits until `text` has been reported at least `times` times.
    bool waitEvent(const std::string& text, std::size_t times = 1,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::size_t eventCount(const std::string& text);

    std::vector<LinkStatus> statuses();
    // The flags of one port in every status report about its link, in order.
    std::vector<PortFlags> flags(std::uint32_t link, std::uint32_t port);

    std::vector<TraceRecord> traces();
    // Sizes and concatenated bytes of the trace calls of one port in one direction.
    std::vector<std::size_t> traceSizes(std::uint32_t link, std::uint32_t port,
                                        std::uint32_t direction);
    Bytes traced(std::uint32_t link, std::uint32_t port, std::uint32_t direction);
    // Keep trace bytes (default) or only their sizes (for streams of megabytes).
    void keepTraceBytes(bool keep);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<LinkStatus> statuses_;
    std::vector<TraceRecord> traces_;
    bool keepTraceBytes_ = true;
};

Reports& reports();

// Returns once every engine entry that was running at the call has ended: it takes the engine's
// mutex once. An entry reports its event lines before its status, so the waits of Reports pass
// this barrier before they return, and the status reports of the awaited events are complete.
void engineBarrier();

// The fake millisecond clock handed to the engine as its time callback.
void setClock(std::uint32_t ms);
void advanceClock(std::uint32_t ms);
std::uint32_t clockNow();

// Texts built the way the engine builds its own.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "Link <id> (<name>) Port <port>", the head of every port event.
std::string portHead(std::uint32_t link, const char* name, std::uint32_t port);

// Configurations. Every port forwards instantly and does not reconnect unless a test says so.
PortConfig serialPort(std::uint32_t com); // 115200 bits/s, 8 data bits, no parity, 1 stop bit
PortConfig tcpServer(std::uint32_t ipPort);
PortConfig tcpClient(const char* host, std::uint32_t ipPort);
PortConfig udpPort(std::uint32_t ipPort, const char* host = "127.0.0.1");
LinkConfig linkConfig(const char* name, const PortConfig& p1, const PortConfig& p2);
// Hands a running link a new configuration; fails the test when it is refused.
void reconfigure(std::int32_t link, const LinkConfig& config);
// `p` with autoReconnect on, every `secs` seconds.
PortConfig reconnecting(PortConfig p, std::uint32_t secs);

// Waits until nothing holds the port any more (the socket layer closes a socket on its own
// thread, a moment after the engine let it go).
bool waitUdpPortFree(std::uint16_t port);
bool waitTcpPortFree(std::uint16_t port);

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes a pseudo-terminal and maps COM`com` to it; call before start().
    PtyPair& pty(std::uint32_t com);
    // Maps COM`com` to any path (the name file is written by start()).
    void mapCom(std::uint32_t com, const std::string& path) { comMap_[com] = path; }
    // Starts the engine with the recording callbacks and the fake clock, and lifts the pause
    // unless `unpause` is false.
    void start(bool unpause = true);

    // Allocates the slot and hands it the configuration, then activates the `activated` ports in
    // their order; fails the test otherwise.
    void useLink(std::int32_t link, const LinkConfig& config,
                 std::initializer_list<std::int32_t> activated = {});
    void activate(std::int32_t link, std::int32_t port);
    void deactivate(std::int32_t link, std::int32_t port);
    PortStats stats(std::int32_t link, std::int32_t port);
    // Waits until the port's rxBytes (or txBytes) reach `count`.
    bool waitRx(std::int32_t link, std::int32_t port, std::uint32_t count,
                std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool waitTx(std::int32_t link, std::int32_t port, std::uint32_t count,
                std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Advances the fake clock and runs one pass of the periodic processing.
    void tick(std::uint32_t ms);

    // Connects a client to an engine TCP server port and waits until the engine accepted it
    // (the n-th "TCP connection accepted." of that port).
    Fd connectClient(std::uint16_t port, const std::string& head, std::size_t nth = 1);

    testsupport::ScratchDir dir_;
    std::map<std::uint32_t, std::unique_ptr<PtyPair>> ptys_;
    std::map<std::uint32_t, std::string> comMap_;
};

Bytes bytesOf(const std::string& text);
std::string textOf(const Bytes& bytes);

} // namespace enginetest
