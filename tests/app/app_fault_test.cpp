// Faults as the user meets them in the main window, on the real engine with real sockets: a
// connect that never completes, ports another program holds, and damaged data files.
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <thread>

namespace {

using namespace apptest;
using testsupport::set_link;
using testsupport::timed;

TEST(AppFaultTest, AConnectThatNeverCompletesShowsConnectingAndHoldsUpNothing) {
    testsupport::StalledListener stalled = testsupport::stalled_listener();
    ASSERT_NE(stalled.port, 0);
    const std::uint16_t a = free_tcp_port(), b = free_tcp_port();
    LinkTable table{};
    set_link(table, 0, "slow", Client(stalled.port, true), Server(free_tcp_port()));
    set_link(table, 1, "busy", Server(a, true), Server(b, true));
    App app;
    ASSERT_TRUE(app.start(table));
    const std::string connecting = "slow|TCP Client|TCP Server|P1 (Connecting) P2 (Down)";
    EXPECT_TRUE(app.waitFor([&] { return app.row(0) == connecting; }));
    EXPECT_EQ(app.stats(0), Format("IP|TCP Client Port %u|Activated, IP not connected|0 |0 |"
                                   "Deactivate Port 1",
                                   stalled.port));
    // The other link carries a megabyte; each user action returns far sooner than a connect fails.
    Fd in = tcp_connect_within(a), out = tcp_connect_within(b);
    ASSERT_TRUE(app.waitFor([&] { return app.row(1).ends_with("P1 (Up) P2 (Up)"); }));
    const std::vector<std::uint8_t> data = testsupport::pattern(1 << 20, 61);
    app.logic.rowClicked(1);
    app.logic.enableTracingClicked(true);
    std::thread feed([&] { testsupport::write_all(in.get(), data.data(), data.size()); });
    std::chrono::steady_clock::duration slowest{};
    for (int round = 0; round < 20; ++round) { // tracing on for busy, then off for slow
        slowest = std::max({slowest, timed([&] { app.logic.refreshTimerTick(); }),
                            timed([&] { app.logic.rowClicked(1 - round % 2); }),
                            timed([&] { app.logic.enableTracingClicked(round % 2 == 0); }),
                            timed([&] { app.pump(); })});
    }
    std::vector<std::uint8_t> got(data.size());
    EXPECT_TRUE(testsupport::read_exact(out.get(), got.data(), got.size(), 60000) && got == data);
    feed.join();
    EXPECT_LT(slowest, std::chrono::seconds(5));
    app.logic.currentRowChanged(1); // busy's counters and trace, and their clearing
    app.logic.refreshTimerTick();
    app.pump();
    const PortStatsTexts* s = app.logic.stats().port;
    EXPECT_EQ(s[0].cell[STATS_ROW_RX_BYTES] + s[1].cell[STATS_ROW_TX_BYTES] +
                  std::to_string(app.traces.empty()),
              "1048576 1048576 0");
    app.logic.clearStatsClicked();
    app.logic.clearTraceClicked();
    app.pump();
    EXPECT_EQ(s[0].cell[STATS_ROW_RX_BYTES] + std::to_string(app.traces.size()) + app.row(0),
              Format("0 0%s", connecting.c_str()));

    // "Deactivate Port 1" ends the attempt, its socket goes, and nothing more is reported of it.
    app.logic.rowClicked(0);
    const std::size_t descriptors = testsupport::open_fd_count();
    EXPECT_LT(timed([&] { app.logic.activateClicked(0); }), std::chrono::seconds(5));
    EXPECT_TRUE(app.stats(0).ends_with("|Activate Port 1") &&
                app.entry(0).config.port[0].active == 0);
    EXPECT_TRUE(
        testsupport::wait_until([&] { return testsupport::open_fd_count() == descriptors - 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // room for a stray report
    EXPECT_TRUE(app.hasEvent("Link 0 (slow) Port 0 deactivated") &&
                app.row(0).ends_with("P1 (Down) P2 (Down)"));
    EXPECT_FALSE(app.hasEvent("Link 0 (slow) Port 0 TCP connect failed.") ||
                 app.hasEvent("Link 0 (slow) Port 0 IP interface closed."));
}

TEST(AppFaultTest, APortInUseIsReportedShownWaitingStoppedAndActivatedOnceFree) {
    Fd takenTcp = testsupport::tcp_listen(0), takenUdp = testsupport::udp_bind(0);
    const std::uint16_t tcpPort = testsupport::local_port(takenTcp.get()), other = free_tcp_port(),
                        udpPort = testsupport::local_port(takenUdp.get());
    LinkTable table{};
    PortConfig waiting = Server(tcpPort, true); // tried again every 10 s
    waiting.autoReconnect = 1;
    set_link(table, 0, "busy", waiting, Server(other, true));
    set_link(table, 1, "dgram", Client(udpPort, true, true), Server(free_tcp_port()));
    App app;
    ASSERT_TRUE(app.start(table));
    EXPECT_TRUE(
        app.hasEvent("Link 0 (busy) Port 0 IP port activation failed (Socket Layer RC 0)") &&
        app.hasEvent("Link 1 (dgram) Port 0 IP port activation failed (Socket Layer RC 7)"));
    EXPECT_TRUE(app.waitFor([&] { return app.row(0).ends_with("P1 (Waiting) P2 (Listening)"); }));
    EXPECT_TRUE(app.row(1) == Format("dgram|UDP port %u|TCP Server|P1 (Down) P2 (Down)", udpPort) &&
                app.stats(0).ends_with("|Waiting, IP not connected|0 |0 |Deactivate Port 1"));
    // The other port serves; "Deactivate Port 1" stops the retries for good.
    Fd client = tcp_connect_within(other);
    EXPECT_TRUE(app.waitFor([&] { return app.row(0).ends_with("P1 (Waiting) P2 (Up)"); }));
    app.logic.activateClicked(0);
    EXPECT_TRUE(app.stats(0).ends_with("|Not activated, IP not connected|0 |0 |Activate Port 1") &&
                WeaveNextTimerDue() == WEAVE_NO_TIMER);
    EXPECT_TRUE(app.waitFor([&] { return app.row(0).ends_with("P1 (Down) P2 (Up)"); }));
    EXPECT_EQ(+app.entry(0).config.port[0].active, 0u);
    takenTcp.reset(); // once free, "Activate Port 1" takes the port
    app.logic.activateClicked(0);
    EXPECT_TRUE(app.stats(0).ends_with("|Deactivate Port 1"));
    EXPECT_TRUE(app.waitFor([&] { return app.row(0).ends_with("P1 (Listening) P2 (Up)"); }));
    EXPECT_TRUE(tcp_connect_within(tcpPort).valid());
    app.stop();
    const LinkTable saved = table_of(app.saved());
    EXPECT_EQ(saved.entry[0].config.port[0].active + saved.entry[1].config.port[0].active, 2u);
}

TEST(AppFaultTest, AnAbsentComDeviceIsMarkedAndAnotherOneAssignedServesWithoutARestart) {
    if (std::filesystem::path::preferred_separator != '/') {
        GTEST_SKIP() << "the devices' stable names are links under Linux's /dev";
    }
    testsupport::ScratchDir cwd; // where the serial layer keeps its name file
    testsupport::PtyPair device;
    testsupport::TempDir dev; // the machine's devices: one adapter under its stable name
    std::filesystem::create_directories(dev / "serial/by-id");
    std::filesystem::create_symlink(device.slavePath(), dev / "serial/by-id/usb-Maker-if00");
    const std::vector<DeviceChoice> choices = DeviceChoices(dev.str());
    ASSERT_EQ(choices.size(), 1u);
    const std::string link = choices[0].path;
    EXPECT_EQ(choices[0].text, "usb-Maker-if00 (" + device.slavePath() + ")");
    cwd.writePorts({{3, "/absent"}}, "# mine\n");
    LinkTable table{};
    set_link(table, 0, "wired", testsupport::serial_port(2, false), Server(0));
    App app;
    ASSERT_TRUE(app.start(table));
    app.logic.activateClicked(0);
    EXPECT_EQ(ComListItems(app.state().comDevices)[2], "COM3 (/absent) - not present");
    app.dialog.assignComDevice(2, link);
    app.dialog.assignComDevice(COM_NAME_COUNT, "/x");
    EXPECT_TRUE(app.hasEvent("Link 0 (wired) Port 0 Serial port open fail (rc 2) (ExRc 2)") &&
                app.hasEvent("COM3 assigned to " + link) &&
                app.hasEvent("COM33 could not be assigned to /x: Invalid argument"));
    EXPECT_EQ(ComListItems(app.state().comDevices)[2] + ComItemText(3, app.state().comDevices),
              "COM3 (" + link + ")COM4 (/dev/ttyS3)");
    EXPECT_EQ(testsupport::read_file(cwd.path() + "/portweave.ports"),
              "COM3=" + link + "\n# mine\n");
    app.logic.activateClicked(0); // the same port that failed to open takes the new device
    app.dialog.assignComDevice(2, "/next"); // the open port keeps its device until reopened
    app.logic.refreshStats(app.entry(0));
    EXPECT_EQ(app.stats(0), "Serial|COM3 (" + link + ")|Connected|0 |0 |Deactivate Port 1");
}

TEST(AppFaultTest, DamagedDataFilesNeverStopTheStartAndLinksCanStillBeAdded) {
    const std::uint16_t port = free_tcp_port();
    LinkTable good{};
    set_link(good, 0, "first", Server(port, true), Server(free_tcp_port()));
    set_link(good, 1, "second", Server(free_tcp_port()), Server(free_tcp_port()));
    const SettingsBlock settings{1, 0, 0, 0}; // events to file
    const std::string image = testsupport::data_file_image(settings, good), tail(1000, 't'),
                      n40(40, 'N');
    LinkTable noZero = good; // entry 1's name and its P1's host lost their zero
    std::memset(noZero.entry[1].config.name, 'N', sizeof noZero.entry[1].config.name);
    noZero.entry[1].config.port[0] = Client(4000, true);
    std::memset(noZero.entry[1].config.port[0].remoteHost, 'h', REMOTE_HOST_MAX + 1);
    const std::tuple<std::string, std::string, bool, std::string> cases[] = {
        // file, links listed, "Failed to read data file", tail kept; short: 100 bytes of entry 1
        {image.substr(0, sizeof settings + sizeof(LinkEntry) + 100), "first second ", true, ""},
        {image + tail, "first second ", false, tail},
        {testsupport::data_file_image(settings, noZero), "first " + n40 + " ", false, ""},
        {std::string(DATA_FILE_SIZE, '\xff'), "", false, ""}};
    for (const auto& [bytes, names, readFailed, keptTail] : cases) {
        App app;
        std::ofstream(app.dir / DATA_FILE_NAME, std::ios::binary) << bytes;
        ASSERT_TRUE(app.start());
        std::string listed;
        for (int row = 0; row < app.state().links.rowCount(); ++row) {
            listed += app.state().links.row(row).name + " ";
        }
        EXPECT_EQ(listed + std::to_string(app.hasEvent("Failed to read data file")) +
                      std::to_string(app.log.eventsToFile()), // 0xFFFFFFFF is not "on"
                  names + std::to_string(readFailed) + std::to_string(!names.empty()));
        EXPECT_TRUE(names.empty() || tcp_connect_within(port).valid()) << "entry 0 runs";
        EXPECT_EQ(names == "first " + n40 + " ",
                  app.hasEvent(Format("Link 1 (%s) Port 0 TCP connecting to %s 4000...",
                                      n40.c_str(), std::string(40, 'h').c_str())));
        ASSERT_TRUE(app.dialog.newLink()); // a new link takes the first free entry, and listens
        const std::uint16_t fresh = free_tcp_port();
        ASSERT_TRUE(
            app.dialog
                .save(ServerForm(app.dialog.workingCopy().config, "fresh", fresh, free_tcp_port()))
                .closed);
        EXPECT_TRUE(tcp_connect_within(fresh).valid());
        app.stop();
        const std::string saved = app.saved();
        listed.clear();
        for (const LinkEntry& entry : table_of(saved).entry) {
            listed += entry.inUse != 0 ? NameOf(entry.config) + " " : "";
        }
        EXPECT_EQ(listed + saved.substr(std::min(saved.size(), DATA_FILE_SIZE)),
                  names + "fresh " + keptTail);
    }
}

} // namespace
