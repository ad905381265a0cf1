#include "base/platform.h"
#include "store/logs.h"
#include "tests/store/store_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using pw_test::ExampleTime;
using pw_test::FixedClockOptions;
using pw_test::ModelSink;
using pw_test::ReadFile;
using pw_test::TempDir;

const std::string kStamp = "05/12/2026 14:03:09.045 ";

LinkConfig PortsOf(PortConfig p1, PortConfig p2) {
    LinkConfig config{};
    config.port[0] = p1;
    config.port[1] = p2;
    return config;
}
PortConfig Serial(std::uint32_t comIndex) {
    PortConfig p{};
    p.portType = PORT_TYPE_SERIAL;
    p.comIndex = comIndex;
    return p;
}
PortConfig Ip(std::uint32_t protocol, std::uint32_t role) {
    PortConfig p{};
    p.portType = PORT_TYPE_IP;
    p.ipProtocol = protocol;
    p.tcpRole = role;
    return p;
}

std::string HexOf(const std::vector<std::uint8_t>& bytes, std::size_t count) {
    std::string out;
    char cell[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof(cell), "%02x ", bytes[i]);
        out += cell;
    }
    return out;
}

// The example texts are checked through the logs below; these are the cases they leave out.
TEST(LogTexts, PaddingWrapAndLimits) {
    char stamp[pw::TIMESTAMP_TEXT_SIZE];
    pw::FormatTimestamp(pw::LocalTime{987, 1, 2, 3, 4, 5, 6}, stamp);
    EXPECT_STREQ(stamp, "02/01/987 03:04:05.006 ");

    char port[pw::PORT_TEXT_SIZE];
    const pw::PortKind client{PORT_TYPE_IP, 0, IP_PROTO_TCP, TCP_ROLE_CLIENT};
    pw::FormatPortText(31, 0, &client, port);
    EXPECT_STREQ(port, "L32 P1 TCP Client");
    const pw::PortKind wild{PORT_TYPE_SERIAL, 0xFFFFFFFFu, 0, 0}; // from a damaged data file
    pw::FormatPortText(0xFFFFFFFFu, 0xFFFFFFFFu, &wild, port);
    EXPECT_STREQ(port, "L0 P0 (COM0)");

    char cell[pw::DATA_CELL_SIZE];
    std::vector<std::uint8_t> text(700, 'x');
    text[0] = 0xE9; // Latin-1, passed through as it is
    text[1] = '\r';
    pw::FormatDataCell(text.data(), 700, true, cell);
    EXPECT_EQ(std::string(cell), "\xE9\r" + std::string(598, 'x'));
    pw::FormatDataCell(nullptr, 5, false, cell);
    EXPECT_STREQ(cell, "");
}

TEST(LogTexts, SystemClockGivesLocalTimeNow) {
    const pw::LocalTime t = pw::ReadLocalClock();
    tm local{};
    local.tm_year = static_cast<int>(t.year) - 1900;
    local.tm_mon = static_cast<int>(t.month) - 1;
    local.tm_mday = static_cast<int>(t.day);
    local.tm_hour = static_cast<int>(t.hour);
    local.tm_min = static_cast<int>(t.minute);
    local.tm_sec = static_cast<int>(t.second);
    local.tm_isdst = -1;
    const double apart = std::difftime(std::mktime(&local), std::time(nullptr));
    EXPECT_LE(std::abs(apart), 5.0);
    EXPECT_LT(t.millisecond, 1000u);
}

TEST(EventLog, LinesRowsLazyOpenAndCut) {
    TempDir dir;
    pw::LogStore log(FixedClockOptions(dir.str()));
    ModelSink sink;
    log.setSink(&sink);

    log.logEvent("before the switch");
    log.setEventsToFile(true);
    EXPECT_FALSE(std::filesystem::exists(dir / "event.log")); // the click opens nothing
    log.logEvent("System startup");
    log.setEventsToFile(false);
    log.logEvent("while off");
    log.setEventsToFile(true);
    log.logEvent(std::string(300, 'a').c_str());
    // 196 ASCII bytes, then a two-byte character that straddles the cut at 197.
    log.logEvent((std::string(196, 'b') + "\xC3\xA9" + "tail").c_str());
    log.logEvent(nullptr);

    EXPECT_EQ(ReadFile(dir / "event.log"), kStamp + "System startup\r\n" + kStamp +
                                               std::string(197, 'a') + "\r\n" + kStamp +
                                               std::string(196, 'b') + "\r\n" + kStamp + "\r\n");
    ASSERT_EQ(sink.events.size(), 6u);
    EXPECT_EQ(sink.events[0], (ModelSink::Row{kStamp, "before the switch"}));
    EXPECT_EQ(sink.events[2][1], "while off");
    EXPECT_EQ(sink.events[3][1], std::string(197, 'a'));
    EXPECT_EQ(sink.events[5][1], "");
}

