// Faults as the user meets them in the main window, on the real engine with real sockets: a
// connect that never completes shows "Connecting", holds nothing else up and deactivates
// cleanly; a port already in use is reported, shown as Down and can be activated once it is
// free, while the rest runs; a data file of nothing but 0xFF bytes starts the program with an
// empty list in which links can still be added, and damaged files never stop the start.
#include "app/core/link_dialog_logic.h"
#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace apptest;
using namespace pw::app;
using Clock = std::chrono::steady_clock;
using testsupport::Fd;
using testsupport::free_tcp_port;
using testsupport::timed;

// Far longer than any user action takes, far shorter than the two minutes the system gives a
// connect before it fails it (a call that waited for the connect would take that long).
constexpr auto CALL_LIMIT = std::chrono::seconds(5);

// Connects to 127.0.0.1:`port` that this process's sockets are still trying to reach (their
// SYN unanswered), as the system lists them.
std::size_t ConnectsUnderWay(std::uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line); // the heading
    std::size_t count = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const std::size_t colon = remote.find(':');
        if (state == "02" /* SYN_SENT */ && colon != std::string::npos &&
            std::stoul(remote.substr(colon + 1), nullptr, 16) == port) {
            ++count;
        }
    }
    return count;
}

TEST(AppFaultTest, AConnectThatNeverCompletesShowsConnectingAndHoldsUpNothing) {
    testsupport::StalledListener stalled = testsupport::stalled_listener();
    ASSERT_NE(stalled.port, 0);
    const std::size_t pendingBefore = ConnectsUnderWay(stalled.port);
    AppHarness app;
    const std::uint16_t a = free_tcp_port();
    const std::uint16_t b = free_tcp_port();
    LinkTable table{};
    SetLink(table, 0, "slow", TcpClientPort(stalled.port, true),
            TcpServerPort(free_tcp_port(), false));
    SetLink(table, 1, "busy", TcpServerPort(a, true), TcpServerPort(b, true));
    ASSERT_TRUE(app.start(SettingsBlock{}, table));
    app.logic.initialise();
    ASSERT_EQ(app.state().links.currentRow(), 0);
    EXPECT_TRUE(app.waitFor([&] { return app.statusText(0) == "P1 (Connecting) P2 (Down)"; }));
    app.logic.refreshTimerTick();
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_PORT_STATUS], "Activated, IP not connected");
    EXPECT_STREQ(app.logic.stats().activateCaption[0], "Deactivate Port 1");
    EXPECT_EQ(ConnectsUnderWay(stalled.port), pendingBefore + 1);

    // The other link carries a megabyte while the connect hangs, and every user action returns
    // at once.
    Fd in = ConnectWhenListening(a);
    Fd out = ConnectWhenListening(b);
    ASSERT_TRUE(in.valid() && out.valid());
    ASSERT_TRUE(app.waitFor([&] { return app.statusText(1) == "P1 (Up) P2 (Up)"; }));
    const std::vector<std::uint8_t> data = testsupport::pattern(1 << 20, 61);
    std::thread feed(
        [&] { EXPECT_TRUE(testsupport::write_all(in.get(), data.data(), data.size())); });
    std::vector<std::uint8_t> got(data.size());
    Clock::duration slowest{};
    for (int round = 0; round < 20; ++round) {
        slowest =
            std::max({slowest, timed([&] { app.logic.refreshTimerTick(); }),
                      timed([&] { app.logic.rowClicked(round % 2); }),
                      timed([&] { app.logic.enableTracingClicked(round % 2 == 0); }),
                      timed([&] { app.logic.clearStatsClicked(); }), timed([&] { app.pump(); })});
    }
    app.logic.rowClicked(0);
    const bool arrived = testsupport::read_exact(out.get(), got.data(), got.size(), 60000);
    feed.join();
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(got == data);
    EXPECT_LT(slowest, CALL_LIMIT);
    app.pump();
    EXPECT_EQ(app.statusText(0), "P1 (Connecting) P2 (Down)") << "the connect is still under way";

    // "Deactivate Port 1" ends the attempt: the port is down, its socket is gone, and nothing
    // about the abandoned connect is ever reported.
    EXPECT_LT(timed([&] { app.logic.activateClicked(0); }), CALL_LIMIT);
    EXPECT_STREQ(app.logic.stats().activateCaption[0], "Activate Port 1");
    EXPECT_EQ(+app.state().table.entry[0].config.port[0].active, 0u);
    EXPECT_TRUE(app.waitFor([&] { return app.statusText(0) == "P1 (Down) P2 (Down)"; }));
    EXPECT_TRUE(
        testsupport::wait_until([&] { return ConnectsUnderWay(stalled.port) == pendingBefore; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // room for a stray report
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Link 0 (slow) Port 0 deactivated"));
    EXPECT_FALSE(app.model.hasEvent("Link 0 (slow) Port 0 TCP connect failed."));
    EXPECT_FALSE(app.model.hasEvent("Link 0 (slow) Port 0 IP interface closed."));
    EXPECT_EQ(app.statusText(0), "P1 (Down) P2 (Down)");
}

TEST(AppFaultTest, APortInUseIsReportedShownDownAndActivatedOnceFree) {
    Fd takenTcp = testsupport::tcp_listen(0);
    Fd takenUdp = testsupport::udp_bind(0);
    const std::uint16_t tcpPort = testsupport::local_port(takenTcp.get());
    const std::uint16_t udpPort = testsupport::local_port(takenUdp.get());
    const std::uint16_t other = free_tcp_port();
    AppHarness app;
    LinkTable table{};
    SetLink(table, 0, "busy", TcpServerPort(tcpPort, true), TcpServerPort(other, true));
    SetLink(table, 1, "dgram", UdpPort(udpPort, true), TcpServerPort(free_tcp_port(), false));
    ASSERT_TRUE(app.start(SettingsBlock{}, table));
    app.logic.initialise();
    app.pump();
    EXPECT_TRUE(
        app.model.hasEvent("Link 0 (busy) Port 0 IP port activation failed (Socket Layer RC 0)"));
    EXPECT_TRUE(
        app.model.hasEvent("Link 1 (dgram) Port 0 IP port activation failed (Socket Layer RC 7)"));
    EXPECT_TRUE(app.waitFor([&] { return app.statusText(0) == "P1 (Down) P2 (Listening)"; }));
    EXPECT_EQ(app.statusText(1), "P1 (Down) P2 (Down)");
    EXPECT_STREQ(app.logic.stats().activateCaption[0], "Activate Port 1");
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_PORT_STATUS],
              "Not activated, IP not connected");
    // The port the user left activated stays so in the saved table: the next start tries again.
    EXPECT_EQ(+app.state().table.entry[0].config.port[0].active, 1u);
    // The other port of the link serves meanwhile.
    Fd client = ConnectWhenListening(other);
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(app.waitFor([&] { return app.statusText(0) == "P1 (Down) P2 (Up)"; }));

    // The port is free again: "Activate Port 1" takes it.
    takenTcp.reset();
    app.logic.activateClicked(0);
    EXPECT_STREQ(app.logic.stats().activateCaption[0], "Deactivate Port 1");
    EXPECT_TRUE(app.waitFor([&] { return app.statusText(0) == "P1 (Listening) P2 (Up)"; }));
    EXPECT_TRUE(ConnectWhenListening(tcpPort).valid());

    app.stop();
    SettingsBlock saved{};
    LinkTable savedTable{};
    ASSERT_TRUE(ReadDataFile(app.dir.str(), saved, savedTable));
    EXPECT_EQ(+savedTable.entry[0].config.port[0].active, 1u);
    EXPECT_EQ(+savedTable.entry[1].config.port[0].active, 1u);
}

