// New Link, Edit Link, Remove Link and Save on the real engine with real sockets: links added,
// listed, listening and saved; edits that deactivate, cancel and save; removal and the rows it
// leaves selected; the engine's refusals; the open-dialog rule.
#include "app/core/link_dialog_logic.h"
#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace apptest;
using namespace pw::app;
using testsupport::Fd;
using testsupport::free_tcp_port;
using testsupport::tcp_connect;

struct LinkDialogFixture : ::testing::Test {
    explicit LinkDialogFixture(EngineCalls calls = {})
        : app(calls), dialog(app.state(), app.logic, app.log, calls) {}
    void start(const LinkTable& table = {}) {
        ASSERT_TRUE(app.start(SettingsBlock{}, table));
        app.logic.initialise();
    }
    // Opens New Link and saves `name` with two TCP servers.
    SaveOutcome add(const char* name, std::uint16_t p1, std::uint16_t p2) {
        EXPECT_TRUE(dialog.newLink());
        return dialog.save(ServerForm(dialog.workingCopy().config, name, p1, p2));
    }
    std::vector<std::string> rowNames() {
        std::vector<std::string> names;
        for (int i = 0; i < app.state().links.rowCount(); ++i) {
            names.push_back(app.state().links.row(i).name);
        }
        return names;
    }
    AppHarness app;
    LinkDialogLogic dialog;
};

TEST_F(LinkDialogFixture, NewLinkIsSavedListedListeningAndSelected) {
    start();
    ASSERT_TRUE(dialog.newLink());
    EXPECT_TRUE(app.state().dialogOpen);
    EXPECT_EQ(dialog.mode(), LinkDialogMode::Add);
    EXPECT_STREQ(dialog.title(), "Add New Link");
    EXPECT_STREQ(dialog.workingCopy().config.name, "Link1");
    EXPECT_FALSE(dialog.newLink()); // one dialog at a time

    const std::uint16_t p1 = free_tcp_port();
    const std::uint16_t p2 = free_tcp_port();
    const SaveOutcome out = dialog.save(ServerForm(dialog.workingCopy().config, "Plant", p1, p2));
    EXPECT_TRUE(out.closed);
    EXPECT_EQ(out.message, "");
    EXPECT_FALSE(app.state().dialogOpen);
    EXPECT_FALSE(dialog.isOpen());

    const LinkEntry& entry = app.state().table.entry[0];
    EXPECT_EQ(+entry.inUse, 1u);
    EXPECT_STREQ(entry.config.name, "Plant");
    EXPECT_EQ(+entry.config.port[0].active, 1u);
    EXPECT_EQ(+entry.config.port[1].active, 0u);
    ASSERT_EQ(app.state().links.rowCount(), 1);
    EXPECT_EQ(app.state().links.currentRow(), 0);
    EXPECT_EQ(+app.state().settings.selectedLinkRow, 0u);
    EXPECT_EQ(app.state().links.row(0).port1, "TCP Server");
    EXPECT_EQ(app.statusText(0), "P1 (Listening) P2 (Down)");
    EXPECT_EQ(app.logic.stats().port[0].cell[STATS_ROW_PORT_DETAILS],
              "TCP Server Port " + std::to_string(p1));
    EXPECT_TRUE(ConnectWhenListening(p1).valid());
    EXPECT_TRUE(Closed(p2));
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Added link 0 (Plant) Port 0 (TCP Server) Port 1 (TCP Server)"));

    // The next new link is named after the first free number again.
    ASSERT_TRUE(dialog.newLink());
    EXPECT_STREQ(dialog.workingCopy().config.name, "Link1");
    dialog.close();
    EXPECT_FALSE(app.state().dialogOpen);
}

