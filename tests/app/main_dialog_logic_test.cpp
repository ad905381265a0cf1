// The main dialog's behaviour on the real engine with real sockets: opening the stored links at
// start-up, the links list's status words, the statistics, the activate buttons and their saved
// flags, tracing of real traffic, the switches, and the engine's refusals.
#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace apptest;
using namespace pw::app;
using testsupport::Fd;
using testsupport::free_tcp_port;
using testsupport::read_exact;
using testsupport::tcp_connect;
using testsupport::write_all;

TEST(MainDialogLogicTest, StartUpOpensStoredLinksAndSelectsTheSavedRow) {
    AppHarness app;
    const std::uint16_t port = free_tcp_port();
    SettingsBlock settings{};
    settings.selectedLinkRow = 1;
    LinkTable table{};
    SetLink(table, 0, "A", TcpServerPort(free_tcp_port(), false), SerialPortConfig(2));
    SetLink(table, 2, "C", TcpServerPort(port, true), TcpServerPort(free_tcp_port(), false));
    ASSERT_TRUE(app.start(settings, table));
    app.logic.initialise();
    app.pump();

    ASSERT_EQ(app.state().links.rowCount(), 2);
    EXPECT_EQ(+app.state().links.row(0).linkId, 0u);
    EXPECT_EQ(+app.state().links.row(1).linkId, 2u);
    EXPECT_EQ(app.state().links.row(0).port2, "COM3");
    EXPECT_TRUE(app.model.hasEvent("System startup"));
    EXPECT_TRUE(app.model.hasEvent("Added link 0 (A) Port 0 (TCP Server) Port 1 (COM3)"));
    EXPECT_TRUE(app.model.hasEvent("Added link 2 (C) Port 0 (TCP Server) Port 1 (TCP Server)"));
    EXPECT_EQ(app.model.eventTexts().front(), "System startup");

    // Row 1 (the link of entry 2) is selected again, with its statistics.
    EXPECT_EQ(app.state().links.currentRow(), 1);
    EXPECT_EQ(app.state().selectedEntry(), &app.state().table.entry[2]);
    EXPECT_TRUE(app.logic.refreshTimerRunning());
    const StatsState& stats = app.logic.stats();
    EXPECT_EQ(stats.port[0].cell[STATS_ROW_PORT_DETAILS],
              "TCP Server Port " + std::to_string(port));
    EXPECT_EQ(stats.port[0].cell[STATS_ROW_PORT_STATUS], "Activated, IP not connected");
    EXPECT_EQ(stats.port[1].cell[STATS_ROW_PORT_STATUS], "Not activated, IP not connected");
    EXPECT_STREQ(stats.activateCaption[0], "Deactivate Port 1");
    EXPECT_STREQ(stats.activateCaption[1], "Activate Port 2");
    EXPECT_EQ(app.statusText(1), "P1 (Listening) P2 (Down)");
    EXPECT_EQ(app.statusText(0), "P1 (Down) P2 (Down)");

    // A client connects: the engine's report turns the word into Up.
    Fd client = ConnectWhenListening(port);
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(app.waitFor([&] { return app.statusText(1) == "P1 (Up) P2 (Down)"; }));
    app.logic.refreshTimerTick();
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_PORT_STATUS], "Activated, IP connected");
}

TEST(MainDialogLogicTest, ActivateButtonsFlipTheirCaptionsAndTheSavedFlags) {
    AppHarness app;
    const std::uint16_t p1 = free_tcp_port();
    const std::uint16_t p2 = free_tcp_port();
    LinkTable table{};
    SetLink(table, 0, "L", TcpServerPort(p1, false), TcpServerPort(p2, false));
    ASSERT_TRUE(app.start(SettingsBlock{}, table));
    app.logic.initialise();
    ASSERT_EQ(app.state().links.currentRow(), 0);
    EXPECT_FALSE(tcp_connect(p1).valid());

    app.logic.activateClicked(0);
    EXPECT_STREQ(app.logic.stats().activateCaption[0], "Deactivate Port 1");
    EXPECT_EQ(+app.state().table.entry[0].config.port[0].active, 1u);
    EXPECT_TRUE(ConnectWhenListening(p1).valid());

    app.logic.activateClicked(0);
    EXPECT_STREQ(app.logic.stats().activateCaption[0], "Activate Port 1");
    EXPECT_EQ(+app.state().table.entry[0].config.port[0].active, 0u);
    EXPECT_TRUE(Closed(p1));

    app.logic.activateClicked(1);
    EXPECT_STREQ(app.logic.stats().activateCaption[1], "Deactivate Port 2");
    app.stop();
    SettingsBlock saved{};
    LinkTable savedTable{};
    ASSERT_TRUE(ReadDataFile(app.dir.str(), saved, savedTable));
    EXPECT_EQ(+savedTable.entry[0].config.port[0].active, 0u);
    EXPECT_EQ(+savedTable.entry[0].config.port[1].active, 1u);
    EXPECT_EQ(+saved.selectedLinkRow, 0u);
}

