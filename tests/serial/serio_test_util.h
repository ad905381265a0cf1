// Helpers for the serial layer's tests: a collecting data callback and views of line settings,
// beside the shared pseudo-terminals and scratch directory.
#pragma once

#include "serial/serio_internal.h"
#include "tests/support/pty.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace serio_test {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Pseudo-terminals and the scratch directory come from the shared test support.
using testsupport::PtyPair;
using testsupport::ScratchDir;

// Data callback context that records every chunk; `accept` false makes it refuse chunks.
struct Collector {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Bytes> chunks;                  // taken chunks in order
    std::vector<Clock::time_point> arrivals;    // when each chunk was taken
    std::vector<Bytes> refused;                 // offers answered with 0
    std::atomic<bool> accept{true};             // false: refuse every offer
    SerialPort* handle = nullptr;               // written by serio_open
    bool echo = false;                          // send each taken chunk back on `handle`
    std::atomic<std::uint32_t> echoFailures{0}; // echo transmits that were refused
    std::atomic<int> callbackSleepMs{0};        // pause inside each call
    std::atomic<int> entered{0};                // calls started

    static std::uint32_t callback(void* context, const std::uint8_t* data, std::uint32_t length);
    // Waits until the taken chunks hold at least `count` bytes.
    bool waitBytes(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool waitRefused(std::size_t offers,
                     std::chrono::milliseconds limit = std::chrono::seconds(10));
    Bytes allBytes();
    std::vector<std::size_t> sizes();
};

// Line settings decoded from the platform's record.
struct LineView {
    std::uint32_t baud; // output rate in bits per second
    bool standardCode;  // rate given by a standard code, not as an arbitrary number
    int dataBits;       // 5 to 8
    bool parityOn;      // parity generated and checked
    bool parityOdd;     // odd (or mark, with stick parity)
    bool stickParity;   // mark/space parity
    bool twoStop;       // two stop bits
    bool rtsCts;        // hardware handshake
    bool xonXoff;       // software handshake in and out
    bool raw;           // no canonical mode, echo, signals, output processing, CR/NL mapping
    bool localAndRead;  // modem status ignored and receiver on
    bool parityCheck;   // input parity checking on
    std::uint32_t iflag, oflag, cflag, lflag; // the raw flag words, to compare snapshots
};

LineView decode(const pw::serio::SavedLine& line);
// Current settings of the terminal behind `fd` (a pty master shows its slave's settings).
LineView readLine(int fd);
// Settings as a freshly made terminal has them, optionally with RTS/CTS or XON/XOFF on.
pw::serio::SavedLine terminalDefaults(bool rtsCts, bool xonXoff);
// Turns RTS/CTS handshake on for the terminal behind `fd`.
void enableRtsCts(int fd);

// Bytes 0, 1, ... 250, 0, 1, ... of a given length, starting at `seed`.
Bytes pattern(std::size_t length, std::uint32_t seed = 0);

} // namespace serio_test
