// The soak: 32 links of every kind run for PW_SOAK_SECONDS (default 60) seconds while their
// peers connect, stream, reset and vanish and the main thread activates, deactivates and
// reconfigures them. Six of the links carry streams that must arrive whole; the others only
// have to leave the process as they found it. See soak_driver.h for what the main thread does.
//
// Replay a failure with the seed it printed: PW_SOAK_SEED=<seed> PW_SOAK_SECONDS=<s>. The seed
// fixes every choice the soak makes; the timing of the threads does not repeat exactly, so a
// replay makes the same moves but not in exactly the same interleaving.
#include "tests/soak/soak_driver.h"
#include "tests/soak/soak_probe.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace soak {
namespace {

// Resident memory may grow this much (KiB) from the end of the warm-up to the end of the run,
// or by half, whichever is more. The sanitizers keep memory of their own that grows for a while:
// AddressSanitizer holds freed blocks in a quarantine of up to 256 MiB.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t RSS_GROWTH_KIB = 384 * 1024;
#elif defined(__SANITIZE_THREAD__)
constexpr std::size_t RSS_GROWTH_KIB = 256 * 1024;
#else
constexpr std::size_t RSS_GROWTH_KIB = 64 * 1024;
#endif

void printSummary(const RunResults& r, const Recorder::Summary& s) {
    std::printf("[ soak ] %.1f s soak, %.1f s to drain; %llu passes, %llu chaos steps, %llu "
                "chaotic configurations, %llu lossless changes (%llu back to instant)\n",
                r.runSeconds, r.drainSeconds, static_cast<unsigned long long>(r.passes),
                static_cast<unsigned long long>(r.chaosSteps),
                static_cast<unsigned long long>(r.configChanges),
                static_cast<unsigned long long>(r.losslessChanges),
                static_cast<unsigned long long>(r.instantSwitches));
    std::printf("[ soak ] events:");
    for (std::size_t k = 0; k < EVENT_KIND_COUNT; ++k) {
        std::printf(" %s %llu%s", kind_name(static_cast<EventKind>(k)).c_str(),
                    static_cast<unsigned long long>(s.events[k]),
                    k + 1 < EVENT_KIND_COUNT ? "," : "\n");
    }
    std::printf("[ soak ] traces %llu (%llu bytes), status reports %llu, diagnostics %llu\n",
                static_cast<unsigned long long>(s.traceCalls),
                static_cast<unsigned long long>(s.traceBytes),
                static_cast<unsigned long long>(s.statusCalls),
                static_cast<unsigned long long>(s.diagLines));
    const ChaosPeers::Summary& c = r.chaos;
    std::printf(
        "[ soak ] chaos peers: %llu connects, %llu accepts, %llu closes, %llu resets, "
        "%llu vanished, %llu half-closed, %llu ended by the engine, %llu datagrams, "
        "%llu bytes out, %llu in, %llu devices hung up, %llu listeners down\n",
        static_cast<unsigned long long>(c.connects), static_cast<unsigned long long>(c.accepts),
        static_cast<unsigned long long>(c.closes), static_cast<unsigned long long>(c.resets),
        static_cast<unsigned long long>(c.vanishes), static_cast<unsigned long long>(c.halfCloses),
        static_cast<unsigned long long>(c.peerEnded), static_cast<unsigned long long>(c.datagrams),
        static_cast<unsigned long long>(c.bytesOut), static_cast<unsigned long long>(c.bytesIn),
        static_cast<unsigned long long>(c.hangUps),
        static_cast<unsigned long long>(c.listenerDowns));
    for (const LosslessPeers::StreamReport& st : r.streams) {
        std::printf("[ soak ] %-30s %12llu bytes sent, %12llu received%s\n", st.name.c_str(),
                    static_cast<unsigned long long>(st.sent),
                    static_cast<unsigned long long>(st.received), st.corrupt ? " CORRUPT" : "");
    }
    std::printf("[ soak ] descriptors %zu at the start, at most %zu (bound %zu); threads %zu, at "
                "most %zu (bound %zu); resident %zu KiB after the warm-up, %zu KiB at the end\n",
                r.fdBaseline, r.fdMax, r.fdBound, r.threadBaseline, r.threadMax, r.threadBound,
                r.rssWarmKib, r.rssEndKib);
    std::fflush(stdout);
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += "\n  " + line;
    }
    return out;
}

