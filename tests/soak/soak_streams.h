// The far ends of the lossless links: each path carries one stream each way, a sequence whose
// every byte depends on its stream and its offset, so a byte lost, doubled, changed, reordered or
// delivered to the wrong stream shows at its offset. Writers send in bursts and pauses; readers
// alternate between reading at once, reading slowly and not reading at all, so the engine holds
// its sources back again and again. One thread serves every endpoint (non-blocking sockets and
// pseudo-terminal masters).
#pragma once

#include "tests/soak/soak_plan.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace soak {

// Byte `offset` of stream `stream`.
std::uint8_t stream_byte(std::uint32_t stream, std::uint64_t offset);

class LosslessPeers {
public:
    explicit LosslessPeers(std::uint64_t seed);
    ~LosslessPeers();
    LosslessPeers(const LosslessPeers&) = delete;
    LosslessPeers& operator=(const LosslessPeers&) = delete;

    // The far ends of one lossless link: `fdA` plays P1's peer, `fdB` P2's (a socket or a
    // pseudo-terminal master, non-blocking, owned by the caller until after stop()). Stream
    // first (A to B, entering at P1) and first + 1 (B to A, entering at P2); returns first.
    std::uint32_t addPath(const std::string& name, int fdA, int fdB);
    [[nodiscard]] std::uint32_t streamCount() const {
        return static_cast<std::uint32_t>(streams_.size());
    }

    void start();
    // The writers end their streams where they are; the readers read at full speed from now on.
    void finishWriting();
    // After finishWriting: every stream has arrived whole (or something failed).
    [[nodiscard]] bool settled() const;
    void stop();

    [[nodiscard]] std::uint64_t sent(std::uint32_t stream) const;
    [[nodiscard]] std::uint64_t received(std::uint32_t stream) const;

    struct StreamReport {
        std::string name;           // "<path> A>B" or "<path> B>A"
        std::uint64_t sent = 0;     // bytes written
        std::uint64_t received = 0; // bytes read
        bool corrupt = false;       // a byte differed from the sequence
        std::uint64_t firstBad = 0; // offset of the first such byte
        std::uint8_t expected = 0;  // what that byte should have been
        std::uint8_t got = 0;       // what it was
    };
    // After stop().
    [[nodiscard]] std::vector<StreamReport> reports() const;
    // Failures of the endpoints themselves (a connection closed or reset, a read error).
    [[nodiscard]] std::vector<std::string> failures() const;

private:
    enum class WritePhase { Burst, Pause };
    enum class ReadPhase { Fast, Slow, Stalled };

    struct Stream {
        std::string name;
        std::atomic<std::uint64_t> sent{0};
        std::atomic<std::uint64_t> received{0};
        // Writer and reader state, for the peers' thread only.
        WritePhase writePhase = WritePhase::Pause;
        std::int64_t writePhaseEnd = 0; // steady clock, µs
        double tokens = 0;              // bytes the writer may send now
        bool corrupt = false;
        std::uint64_t firstBad = 0;
        std::uint8_t expected = 0;
        std::uint8_t got = 0;
    };
    struct Endpoint {
        std::string name;
        int fd = -1;
        bool socket = false;
        std::uint32_t tx = 0; // stream it writes
        std::uint32_t rx = 0; // stream it reads
        ReadPhase readPhase = ReadPhase::Fast;
        std::int64_t readPhaseEnd = 0; // steady clock, µs
        bool failed = false;
    };

    void run();
    void updatePhases(std::int64_t now, double elapsedSeconds);
    void writeSome(Endpoint& e);
    void readSome(Endpoint& e);
    void fail(Endpoint& e, const std::string& what);

    Rng rng_;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::vector<Endpoint> endpoints_;
    std::atomic<bool> finishing_{false};
    std::atomic<bool> finished_{false}; // the thread saw finishing_: no more writes
    std::atomic<bool> stop_{false};
    std::atomic<bool> anyFailed_{false};
    std::vector<std::string> failures_; // written by the peers' thread, read after stop()
    std::vector<std::uint8_t> buffer_;
    std::thread thread_;
};

} // namespace soak
