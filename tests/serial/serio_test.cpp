// The serial layer on pseudo-terminals (on Windows, COM ports of the Wine prefix over them):
// opening and closing ports, the modem lines, the name lines, chunks of received bytes, the
// transmit ring, the threads' waits, data callbacks, closing while bytes move, and a device that
// hangs up. The fixture captures diagnostics and, once the layer is shut down, checks that no
// descriptor outlived it: a device or a signal the layer forgot to close shows there.
#include "base/platform.h"
#include "serial/serio_internal.h"
#include "tests/support/datafile_image.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <string>

namespace {

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// Records every chunk it takes and when; refuses chunks while `accept` is false.
struct Collector {
    std::mutex m;
    std::vector<Bytes> chunks;
    Clock::time_point last{}; // when the newest chunk was taken
    std::atomic<bool> accept{true};
    std::atomic<int> refused{0};  // offers answered with 0
    std::atomic<int> entered{0};  // calls begun
    std::atomic<int> sleepMs{0};  // pause at the start of each call; 0 ends it
    SerialPort* handle = nullptr; // written by serio_open
    bool echo = false;            // sends each taken chunk back on `handle`

    static std::uint32_t callback(void* context, const std::uint8_t* data, std::uint32_t length) {
        auto* c = static_cast<Collector*>(context);
        c->entered.fetch_add(1);
        for (int ms = 0; ms < c->sleepMs.load(); ms += 5) {
            std::this_thread::sleep_for(5ms);
        }
        if (!c->accept.load()) {
            c->refused.fetch_add(1);
            return 0;
        }
        EXPECT_TRUE(!c->echo || serio_transmit(c->handle, data, length) == 1u);
        std::lock_guard<std::mutex> lk(c->m);
        c->chunks.emplace_back(data, data + length);
        c->last = Clock::now();
        return 1;
    }
    std::vector<Bytes> taken() {
        std::lock_guard<std::mutex> lk(m);
        return chunks;
    }
    Bytes all() {
        Bytes out;
        for (const Bytes& c : taken()) {
            out.insert(out.end(), c.begin(), c.end());
        }
        return out;
    }
    bool waitBytes(std::size_t n, std::chrono::milliseconds limit = 10s) {
        return wait_until([&] { return all().size() >= n; }, limit);
    }
};

std::mutex g_mutex;
std::vector<std::string> g_diag;
std::vector<std::pair<void*, std::size_t>> g_faults; // context, bytes it had taken then

class SerioTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lk(g_mutex);
        g_diag.clear();
        g_faults.clear();
        pw::set_diag_sink([](const char* text) {
            std::lock_guard<std::mutex> lk(g_mutex);
            g_diag.emplace_back(text);
        });
        fds_ = open_fd_count();
    }
    void TearDown() override {
        serio_shutdown();
        EXPECT_EQ(diags("Threads did not exit"), 0u);
        EXPECT_EQ(open_fd_count(), fds_) << "a descriptor outlived the layer";
        serio_set_fault_callback(nullptr);
        pw::set_diag_sink(nullptr);
    }
    static std::size_t diags(const std::string& text) {
        std::lock_guard<std::mutex> lk(g_mutex);
        return static_cast<std::size_t>(std::count(g_diag.begin(), g_diag.end(), text));
    }
    static std::vector<std::pair<void*, std::size_t>> faults() {
        std::lock_guard<std::mutex> lk(g_mutex);
        return g_faults;
    }
    // Writes the name file and starts the layer.
    void start(const std::map<unsigned, std::string>& ports) {
        dir_.writePorts(ports);
        ASSERT_EQ(serio_init(), 1u);
    }
    static std::uint32_t openRc(unsigned com, Collector& c, std::uint32_t* ext,
                                pw::serio::LineSettings s = {115200, 8, 0, 0, 0}) {
        return serio_open(com - 1, s.baudRate, s.dataBits, s.parity, s.stopBits, s.flowControl, &c,
                          &c.handle, Collector::callback, ext);
    }
    // Opens COM`com` with a new collector, which lives until the test's end, so that a callback
    // still running then finds its context.
    Collector& open(unsigned com, std::uint32_t flow = SERIO_FLOW_NONE, bool echo = false) {
        Collector& c = collectors_.emplace_back();
        c.echo = echo;
        std::uint32_t ext = 0;
        EXPECT_EQ(openRc(com, c, &ext, {115200, 8, 0, 0, flow}), SERIO_OK) << "errno " << ext;
        return c;
    }

    ScratchDir dir_;
    std::deque<Collector> collectors_;
    std::size_t fds_ = 0;
};