TEST(Soak, ThirtyTwoLinksUnderChurnLoseNothingAndLeaveNothingBehind) {
    const RunSettings settings = run_settings();
    std::printf("[ soak ] %u s, seed %llu (replay: PW_SOAK_SEED=%llu PW_SOAK_SECONDS=%u)\n",
                settings.seconds, static_cast<unsigned long long>(settings.seed),
                static_cast<unsigned long long>(settings.seed), settings.seconds);
    std::fflush(stdout);
    RecordProperty("seed", std::to_string(settings.seed));
    SCOPED_TRACE("soak seed " + std::to_string(settings.seed));

    RunResults r;
    {
        SoakDriver driver(settings);
        driver.setUp();
        if (!HasFatalFailure()) {
            driver.run();
        }
        driver.tearDown();
        r = driver.results();
    }
    ASSERT_FALSE(HasFatalFailure()) << "the soak could not be set up";
    const Recorder::Summary s = Recorder::instance().summary();
    printSummary(r, s);

    // Everything the engine and the test opened and started is gone again. Threads that a close
    // gave up waiting for may take a moment to end.
    const bool fdsBack = testsupport::wait_until([&] { return fd_count() == r.fdBaseline; },
                                                 std::chrono::seconds(15));
    EXPECT_TRUE(fdsBack) << fd_count() << " descriptors open, " << r.fdBaseline
                         << " at the start:\n"
                         << describe_fds();
    const bool threadsBack = testsupport::wait_until(
        [&] { return thread_count() == r.threadBaseline; }, std::chrono::seconds(15));
    EXPECT_TRUE(threadsBack) << thread_count() << " threads, " << r.threadBaseline
                             << " at the start";
    // While running, no more than the links and peers can hold at once.
    EXPECT_LE(r.fdMax, r.fdBound) << "descriptors piled up while running";
    EXPECT_LE(r.threadMax, r.threadBound) << "threads piled up while running";
    EXPECT_LE(r.rssEndKib, r.rssWarmKib + std::max(RSS_GROWTH_KIB, r.rssWarmKib / 2))
        << "resident memory kept growing";

    // Every lossless byte arrived, once and in order, and the counters agree.
    EXPECT_TRUE(r.settled) << "the lossless streams did not all arrive";
    for (const LosslessPeers::StreamReport& st : r.streams) {
        EXPECT_FALSE(st.corrupt) << st.name << ": byte " << st.firstBad << " is " << int{st.got}
                                 << ", not " << int{st.expected};
        EXPECT_EQ(st.received, st.sent) << st.name;
        EXPECT_GT(st.sent, 0u) << st.name << " never carried anything";
    }
    EXPECT_TRUE(r.streamFailures.empty()) << joined(r.streamFailures);
    EXPECT_TRUE(r.linkState.empty()) << joined(r.linkState);
    EXPECT_TRUE(r.counters.empty()) << joined(r.counters);
    EXPECT_TRUE(s.guardHits.empty()) << "a lossless link was disturbed:" << joined(s.guardHits);

    // Every call answered as its contract says, and every report was well-formed.
    EXPECT_EQ(r.contractCount, 0u) << joined(r.contract);
    EXPECT_EQ(s.violationCount, 0u) << joined(s.violations);

    // The chaos reached the engine (otherwise the run proves little).
    EXPECT_GT(s.events[static_cast<std::size_t>(EventKind::Accepted)], 0u);
    EXPECT_GT(s.events[static_cast<std::size_t>(EventKind::InterfaceClosed)], 0u);
    EXPECT_GT(s.events[static_cast<std::size_t>(EventKind::Deactivated)], 0u);
    EXPECT_GT(r.configChanges, 0u);
    if (HasFailure()) {
        std::printf("[ soak ] latest events:%s\n", joined(s.recent).c_str());
    }
}

} // namespace
} // namespace soak