TEST(EventLog, ThirtyThousandRowCap) {
    TempDir dir;
    pw::LogStore log(FixedClockOptions(dir.str()));
    ModelSink sink;
    log.setSink(&sink);
    for (int i = 0; i <= 30000; ++i) {
        log.logEvent(("event " + std::to_string(i)).c_str());
    }
    ASSERT_EQ(sink.events.size(), 30000u);
    EXPECT_EQ(sink.eventRemovals, 1);
    EXPECT_EQ(sink.events.front()[1], "event 1");
    EXPECT_EQ(sink.events.back()[1], "event 30000");

    // Lists created afresh start counting from zero again.
    ModelSink rebuilt;
    log.setSink(&rebuilt);
    for (int i = 0; i < 30000; ++i) {
        log.logEvent("again");
    }
    EXPECT_EQ(rebuilt.eventRemovals, 0);
    EXPECT_EQ(sink.events.size(), 30000u); // the detached sink heard nothing more
}

TEST(TraceLog, ExampleLineRowsAndChunks) {
    TempDir dir;
    pw_test::WriteFile(dir / "trace.log", "earlier run\r\n"); // appended to, never truncated
    pw::LogStore log(FixedClockOptions(dir.str()));
    ModelSink sink;
    log.setSink(&sink);
    log.setLinkConfig(0, PortsOf(Serial(2), Ip(IP_PROTO_TCP, TCP_ROLE_SERVER)));
    log.setLinkConfig(2, PortsOf(Serial(0), Ip(IP_PROTO_UDP, TCP_ROLE_CLIENT)));
    log.setTraceToFile(true);

    const std::uint8_t abc[] = {0x41, 0x42, 0x0D};
    log.traceData(0, 0, TRACE_DIR_RX, abc, 3);
    std::string expected = "earlier run\r\n" + kStamp + ", L1 P1 (COM3), Rx, 3, 41 42 0d \r\n";
    EXPECT_EQ(ReadFile(dir / "trace.log"), expected);
    EXPECT_EQ(sink.traces[0], (ModelSink::Row{kStamp, "L1 P1 (COM3)", "Rx", "3", "41 42 0d "}));

    std::vector<std::uint8_t> big(1000);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i);
    }
    log.traceData(0, 1, TRACE_DIR_TX, big.data(), 1000);
    expected += kStamp + ", L1 P2 TCP Server, Tx, 1000, " + HexOf(big, 1000) + "\r\n";
    EXPECT_EQ(sink.traces[1][4], HexOf(big, 300));
    EXPECT_EQ(sink.traces[1][4].size(), 900u);

    log.setTraceAscii(true);
    const std::uint8_t zero[] = {0x41, 0x42, 0x00, 0x43, 0x44};
    log.traceData(2, 1, 5, zero, 5);
    expected += kStamp + ", L3 P2 UDP, Rx, 5, 41 42 00 43 44 \r\n";
    EXPECT_EQ(sink.traces[2], (ModelSink::Row{kStamp, "L3 P2 UDP", "Rx", "5", "AB"}));

    // Largest chunk the engine traces, and a longer one that must still land whole.
    std::vector<std::uint8_t> huge(5000, 0xAB);
    log.traceData(40, 0, TRACE_DIR_TX, huge.data(), 2048);
    log.traceData(40, 0, TRACE_DIR_TX, huge.data(), 5000);
    log.traceData(0, 0, TRACE_DIR_TX, nullptr, 9);
    expected += kStamp + ", L41 P1, Tx, 2048, " + HexOf(huge, 2048) + "\r\n";
    expected += kStamp + ", L41 P1, Tx, 5000, " + HexOf(huge, 5000) + "\r\n";
    expected += kStamp + ", L1 P1 (COM3), Tx, 0, \r\n";
    EXPECT_EQ(ReadFile(dir / "trace.log"), expected);
    EXPECT_EQ(sink.traces[4][4], std::string(600, '\xAB'));
}