TEST(AppFaultTest, AnAllOnesDataFileStartsEmptyAndLinksCanStillBeAdded) {
    AppHarness app;
    {
        std::ofstream out(app.dir / DATA_FILE_NAME, std::ios::binary);
        const std::string ones(DATA_FILE_SIZE, '\xff');
        out.write(ones.data(), static_cast<std::streamsize>(ones.size()));
    }
    ASSERT_TRUE(app.start());
    app.logic.initialise();
    app.pump();
    EXPECT_EQ(app.state().links.rowCount(), 0);
    EXPECT_FALSE(app.log.eventsToFile());
    EXPECT_FALSE(app.log.traceToFile());
    EXPECT_EQ(app.model.eventTexts(), std::vector<std::string>{"System startup"});

    LinkDialogLogic dialog(app.state(), app.logic, app.log, EngineCalls{});
    ASSERT_TRUE(dialog.newLink());
    const std::uint16_t port = free_tcp_port();
    const SaveOutcome saved =
        dialog.save(ServerForm(dialog.workingCopy().config, "fresh", port, free_tcp_port()));
    EXPECT_TRUE(saved.closed);
    EXPECT_EQ(saved.message, "");
    app.pump();
    EXPECT_FALSE(app.model.hasEvent("No free links available: cannot add new link."));
    ASSERT_EQ(app.state().links.rowCount(), 1);
    EXPECT_EQ(app.state().links.row(0).name, "fresh");
    EXPECT_TRUE(ConnectWhenListening(port).valid());

    app.stop();
    SettingsBlock settings{};
    LinkTable table{};
    ASSERT_TRUE(ReadDataFile(app.dir.str(), settings, table));
    EXPECT_EQ(+table.entry[0].inUse, 1u);
    EXPECT_STREQ(table.entry[0].config.name, "fresh");
    for (std::uint32_t i = 1; i < MAX_LINKS; ++i) {
        EXPECT_EQ(+table.entry[i].inUse, 0u) << "entry " << i;
    }
}