// The default devices and the error numbers differ on Windows.
const bool kPosix = fs::path::preferred_separator == '/';

TEST_F(SerioTest, OpenReportsEveryRefusalAndTheOpenPortIsTheDevicesAlone) {
    PtyPair pty;
    dir_.writePorts({{1, pty.slavePath()}, {2, pty.slavePath()}, {5, dir_.path() + "/absent"}});
    Collector& c = collectors_.emplace_back();
    std::uint32_t ext = 0;
    EXPECT_EQ(openRc(1, c, &ext), SERIO_RC_BAD_ARG) << "not started";
    ASSERT_EQ(serio_init() + serio_init(), 2u) << "a second start changes nothing";
    EXPECT_EQ(openRc(SERIO_PORT_COUNT + 1, c, &ext), SERIO_RC_BAD_ARG);
    EXPECT_EQ(openRc(1, c, nullptr), SERIO_RC_BAD_ARG);
    EXPECT_EQ(serio_open(0, 9600, 8, 0, 0, 0, &c, nullptr, nullptr, &ext), SERIO_RC_BAD_ARG);
    // ERROR_FILE_NOT_FOUND has the same number.
    EXPECT_TRUE(openRc(5, c, &ext) == SERIO_RC_OPEN_FAILED && ext == ENOENT) << ext;
    SerialPort* h = open(1).handle;
    EXPECT_EQ(openRc(1, c, &ext), SERIO_RC_ALREADY_OPEN);
    // Wine, unlike Windows, lets a pseudo-terminal's COM port be opened twice.
    if (!under_wine()) {
        EXPECT_EQ(openRc(2, c, &ext), SERIO_RC_OPEN_FAILED) << "the device under a second name";
        EXPECT_TRUE(kPosix ? ext == EWOULDBLOCK || ext == EBUSY : ext == 5) << ext; // access denied
    }

    // A pseudo-terminal has no modem lines; that counts as success.
    for (const std::uint32_t line : {SERIO_LINE_RTS, SERIO_LINE_DTR}) {
        EXPECT_EQ(serio_set_line(h, line, 0) + serio_set_line(h, line, 1), 2u);
    }
    EXPECT_EQ(serio_set_line(h, 2, 1), 0u);
    EXPECT_EQ(serio_wait_for_threads(h, SERIO_CLOSE_WAIT_MS), 0u) << "a thread missed the stop";
    EXPECT_EQ(serio_close(h), 0u);
    EXPECT_EQ(openRc(2, c, &ext), SERIO_OK) << "the device is still held";
    auto* stray = reinterpret_cast<SerialPort*>(reinterpret_cast<char*>(h) + 1);
    for (SerialPort* p : {stray, static_cast<SerialPort*>(nullptr), h}) {
        EXPECT_EQ(serio_set_line(p, SERIO_LINE_RTS, 1) + serio_close(p), 1u);
        EXPECT_EQ(serio_transmit(p, pattern(1).data(), 1) + serio_tx_space(p), 0u);
        EXPECT_EQ(serio_wait_for_threads(p, 100), 1u);
    }
}

TEST(SerioNames, NameLinesGiveAComIndexAndAPathOrAreRefusedAndDefaultsStand) {
    const std::string longest(255, 'p');
    std::uint32_t index = 1000;
    std::string path;
    for (const auto& [line, i, p] :
         std::vector<std::tuple<std::string, std::uint32_t, std::string>>{
             {"COM3=/dev/ttyUSB0", 2, "/dev/ttyUSB0"},
             {" com10 = /dev/a b ", 9, "/dev/a b"},
             {"CoM100=/x", 99, "/x"},
             {"COM1=" + longest, 0, longest}}) {
        EXPECT_TRUE(serio_parse_name_line(line, &index, &path) && index == i && path == p) << line;
    }
    for (const char* line : {"COM0=/x", "COM101=/x", "COM0001=/x", "COM=/x", "COMx=/x", "CON1=/x",
                             "COM7=", "# COM1=/x", ""}) {
        EXPECT_FALSE(serio_parse_name_line(line, &index, &path)) << line;
    }
    EXPECT_FALSE(serio_parse_name_line("COM1=" + longest + "p", &index, &path)) << "path too long";
    // Without a name file every COM port has its default device.
    char names[SERIO_PORT_COUNT][pw::serio::DEVICE_PATH_SIZE];
    pw::serio::load_device_names(names, "no-such-file");
    EXPECT_STREQ(names[99], kPosix ? "/dev/ttyS99" : "\\\\.\\COM100");
    // Assigning COM3 rewrites its first line in place, drops the later ones, keeps the rest.
    for (const auto& [before, after] : std::vector<std::pair<std::string, std::string>>{
             {"", "COM3=/n\n"},
             {"# mine\nCOM1=/a", "# mine\nCOM1=/a\nCOM3=/n\n"},
             {"x\r\n com3 = /old\r\nCOM33=/b\n# COM3=/c\nCOM3=/d",
              "x\r\nCOM3=/n\r\nCOM33=/b\n# COM3=/c\n"}}) {
        EXPECT_EQ(pw::serio::assign_name_line(before, 2, "/n"), after) << before;
    }
}