TEST(MainDialogLogicTest, TracingShowsRealTrafficInHexThenAscii) {
    AppHarness app;
    const std::uint16_t p1 = free_tcp_port();
    const std::uint16_t p2 = free_tcp_port();
    LinkTable table{};
    SetLink(table, 0, "T", TcpServerPort(p1, true), TcpServerPort(p2, true));
    ASSERT_TRUE(app.start(SettingsBlock{}, table));
    app.logic.initialise();
    EXPECT_FALSE(app.logic.switches().enableTracing);
    EXPECT_TRUE(app.logic.switches().hex);

    app.logic.enableTracingClicked(true);
    EXPECT_EQ(+app.state().table.entry[0].config.port[0].trace, 1u);
    EXPECT_EQ(+app.state().table.entry[0].config.port[1].trace, 1u);
    Fd a = ConnectWhenListening(p1);
    Fd b = ConnectWhenListening(p2);
    ASSERT_TRUE(app.waitFor([&] { return app.statusText(0) == "P1 (Up) P2 (Up)"; }));

    ASSERT_TRUE(write_all(a.get(), "hello", 5));
    char got[5];
    ASSERT_TRUE(read_exact(b.get(), got, sizeof(got)));
    ASSERT_TRUE(app.waitFor([&] { return app.model.traces.size() >= 2; }));
    EXPECT_EQ(app.model.traces[0][1], "L1 P1 TCP Server");
    EXPECT_EQ(app.model.traces[0][2], "Rx");
    EXPECT_EQ(app.model.traces[0][3], "5");
    EXPECT_EQ(app.model.traces[0][4], "68 65 6c 6c 6f ");
    EXPECT_EQ(app.model.traces[1][1], "L1 P2 TCP Server");
    EXPECT_EQ(app.model.traces[1][2], "Tx");

    // Unchecking "Hex" switches to ASCII for rows that come later.
    app.logic.hexClicked(false);
    EXPECT_TRUE(app.logic.switches().ascii);
    EXPECT_FALSE(app.logic.switches().hex);
    EXPECT_EQ(+app.state().settings.traceAscii, 1u);
    ASSERT_TRUE(write_all(b.get(), "back", 4));
    ASSERT_TRUE(read_exact(a.get(), got, 4));
    ASSERT_TRUE(app.waitFor([&] { return app.model.traces.size() >= 4; }));
    EXPECT_EQ(app.model.traces[2][4], "back");
    EXPECT_EQ(app.model.traces[0][4], "68 65 6c 6c 6f "); // earlier rows keep their text

    app.logic.refreshTimerTick();
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_RX_BYTES], "5 ");
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_TX_BYTES], "4 ");
    app.logic.clearStatsClicked();
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_RX_BYTES], "0 ");

    app.logic.clearTraceClicked();
    app.pump();
    EXPECT_TRUE(app.model.traces.empty());
    app.logic.asciiClicked(false);
    EXPECT_TRUE(app.logic.switches().hex);
    EXPECT_EQ(+app.state().settings.traceAscii, 0u);

    // Tracing off: no more rows.
    app.logic.enableTracingClicked(false);
    ASSERT_TRUE(write_all(a.get(), "x", 1));
    ASSERT_TRUE(read_exact(b.get(), got, 1));
    app.pump();
    EXPECT_TRUE(app.model.traces.empty());
}

TEST(MainDialogLogicTest, LogFileSwitchesReachTheLogAndTheSavedSettings) {
    AppHarness app;
    ASSERT_TRUE(app.start(SettingsBlock{}, LinkTable{}));
    app.logic.initialise();
    // No data file content: nothing to select, but the refresh runs.
    EXPECT_EQ(+app.state().settings.selectedLinkRow, 0u);
    EXPECT_EQ(app.state().links.currentRow(), -1);
    EXPECT_TRUE(app.logic.refreshTimerRunning());
    EXPECT_FALSE(app.logic.switches().logEventsToFile);

    app.logic.logEventsToFileClicked(true);
    app.logic.logTraceToFileClicked(true);
    EXPECT_TRUE(app.log.eventsToFile());
    app.log.logEvent("written");
    EXPECT_NE(ReadText(app.dir / "event.log").find("written\r\n"), std::string::npos);
    app.logic.logTraceToFileClicked(false);
    app.stop();
    SettingsBlock saved{};
    LinkTable savedTable{};
    ASSERT_TRUE(ReadDataFile(app.dir.str(), saved, savedTable));
    EXPECT_EQ(+saved.logEventsToFile, 1u);
    EXPECT_EQ(+saved.logTraceToFile, 0u);
}

std::uint32_t AllocRefusingLink1(std::int32_t linkId) {
    return linkId == 1 ? 0 : WeaveAllocLink(linkId);
}