TEST(AppFaultTest, DamagedDataFilesNeverStopTheStart) {
    const std::uint16_t port = free_tcp_port();
    LinkTable good{};
    SetLink(good, 0, "first", TcpServerPort(port, true), TcpServerPort(free_tcp_port(), false));
    SetLink(good, 1, "second", TcpServerPort(free_tcp_port(), false),
            TcpServerPort(free_tcp_port(), false));
    SettingsBlock settings{};
    settings.logEventsToFile = 1;
    std::string image(reinterpret_cast<const char*>(&settings), sizeof settings);
    image.append(reinterpret_cast<const char*>(&good), sizeof good);

    struct Case {
        const char* what;
        std::string bytes;
        int rows;             // links listed
        bool readFailed;      // "Failed to read data file"
        std::size_t keptTail; // bytes past the image that the save keeps
    };
    const std::string tail(1000, 't');
    std::string unterminated = image;
    // Entry 1's name and its P1's host, without their zero, and P1 a client to that host.
    LinkTable noZero = good;
    std::memset(noZero.entry[1].config.name, 'N', sizeof noZero.entry[1].config.name);
    noZero.entry[1].config.port[0] = TcpClientPort(4000, true);
    std::memset(noZero.entry[1].config.port[0].remoteHost, 'h',
                sizeof noZero.entry[1].config.port[0].remoteHost);
    unterminated.replace(sizeof settings, sizeof noZero,
                         std::string(reinterpret_cast<const char*>(&noZero), sizeof noZero));
    const std::vector<Case> cases = {
        // Entry 1's first 100 bytes hold its flag and name: it is listed with what arrived.
        {"short: the settings, entry 0 and part of entry 1",
         image.substr(0, sizeof settings + sizeof(LinkEntry) + 100), 2, true, 0},
        {"longer than the image", image + tail, 2, false, tail.size()},
        {"names without their zero", unterminated, 2, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AppHarness app;
        {
            std::ofstream out(app.dir / DATA_FILE_NAME, std::ios::binary);
            out.write(c.bytes.data(), static_cast<std::streamsize>(c.bytes.size()));
        }
        ASSERT_TRUE(app.start());
        app.logic.initialise();
        app.pump();
        ASSERT_EQ(app.state().links.rowCount(), c.rows);
        EXPECT_EQ(app.state().links.row(0).name, "first");
        EXPECT_TRUE(ConnectWhenListening(port).valid()) << "entry 0 runs";
        EXPECT_EQ(ReadText(app.dir / "event.log").find("Failed to read data file") !=
                      std::string::npos,
                  c.readFailed);
        if (c.bytes == unterminated) {
            const std::string name(40, 'N');
            EXPECT_EQ(app.state().links.row(1).name, name);
            EXPECT_TRUE(app.model.hasEvent("Link 1 (" + name + ") Port 0 TCP connecting to " +
                                           std::string(40, 'h') + " 4000..."));
        }
        app.stop();
        const std::string saved = ReadText(app.dir / DATA_FILE_NAME);
        ASSERT_EQ(saved.size(), DATA_FILE_SIZE + c.keptTail);
        EXPECT_EQ(saved.substr(DATA_FILE_SIZE),
                  c.bytes.substr(std::min(c.bytes.size(), DATA_FILE_SIZE)));
        LinkEntry entry0{};
        std::memcpy(&entry0, saved.data() + sizeof settings, sizeof entry0);
        EXPECT_STREQ(entry0.config.name, "first");
    }
}

} // namespace
