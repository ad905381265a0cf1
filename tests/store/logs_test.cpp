// The event log and the trace log: list rows, file lines, caps, refused writes and shutdown.
#include "tests/store/store_util.h"

#include <chrono>
#include <numeric>
#include <thread>

namespace {

using namespace st;

std::string Hex(const std::string& bytes) { // "%02x " each
    std::string out;
    for (const char c : bytes) {
        out += {"0123456789abcdef"[(c >> 4) & 15], "0123456789abcdef"[c & 15], ' '};
    }
    return out;
}

TEST(Logs, EachEventOrChunkGivesARowAndWhileItsSwitchIsOnAWholeLine) {
    TempDir dir;
    Write(dir / "trace.log", "earlier run\r\n"); // appended to, never truncated
    const std::size_t fds = testsupport::open_fd_count();
    pw::LogStore log(Fixed(dir.str()));
    Sink sink;
    log.setSink(&sink);
    LinkConfig a{}, b{};
    a.port[0].comIndex = 2;
    a.port[1].portType = b.port[0].portType = b.port[1].portType = PORT_TYPE_IP;
    a.port[1].tcpRole = TCP_ROLE_SERVER;
    b.port[1].ipProtocol = IP_PROTO_UDP;
    log.setLinkConfig(0, a);
    log.setLinkConfig(1, b);
    log.setLinkConfig(MAX_LINKS, b);                                       // no such link
    std::string ramp(5000, '\0'), text = "\xE9\r" + std::string(700, 'x'); // ASCII: as they are
    std::iota(ramp.begin(), ramp.end(), '\0');
    const std::string x(197, 'x'), y(196, 'y'), z(192, 'z'), cont(8, '\x80');
    const struct {
        char op; // 'e' event, 't' trace
        bool toFile, ascii;
        std::uint32_t link, port, direction;
        std::string data, shown; // the event's list text, or the chunk's port text
    } steps[] = {
        {'e', false, 0, 0, 0, 0, "before the switch", "before the switch"},
        {'e', true, 0, 0, 0, 0, "System startup", "System startup"},
        {'e', false, 0, 0, 0, 0, "while off", "while off"},
        {'e', true, 0, 0, 0, 0, x, x}, // cut at 197 bytes, never inside a character (4 at most)
        {'e', true, 0, 0, 0, 0, y + "\xC3\xA9", y},
        {'e', true, 0, 0, 0, 0, z + cont, z + cont.substr(0, 2)},
        {'e', true, 0, 0, 0, 0, "", ""}, // a null text
        {'t', true, false, 0, 0, TRACE_DIR_RX, "AB\r", "L1 P1 (COM3)"},
        {'t', true, false, 0, 1, TRACE_DIR_TX, ramp.substr(0, 300), "L1 P2 TCP Server"},
        {'t', false, false, 1, 0, TRACE_DIR_TX, ramp.substr(0, 301), "L2 P1 TCP Client"},
        {'t', true, true, 1, 1, 5, text.substr(0, 600), "L2 P2 UDP"},
        {'t', true, true, 1, 1, 5, text.substr(0, 601), "L2 P2 UDP"},
        {'t', true, true, 2, 1, TRACE_DIR_RX, std::string("AB\0CD", 5), "L3 P2 (COM1)"},
        {'t', true, false, 31, 0, TRACE_DIR_TX, ramp.substr(1, 2048), "L32 P1 (COM1)"},
        {'t', true, false, 31, 2, TRACE_DIR_RX, "z", "L32 P3"},
        {'t', true, true, MAX_LINKS, 0, TRACE_DIR_TX, ramp, "L33 P1"}, // in several writes
        {'t', true, true, 0, 0, TRACE_DIR_TX, "", "L1 P1 (COM3)"},     // no data: a null pointer
    };
    std::string events, traces = "earlier run\r\n";
    for (const auto& s : steps) {
        const std::uint8_t* bytes = s.data.empty() ? nullptr : Bytes(s.data);
        if (s.op == 'e') {
            log.setEventsToFile(s.toFile);
            log.logEvent(bytes ? s.data.c_str() : nullptr);
            EXPECT_EQ(sink.events.back(), s.shown);
            events += s.toFile ? kStamp + s.shown + "\r\n" : "";
        } else {
            log.setTraceToFile(s.toFile); // off: the file stays open, but nothing is written
            log.setTraceAscii(s.ascii);
            log.traceData(s.link, s.port, s.direction, bytes, bytes ? s.data.size() : 9);
            const std::string length = std::to_string(s.data.size()),
                              way = s.direction ? "Rx" : "Tx";
            const std::string ascii = s.data.substr(0, 600);
            EXPECT_EQ(sink.traces.back(), kStamp + "|" + s.shown + "|" + way + "|" + length + "|" +
                                              (s.ascii ? ascii.substr(0, ascii.find('\0')) + "|a"
                                                       : Hex(s.data.substr(0, 300))));
            traces += s.toFile ? kStamp + ", " + s.shown + ", " + way + ", " + length + ", " +
                                     Hex(s.data) + "\r\n"
                               : "";
        }
    }
    EXPECT_GT(pw::ReadLocalClock().year, 1900u); // the real clock, which the others replace
    log.shutdown();                              // the files are closed for good; the lists go on
    EXPECT_EQ(testsupport::open_fd_count(), fds);
    EXPECT_TRUE(log.logEventOrDiag("after exit"));
    log.traceData(0, 0, TRACE_DIR_RX, Bytes("?"), 1);
    EXPECT_EQ(sink.events.size() + sink.traces.size(), std::size(steps) + 2);
    EXPECT_EQ(Read(dir / "event.log"), events);
    EXPECT_EQ(Read(dir / "trace.log"), traces);
}

TEST(Logs, ListsKeepTheirLast30000RowsWhateverTheFilesRefuse) {
    TempDir dir;
    if (kPosix) { // a device that refuses every write (Windows has none: there the file takes them)
        fs::create_symlink("/dev/full", dir / "event.log");
    }
    const std::size_t fds = testsupport::open_fd_count();
    pw::LogOptions options = Fixed(dir.str());
    options.allocateLineBuffer = [](std::size_t) -> char* { return nullptr; };
    pw::LogStore log(options); // without its line buffer trace.log is switched off, never opened
    Sink sink;
    log.setSink(&sink);
    log.setEventsToFile(true);
    log.setTraceToFile(true);
    for (int i = 0; i <= 30000; ++i) {
        log.logEvent(std::to_string(i).c_str());
        log.traceData(0, 0, TRACE_DIR_RX, Bytes("?"), 1);
    }
    EXPECT_TRUE(sink.events.size() == 30000 && sink.traces.size() == 30000 &&
                sink.switchedOff == 1);
    EXPECT_TRUE(sink.events.front() == "1" && log.eventsToFile() && !log.traceToFile());
    log.flush();
    // event.log stays open (on Windows files are not counted)
    EXPECT_EQ(testsupport::open_fd_count(), fds + kPosix);
    log.clearTrace(); // "Clear Trace" counts from 0 again
    for (int i = 0; i <= 30000; ++i) {
        log.traceData(0, 0, TRACE_DIR_RX, Bytes("?"), 1);
    }
    EXPECT_EQ(sink.traces.size(), 30000u);
    log.setSink(nullptr);        // an event that no list and no file shows goes to standard error
    log.setEventsToFile(kPosix); // (Windows: the file would take it, so it is switched off)
    testing::internal::CaptureStderr();
    EXPECT_FALSE(log.logEventOrDiag("nowhere to show it"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "portweave: nowhere to show it\n");
}

TEST(Logs, AFileThatALineWouldTakePastTheLimitBecomesTheOneOldGenerationWithWholeLines) {
    TempDir dir;
    Write(dir / "event.log", std::string(99, 'x') + "\n"); // full already: rotated at once
    pw::LogOptions options = Fixed(dir.str());
    options.rotateBytes = 100; // an event line here is 27 bytes, a trace line 52
    pw::LogStore log(options);
    log.setEventsToFile(true), log.setTraceToFile(true);
    log.logEvent("a");
    log.flush();
    EXPECT_EQ(Read(dir / "event.log.1"), std::string(99, 'x') + "\n");
    for (const char* text : {"b", "c", "d"}) {
        log.logEvent(text);
    }
    log.flush(); // three lines fit, the fourth went to a new file
    EXPECT_EQ(Read(dir / "event.log.1") + "|" + Read(dir / "event.log"),
              kStamp + "a\r\n" + kStamp + "b\r\n" + kStamp + "c\r\n|" + kStamp + "d\r\n");
    const std::string longer(120, 'l'); // a line past the limit has a file of its own
    log.logEvent(longer.c_str());
    log.logEvent("e");
    for (const char* chunk : {"A", "B", "C"}) {
        log.traceData(0, 0, TRACE_DIR_RX, Bytes(chunk), 1);
    }
    log.shutdown();
    EXPECT_EQ(Read(dir / "event.log.1") + Read(dir / "event.log"),
              kStamp + longer + "\r\n" + kStamp + "e\r\n");
    EXPECT_EQ(Read(dir / "trace.log.1") + "|" + Read(dir / "trace.log"),
              kStamp + ", L1 P1 (COM1), Rx, 1, 42 \r\n|" + kStamp +
                  ", L1 P1 (COM1), Rx, 1, 43 \r\n");
    EXPECT_FALSE(fs::exists(dir / "event.log.2") || fs::exists(dir / "trace.log.2"));
    TempDir stuck; // where the old generation cannot go, the file grows on and loses nothing
    fs::create_directories(stuck / "event.log.1/in the way");
    options.directory = stuck.str();
    pw::LogStore grows(options);
    grows.setEventsToFile(true);
    for (const char* text : {"a", "b", "c", "d", "e"}) {
        grows.logEvent(text);
    }
    grows.shutdown();
    EXPECT_EQ(Read(stuck / "event.log").size(), 5 * (kStamp.size() + 3));
}

TEST(Logs, TraceLogTakesASecondsWorthOfLinesAtOnceAndThenItsRateDroppingAndCountingTheRest) {
    TempDir dir;
    pw::LogOptions options = Fixed(dir.str());
    options.traceFileRate = 10000; // bytes a second
    pw::LogStore log(options);
    Sink sink;
    log.setSink(&sink);
    log.setEventsToFile(true), log.setTraceToFile(true);
    const std::string chunk(1000, 'x');
    const std::string line = kStamp + ", L1 P1 (COM1), Rx, 1000, " + Hex(chunk) + "\r\n";
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        log.traceData(0, 0, TRACE_DIR_RX, Bytes(chunk), 1000);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    log.logEvent("after the burst");
    log.flush();
    // Three lines fit in the first second's 10000 bytes; a slow machine may have earned more.
    const std::size_t kept = Read(dir / "trace.log").size() / line.size();
    EXPECT_TRUE(kept >= 3 && kept <= 3 + static_cast<std::size_t>(seconds * 10000) / line.size());
    EXPECT_EQ(Read(dir / "event.log"), kStamp + std::to_string(10 - kept) +
                                           " trace lines dropped: trace.log could not keep up\r\n" +
                                           kStamp + "after the burst\r\n");
    EXPECT_EQ(sink.traces.size(), 10u);                          // the list shows every chunk
    std::this_thread::sleep_for(std::chrono::milliseconds(400)); // earns more than a line
    log.traceData(0, 0, TRACE_DIR_RX, Bytes(chunk), 1000);
    // Written without a flush, though nothing else comes to wake the writer.
    EXPECT_TRUE(testsupport::wait_until(
        [&] { return Read(dir / "trace.log").size() == (kept + 1) * line.size(); },
        std::chrono::seconds(30)));
    EXPECT_EQ(Read(dir / "trace.log").substr(kept * line.size()), line);
}

} // namespace
