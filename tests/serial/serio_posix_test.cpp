// The serial layer on Linux: the termios settings composed, applied and put back, and the devices
// found under a directory of links.
#include "serial/serio_internal.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/ioctl.h>

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

// The line settings of the terminal behind `fd` (a pseudo-terminal's master shows its slave's).
termios2 lineOf(int fd) {
    termios2 t{};
    EXPECT_EQ(::ioctl(fd, TCGETS2, &t), 0);
    return t;
}

void expectSameLine(const termios2& a, const termios2& b, tcflag_t ignoredCflags = 0) {
    EXPECT_TRUE(a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag);
    EXPECT_EQ(a.c_cflag & ~ignoredCflags, b.c_cflag & ~ignoredCflags);
    EXPECT_EQ(a.c_ospeed, b.c_ospeed);
}

TEST(SerioSettings, SettingsAreCheckedComposedAppliedAndRestoredAtClose) {
    PtyPair pty;
    ScratchDir dir;
    dir.writePorts({{1, pty.slavePath()}});
    ASSERT_EQ(serio_init(), 1u);
    const std::shared_ptr<void> stop(nullptr, [](void*) { serio_shutdown(); });
    // RTS/CTS and parity checks on, as another program may have left them; XON/XOFF on, as a new
    // terminal has it.
    termios2 before = lineOf(pty.master());
    before.c_cflag |= CRTSCTS;
    before.c_iflag |= IXON | IXOFF | INPCK;
    ASSERT_EQ(::ioctl(pty.master(), TCSETS2, &before), 0);
    // Baud rate, data bits, parity, stop bits and flow control codes; the flags they give, or
    // none for settings that are refused.
    struct Row {
        pw::serio::LineSettings s;
        tcflag_t cflags, iflags;
    };
    const tcflag_t cShown = CBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const Row rows[] = {
        {{9600, 8, 0, 0, 0}, B9600 | CS8 | CRTSCTS, 0},
        {{14400, 7, 3, 2, 1}, BOTHER | CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS, INPCK},
        {{256000, 6, 1, 1, 2}, BOTHER | CS6 | PARENB | PARODD | CSTOPB, IXON | IXOFF | INPCK},
        {{115200, 5, 4, 0, 7}, B115200 | CS5 | PARENB | CMSPAR | CRTSCTS, INPCK},
        {{300, 8, 2, 0, 0}, B300 | CS8 | PARENB | CRTSCTS, INPCK},
        {{0, 8, 0, 0, 0}, 0, 0},
        {{9600, 4, 0, 0, 0}, 0, 0},
        {{9600, 9, 0, 0, 0}, 0, 0},
        {{9600, 8, 5, 0, 0}, 0, 0},
        {{9600, 8, 0, 3, 0}, 0, 0}};
    for (const Row& r : rows) {
        pw::serio::SavedLine found{}, composed{};
        std::memcpy(found.bytes, &before, sizeof before);
        const int err = pw::serio::os::compose_settings(found, r.s, &composed);
        termios2 t{};
        std::memcpy(&t, composed.bytes, sizeof t);
        SerialPort* h = nullptr;
        std::uint32_t ext = 0;
        const std::uint32_t baud = r.s.baudRate;
        const std::uint32_t rc = serio_open(0, baud, r.s.dataBits, r.s.parity, r.s.stopBits,
                                            r.s.flowControl, nullptr, &h, nullptr, &ext);
        if (r.cflags == 0) {
            EXPECT_TRUE(err == EINVAL && rc == SERIO_RC_SET_STATE && ext == EINVAL) << baud;
            expectSameLine(lineOf(pty.master()), before);
            continue;
        }
        ASSERT_EQ(err, 0);
        // Errors checked only with a parity; the receiver on and carrier ignored.
        EXPECT_EQ(t.c_cflag & (cShown | CLOCAL | CREAD), r.cflags | CLOCAL | CREAD) << baud;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), r.iflags) << baud;
        EXPECT_TRUE(t.c_ispeed == baud && t.c_ospeed == baud) << baud;
        ASSERT_EQ(rc, SERIO_OK);
        // A pseudo-terminal keeps 8 bits without parity generation whatever it is told.
        expectSameLine(lineOf(pty.master()), t, CSIZE | PARENB);
        ASSERT_EQ(serio_close(h), 0u);
        expectSameLine(lineOf(pty.master()), before);
    }
}

TEST(SerioDevices, StableLinksComeFirstThenNodesNoLinkCoversThatAnswer) {
    PtyPair usb, acm, uart;
    TempDir dev;
    fs::create_directories(dev / "serial/by-id");
    fs::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-Maker_Cable_0001-if00");
    fs::create_symlink("../../ttyUSB9", dev / "serial/by-id/usb-Gone-if00");
    const std::pair<const char*, std::string> nodes[] = {
        {"ttyUSB0", usb.slavePath()}, {"ttyACM0", acm.slavePath()}, {"ttyS10", uart.slavePath()},
        {"ttyS2", uart.slavePath()},  {"ttyS3", "/dev/null"},       {"ttyACM1", "/absent"},
        {"ttyX1", acm.slavePath()}};
    for (const auto& [name, target] : nodes) {
        fs::create_symlink(target, dev / name);
    }
    std::string found;
    for (const SerioDevice& d : serio_find_devices(dev.str())) {
        found += d.path.substr(dev.str().size()) + " " + d.node.substr(dev.str().size()) + "|";
    }
    EXPECT_EQ(found, "/serial/by-id/usb-Maker_Cable_0001-if00 /ttyUSB0|/ttyACM0 /ttyACM0|"
                     "/ttyS2 /ttyS2|/ttyS10 /ttyS10|");
    // A USB node counts by being there; a ttyS node only when it answers as a terminal.
    EXPECT_TRUE(serio_device_present(dev.str() + "/ttyUSB0") &&
                serio_device_present(usb.slavePath()));
    EXPECT_FALSE(serio_device_present(dev.str() + "/ttyS3") ||
                 serio_device_present(dev.str() + "/ttyACM1") || serio_device_present(dev.str()));
    EXPECT_TRUE(serio_find_devices(dev.str() + "/none").empty());
}

} // namespace