TEST_F(LinkDialogFixture, AFailedCheckKeepsTheDialogOpenAndTheEntryFree) {
    LinkTable table{};
    SetLink(table, 0, "Taken", TcpServerPort(free_tcp_port(), false),
            TcpServerPort(free_tcp_port(), false));
    start(table);
    ASSERT_TRUE(dialog.newLink());
    EXPECT_STREQ(dialog.workingCopy().config.name, "Link1");
    const std::uint16_t p1 = free_tcp_port();
    LinkForm form = ServerForm(dialog.workingCopy().config, "TAKEN", p1, free_tcp_port());
    SaveOutcome out = dialog.save(form);
    EXPECT_FALSE(out.closed);
    EXPECT_EQ(out.message,
              "Name TAKEN already used by an existing link (# 0), please enter a different name");
    EXPECT_TRUE(app.state().dialogOpen);
    EXPECT_EQ(+app.state().table.entry[1].inUse, 0u);
    LinkStatus status{};
    EXPECT_EQ(WeaveGetLinkStatus(1, &status), 0u); // the engine's slot was given back
    EXPECT_EQ(app.state().links.rowCount(), 1);

    form.name = "Fresh";
    out = dialog.save(form);
    EXPECT_TRUE(out.closed);
    EXPECT_EQ(+app.state().table.entry[1].inUse, 1u);
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"Taken", "Fresh"}));
    EXPECT_EQ(app.state().links.currentRow(), 1);
    EXPECT_TRUE(ConnectWhenListening(p1).valid());
}

TEST_F(LinkDialogFixture, ThirtyTwoLinksAreTheMost) {
    LinkTable table{};
    for (std::uint32_t id = 0; id < MAX_LINKS; ++id) {
        SetLink(table, id, ("L" + std::to_string(id)).c_str(), TcpServerPort(0, false),
                TcpServerPort(0, false));
    }
    start(table);
    ASSERT_EQ(app.state().links.rowCount(), 32);
    EXPECT_FALSE(dialog.newLink());
    EXPECT_FALSE(app.state().dialogOpen);
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Cannot create new link (max number of links reached)"));
}

TEST_F(LinkDialogFixture, EditDeactivatesCancelKeepsItSoAndSaveReactivates) {
    const std::uint16_t p1 = free_tcp_port();
    const std::uint16_t p2 = free_tcp_port();
    LinkTable table{};
    SetLink(table, 2, "Edited", TcpServerPort(p1, true), TcpServerPort(p2, true));
    start(table);
    ASSERT_TRUE(ConnectWhenListening(p2).valid());

    ASSERT_TRUE(dialog.editLink());
    EXPECT_EQ(dialog.mode(), LinkDialogMode::Edit);
    EXPECT_STREQ(dialog.title(), "Edit Link");
    EXPECT_EQ(+dialog.workingCopy().linkId, 2u);
    EXPECT_EQ(+dialog.workingCopy().config.port[0].active, 0u); // copied after deactivating
    EXPECT_EQ(WeaveIsPortActive(2, 0), 0u);
    EXPECT_EQ(WeaveIsPortActive(2, 1), 0u);
    dialog.close(); // Cancel: the ports stay down
    EXPECT_FALSE(app.state().dialogOpen);
    EXPECT_EQ(+app.state().table.entry[2].config.port[1].active, 0u);
    EXPECT_TRUE(Closed(p2));

    // A check failure: the entry and its row stay as they were.
    ASSERT_TRUE(dialog.editLink());
    LinkForm form = FormOf(dialog.workingCopy().config);
    form.name = "";
    EXPECT_EQ(dialog.save(form).message, "Please enter non empty link name");
    EXPECT_STREQ(app.state().table.entry[2].config.name, "Edited");

    // Renamed in another case of its own name, P2 moved, both activated on save.
    form = FormOf(dialog.workingCopy().config);
    const std::uint16_t moved = free_tcp_port();
    form.name = "EDITED";
    form.port[1].ipPort = std::to_string(moved);
    form.port[0].activateOnSave = true;
    form.port[1].activateOnSave = true;
    const SaveOutcome out = dialog.save(form);
    EXPECT_TRUE(out.closed) << out.message;
    const LinkEntry& entry = app.state().table.entry[2];
    EXPECT_STREQ(entry.config.name, "EDITED");
    EXPECT_EQ(+entry.config.port[1].ipPort, moved);
    EXPECT_EQ(+entry.config.port[0].active, 1u);
    EXPECT_EQ(+entry.config.port[1].active, 1u);
    EXPECT_EQ(app.state().links.row(0).name, "EDITED");
    EXPECT_TRUE(ConnectWhenListening(moved).valid());
    EXPECT_TRUE(ConnectWhenListening(p1).valid());
    app.pump();
    EXPECT_TRUE(
        app.model.hasEvent("Updated link 2 (EDITED) Port 0 (TCP Server) Port 1 (TCP Server)"));

    // Saved at exit as the dialog left it.
    app.stop();
    SettingsBlock saved{};
    LinkTable savedTable{};
    ASSERT_TRUE(ReadDataFile(app.dir.str(), saved, savedTable));
    EXPECT_STREQ(savedTable.entry[2].config.name, "EDITED");
    EXPECT_EQ(+savedTable.entry[2].config.port[1].ipPort, moved);
    EXPECT_EQ(+savedTable.entry[2].config.port[1].active, 1u);
}

