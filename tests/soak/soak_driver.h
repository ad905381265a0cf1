// The soak's main thread, driving the engine the way the application does: every Weave* call
// from here, the periodic processing run with the real clock (one stretch every millisecond,
// the next as WeaveNextTimerDue and the timer wake say), and between passes the chaos: ports
// activated and deactivated, links freed and claimed again, configurations changed, test buffers
// sent, counters read and cleared, and calls with ids out of range. The lossless links are only
// reconfigured in ways that pass every byte on, in order.
#pragma once

#include "engine/weave.h"
#include "tests/soak/soak_chaos.h"
#include "tests/soak/soak_plan.h"
#include "tests/soak/soak_streams.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace soak {

// What the run saw, for the test's checks and its printed summary.
struct RunResults {
    std::size_t fdBaseline = 0;     // before anything was opened
    std::size_t threadBaseline = 0; // before anything was started
    std::size_t fdMax = 0;          // most descriptors seen while running
    std::size_t threadMax = 0;      // most threads seen while running
    std::size_t fdBound = 0;        // what the structure of the run can hold at most
    std::size_t threadBound = 0;
    std::size_t rssWarmKib = 0; // resident memory after the warm-up
    std::size_t rssEndKib = 0;  // and at the end, before anything was stopped
    std::uint64_t passes = 0;   // WeaveProcess calls
    std::uint64_t chaosSteps = 0;
    std::uint64_t configChanges = 0;   // on chaotic links
    std::uint64_t losslessChanges = 0; // trace and forwarding changes on lossless links
    std::uint64_t instantSwitches = 0; // gathering to instant, while bytes flow
    bool settled = false;              // every lossless stream arrived within the time limit
    std::vector<std::string> contract; // results of Weave* calls that break the contract
    std::uint64_t contractCount = 0;
    std::vector<std::string> linkState; // lossless ports found down at the end
    std::vector<std::string> counters;  // lossless counters that differ from the streams
    std::vector<LosslessPeers::StreamReport> streams;
    std::vector<std::string> streamFailures;
    ChaosPeers::Summary chaos;
    double runSeconds = 0; // the soak proper
    double drainSeconds = 0;
};

class SoakDriver {
public:
    explicit SoakDriver(const RunSettings& settings);
    ~SoakDriver();
    SoakDriver(const SoakDriver&) = delete;
    SoakDriver& operator=(const SoakDriver&) = delete;

    // Starts the engine, sets up all 32 links and connects the lossless paths (gtest assertions
    // inside: check HasFatalFailure afterwards).
    void setUp();
    // The soak proper, then the lossless streams are finished and drained.
    void run();
    // Stops the peers and the engine and closes everything the test opened.
    void tearDown();

    RunResults& results() { return r_; }

private:
    using Clock = std::chrono::steady_clock;

    // A lossless port whose forwarding the soak changes: instant or gathering.
    struct Mutable {
        std::uint32_t link;
        std::uint32_t port;
    };

    void planLinks();
    void startEngine();
    void setUpLossless();
    void connectLossless();
    void setUpChaotic();
    void pass();
    void rearm();
    void sample();
    void chaosStep();
    void mutateChaotic(std::uint32_t link, std::uint32_t port);
    void losslessStep();
    void gatherRandomly(PortConfig& p);
    void applyConfig(std::uint32_t link);
    void contract(bool ok, const std::string& what);
    PortStats stats(std::uint32_t link, std::uint32_t port);
    void finalChecks();

    RunSettings settings_;
    Rng rng_;
    std::unique_ptr<testsupport::ScratchDir> dir_;
    std::array<LinkPlan, SOAK_LINKS> plans_;
    std::array<LinkConfig, SOAK_LINKS> configs_{};
    std::array<bool, SOAK_LINKS> allocated_{};
    std::map<std::uint32_t, std::string> comPaths_; // COM number to device path
    std::vector<std::unique_ptr<testsupport::PtyPair>> losslessPtys_;
    std::vector<testsupport::Fd> losslessFds_; // sockets and listeners of lossless paths
    std::array<std::array<int, PORTS_PER_LINK>, LOSSLESS_LINKS> peerFd_{}; // far end per port
    std::array<std::uint32_t, LOSSLESS_LINKS> firstStream_{};
    std::vector<Mutable> mutables_;
    std::unique_ptr<ChaosPeers> chaos_;
    std::unique_ptr<LosslessPeers> lossless_;
    bool engineUp_ = false;

    // The periodic processing.
    bool dueMode_ = false;                   // false: a pass every millisecond
    Clock::time_point nextPass_{};           // tick mode
    std::optional<Clock::time_point> armed_; // due mode: when the next pass is due
    Clock::time_point lastPass_{};

    RunResults r_;
};

} // namespace soak
