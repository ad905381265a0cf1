// Opening, configuring and closing ports; the name table; start and stop of the layer.
#include "engine/records.h"
#include "tests/serial/serio_fixture.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace serio_test {
namespace {

using namespace std::chrono_literals;

// Opens a device path and locks it the way another program would; -1 when the lock is taken.
int lockFromOutside(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when another program could take the device now: the layer holds nothing of it.
bool deviceFree(const std::string& path) {
    const int fd = lockFromOutside(path);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd >= 0;
}

std::uint32_t openWith(unsigned com, std::uint32_t baud, std::uint8_t bits, std::uint8_t parity,
                       std::uint8_t stop, std::uint32_t flow, Collector& c, std::uint32_t* ext) {
    return serio_open(com - 1, baud, bits, parity, stop, flow, &c, &c.handle, Collector::callback,
                      ext);
}

TEST_F(SerioTest, OpenRefusesBadArguments) {
    PtyPair pty;
    dir_.writePorts({{1, pty.slavePath()}});
    Collector& c = newCollector();
    std::uint32_t ext = 0;
    EXPECT_EQ(openWith(1, 9600, 8, 0, 0, 0, c, &ext), SERIO_RC_BAD_ARG) << "not initialised";
    ASSERT_EQ(serio_init(), 1u);
    EXPECT_EQ(
        serio_open(SERIO_PORT_COUNT, 9600, 8, 0, 0, 0, &c, &c.handle, Collector::callback, &ext),
        SERIO_RC_BAD_ARG);
    EXPECT_EQ(serio_open(0, 9600, 8, 0, 0, 0, &c, &c.handle, Collector::callback, nullptr),
              SERIO_RC_BAD_ARG);
    EXPECT_EQ(serio_open(0, 9600, 8, 0, 0, 0, &c, nullptr, Collector::callback, &ext),
              SERIO_RC_BAD_ARG);
    EXPECT_EQ(ext, 0u);
    // None of these touched the device.
    EXPECT_TRUE(deviceFree(pty.slavePath()));
}

TEST_F(SerioTest, OpenTwiceReportsAlreadyOpenAndKeepsThePort) {
    PtyPair pty;
    ASSERT_NO_FATAL_FAILURE(startLayer({{1, pty.slavePath()}}));
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    Collector& other = newCollector();
    std::uint32_t ext = 0;
    EXPECT_EQ(openWith(1, 9600, 8, 0, 0, 0, other, &ext), SERIO_RC_ALREADY_OPEN);
    EXPECT_EQ(ext, 0u);
    EXPECT_EQ(other.handle, nullptr);
    ASSERT_EQ(serio_transmit(h, pattern(10).data(), 10), 1u);
    EXPECT_EQ(pty.read(10), pattern(10));
    ASSERT_TRUE(pty.write("ping"));
    ASSERT_TRUE(c.waitBytes(4));
    EXPECT_EQ(c.allBytes(), Bytes({'p', 'i', 'n', 'g'}));
}

TEST_F(SerioTest, MissingDeviceGivesOpenFailedWithErrno) {
    ASSERT_NO_FATAL_FAILURE(startLayer({{5, dir_.path() + "/no-such-device"}}));
    Collector& c = newCollector();
    std::uint32_t ext = 0;
    EXPECT_EQ(openWith(5, 9600, 8, 0, 0, 0, c, &ext), SERIO_RC_OPEN_FAILED);
    EXPECT_EQ(ext, static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(c.handle, nullptr);
}

TEST_F(SerioTest, DeviceIsOpenedExclusively) {
    PtyPair shared;
    PtyPair other;
    ASSERT_NO_FATAL_FAILURE(
        startLayer({{1, shared.slavePath()}, {2, shared.slavePath()}, {3, other.slavePath()}}));

    // Two COM numbers naming one device: the second open is refused.
    Collector& first = newCollector();
    SerialPort* h = openPort(1, first);
    ASSERT_NE(h, nullptr);
    Collector& second = newCollector();
    std::uint32_t ext = 0;
    EXPECT_EQ(openWith(2, 9600, 8, 0, 0, 0, second, &ext), SERIO_RC_OPEN_FAILED);
    EXPECT_TRUE(ext == EWOULDBLOCK || ext == EBUSY) << ext;
    // Another program cannot take it either.
    EXPECT_FALSE(deviceFree(shared.slavePath()));

    // A device another program holds cannot be opened; once released it can.
    const int held = lockFromOutside(other.slavePath());
    ASSERT_GE(held, 0);
    Collector& third = newCollector();
    ext = 0;
    EXPECT_EQ(openWith(3, 9600, 8, 0, 0, 0, third, &ext), SERIO_RC_OPEN_FAILED);
    EXPECT_NE(ext, 0u);
    ::close(held);
    ext = 0;
    EXPECT_EQ(openWith(3, 9600, 8, 0, 0, 0, third, &ext), SERIO_OK);

    // Closing releases the device for the other COM number.
    EXPECT_EQ(serio_close(h), 0u);
    ext = 0;
    EXPECT_EQ(openWith(2, 9600, 8, 0, 0, 0, second, &ext), SERIO_OK) << ext;
}

TEST_F(SerioTest, InvalidSettingsAreRefusedAndLeaveTheDeviceFree) {
    PtyPair pty;
    ASSERT_NO_FATAL_FAILURE(startLayer({{1, pty.slavePath()}}));
    const LineView before = readLine(pty.master());
    struct Bad {
        std::uint32_t baud;
        std::uint8_t bits, parity, stop;
    };
    for (const Bad& b : {Bad{0, 8, 0, 0}, Bad{9600, 4, 0, 0}, Bad{9600, 9, 0, 0},
                         Bad{9600, 8, 5, 0}, Bad{9600, 8, 0, 3}}) {
        Collector& c = newCollector();
        std::uint32_t ext = 0;
        EXPECT_EQ(openWith(1, b.baud, b.bits, b.parity, b.stop, 0, c, &ext), SERIO_RC_SET_STATE);
        EXPECT_EQ(ext, static_cast<std::uint32_t>(EINVAL));
        EXPECT_EQ(c.handle, nullptr);
        EXPECT_TRUE(deviceFree(pty.slavePath())) << "device still held after a refused open";
        const LineView now = readLine(pty.master());
        EXPECT_EQ(now.cflag, before.cflag);
        EXPECT_EQ(now.lflag, before.lflag);
    }
    // A failed open can be followed by a good one at once.
    Collector& c = newCollector();
    EXPECT_NE(openPort(1, c), nullptr);
}

TEST_F(SerioTest, SettingsAreComposedForEveryCode) {
    using pw::serio::LineSettings;
    using pw::serio::SavedLine;
    using pw::serio::os::compose_settings;
    const SavedLine plain = terminalDefaults(false, false);
    for (const std::uint32_t baud : BAUD_RATES) {
        SavedLine out{};
        ASSERT_EQ(compose_settings(plain, LineSettings{baud, 8, 0, 0, 0}, &out), 0);
        const LineView v = decode(out);
        EXPECT_EQ(v.baud, baud);
        const bool odd = baud == 14400 || baud == 56000 || baud == 128000 || baud == 256000;
        EXPECT_EQ(v.standardCode, !odd) << baud;
    }
    for (std::uint8_t bits = 5; bits <= 8; ++bits) {
        SavedLine out{};
        ASSERT_EQ(compose_settings(plain, LineSettings{9600, bits, 0, 0, 0}, &out), 0);
        EXPECT_EQ(decode(out).dataBits, bits);
    }
    struct Parity {
        std::uint8_t code;
        bool on, odd, stick;
    };
    for (const Parity& p : {Parity{SERIO_PARITY_NONE, false, false, false},
                            Parity{SERIO_PARITY_ODD, true, true, false},
                            Parity{SERIO_PARITY_EVEN, true, false, false},
                            Parity{SERIO_PARITY_MARK, true, true, true},
                            Parity{SERIO_PARITY_SPACE, true, false, true}}) {
        SavedLine out{};
        ASSERT_EQ(compose_settings(plain, LineSettings{9600, 7, p.code, 0, 0}, &out), 0);
        const LineView v = decode(out);
        EXPECT_EQ(v.parityOn, p.on) << int(p.code);
        EXPECT_EQ(v.parityOdd, p.odd) << int(p.code);
        EXPECT_EQ(v.stickParity, p.stick) << int(p.code);
        // Parity checking is on whatever the parity.
        EXPECT_TRUE(v.parityCheck);
        EXPECT_TRUE(v.raw);
        EXPECT_TRUE(v.localAndRead);
    }
    const bool stopTwo[] = {false, true, true};
    for (std::uint8_t stop = 0; stop <= 2; ++stop) {
        SavedLine out{};
        ASSERT_EQ(compose_settings(plain, LineSettings{9600, 8, 0, stop, 0}, &out), 0);
        EXPECT_EQ(decode(out).twoStop, stopTwo[stop]);
    }

    // Flow control: RTS/CTS on; XON/XOFF on; none keeps RTS/CTS as found but never XON/XOFF.
    SavedLine out{};
    ASSERT_EQ(compose_settings(plain, LineSettings{9600, 8, 0, 0, SERIO_FLOW_RTS_CTS}, &out), 0);
    EXPECT_TRUE(decode(out).rtsCts);
    EXPECT_FALSE(decode(out).xonXoff);
    const SavedLine both = terminalDefaults(true, true);
    ASSERT_EQ(compose_settings(both, LineSettings{9600, 8, 0, 0, SERIO_FLOW_XON_XOFF}, &out), 0);
    EXPECT_FALSE(decode(out).rtsCts);
    EXPECT_TRUE(decode(out).xonXoff);
    ASSERT_EQ(compose_settings(both, LineSettings{9600, 8, 0, 0, SERIO_FLOW_NONE}, &out), 0);
    EXPECT_TRUE(decode(out).rtsCts);
    EXPECT_FALSE(decode(out).xonXoff);
    ASSERT_EQ(compose_settings(plain, LineSettings{9600, 8, 0, 0, SERIO_FLOW_NONE}, &out), 0);
    EXPECT_FALSE(decode(out).rtsCts);
}

TEST_F(SerioTest, SettingsReachTheDeviceAndAreRestoredAtClose) {
    PtyPair pty;
    ASSERT_NO_FATAL_FAILURE(startLayer({{1, pty.slavePath()}}));
    // The device starts with RTS/CTS on, as another program may have left it.
    enableRtsCts(pty.master());
    const LineView before = readLine(pty.master());
    ASSERT_FALSE(before.raw);

    struct Sample {
        std::uint32_t baud;
        std::uint8_t bits, parity, stop;
        std::uint32_t flow;
        bool rtsCts, xonXoff;
    };
    for (const Sample& s :
         {Sample{14400, 7, SERIO_PARITY_MARK, SERIO_STOP_TWO, SERIO_FLOW_RTS_CTS, true, false},
          Sample{256000, 8, SERIO_PARITY_ODD, SERIO_STOP_ONE_HALF, SERIO_FLOW_XON_XOFF, false,
                 true},
          Sample{115200, 8, SERIO_PARITY_SPACE, SERIO_STOP_ONE, SERIO_FLOW_NONE, true, false}}) {
        Collector& c = newCollector();
        std::uint32_t ext = 0;
        ASSERT_EQ(openWith(1, s.baud, s.bits, s.parity, s.stop, s.flow, c, &ext), SERIO_OK);
        // A pseudo-terminal forces 8 bits without parity generation; the rest shows as set.
        const LineView v = readLine(pty.master());
        EXPECT_EQ(v.baud, s.baud);
        EXPECT_EQ(v.parityOdd, s.parity == SERIO_PARITY_MARK || s.parity == SERIO_PARITY_ODD);
        EXPECT_EQ(v.stickParity, s.parity == SERIO_PARITY_MARK || s.parity == SERIO_PARITY_SPACE);
        EXPECT_EQ(v.twoStop, s.stop != SERIO_STOP_ONE);
        EXPECT_EQ(v.rtsCts, s.rtsCts);
        EXPECT_EQ(v.xonXoff, s.xonXoff);
        EXPECT_TRUE(v.raw);
        EXPECT_TRUE(v.localAndRead);
        EXPECT_TRUE(v.parityCheck);
        ASSERT_EQ(serio_close(c.handle), 0u);
        const LineView after = readLine(pty.master());
        EXPECT_EQ(after.iflag, before.iflag);
        EXPECT_EQ(after.oflag, before.oflag);
        EXPECT_EQ(after.cflag, before.cflag);
        EXPECT_EQ(after.lflag, before.lflag);
        EXPECT_EQ(after.baud, before.baud);
    }
}

TEST_F(SerioTest, ModemLinesAndCloseResults) {
    PtyPair pty;
    ASSERT_NO_FATAL_FAILURE(startLayer({{1, pty.slavePath()}}));
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    // A pseudo-terminal has no modem lines; that counts as success.
    for (const std::uint32_t line : {SERIO_LINE_RTS, SERIO_LINE_DTR}) {
        EXPECT_EQ(serio_set_line(h, line, 0), 1u);
        EXPECT_EQ(serio_set_line(h, line, 1), 1u);
    }
    EXPECT_EQ(serio_set_line(h, 2, 1), 0u);
    EXPECT_EQ(serio_set_line(nullptr, SERIO_LINE_RTS, 1), 0u);
    EXPECT_EQ(serio_close(nullptr), 1u);
    auto* stray = reinterpret_cast<SerialPort*>(reinterpret_cast<char*>(h) + 1);
    EXPECT_EQ(serio_close(stray), 1u);
    EXPECT_EQ(serio_transmit(stray, pattern(1).data(), 1), 0u);

    EXPECT_EQ(serio_close(h), 0u);
    EXPECT_EQ(serio_close(h), 1u);
    EXPECT_EQ(serio_set_line(h, SERIO_LINE_DTR, 1), 0u);
    EXPECT_EQ(serio_transmit(h, pattern(1).data(), 1), 0u);
    EXPECT_EQ(serio_tx_space(h), 0u);
    EXPECT_EQ(serio_wait_for_threads(h, 100), 1u);
    EXPECT_TRUE(deviceFree(pty.slavePath())) << "device still held after close";
    EXPECT_EQ(diagCount("Threads did not exit"), 0u);
}

TEST_F(SerioTest, WaitForThreadsStopsBothThreads) {
    PtyPair pty;
    ASSERT_NO_FATAL_FAILURE(startLayer({{1, pty.slavePath()}}));
    Collector& c = newCollector();
    SerialPort* h = openPort(1, c);
    ASSERT_NE(h, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(serio_wait_for_threads(h, SERIO_CLOSE_WAIT_MS), 0u);
    EXPECT_LT(Clock::now() - start, 2500ms);
    // Nothing moves any more: bytes from the device are not read.
    ASSERT_TRUE(pty.write("late"));
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(c.allBytes().empty());
    EXPECT_EQ(serio_close(h), 0u);
    EXPECT_EQ(diagCount("Threads did not exit"), 0u);
}

TEST_F(SerioTest, NameFileMapsComNumbersToPaths) {
    dir_.writePorts({{3, "/dev/ttyUSB0"}, {100, "/dev/last"}},
                    "# comment\n\n  com10 = /dev/spaced  \nCOM0=/dev/zero-index\nCOM101=/x\n"
                    "nonsense\nCOM7=\n");
    char names[SERIO_PORT_COUNT][pw::serio::DEVICE_PATH_SIZE];
    pw::serio::load_device_names(names, pw::serio::DEVICE_MAP_FILE);
    EXPECT_STREQ(names[0], "/dev/ttyS0");
    EXPECT_STREQ(names[2], "/dev/ttyUSB0");
    EXPECT_STREQ(names[6], "/dev/ttyS6");
    EXPECT_STREQ(names[8], "/dev/ttyS8");
    EXPECT_STREQ(names[9], "/dev/spaced");
    EXPECT_STREQ(names[99], "/dev/last");
    EXPECT_EQ(diagCount("SERIO: portweave.ports line 6 ignored"), 1u);
    EXPECT_EQ(diagCount("SERIO: portweave.ports line 7 ignored"), 1u);
    EXPECT_EQ(diagCount("SERIO: portweave.ports line 8 ignored"), 1u);
    EXPECT_EQ(diagCount("SERIO: portweave.ports line 9 ignored"), 1u);
    // Without a file every port has its default.
    ASSERT_EQ(::unlink(pw::serio::DEVICE_MAP_FILE), 0);
    pw::serio::load_device_names(names, pw::serio::DEVICE_MAP_FILE);
    EXPECT_STREQ(names[2], "/dev/ttyS2");
    EXPECT_STREQ(names[99], "/dev/ttyS99");
}

TEST_F(SerioTest, ShutdownClosesEveryPortAndStopsTheLayer) {
    PtyPair a;
    PtyPair b;
    ASSERT_NO_FATAL_FAILURE(startLayer({{1, a.slavePath()}, {2, b.slavePath()}}));
    EXPECT_EQ(serio_init(), 1u) << "a second start changes nothing";
    Collector& ca = newCollector();
    Collector& cb = newCollector();
    SerialPort* ha = openPort(1, ca);
    SerialPort* hb = openPort(2, cb);
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    ASSERT_EQ(serio_transmit(hb, pattern(3).data(), 3), 1u);
    EXPECT_EQ(b.read(3), pattern(3));

    serio_shutdown();
    EXPECT_EQ(serio_close(ha), 1u);
    EXPECT_EQ(serio_close(hb), 1u);
    EXPECT_EQ(serio_transmit(ha, pattern(3).data(), 3), 0u);
    EXPECT_TRUE(deviceFree(a.slavePath()) && deviceFree(b.slavePath()));
    Collector& c = newCollector();
    std::uint32_t ext = 0;
    EXPECT_EQ(openWith(1, 9600, 8, 0, 0, 0, c, &ext), SERIO_RC_BAD_ARG);
    serio_shutdown();
    EXPECT_EQ(diagCount("Threads did not exit"), 0u);
}

TEST_F(SerioTest, LayerStartsAgainAfterShutdownWithNewNames) {
    PtyPair first;
    ASSERT_NO_FATAL_FAILURE(startLayer({{4, first.slavePath()}}));
    Collector& c1 = newCollector();
    ASSERT_NE(openPort(4, c1), nullptr);
    ASSERT_TRUE(first.write("one"));
    ASSERT_TRUE(c1.waitBytes(3));
    serio_shutdown();

    PtyPair second;
    ASSERT_NO_FATAL_FAILURE(startLayer({{4, second.slavePath()}}));
    Collector& c2 = newCollector();
    SerialPort* h = openPort(4, c2);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(second.write("two"));
    ASSERT_TRUE(c2.waitBytes(3));
    EXPECT_EQ(c2.allBytes(), Bytes({'t', 'w', 'o'}));
    ASSERT_EQ(serio_transmit(h, pattern(5).data(), 5), 1u);
    EXPECT_EQ(second.read(5), pattern(5));
    EXPECT_EQ(c1.allBytes(), Bytes({'o', 'n', 'e'}));
}

} // namespace
} // namespace serio_test