TEST_F(LinkDialogFixture, SwitchesFlippedWhileEditingAreKept) {
    const std::uint16_t p1 = free_tcp_port();
    LinkTable table{};
    SetLink(table, 0, "Busy", TcpServerPort(p1, true), TcpServerPort(free_tcp_port(), false));
    start(table);
    ASSERT_TRUE(dialog.editLink());
    EXPECT_TRUE(Closed(p1));
    // The main window stays usable: the user activates P1 and turns tracing on meanwhile.
    app.logic.activateClicked(0);
    app.logic.enableTracingClicked(true);
    ASSERT_TRUE(ConnectWhenListening(p1).valid());

    LinkForm form = FormOf(dialog.workingCopy().config);
    form.name = "Still busy";
    ASSERT_TRUE(dialog.save(form).closed);
    const LinkEntry& entry = app.state().table.entry[0];
    EXPECT_EQ(+entry.config.port[0].active, 1u);
    EXPECT_EQ(+entry.config.port[0].trace, 1u);
    EXPECT_EQ(+entry.config.port[1].trace, 1u);
    EXPECT_TRUE(app.logic.switches().enableTracing);
    EXPECT_TRUE(ConnectWhenListening(p1).valid());
}

TEST_F(LinkDialogFixture, RemoveAsksThenSelectsTheLastRow) {
    LinkTable table{};
    const std::uint16_t middle = free_tcp_port();
    SetLink(table, 0, "First", TcpServerPort(free_tcp_port(), false),
            TcpServerPort(free_tcp_port(), false));
    SetLink(table, 1, "Middle", TcpServerPort(middle, true), TcpServerPort(free_tcp_port(), false));
    SetLink(table, 2, "Last", TcpServerPort(free_tcp_port(), false),
            TcpServerPort(free_tcp_port(), false));
    start(table);
    ASSERT_TRUE(ConnectWhenListening(middle).valid());
    app.logic.rowClicked(1);

    std::string asked;
    EXPECT_FALSE(dialog.removeLink([&](const std::string& text) {
        asked = text;
        return false;
    }));
    EXPECT_EQ(asked, "Confirm Delete Link Middle");
    EXPECT_EQ(app.state().links.rowCount(), 3);

    EXPECT_TRUE(dialog.removeLink([](const std::string&) { return true; }));
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"First", "Last"}));
    EXPECT_EQ(+app.state().table.entry[1].inUse, 0u);
    EXPECT_EQ(app.state().links.currentRow(), 1);
    EXPECT_EQ(+app.state().settings.selectedLinkRow, 1u);
    EXPECT_EQ(app.state().selectedEntry(), &app.state().table.entry[2]);
    LinkStatus status{};
    EXPECT_EQ(WeaveGetLinkStatus(1, &status), 0u);
    EXPECT_TRUE(Closed(middle));
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Removed link 1 (Middle)"));

    // While a dialog is open, or without a selection, nothing is asked.
    ASSERT_TRUE(dialog.newLink());
    bool askedAgain = false;
    auto confirm = [&](const std::string&) {
        askedAgain = true;
        return true;
    };
    EXPECT_FALSE(dialog.removeLink(confirm));
    EXPECT_FALSE(dialog.editLink());
    dialog.close();
    app.logic.currentRowChanged(-1);
    EXPECT_FALSE(dialog.removeLink(confirm));
    EXPECT_FALSE(dialog.editLink());
    EXPECT_FALSE(askedAgain);

    // Removing the rest leaves no selection at all.
    for (int i = 0; i < 2; ++i) {
        app.logic.rowClicked(0);
        EXPECT_TRUE(dialog.removeLink(confirm));
    }
    EXPECT_EQ(app.state().links.rowCount(), 0);
    EXPECT_EQ(app.state().links.currentRow(), -1);
    EXPECT_EQ(+app.state().settings.selectedLinkRow, SELECTED_ROW_NONE);
}

