// What the soak watches from outside the engine: the process's descriptors, threads and resident
// memory, and everything the engine reports through its callbacks, checked for sanity as it
// arrives and counted (nothing is kept but counters and the latest few events, so a long run does
// not grow the test's own memory).
#pragma once

#include "engine/weave.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

// Entries of /proc/self/fd (without the directory's own descriptor).
std::size_t fd_count();
// Entries of /proc/self/task.
std::size_t thread_count();
// Resident set size in KiB (/proc/self/statm).
std::size_t resident_kib();
// "fd -> target" for every open descriptor, for the failure message of a descriptor leak.
std::string describe_fds();

// Event kinds the soak counts (by their text).
enum class EventKind : std::size_t {
    Activated,        // "... IP port activated" / "... Serial port (COMn) activated"
    Deactivated,      // "... deactivated"
    Accepted,         // "... TCP connection accepted."
    Rejected,         // "... new connection rejected (1 client already connected)"
    InterfaceClosed,  // "... IP interface closed."
    Connected,        // "... TCP connected."
    ConnectFailed,    // "... TCP connect failed."
    ActivationFailed, // "... IP port activation failed ..." / "... Serial port open fail ..."
    Other,
    Count,
};
constexpr std::size_t EVENT_KIND_COUNT = static_cast<std::size_t>(EventKind::Count);

// Collects the engine's reports. The callbacks run on any engine thread with the engine's mutex
// held, so each takes only this object's own mutex, briefly.
class Recorder {
public:
    static Recorder& instance();

    // Clears everything; links below `guardedLinks` are the lossless ones, whose ports must
    // never go down or lose their peer while `guardOn` is set.
    void reset(std::uint32_t guardedLinks);
    void setGuard(bool on);

    static void onEvent(const char* text);
    static void onTrace(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
                        const std::uint8_t* data, std::uint32_t length);
    static void onStatus(const LinkStatus* status);
    static void onDiag(const char* text);

    struct Summary {
        std::array<std::uint64_t, EVENT_KIND_COUNT> events{}; // by EventKind
        std::uint64_t traceCalls = 0;
        std::uint64_t traceBytes = 0;
        std::uint64_t statusCalls = 0;
        std::uint64_t diagLines = 0;
        std::uint64_t violationCount = 0;
        std::vector<std::string> violations; // the first few, as text
        std::vector<std::string> guardHits;  // events that took a lossless link's port down
        std::vector<std::string> recent;     // the latest events, oldest first
    };
    Summary summary();

private:
    void event(const char* text);
    void trace(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
               const std::uint8_t* data, std::uint32_t length);
    void status(const LinkStatus* status);
    void violation(std::string text); // with mutex_ held

    static constexpr std::size_t RECENT = 40;        // events kept for a failure message
    static constexpr std::size_t KEPT_PROBLEMS = 20; // violations and guard hits kept as text

    std::mutex mutex_;
    Summary s_;
    std::array<std::string, RECENT> recent_;
    std::size_t recentNext_ = 0;
    std::uint64_t eventCount_ = 0;
    std::uint32_t guardedLinks_ = 0;
    bool guardOn_ = false;
};

std::string kind_name(EventKind kind);

} // namespace soak