TEST_F(SerioTest, AnAssignedDeviceIsWrittenAndOpenedNextWhileAnOpenPortKeepsItsOwn) {
    PtyPair first, second;
    dir_.writePorts({{1, first.slavePath()}}, "# kept\n");
    ASSERT_EQ(serio_init(), 1u);
    Collector& c = open(1);
    EXPECT_EQ(serio_assign_device(0, second.slavePath()), 0u);
    const std::string file = "COM1=" + second.slavePath() + "\n# kept\n";
    EXPECT_EQ(read_file(dir_.path() + "/portweave.ports"), file);
    EXPECT_TRUE(first.write("old") && c.waitBytes(3)) << "the open port left its device";
    EXPECT_EQ(serio_port_device(0), first.slavePath());
    ASSERT_EQ(serio_close(c.handle), 0u);
    EXPECT_EQ(serio_port_device(0) + serio_port_device(SERIO_PORT_COUNT), second.slavePath());
    Collector& d = open(1);
    EXPECT_TRUE(second.write("new") && d.waitBytes(3));
    for (const std::string& bad :
         {std::string(), std::string("/a\nCOM2=/b"), std::string(256, 'p')}) {
        EXPECT_EQ(serio_assign_device(1, bad), std::uint32_t{EINVAL});
    }
    EXPECT_EQ(serio_assign_device(SERIO_PORT_COUNT, "/x"), std::uint32_t{EINVAL});
    fs::create_directory(dir_.path() + "/portweave.ports.tmp"); // in the way: nothing changes
    EXPECT_EQ(serio_assign_device(0, "/x"),
              kPosix ? std::uint32_t{EEXIST} : 5u); // 5: access denied
    EXPECT_EQ(read_file(dir_.path() + "/portweave.ports"), file);
    ASSERT_EQ(serio_close(d.handle), 0u);
    EXPECT_TRUE(second.write("same") && open(1).waitBytes(4));
    EXPECT_EQ(serio_default_device(4), kPosix ? "/dev/ttyS4" : "COM5");
}

TEST(SerioRing, ChunksOfNoBytesOrMoreThanAnEntryOrTheSpaceLeftAreRefused) {
    pw::serio::PortQueue q;
    ASSERT_TRUE(pw::serio::queue_prepare(q, 3));
    const Bytes big = pattern(SERIO_CHUNK_SIZE + 1);
    EXPECT_FALSE(queue_put_chunk(q, big.data(), 0) ||
                 queue_put_chunk(q, big.data(), SERIO_CHUNK_SIZE + 1));
    // Two entries wait at most: an append past their room is refused whole.
    constexpr std::uint32_t room = 2 * SERIO_CHUNK_SIZE;
    const Bytes all = pattern(room + 1);
    EXPECT_FALSE(queue_append(q, all.data(), 0) || queue_append(q, all.data(), room + 1));
    EXPECT_TRUE(queue_count(q) == 0 && queue_append(q, all.data(), room));
    EXPECT_FALSE(queue_append(q, all.data(), 1));
}

constexpr std::uint32_t FULL_TX_SPACE = SERIO_TX_LIMIT * SERIO_CHUNK_SIZE;

class SerioDataTest : public SerioTest {
protected:
    void SetUp() override {
        SerioTest::SetUp();
        start({{1, pty.slavePath()}});
    }
    // Holds the port's output as a device does with XOFF (the port uses XON/XOFF); returns once
    // it is in effect, that is once the byte sent after it has come in.
    bool holdOutput(Collector& c) {
        const std::size_t n = c.all().size();
        return pty.write(Bytes{0x13, 'M'}) && c.waitBytes(n + 1);
    }
    bool waitTxSpace(SerialPort* h, std::uint32_t space) {
        return wait_until([&] { return serio_tx_space(h) == space; });
    }
    PtyPair pty;
};

