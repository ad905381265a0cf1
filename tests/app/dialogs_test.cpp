// The main, link and send buffer dialogs on the real engine with real sockets: what the lists,
// statistics and boxes show, what the widgets are told, and what the engine and table hold.
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

namespace {

using namespace apptest;

TEST(DialogsTest, LinksAreListedAddedEditedRemovedAndSentOnAndTheBoxesFollowTheClicks) {
    const std::uint16_t p1 = free_tcp_port(), moved = free_tcp_port();
    LinkTable table{};
    testsupport::set_link(table, 0, "First", Server(0), testsupport::serial_port(2, false));
    testsupport::set_link(table, 2, "Last", Server(p1, true), Server(0, true));
    table.entry[2].config.port[0].trace = 1;
    App app;
    ASSERT_TRUE(app.start(table, {1, 0, 1, 0})); // events to file, row 1 selected
    EXPECT_EQ(app.view.take() + app.boxes(2),
              "W +0 ~0 +1 ~1 s1 T S W tracing events hex 11 10 100 100");
    EXPECT_EQ(app.row(0) + "/" + app.row(1) + "/" + app.stats(0),
              Format("First|TCP Server|COM3|P1 (Down) P2 (Down)/Last|TCP Server|TCP Server|P1 "
                     "(Listening) P2 (Listening)/IP|TCP Server Port %u|Activated, IP not "
                     "connected|0 |0 |Deactivate Port 1",
                     p1));
    app.logic.currentRowChanged(0); // the keyboard moves the selection: shown at once, as a click
    EXPECT_EQ(app.view.take() + app.boxes(0) + app.stats(0),
              "S W events hex 00 00 100 100IP|TCP Server Port 0|Not activated, IP not "
              "connected|0 |0 |Activate Port 1");
    app.logic.currentRowChanged(1);
    app.logic.asciiClicked(true);
    EXPECT_EQ(app.boxes(2), "tracing events ascii 11 10 101 101");
    app.logic.hexClicked(true);
    EXPECT_EQ(app.boxes(2), "tracing events hex 11 10 100 100");
    app.logic.logEventsToFileClicked(false);
    app.logic.logTraceToFileClicked(true);
    EXPECT_EQ(app.boxes(2), "tracing trace hex 11 10 010 010");
    app.logic.traceToFileSwitchedOff();
    EXPECT_EQ(app.view.take() + app.boxes(2), "S W W W W W W tracing hex 11 10 000 010");
    EXPECT_TRUE(app.hasEvent("System startup") && app.events.front().text == "System startup");

    // One dialog at a time; a failed check keeps it open and the entry free.
    LinkDialogLogic& dialog = app.dialog;
    bool asked = false;
    auto yes = [&](const std::string&) { return asked = true; };
    ASSERT_TRUE(dialog.newLink());
    EXPECT_FALSE(dialog.newLink() || dialog.editLink() || dialog.removeLink(yes) ||
                 app.send.open());
    app.send.close(); // not open: the link dialog's flag stays
    EXPECT_EQ(Format("%s %s %d%d", dialog.title(), dialog.workingCopy().config.name,
                     app.state().dialogOpen, asked),
              "Add New Link Link1 10");
    Fd taken = testsupport::tcp_listen(0); // P2's port: switched on, it waits to try again
    const std::uint16_t plant = free_tcp_port(), busy = testsupport::local_port(taken.get());
    LinkForm form = ServerForm(dialog.workingCopy().config, "LAST", plant, busy);
    form.port[1].autoReconnect = true;
    const SaveOutcome refused = dialog.save(form);
    EXPECT_EQ(refused.message + std::to_string(refused.closed),
              "Name LAST already used by an existing link (# 2), please enter a different name0");
    LinkStatus status{};
    EXPECT_EQ(app.entry(1).inUse + WeaveGetLinkStatus(1, &status) + !dialog.isOpen(), 0u);
    app.view.take();
    form.name = "Plant";
    EXPECT_TRUE(dialog.save(form).closed && !app.state().dialogOpen);
    EXPECT_EQ(app.view.take() + app.boxes(1), "+2 s2 S W ~2 hex 10 00 000 010");
    EXPECT_EQ(app.row(2) + std::to_string(app.state().settings.selectedLinkRow),
              "Plant|TCP Server|TCP Server|P1 (Listening) P2 (Down)1"); // its row at the next start
    EXPECT_TRUE(app.hasEvent("Added link 1 (Plant) Port 0 (TCP Server) Port 1 (TCP Server)"));
    // Edit stops nothing: a running port starts ticked, Cancel has nothing to undo, and Save
    // restarts only a port whose connection changed (P1 stays Up, waiting P2 moves on).
    Fd user = tcp_connect_within(plant);
    ASSERT_TRUE(app.waitFor([&] { return app.row(2).ends_with("P1 (Up) P2 (Down)"); }));
    app.entry(1).config.port[0].activateOnSave = 0; // as if switched on by its button
    ASSERT_TRUE(dialog.editLink());
    const PortConfig* ticked = dialog.workingCopy().config.port;
    EXPECT_EQ(Format("%s %u %u%u", dialog.title(), dialog.workingCopy().linkId,
                     ticked[0].activateOnSave, ticked[1].activateOnSave),
              "Edit Link 1 10");
    dialog.close();
    EXPECT_TRUE(!app.state().dialogOpen && WeaveIsPortActive(1, 0) == 1 &&
                app.entry(1).config.port[0].active == 1);
    ASSERT_TRUE(dialog.editLink());
    app.logic.activateClicked(1);
    app.logic.enableTracingClicked(true);
    form = FormOf(dialog.workingCopy().config);
    form.name = "PLANT"; // its own name in another case
    form.port[1].ipPort = std::to_string(moved);
    ASSERT_TRUE(dialog.save(form).closed);
    EXPECT_EQ(app.row(2) + app.boxes(1), "PLANT|TCP Server|TCP Server|P1 (Up) P2 "
                                         "(Listening)tracing hex 11 11 000 010");
    EXPECT_TRUE(app.hasEvent("Updated link 1 (PLANT) Port 0 (TCP Server) Port 1 (TCP Server)"));

    // Each Send is one event and closes the dialog; it acts on the link selected at that moment.
    Fd client = tcp_connect_within(moved);
    ASSERT_TRUE(app.waitFor([&] { return app.row(2).ends_with("P2 (Up)"); }));
    ASSERT_TRUE(app.send.open());
    EXPECT_EQ(app.send.linkLine() + "|" + app.send.portEntry(1),
              Format("Link (1) name: PLANT|P2 IP TCP Server %u", moved));
    app.send.send(1, "0D 0G", false, true); // sends nothing
    ASSERT_TRUE(app.send.open());
    app.send.send(1, "48 69,0d:0A", false, true);
    char got[5] = {};
    EXPECT_TRUE(testsupport::read_exact(client.get(), got, 5) && std::string(got, 5) == "Hi\r\n\r");
    for (const int port : {0, -1}) { // First, selected after opening; then no port selected
        ASSERT_TRUE(app.send.open());
        app.logic.rowClicked(0);
        app.send.send(port, "00", false, false);
    }
    EXPECT_TRUE(app.hasEvent("Test buffer sent on Link (1) PLANT P2") &&
                app.hasEvent("Buffer tx Link (0) P1 failed: port not activated") &&
                app.hasEvent("cannot send buffer: no port selected") && !app.state().dialogOpen &&
                app.hasEvent("cannot send buffer: error converting from hex (not a hex digit "
                             "at position 5)"));
    app.logic.currentRowChanged(-1);
    EXPECT_FALSE(app.send.open() || dialog.editLink() || dialog.removeLink(yes) || asked);

    // Remove asks first, then selects the last row (or none); the engine lets the ports go.
    app.view.take();
    app.logic.rowClicked(0);
    EXPECT_FALSE(dialog.removeLink([&](const std::string& text) { // gone while it was asked
        return app.entry(0).inUse = 0, text == "Confirm Delete Link First";
    }));
    app.entry(0).inUse = 1;
    EXPECT_TRUE(dialog.removeLink(yes));
    EXPECT_EQ(app.view.take() + app.boxes(1), "S W -0 s1 S W tracing hex 11 11 000 010");
    EXPECT_TRUE(app.hasEvent("Removed link 0 (First)") && app.entry(0).inUse == 0 &&
                app.told.size() == 10 && app.savedNow());
    app.view.take();
    EXPECT_TRUE(dialog.removeLink(yes) && Closed(moved) && dialog.removeLink(yes) && Closed(p1));
    EXPECT_EQ(app.view.take() + std::to_string(app.state().settings.selectedLinkRow) + app.stats(1),
              "-1 s0 S W -0 s-1 S W 4294967295|||||Activate Port 2"); // nothing of a link gone
    for (std::uint32_t id = 0; id < MAX_LINKS; ++id) { // with 32 links listed there is no room
        app.logic.addLinkRow(app.entry(id));
    }
    EXPECT_TRUE(!dialog.newLink() &&
                app.hasEvent("Cannot create new link (max number of links reached)"));

    // A failed save is told once, until one goes through again.
    std::string told;
    for (const bool blocked : {true, true, false, true, false}) { // a directory in the file's place
        std::filesystem::remove(app.dir / DATA_FILE_NAME);
        (void)(blocked && std::filesystem::create_directory(app.dir / DATA_FILE_NAME));
        app.logic.asciiClicked(true);
        told += app.told.back() + "|";
    }
    const std::string fail = std::string("Failed to open data file for writing err=") +
                             (std::filesystem::path::preferred_separator == '/' ? "0x15|" : "0x5|");
    EXPECT_EQ(told, fail + "||" + fail + "|");
}

TEST(DialogsTest, WhatTheEngineRefusesIsToldAndTheTableStaysConsistent) {
    EngineCalls calls; // it takes no configuration of link 1 and activates nothing
    calls.setLinkConfig = [](std::int32_t id, const LinkConfig* config, char* errText) {
        return id == 0 ? WeaveSetLinkConfig(id, config, errText)
                       : (std::strcpy(errText, "refused"), 0u);
    };
    calls.activatePort = [](std::int32_t, std::int32_t, char* errText) {
        return std::strcpy(errText, "refused"), 0u;
    };
    LinkTable table{};
    testsupport::set_link(table, 0, "Ok", Server(0), Server(0));
    testsupport::set_link(table, 1, "Bad", Server(0), Server(0));
    App app(calls);
    ASSERT_TRUE(app.start(table) && app.hasEvent("Link 1 config failed: refused"));
    app.logic.currentRowChanged(0);
    app.logic.activateClicked(0); // the user's choice is kept all the same
    LinkStatus status{};
    EXPECT_EQ(app.boxes(0) + Format(" %u%u", app.entry(1).inUse, WeaveGetLinkStatus(1, &status)),
              "hex 10 00 000 000 00");
    EXPECT_TRUE(app.hasEvent("Link 0 Port 0 activation error: refused"));
}

} // namespace
