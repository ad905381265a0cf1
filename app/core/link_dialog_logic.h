// What the link commands and the link configuration dialog do, without widgets: New Link, Edit
// Link and Remove Link with their rules, the working copy the dialog edits, Save in Add and Edit
// mode and closing. The widget shows the working copy through FormOf, hands the form back at
// Save, shows the message of a failed check in a box and closes when told. Main thread only.
#pragma once

#include "app/core/app_state.h"
#include "app/core/engine_calls.h"
#include "app/core/link_form.h"
#include "app/core/main_dialog_logic.h"
#include "store/logs.h"

#include <functional>
#include <string>

namespace pw::app {

enum class LinkDialogMode {
    Add,  // New Link: Save creates a link in the first free entry
    Edit, // Edit Link: Save changes the link of the working copy's id
};

// What Save did.
struct SaveOutcome {
    bool closed = false; // the dialog is to close: the link was saved, or no entry was free
    std::string message; // a failed check's text, for a box owned by the dialog; else empty
};

class LinkDialogLogic {
public:
    LinkDialogLogic(AppState& state, MainDialogLogic& mainDialog, LogStore& log,
                    EngineCalls engine = {});

    // New Link. Nothing while a dialog is open; with 32 links listed the event
    // MAX_LINKS_REACHED_TEXT instead. True when the dialog is to open: `dialogOpen` is set and
    // the working copy holds the defaults.
    bool newLink();
    // Edit Link on the selected entry. Nothing while a dialog is open or without a selected
    // entry. The working copy is the entry, with "Activate on save" ticked for each port the
    // engine has active or waiting to be activated again, or whose `active` switch is on. Nothing
    // is stopped or changed, so a Cancel (or an exit while the dialog is open) leaves every port
    // as it was. True when the dialog is to open.
    bool editLink();
    // Remove Link on the selected entry. Nothing while a dialog is open or without a selected
    // entry. `confirm` is asked with "Confirm Delete Link <name>" and returns whether the user
    // chose OK. On OK the row goes ("Removed link ..."), the engine frees the link, the entry is
    // free, and the last remaining row is selected (none when no row remains); AppState::changed()
    // follows. True when removed.
    bool removeLink(const std::function<bool(const std::string& text)>& confirm);

    [[nodiscard]] bool isOpen() const { return open_; }
    [[nodiscard]] LinkDialogMode mode() const { return mode_; }
    // "Add New Link" or "Edit Link".
    [[nodiscard]] const char* title() const;
    // The entry the dialog edits; its id is meaningful in Edit mode only.
    [[nodiscard]] const LinkEntry& workingCopy() const { return working_; }

    // Save. Add mode: the first free entry is allocated (else the event NO_FREE_LINKS_TEXT and
    // the dialog closes), the form is read into it, the engine takes it, its row is added.
    // Edit mode: the form is read into the working copy, the engine takes it, the entry and its
    // row are updated, and each port that is active or waiting and whose connection settings
    // (port type, serial line settings, protocol, role, port number, remote host) changed is
    // deactivated and activated again, so that it runs as configured; any other port runs on
    // untouched, so a rename or a new forwarding rule interrupts no traffic. Then each port
    // marked "Activate on save" is activated if it is not (a refusal is the event "Link %d Port
    // %d activation error: %s" and the other port is still tried), the row is selected with its
    // status, the dialog closes, and AppState::changed() follows. A failed check, or the engine
    // refusing the configuration, keeps the dialog open with the message and changes nothing
    // (an Add frees its entry again). The entry's `trace` and `active` fields are the ones it
    // has at Save, so a switch the user flipped in the main window while the dialog was open is
    // kept.
    SaveOutcome save(const LinkForm& form);

    // Cancel, or the dialog went away: `dialogOpen` is cleared. Nothing when not open.
    void close();

    // The device picker: COM index `comIndex` opens `path` from now on (AssignComDevice); the
    // outcome is an event. The COM lists read the new device from the state.
    void assignComDevice(std::uint32_t comIndex, const std::string& path);

private:
    void activateMarkedPorts(LinkEntry& entry);
    void restartChangedPorts(const LinkEntry& entry, const LinkConfig& before);
    void showSaved(const LinkEntry& entry);
    SaveOutcome saveAdd(const LinkForm& form);
    SaveOutcome saveEdit(const LinkForm& form);

    AppState& state_;
    MainDialogLogic& mainDialog_;
    LogStore& log_;
    EngineCalls engine_;
    bool open_ = false;
    LinkDialogMode mode_ = LinkDialogMode::Add;
    LinkEntry working_{};
};

} // namespace pw::app