TEST_F(SerioDataTest, EachTransmitWakesTheWriterACallbackMayEchoAndAnIdlePortSleeps) {
    Collector& c = open(1, SERIO_FLOW_NONE, true);
    // The writer's idle wait lasts half a second: a writer that waited it out instead of waking
    // for its bytes would make every trip take about that long.
    auto fastest = Clock::duration::max();
    for (std::uint8_t i = 0; i < 20; ++i) {
        const auto begin = Clock::now();
        ASSERT_EQ(serio_transmit(c.handle, &i, 1), 1u);
        ASSERT_EQ(pty.read(1), Bytes{i});
        fastest = std::min(fastest, Clock::now() - begin);
    }
    EXPECT_LT(fastest, 250ms);
    const Bytes data = pattern(6000, 3);
    ASSERT_TRUE(pty.write(data));
    EXPECT_EQ(pty.read(data.size()), data);
    // A thread that polled instead of waiting would use a good part of this second. Under Wine
    // the reader watches the input count every few milliseconds (its COM ports over
    // pseudo-terminals end every input wait at once): some 40 ms, where a spin takes over 500.
    const double cpu = process_cpu_ms();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(process_cpu_ms() - cpu, under_wine() ? 200.0 : 50.0);
    EXPECT_TRUE(pty.write("end") && c.waitBytes(data.size() + 3)) << "the reader slept on";
}

TEST_F(SerioDataTest, TransmitsShareEntriesUpToTheExactSpaceLeaveInOrderOrAreDiscarded) {
    Collector& c = open(1, SERIO_FLOW_XON_XOFF);
    SerialPort* h = c.handle;
    const Bytes big = pattern(SERIO_CHUNK_SIZE + 1);
    EXPECT_EQ(serio_transmit(h, big.data(), SERIO_CHUNK_SIZE + 1), 0u);
    EXPECT_EQ(serio_transmit(h, big.data(), 0) + serio_transmit(h, nullptr, 5), 0u);
    EXPECT_EQ(serio_tx_space(h), FULL_TX_SPACE);
    ASSERT_TRUE(holdOutput(c));
    // The writer takes the first bytes and cannot get rid of them.
    Bytes sent = pattern(100, 1);
    ASSERT_EQ(serio_transmit(h, sent.data(), 100), 1u);
    ASSERT_TRUE(waitTxSpace(h, FULL_TX_SPACE));
    // Thirty small transmits fit although only nine entries can wait; then exactly the space
    // left is taken in uneven pieces, up to nine full entries.
    for (std::uint32_t seed = 2, space = FULL_TX_SPACE; space > 0; ++seed) {
        const Bytes piece = pattern(seed < 32 ? 100 : std::min(space, 1500 + seed), seed);
        ASSERT_EQ(serio_transmit(h, piece.data(), std::uint32_t(piece.size())), 1u) << seed;
        sent.insert(sent.end(), piece.begin(), piece.end());
        space -= std::uint32_t(piece.size());
        EXPECT_EQ(serio_tx_space(h), space);
    }
    EXPECT_EQ(serio_transmit(h, big.data(), 1), 0u);
    EXPECT_TRUE(pty.drain(100ms).empty()) << "output was not held";
    ASSERT_TRUE(pty.write(Bytes{0x11})); // XON
    EXPECT_EQ(pty.read(sent.size()), sent);
    ASSERT_TRUE(waitTxSpace(h, FULL_TX_SPACE));
    // Held once more: a close ends the writer at once and the bytes it held are discarded.
    ASSERT_TRUE(holdOutput(c));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(serio_transmit(h, big.data(), SERIO_CHUNK_SIZE), 1u);
    }
    ASSERT_TRUE(waitTxSpace(h, FULL_TX_SPACE - 2 * SERIO_CHUNK_SIZE));
    EXPECT_EQ(serio_close(h), 0u);
    open(1);
    EXPECT_TRUE(pty.drain(100ms).empty());
}

