// The serial layer's Windows backend: the DCB and time-outs composed, and put back at close on a
// COM port of the Wine prefix (a pseudo-terminal pair made on the Linux side).
#include "serial/serio_internal.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <windows.h>

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

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

TEST(SerioWin, APortGetsTheSettingsItFoundBackAtClose) {
    PtyPair pty;
    ScratchDir dir;
    dir.writePorts({{1, pty.slavePath()}});
    const Line before = LineOf(pty.slavePath());
    ASSERT_EQ(serio_init(), 1u);
    const std::shared_ptr<void> stop(nullptr, [](void*) { serio_shutdown(); });
    SerialPort* h = nullptr;
    std::uint32_t ext = 0;
    ASSERT_EQ(serio_open(0, 9600, 7, SERIO_PARITY_EVEN, 0, 0, nullptr, &h, nullptr, &ext), SERIO_OK)
        << ext;
    ASSERT_EQ(serio_close(h), 0u);
    const Line after = LineOf(pty.slavePath());
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0);
}

} // namespace
