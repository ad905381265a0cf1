// The links list's rows and current row, the selected entry, and the command and close rules.
#include "app/core/app_state.h"

#include <gtest/gtest.h>

namespace {

using namespace pw::app;

LinkRow Row(std::uint32_t id) {
    return LinkRow{id, "name", "p1", "p2", ""};
}

TEST(LinksListTest, FindRemoveAndCurrentRow) {
    LinksList list;
    list.appendRow(Row(4));
    list.appendRow(Row(0));
    list.appendRow(Row(9));
    EXPECT_EQ(list.findRow(0), 1);
    EXPECT_EQ(list.findRow(9), 2);
    EXPECT_EQ(list.findRow(5), -1);

    list.setCurrentRow(2);
    list.removeRow(0); // above the current row: it moves up with its link
    EXPECT_EQ(list.currentRow(), 1);
    EXPECT_EQ(+list.row(1).linkId, 9u);
    list.removeRow(1); // the current row itself: nothing is current
    EXPECT_EQ(list.currentRow(), -1);
    list.removeRow(5); // out of range: ignored
    EXPECT_EQ(list.rowCount(), 1);

    list.setCurrentRow(3); // past the end selects nothing
    EXPECT_EQ(list.currentRow(), -1);
}

TEST(AppStateTest, SelectedEntryNeedsARowAnIdAndAnEntryInUse) {
    AppState state;
    EXPECT_EQ(state.selectedEntry(), nullptr);
    state.table.entry[2].inUse = 1;
    state.links.appendRow(Row(2));
    state.links.appendRow(Row(3));  // entry 3 is free
    state.links.appendRow(Row(40)); // item data past the table
    state.links.setCurrentRow(0);
    EXPECT_EQ(state.selectedEntry(), &state.table.entry[2]);
    state.links.setCurrentRow(1);
    EXPECT_EQ(state.selectedEntry(), nullptr);
    state.links.setCurrentRow(2);
    EXPECT_EQ(state.selectedEntry(), nullptr);
}

TEST(AppStateTest, DialogCommandsWaitForAnOpenDialog) {
    AppState state;
    state.table.entry[0].inUse = 1;
    state.links.appendRow(Row(0));
    EXPECT_FALSE(state.commandAllowed(Command::EditLink)); // no row selected yet
    EXPECT_FALSE(state.commandAllowed(Command::RemoveLink));
    state.links.setCurrentRow(0);
    for (Command c : {Command::NewLink, Command::EditLink, Command::RemoveLink, Command::SendBuffer,
                      Command::About, Command::Help, Command::ProductWeb, Command::Exit}) {
        EXPECT_TRUE(state.commandAllowed(c));
    }
    state.dialogOpen = true;
    for (Command c : {Command::NewLink, Command::EditLink, Command::RemoveLink, Command::SendBuffer,
                      Command::About}) {
        EXPECT_FALSE(state.commandAllowed(c));
    }
    for (Command c : {Command::Help, Command::ProductWeb, Command::Exit}) {
        EXPECT_TRUE(state.commandAllowed(c));
    }
}

TEST(AppStateTest, CloseHidesMinimizesOrCloses) {
    EXPECT_EQ(ChooseCloseAction(false, true), CloseAction::HideToTray);
    EXPECT_EQ(ChooseCloseAction(false, false), CloseAction::Minimize);
    EXPECT_EQ(ChooseCloseAction(true, true), CloseAction::Close);
    EXPECT_EQ(ChooseCloseAction(true, false), CloseAction::Close);
}

} // namespace
