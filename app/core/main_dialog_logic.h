// What the main dialog does, without its widgets: opening the stored links at start-up, the rows
// of the links list, the statistics of the selected link, the activate buttons and the trace and
// log switches. It keeps the texts the widgets show and tells a MainDialogView what changed; the
// widget turns user input into calls here. Every switch the user flips (a port's activation,
// tracing, the log and display switches) is a change the data file keeps: AppState::changed()
// follows it. Main thread only: engine reports reach it through the application's queues.
#pragma once

#include "app/core/app_state.h"
#include "app/core/engine_calls.h"
#include "app/core/texts.h"
#include "store/logs.h"

#include <cstdint>
#include <string>

namespace pw::app {

// The statistics list's value columns and the two activate buttons' captions.
struct StatsState {
    PortStatsTexts port[PORTS_PER_LINK]; // column 2 (P1) and 3 (P2)
    const char* activateCaption[PORTS_PER_LINK] = {"Activate Port 1", "Activate Port 2"};
};

// The check boxes of the main dialog.
struct Switches {
    bool enableTracing = false;   // "Enable Tracing"
    bool logTraceToFile = false;  // "Log Trace to File"
    bool logEventsToFile = false; // "Log Events to File"
    bool hex = true;              // "Hex"
    bool ascii = false;           // "ASCII"; exactly one of hex and ascii is checked
};

// The widget side. Every call is made on the main thread, after the state changed.
class MainDialogView {
public:
    virtual void linkRowInserted(int row) = 0; // rows are read from AppState::links
    virtual void linkRowChanged(int row) = 0;
    virtual void linkRowRemoved(int row) = 0;
    // Select and focus the row and scroll it into view; -1 (or past the end) selects nothing.
    virtual void linkRowSelected(int row) = 0;
    virtual void statsChanged() = 0;
    virtual void switchesChanged() = 0;
    // Start the 2-second statistics refresh, which calls refreshTimerTick() until exit.
    virtual void startRefreshTimer() = 0;

protected:
    ~MainDialogView() = default;
};

class MainDialogLogic {
public:
    MainDialogLogic(AppState& state, LogStore& log, EngineCalls engine = {});

    void setView(MainDialogView* view) { view_ = view; }

    // The dialog's initialisation after its lists exist: the file switches' boxes, "System
    // startup", then every entry in use is allocated, configured, listed, its marked ports
    // activated and its status shown; then the stored row is selected and Hex/ASCII set. A link
    // the engine refuses is dropped (inUse 0) and ends the initialisation there.
    void initialise();

    // ---- user input ----
    // A click on row `row` of the links list (-1: on empty space, which changes nothing).
    void rowClicked(int row);
    // The current row changed (keyboard or click): as a click, the statistics, the activate
    // captions and "Enable Tracing" follow the row's link at once (and show none for -1).
    void currentRowChanged(int row);
    void refreshTimerTick(); // statistics of the selected entry
    void clearStatsClicked();
    void activateClicked(std::uint32_t portId); // "Activate Port 1/2" or "Deactivate Port 1/2"
    void clearTraceClicked();
    void enableTracingClicked(bool checked);
    void logEventsToFileClicked(bool checked);
    void logTraceToFileClicked(bool checked);
    void hexClicked(bool checked);
    void asciiClicked(bool checked);

    // ---- reports ----
    // The engine's status report of a link: the "Status" column of its row.
    void showLinkStatus(const LinkStatus& status);
    // The trace log switched "Log Trace to File" off (no line buffer): the box follows.
    void traceToFileSwitchedOff();

    // ---- row operations, also used by the link dialogs ----
    [[nodiscard]] int findRow(std::uint32_t linkId) const;
    // Appends the entry's row and logs "Added link ...". Returns the row's index.
    int addLinkRow(const LinkEntry& entry);
    // Rewrites the entry's row and logs "Updated link ..." (nothing when it has no row).
    void updateLinkRow(const LinkEntry& entry);
    // Removes the row at `row` and logs "Removed link <id> (<name>)" of `entry`.
    void removeLinkRow(int row, const LinkEntry& entry);
    // Stores `row` as selectedLinkRow, selects it, starts the refresh timer, and, when a row is
    // selected, refreshes its statistics and sets "Enable Tracing" from its P1's trace field.
    // Whenever a link is selected, selectedLinkRow holds the row that link will have at the next
    // start (rows are listed in table order then), so the saved selection follows the link, not
    // the row.
    void selectRow(std::uint32_t row);
    // The statistics and activate captions of `entry`; stops at the first port the engine
    // refuses (rows already written keep their new text).
    void refreshStats(const LinkEntry& entry);

    [[nodiscard]] const StatsState& stats() const { return stats_; }
    [[nodiscard]] const Switches& switches() const { return switches_; }
    [[nodiscard]] bool refreshTimerRunning() const { return refreshTimerRunning_; }
    [[nodiscard]] AppState& state() { return state_; }

private:
    void logEvent(const std::string& text);
    void startRefreshTimer();
    void setHexAsciiFromSettings();
    void showSelection();     // statistics and "Enable Tracing" of the selected entry, or none
    void rememberSelection(); // selectedLinkRow for the selected entry, if any
    void switchesChanged();
    [[nodiscard]] LinkRow MakeRow(const LinkEntry& entry) const;

    AppState& state_;
    LogStore& log_;
    EngineCalls engine_;
    MainDialogView* view_ = nullptr;
    StatsState stats_;
    Switches switches_;
    bool refreshTimerRunning_ = false;
};

} // namespace pw::app
