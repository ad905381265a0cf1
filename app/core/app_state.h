// The application-wide state that the main window and its dialogs share: the saved switches and
// the link table (as the data file holds them), the rows of the links list with its current row,
// the selected entry, the `dialogOpen` flag, the exit flag, the COM device names and the hook
// that saves a change. Main thread only.
#pragma once

#include "app/core/com_devices.h"
#include "store/datafile.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pw::app {

// One row of the links list. The row carries its link's id; rows are kept in the order links
// were added, so a row's index need not equal its link id.
struct LinkRow {
    std::uint32_t linkId; // item data: the LinkEntry's index 0 to 31
    std::string name;     // "Link Name"
    std::string port1;    // "Port 1"
    std::string port2;    // "Port 2"
    std::string status;   // "Status": empty until the engine reports the link
};

// The rows of the links list and its current row (-1: none). The widget mirrors these.
class LinksList {
public:
    [[nodiscard]] int rowCount() const { return static_cast<int>(rows_.size()); }
    [[nodiscard]] const LinkRow& row(int index) const { return rows_.at(index); }
    [[nodiscard]] LinkRow& row(int index) { return rows_.at(index); }
    // Index of the row whose item data is `linkId`, or -1.
    [[nodiscard]] int findRow(std::uint32_t linkId) const;
    // Appends a row; returns its index.
    int appendRow(LinkRow row);
    // Removes the row at `index` (ignored when out of range). The current row is cleared when it
    // was that row and moves up by one when it was below it.
    void removeRow(int index);
    void clear();
    // The row the list shows as selected; an index past the end (or negative) selects nothing.
    [[nodiscard]] int currentRow() const { return current_; }
    void setCurrentRow(int index);

private:
    std::vector<LinkRow> rows_;
    int current_ = -1;
};

// Commands of the menu and the toolbar.
enum class Command {
    NewLink,
    EditLink,
    RemoveLink,
    SendBuffer,
    Exit,
    Help,
    About,
    ProductWeb,
};

// What a close request on the main window does. Exit closes it for good; otherwise the program
// keeps running: hidden behind its notification-area icon, or minimized where there is no
// notification area (the user could not get a hidden window back).
enum class CloseAction {
    Close,      // exit is under way: let the window go
    HideToTray, // hide the window and show the background notice
    Minimize,   // no notification area: minimize instead
};
[[nodiscard]] CloseAction ChooseCloseAction(bool exitRequested, bool trayAvailable);

// The row the link `linkId` has when the links are listed at start, in table order: the number
// of entries in use before it.
[[nodiscard]] std::uint32_t RowAtStart(const LinkTable& table, std::uint32_t linkId);

struct AppState {
    SettingsBlock settings{};   // the main window's switches (selectedLinkRow is used here)
    LinkTable table{};          // the 32 link entries, saved whole at exit
    LinksList links;            // rows of the links list
    bool dialogOpen = false;    // a link, send buffer or About dialog is open
    bool exitRequested = false; // Tools > Exit (or a termination signal) was chosen
    ComDevices comDevices;      // what the COM choices open, as the serial layer read it
    // Called after each change the user makes to what the data file holds (a link saved or
    // removed, a port switched, a switch of the main window), so that the application saves it
    // at once rather than only at exit. Empty: nothing is called.
    std::function<void()> onChange;

    // Calls onChange, if set.
    void changed() const;

    // The entry of the links list's current row: null when no row is current, when the row's
    // item data is MAX_LINKS or more, or when that entry is free.
    [[nodiscard]] LinkEntry* selectedEntry();
    [[nodiscard]] const LinkEntry* selectedEntry() const;

    // Whether a menu or toolbar command may start now: New Link, Edit Link, Remove Link, Send
    // Buffer and About wait while a dialog is open, and Edit Link and Remove Link need a selected
    // entry. Help, Product on the web and Exit are always allowed.
    [[nodiscard]] bool commandAllowed(Command command) const;
};

} // namespace pw::app