TEST_F(SerioDataTest, RefusedChunksAreOfferedAgainInOrderAndBeyondTheRingNotLost) {
    Collector& c = open(1);
    c.accept = false;
    ASSERT_TRUE(pty.write("fir") && pty.write("st") && wait_until([&] { return c.refused > 0; }));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(pty.write("second") && wait_until([&] { return c.refused > 20; }));
    std::this_thread::sleep_for(100ms);
    // More than the receive ring holds comes while the chunks are refused.
    const Bytes data = pattern((SERIO_RX_LIMIT + 11) * SERIO_CHUNK_SIZE, 5);
    bool written = false;
    std::thread writer([&] { written = pty.write(data, 30s); });
    std::this_thread::sleep_for(300ms);
    c.accept = true;
    EXPECT_TRUE(c.waitBytes(11 + data.size(), 30s));
    writer.join();
    EXPECT_TRUE(written);
    const Bytes all = c.all();
    ASSERT_EQ(all.size(), 11 + data.size());
    EXPECT_EQ(std::string(all.begin(), all.begin() + 11), "firstsecond") << "overtaken";
    EXPECT_EQ(c.taken()[0], (Bytes{'f', 'i', 'r', 's', 't'})) << "a burst is one chunk";
    EXPECT_TRUE(std::equal(data.begin(), data.end(), all.begin() + 11));
}

TEST_F(SerioDataTest, CloseWaitsForTheCallbackGivesUpOnAStuckOneAndAReopenGetsNothingOld) {
    Collector& slow = open(1);
    slow.sleepMs = 300;
    ASSERT_TRUE(pty.write("x") && wait_until([&] { return slow.entered > 0; }));
    ASSERT_EQ(serio_close(slow.handle), 0u);
    EXPECT_EQ(slow.all(), Bytes{'x'}) << "close returned before the callback";

    Collector& stuck = open(1);
    stuck.sleepMs = 600000;
    ASSERT_TRUE(pty.write("old") && wait_until([&] { return stuck.entered > 0; }));
    ASSERT_EQ(serio_close(stuck.handle), 0u);
    EXPECT_EQ(diags("SERIO: data callback did not return"), 1u);
    // Opened again while the old callback still runs: when it returns, taking the old chunk
    // must not remove anything from the new open's ring.
    Collector& fresh = open(1);
    ASSERT_TRUE(pty.write("new"));
    std::this_thread::sleep_for(200ms); // "new" waits in the ring when the old callback returns
    stuck.sleepMs = 0;
    ASSERT_TRUE(fresh.waitBytes(3));
    EXPECT_EQ(fresh.all(), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(stuck.all(), (Bytes{'o', 'l', 'd'}));
}

TEST_F(SerioDataTest, AHangUpIsToldOnceAfterTheDataReadBeforeItAndNothingSpins) {
    serio_set_fault_callback([](void* context) {
        const std::size_t taken = static_cast<Collector*>(context)->all().size();
        std::lock_guard<std::mutex> lk(g_mutex);
        g_faults.emplace_back(context, taken);
    });
    Collector& c = open(1);
    ASSERT_TRUE(pty.write("hi") && c.waitBytes(2));
    // Held back, so that the chunk still waits in the ring when the device goes away.
    c.accept = false;
    ASSERT_TRUE(pty.write("last words") && wait_until([&] { return c.refused > 0; }));
    const std::size_t before = open_fd_count();
    pty.hangUp();
    fds_ -= before - open_fd_count(); // the far end is gone
    ASSERT_TRUE(wait_until([&] { return diags("ReadFile in ReaderAndStatusProc") > 0; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(faults().empty()) << "told before the data read earlier was delivered";
    c.accept = true;
    ASSERT_TRUE(c.waitBytes(12) && wait_until([&] { return !faults().empty(); }));
    // Writing fails once; then the writer takes nothing, so the ring fills and transmits are
    // refused instead of vanishing.
    const Bytes chunk = pattern(SERIO_CHUNK_SIZE);
    ASSERT_EQ(serio_transmit(c.handle, chunk.data(), SERIO_CHUNK_SIZE), 1u);
    ASSERT_TRUE(wait_until([&] { return diags("WriteFile") > 0; }));
    std::uint32_t taken = 0;
    while (taken < 100 && serio_transmit(c.handle, chunk.data(), SERIO_CHUNK_SIZE) == 1u) {
        ++taken;
    }
    EXPECT_EQ(taken, SERIO_TX_LIMIT);
    // No thread spins on the dead device, and nothing is reported twice.
    const double cpu = process_cpu_ms();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(process_cpu_ms() - cpu, 50.0);
    EXPECT_EQ(faults(), (std::vector<std::pair<void*, std::size_t>>{{&c, 12}}));
    EXPECT_EQ(diags("WriteFile") + diags("ReadFile in ReaderAndStatusProc"), 2u);
    EXPECT_EQ(serio_close(c.handle), 0u);
}

} // namespace
