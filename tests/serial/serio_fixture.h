// Test fixture of the serial layer: a scratch working directory, captured diagnostics, and the
// layer shut down after every test.
#pragma once

#include "base/platform.h"
#include "serial/serio.h"
#include "tests/serial/serio_test_util.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace serio_test {

inline std::mutex g_diagMutex;
inline std::vector<std::string> g_diagLines;

inline void captureDiag(const char* text) {
    std::lock_guard<std::mutex> lk(g_diagMutex);
    g_diagLines.emplace_back(text);
}

class SerioTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lk(g_diagMutex);
            g_diagLines.clear();
        }
        pw::set_diag_sink(captureDiag);
    }

    void TearDown() override {
        serio_shutdown();
        pw::set_diag_sink(nullptr);
    }

    static std::size_t diagCount(const std::string& text) {
        std::lock_guard<std::mutex> lk(g_diagMutex);
        return static_cast<std::size_t>(std::count(g_diagLines.begin(), g_diagLines.end(), text));
    }

    static bool waitDiag(const std::string& text,
                         std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        return testsupport::wait_until([&] { return diagCount(text) > 0; }, limit);
    }

    // Writes the name file and starts the layer.
    void startLayer(const std::map<unsigned, std::string>& ports) {
        dir_.writePorts(ports);
        ASSERT_EQ(serio_init(), 1u);
    }

    // Opens COM`com` with common settings; fails the test when it does not open.
    SerialPort* openPort(unsigned com, Collector& c, std::uint32_t flow = SERIO_FLOW_NONE,
                         std::uint32_t baud = 115200) {
        std::uint32_t ext = 0;
        const std::uint32_t rc = serio_open(com - 1, baud, 8, SERIO_PARITY_NONE, SERIO_STOP_ONE,
                                            flow, &c, &c.handle, Collector::callback, &ext);
        EXPECT_EQ(rc, SERIO_OK) << "errno " << ext;
        return rc == SERIO_OK ? c.handle : nullptr;
    }

    // Holds the port's output as a device would with XOFF (the port uses XON/XOFF). Returns once
    // the XOFF is in effect: the marker sent after it has reached the callback.
    static bool holdOutput(PtyPair& pty, Collector& c) {
        const std::size_t before = c.allBytes().size();
        return pty.write(Bytes{0x13, 'M'}) && c.waitBytes(before + 1);
    }
    static bool releaseOutput(PtyPair& pty) { return pty.write(Bytes{0x11}); }

    // Closes `h` and checks that its threads ended in good time.
    static void expectPromptClose(SerialPort* h) {
        const auto start = Clock::now();
        EXPECT_EQ(serio_close(h), 0u);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
        EXPECT_EQ(diagCount("Threads did not exit"), 0u);
    }

    // Waits until serio_tx_space reports `space`.
    static bool waitTxSpace(SerialPort* h, std::uint32_t space) {
        return testsupport::wait_until([&] { return serio_tx_space(h) == space; },
                                       std::chrono::seconds(5));
    }

    // Collectors live until the layer is shut down in TearDown, so a callback still running
    // when a test body ends never sees a destroyed context.
    Collector& newCollector() { return collectors_.emplace_back(); }

    ScratchDir dir_;
    std::deque<Collector> collectors_;
};

} // namespace serio_test
