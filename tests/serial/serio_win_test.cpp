// The serial layer's Windows backend on COM ports of the Wine prefix (pseudo-terminal pairs made
// on the Linux side): exclusive opens, the line settings written and put back, bursts as chunks,
// the transmit limits and a device that goes away.
#include "serial/serio_internal.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <windows.h>

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

std::mutex g_mutex;
std::vector<std::string> g_chunks;

std::uint32_t Collect(void*, const std::uint8_t* data, std::uint32_t length) {
    std::lock_guard<std::mutex> lk(g_mutex);
    g_chunks.emplace_back(reinterpret_cast<const char*>(data), length);
    return 1;
}

std::vector<std::string> Chunks() {
    std::lock_guard<std::mutex> lk(g_mutex);
    return g_chunks;
}

struct Line {
    DCB dcb;
    COMMTIMEOUTS timeouts;
};

// The settings of a COM port that nobody holds.
Line LineOf(const std::string& path) {
    Line l{};
    l.dcb.DCBlength = sizeof l.dcb;
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(GetCommState(h, &l.dcb) && GetCommTimeouts(h, &l.timeouts));
    CloseHandle(h);
    return l;
}

TEST(SerioWin, TheDcbAndTimeoutsAreComposedAsTheTableSays) {
    pw::serio::SavedLine found{}, made{};
    Line l{};
    l.dcb.fOutxCtsFlow = TRUE; // kept when no flow control is asked for
    l.dcb.fOutX = TRUE;        // XON/XOFF would eat binary bytes: off
    std::memcpy(found.bytes, &l, sizeof l);
    ASSERT_EQ(pw::serio::os::compose_settings(found, {14400, 7, SERIO_PARITY_EVEN, 2, 0}, &made),
              0);
    std::memcpy(&l, made.bytes, sizeof l);
    EXPECT_TRUE(l.dcb.BaudRate == 14400 && l.dcb.ByteSize == 7 && l.dcb.Parity == EVENPARITY &&
                l.dcb.StopBits == TWOSTOPBITS && l.dcb.fBinary && l.dcb.fParity);
    EXPECT_TRUE(l.dcb.fOutxCtsFlow && !l.dcb.fOutX && !l.dcb.fInX && !l.dcb.fOutxDsrFlow &&
                l.dcb.fDtrControl == DTR_CONTROL_ENABLE && l.dcb.fRtsControl == RTS_CONTROL_ENABLE);
    EXPECT_TRUE(l.timeouts.ReadIntervalTimeout == 50 && l.timeouts.ReadTotalTimeoutConstant == 0 &&
                l.timeouts.WriteTotalTimeoutConstant == 0);
    EXPECT_NE(pw::serio::os::compose_settings(found, {9600, 9, 0, 0, 0}, &made), 0);
}

TEST(SerioWin, APortOpensAloneCarriesBurstsAndGetsItsSettingsBack) {
    PtyPair pty;
    ScratchDir dir;
    dir.writePorts({{1, pty.slavePath()}, {2, pty.slavePath()}});
    const Line before = LineOf(pty.slavePath());
    g_chunks.clear();
    ASSERT_EQ(serio_init(), 1u);
    const std::shared_ptr<void> stop(nullptr, [](void*) { serio_shutdown(); });
    SerialPort* h = nullptr;
    std::uint32_t ext = 0;
    ASSERT_EQ(serio_open(0, 9600, 7, SERIO_PARITY_EVEN, 0, 0, nullptr, &h, Collect, &ext), SERIO_OK)
        << ext;
    // Windows refuses a second handle on a COM port; Wine does not for a pseudo-terminal.
    const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    SerialPort* again = nullptr;
    if (!wine) {
        EXPECT_EQ(serio_open(1, 9600, 8, 0, 0, 0, nullptr, &again, Collect, &ext),
                  SERIO_RC_OPEN_FAILED);
        EXPECT_EQ(ext, std::uint32_t{ERROR_ACCESS_DENIED}) << "opened without sharing";
    }
    // The far end of a pseudo-terminal has no modem lines; that counts as success.
    EXPECT_EQ(serio_set_line(h, SERIO_LINE_RTS, 1) + serio_set_line(h, SERIO_LINE_DTR, 0), 2u);

    ASSERT_TRUE(pty.write("burst-one") && pty.write("+same"));
    ASSERT_TRUE(wait_until([] { return Chunks().size() == 1; }));
    std::this_thread::sleep_for(300ms); // far more than the 50 ms that end a burst
    ASSERT_TRUE(pty.write("burst-two"));
    ASSERT_TRUE(wait_until([] { return Chunks().size() == 2; }));
    EXPECT_EQ(Chunks(), (std::vector<std::string>{"burst-one+same", "burst-two"}));

    const std::vector<std::uint8_t> data = pattern(SERIO_CHUNK_SIZE + 1);
    EXPECT_EQ(serio_transmit(h, data.data(), SERIO_CHUNK_SIZE + 1), 0u);
    ASSERT_EQ(serio_transmit(h, data.data(), SERIO_CHUNK_SIZE), 1u);
    EXPECT_EQ(pty.read(SERIO_CHUNK_SIZE), std::vector<std::uint8_t>(data.begin(), data.end() - 1));

    ASSERT_EQ(serio_close(h), 0u);
    const Line after = LineOf(pty.slavePath());
    EXPECT_TRUE(after.dcb.BaudRate == before.dcb.BaudRate &&
                after.dcb.ByteSize == before.dcb.ByteSize && after.dcb.Parity == before.dcb.Parity);
    EXPECT_EQ(std::memcmp(&after.timeouts, &before.timeouts, sizeof before.timeouts), 0);
    // A device that goes away is told once, as on Linux.
    static std::atomic<int> faults;
    faults = 0;
    serio_set_fault_callback([](void*) { ++faults; });
    ASSERT_EQ(serio_open(0, 9600, 8, 0, 0, 0, nullptr, &h, Collect, &ext), SERIO_OK);
    pty.hangUp();
    EXPECT_TRUE(wait_until([] { return faults.load() == 1; }));
    serio_set_fault_callback(nullptr);
}

} // namespace