// The engine's calls with one of them replaced by `set`.
template <class Set>
EngineCalls CallsWith(Set set) {
    EngineCalls calls;
    set(calls);
    return calls;
}

std::uint32_t ActivateRefused(std::int32_t, std::int32_t port, char* errText) {
    std::snprintf(errText, ERR_TEXT_SIZE, "refused %d", port);
    return 0;
}

std::uint32_t AllocRefused(std::int32_t) {
    return 0;
}

std::uint32_t ConfigRefused(std::int32_t, const LinkConfig*, char* errText) {
    std::snprintf(errText, ERR_TEXT_SIZE, "not today");
    return 0;
}

struct RefusingActivation : LinkDialogFixture {
    RefusingActivation()
        : LinkDialogFixture(CallsWith([](EngineCalls& c) { c.activatePort = ActivateRefused; })) {}
};

TEST_F(RefusingActivation, EachMarkedPortIsTriedAndTheSaveStands) {
    start();
    ASSERT_TRUE(dialog.newLink());
    LinkForm form = ServerForm(dialog.workingCopy().config, "Both", 0, 0);
    form.port[1].activateOnSave = true;
    EXPECT_TRUE(dialog.save(form).closed);
    EXPECT_EQ(+app.state().table.entry[0].inUse, 1u);
    EXPECT_EQ(+app.state().table.entry[0].config.port[0].active, 1u);
    EXPECT_EQ(+app.state().table.entry[0].config.port[1].active, 1u);
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Link 0 Port 0 activation error: refused 0"));
    EXPECT_TRUE(app.model.hasEvent("Link 0 Port 1 activation error: refused 1"));
}

struct RefusingAllocation : LinkDialogFixture {
    RefusingAllocation()
        : LinkDialogFixture(CallsWith([](EngineCalls& c) { c.allocLink = AllocRefused; })) {}
};

TEST_F(RefusingAllocation, NoFreeLinkClosesTheDialogWithItsEvent) {
    start();
    ASSERT_TRUE(dialog.newLink());
    const SaveOutcome out = dialog.save(FormOf(dialog.workingCopy().config));
    EXPECT_TRUE(out.closed);
    EXPECT_FALSE(app.state().dialogOpen);
    EXPECT_EQ(+app.state().table.entry[0].inUse, 0u);
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("No free links available: cannot add new link."));
}

struct RefusingConfig : LinkDialogFixture {
    RefusingConfig()
        : LinkDialogFixture(CallsWith([](EngineCalls& c) { c.setLinkConfig = ConfigRefused; })) {}
};

TEST_F(RefusingConfig, TheEnginesRefusalKeepsTheDialogOpenWithItsReason) {
    start();
    ASSERT_TRUE(dialog.newLink());
    const SaveOutcome out = dialog.save(FormOf(dialog.workingCopy().config));
    EXPECT_FALSE(out.closed);
    EXPECT_EQ(out.message, "Link 0 config failed: not today");
    EXPECT_TRUE(app.state().dialogOpen);
    EXPECT_EQ(+app.state().table.entry[0].inUse, 0u);
    EXPECT_EQ(app.state().links.rowCount(), 0);
}

} // namespace