TEST(TraceLog, ClearTraceRestartsTheCount) {
    TempDir dir;
    pw::LogStore log(FixedClockOptions(dir.str()));
    ModelSink sink;
    log.setSink(&sink);
    const std::uint8_t byte = 1;
    for (int i = 0; i < 30000; ++i) {
        log.traceData(0, 0, TRACE_DIR_RX, &byte, 1);
    }
    log.clearTrace();
    EXPECT_TRUE(sink.traces.empty());
    for (int i = 0; i < 30000; ++i) {
        log.traceData(0, 0, TRACE_DIR_RX, &byte, 1);
    }
    EXPECT_EQ(sink.traceRemovals, 0);
    log.traceData(0, 0, TRACE_DIR_RX, &byte, 1);
    EXPECT_EQ(sink.traceRemovals, 1);
    EXPECT_EQ(sink.traces.size(), 30000u);
}

TEST(TraceLog, FailedOpenIsRetriedAndListGoesOn) {
    TempDir dir;
    pw::LogStore log(FixedClockOptions(dir.str()));
    ModelSink sink;
    log.setSink(&sink);
    log.setTraceToFile(true);
    log.setEventsToFile(true);
    // Both files are directories, so neither can be opened.
    std::filesystem::create_directory(dir / "trace.log");
    std::filesystem::create_directory(dir / "event.log");
    const std::uint8_t one[] = {0x01};
    log.traceData(0, 0, TRACE_DIR_RX, one, 1);
    log.logEvent("lost to the file");
    EXPECT_EQ(sink.traces.size(), 1u);
    EXPECT_EQ(sink.events.size(), 1u);

    std::filesystem::remove(dir / "trace.log");
    std::filesystem::remove(dir / "event.log");
    const std::uint8_t two[] = {0x02};
    log.traceData(0, 0, TRACE_DIR_RX, two, 1);
    log.logEvent("reaches the file");
    EXPECT_EQ(ReadFile(dir / "trace.log"), kStamp + ", L1 P1 (COM1), Rx, 1, 02 \r\n");
    EXPECT_EQ(ReadFile(dir / "event.log"), kStamp + "reaches the file\r\n");
}

TEST(TraceLog, NoLineBufferSwitchesTheFileOff) {
    TempDir dir;
    pw::LogOptions options = FixedClockOptions(dir.str());
    options.allocateLineBuffer = [](std::size_t) -> char* { return nullptr; };
    pw::LogStore log(options);
    ModelSink sink;
    log.setSink(&sink);
    log.setTraceToFile(true);
    const std::uint8_t one[] = {0x01};
    log.traceData(0, 0, TRACE_DIR_RX, one, 1);
    EXPECT_FALSE(log.traceToFile());
    EXPECT_EQ(sink.traceSwitchOffs, 1);
    EXPECT_EQ(sink.traces.size(), 1u);
    EXPECT_EQ(ReadFile(dir / "trace.log"), "");
}

TEST(Logs, ShutdownClosesFilesForGoodAndUnshownEventsGoToStderr) {
    TempDir dir;
    pw::LogStore log(FixedClockOptions(dir.str()));
    log.setEventsToFile(true);
    log.setTraceToFile(true);
    log.logEvent("System shutdown");
    log.shutdown();
    ModelSink sink;
    log.setSink(&sink);
    log.logEvent("after exit");
    const std::uint8_t one[] = {0x01};
    log.traceData(0, 0, TRACE_DIR_RX, one, 1);
    EXPECT_EQ(ReadFile(dir / "event.log"), kStamp + "System shutdown\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "trace.log"));
    EXPECT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.traces.size(), 1u);

    static std::vector<std::string> diags;
    diags.clear();
    pw::set_diag_sink([](const char* text) { diags.emplace_back(text); });
    EXPECT_TRUE(log.logEventOrDiag("shown in the list"));
    log.setSink(nullptr);
    EXPECT_FALSE(log.logEventOrDiag("nowhere else to go"));
    pw::set_diag_sink(nullptr);
    EXPECT_EQ(diags, std::vector<std::string>{"nowhere else to go"});
}

TEST(Logs, ProcessLogBacksTheEngineCallbacks) {
    ModelSink sink;
    pw::ProcessLog().setSink(&sink);
    LogEvent("through the callback");
    const std::uint8_t one[] = {0x7f};
    TraceData(1, 0, TRACE_DIR_TX, one, 1);
    pw::ProcessLog().setSink(nullptr);
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0][1], "through the callback");
    ASSERT_EQ(sink.traces.size(), 1u);
    EXPECT_EQ(sink.traces[0][3], "1");
    EXPECT_EQ(sink.traces[0][1].substr(0, 5), "L2 P1");
}

} // namespace