TEST(MainDialogLogicTest, ALinkTheEngineCannotAllocateEndsTheOpening) {
    EngineCalls calls;
    calls.allocLink = AllocRefusingLink1;
    AppHarness app(calls);
    LinkTable table{};
    for (std::uint32_t id = 0; id < 3; ++id) {
        SetLink(table, id, ("L" + std::to_string(id)).c_str(), TcpServerPort(0, false),
                TcpServerPort(0, false));
    }
    ASSERT_TRUE(app.start(SettingsBlock{}, table));
    app.logic.initialise();
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Failed to open link 1"));
    EXPECT_EQ(app.state().links.rowCount(), 1);
    EXPECT_EQ(+app.state().table.entry[1].inUse, 0u);
    EXPECT_EQ(+app.state().table.entry[2].inUse, 1u); // not opened in this run, kept for the next
    EXPECT_TRUE(app.logic.switches().hex);            // the trace display is still set up
    app.stop();
    SettingsBlock saved{};
    LinkTable savedTable{};
    ASSERT_TRUE(ReadDataFile(app.dir.str(), saved, savedTable));
    EXPECT_EQ(+savedTable.entry[1].inUse, 0u);
    EXPECT_EQ(+savedTable.entry[2].inUse, 1u);
}

std::uint32_t ConfigRefused(std::int32_t, const LinkConfig*, char* errText) {
    std::snprintf(errText, ERR_TEXT_SIZE, "refused");
    return 0;
}

TEST(MainDialogLogicTest, ALinkTheEngineCannotConfigureIsFreedAndDropped) {
    EngineCalls calls;
    calls.setLinkConfig = ConfigRefused;
    AppHarness app(calls);
    LinkTable table{};
    SetLink(table, 0, "bad", TcpServerPort(0, true), TcpServerPort(0, false));
    ASSERT_TRUE(app.start(SettingsBlock{}, table));
    app.logic.initialise();
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Link 0 config failed: refused"));
    EXPECT_EQ(+app.state().table.entry[0].inUse, 0u);
    LinkStatus status{};
    EXPECT_EQ(WeaveGetLinkStatus(0, &status), 0u); // the slot was given back
    EXPECT_EQ(app.state().links.rowCount(), 0);
}

TEST(MainDialogLogicTest, RowOperationsAndDeactivatingBothPorts) {
    AppHarness app;
    const std::uint16_t p1 = free_tcp_port();
    const std::uint16_t p2 = free_tcp_port();
    LinkTable table{};
    SetLink(table, 3, "three", TcpServerPort(p1, true), TcpServerPort(p2, true));
    ASSERT_TRUE(app.start(SettingsBlock{}, table));
    app.logic.initialise();
    ASSERT_EQ(app.logic.findRow(3), 0);
    EXPECT_EQ(app.logic.findRow(4), -1);

    // A link added while running (as the link dialog does) gets a row after the others.
    LinkEntry& added = app.state().table.entry[1];
    SetLink(app.state().table, 1, "one", SerialPortConfig(0), TcpClientPort(p1, false));
    ASSERT_EQ(WeaveAllocLink(1), 1u);
    EXPECT_EQ(app.logic.addLinkRow(added), 1);
    std::snprintf(added.config.name, sizeof(added.config.name), "uno");
    app.logic.updateLinkRow(added);
    EXPECT_EQ(app.state().links.row(1).name, "uno");
    app.logic.selectRow(1);
    EXPECT_EQ(+app.state().settings.selectedLinkRow, 1u);
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_PORT_DETAILS], "COM1");
    app.logic.removeLinkRow(1, added);
    EXPECT_EQ(app.state().links.rowCount(), 1);
    EXPECT_EQ(app.state().links.currentRow(), -1);
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Added link 1 (one) Port 0 (COM1) Port 1 (TCP Client)"));
    EXPECT_TRUE(app.model.hasEvent("Updated link 1 (uno) Port 0 (COM1) Port 1 (TCP Client)"));
    EXPECT_TRUE(app.model.hasEvent("Removed link 1 (uno)"));

    app.logic.selectRow(0);
    EXPECT_STREQ(app.logic.stats().activateCaption[0], "Deactivate Port 1");
    LinkEntry& three = app.state().table.entry[3];
    app.logic.deactivateBothPorts(three);
    EXPECT_EQ(+three.config.port[0].active, 0u);
    EXPECT_EQ(+three.config.port[1].active, 0u);
    EXPECT_EQ(WeaveIsPortActive(3, 0), 0u);
    EXPECT_EQ(WeaveIsPortActive(3, 1), 0u);
    EXPECT_STREQ(app.logic.stats().activateCaption[0], "Activate Port 1");
    EXPECT_STREQ(app.logic.stats().activateCaption[1], "Activate Port 2");

    // A link the engine no longer holds: the statistics keep their last texts.
    const std::string before = app.logic.stats().port[0].cell[STATS_ROW_PORT_DETAILS];
    WeaveFreeLink(3);
    app.logic.refreshTimerTick();
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_PORT_DETAILS], before);
    // Activation refused by the engine: the event names the link and port, the flag stays set.
    app.logic.activateClicked(0);
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Link 3 Port 0 activation error: link not allocated"));
    EXPECT_EQ(+three.config.port[0].active, 1u);
}

} // namespace
