// The main dialog's behaviour: start-up opening of the links, rows, statistics, buttons, switches.
#include "app/core/main_dialog_logic.h"

#include <climits>

namespace pw::app {

namespace {

std::int32_t Id(const LinkEntry& entry) {
    return static_cast<std::int32_t>(entry.linkId);
}

} // namespace

MainDialogLogic::MainDialogLogic(AppState& state, LogStore& log, EngineCalls engine)
    : state_(state), log_(log), engine_(engine) {}

void MainDialogLogic::logEvent(const std::string& text) {
    log_.logEvent(text.c_str());
}

void MainDialogLogic::switchesChanged() {
    if (view_ != nullptr) {
        view_->switchesChanged();
    }
}

void MainDialogLogic::startRefreshTimer() {
    if (!refreshTimerRunning_) {
        refreshTimerRunning_ = true;
        if (view_ != nullptr) {
            view_->startRefreshTimer();
        }
    }
}

void MainDialogLogic::setHexAsciiFromSettings() {
    const bool ascii = state_.settings.traceAscii == 1;
    switches_.ascii = ascii;
    switches_.hex = !ascii;
    log_.setTraceAscii(ascii);
    switchesChanged();
}

void MainDialogLogic::initialise() {
    switches_.logEventsToFile = log_.eventsToFile();
    switches_.logTraceToFile = log_.traceToFile();
    // The trace display follows the saved mode from the first row, even when opening the links
    // below ends the initialisation early.
    setHexAsciiFromSettings();

    logEvent(SYSTEM_STARTUP_TEXT);
    char errText[ERR_TEXT_SIZE] = {};
    for (LinkEntry& entry : state_.table.entry) {
        if (entry.inUse != 1) {
            continue;
        }
        const std::int32_t id = Id(entry);
        if (engine_.allocLink(id) == 0) {
            logEvent(Format(OPEN_LINK_FAILED_FORMAT, id));
            entry.inUse = 0;
            return;
        }
        if (engine_.setLinkConfig(id, &entry.config, errText) == 0) {
            logEvent(Format(LINK_CONFIG_FAILED_FORMAT, id, errText));
            engine_.freeLink(id);
            entry.inUse = 0;
            return;
        }
        addLinkRow(entry);
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            if (entry.config.port[p].active == 1) {
                // Activation problems arrive as the engine's own events.
                (void)engine_.activatePort(id, static_cast<std::int32_t>(p), errText);
            }
        }
        LinkStatus status{};
        if (engine_.getLinkStatus(id, &status) != 0) {
            showLinkStatus(status);
        }
    }
    if (state_.settings.selectedLinkRow == SELECTED_ROW_NONE) {
        state_.settings.selectedLinkRow = 0;
    }
    selectRow(state_.settings.selectedLinkRow);
}

void MainDialogLogic::rowClicked(int row) {
    if (row < 0 || row >= state_.links.rowCount()) {
        return; // a click on empty space changes nothing
    }
    currentRowChanged(row);
}

void MainDialogLogic::currentRowChanged(int row) {
    state_.links.setCurrentRow(row);
    startRefreshTimer();
    showSelection();
}

void MainDialogLogic::refreshTimerTick() {
    if (const LinkEntry* entry = state_.selectedEntry()) {
        refreshStats(*entry);
    }
}

void MainDialogLogic::clearStatsClicked() {
    const LinkEntry* entry = state_.selectedEntry();
    if (entry == nullptr) {
        return;
    }
    char errText[ERR_TEXT_SIZE] = {};
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        (void)engine_.clearPortStats(Id(*entry), static_cast<std::int32_t>(p), errText);
    }
    refreshStats(*entry);
}

void MainDialogLogic::activateClicked(std::uint32_t portId) {
    LinkEntry* entry = state_.selectedEntry();
    if (entry == nullptr || portId >= PORTS_PER_LINK) {
        return;
    }
    const std::int32_t id = Id(*entry);
    const auto port = static_cast<std::int32_t>(portId);
    char errText[ERR_TEXT_SIZE] = {};
    // The flag keeps its new value even when the engine refuses: it is what the user asked for,
    // and it decides whether the port is activated at the next start.
    if (engine_.isPortActive(id, port) != 0) {
        entry->config.port[portId].active = 0;
        if (engine_.deactivatePort(id, port, errText) != 0) {
            refreshStats(*entry);
        } else {
            logEvent(Format(DEACTIVATION_ERROR_FORMAT, id, port, errText));
        }
    } else {
        entry->config.port[portId].active = 1;
        if (engine_.activatePort(id, port, errText) != 0) {
            refreshStats(*entry);
        } else {
            logEvent(Format(ACTIVATION_ERROR_FORMAT, id, port, errText));
        }
    }
    state_.changed();
}

void MainDialogLogic::clearTraceClicked() {
    log_.clearTrace();
}

void MainDialogLogic::enableTracingClicked(bool checked) {
    switches_.enableTracing = checked;
    if (LinkEntry* entry = state_.selectedEntry()) {
        for (PortConfig& port : entry->config.port) {
            port.trace = checked ? 1 : 0;
        }
        char errText[ERR_TEXT_SIZE] = {};
        (void)engine_.setLinkConfig(Id(*entry), &entry->config, errText);
        state_.changed();
    }
    switchesChanged();
}

void MainDialogLogic::logEventsToFileClicked(bool checked) {
    switches_.logEventsToFile = checked;
    state_.settings.logEventsToFile = checked ? 1 : 0;
    log_.setEventsToFile(checked);
    switchesChanged();
    state_.changed();
}

void MainDialogLogic::logTraceToFileClicked(bool checked) {
    switches_.logTraceToFile = checked;
    state_.settings.logTraceToFile = checked ? 1 : 0;
    log_.setTraceToFile(checked);
    switchesChanged();
    state_.changed();
}

void MainDialogLogic::hexClicked(bool checked) {
    state_.settings.traceAscii = checked ? 0 : 1;
    setHexAsciiFromSettings();
    state_.changed();
}

void MainDialogLogic::asciiClicked(bool checked) {
    state_.settings.traceAscii = checked ? 1 : 0;
    setHexAsciiFromSettings();
    state_.changed();
}

void MainDialogLogic::traceToFileSwitchedOff() {
    switches_.logTraceToFile = false;
    state_.settings.logTraceToFile = 0;
    switchesChanged();
    state_.changed();
}

void MainDialogLogic::showLinkStatus(const LinkStatus& status) {
    if (status.linkId >= MAX_LINKS) {
        return;
    }
    const LinkConfig& config = state_.table.entry[status.linkId].config;
    const char* words[PORTS_PER_LINK];
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        words[p] =
            PortStateText(config.port[p], status.port[p].activated, status.port[p].connected);
    }
    const int row = findRow(status.linkId);
    if (row < 0) {
        return;
    }
    state_.links.row(row).status = StatusColumnText(words[0], words[1]);
    if (view_ != nullptr) {
        view_->linkRowChanged(row);
    }
}

int MainDialogLogic::findRow(std::uint32_t linkId) const {
    return state_.links.findRow(linkId);
}

LinkRow MainDialogLogic::MakeRow(const LinkEntry& entry) const {
    return LinkRow{entry.linkId, NameOf(entry.config), PortColumnText(entry.config.port[0]),
                   PortColumnText(entry.config.port[1]), std::string()};
}

int MainDialogLogic::addLinkRow(const LinkEntry& entry) {
    const int row = state_.links.appendRow(MakeRow(entry));
    log_.setLinkConfig(entry.linkId, entry.config); // the trace rows name its ports
    if (view_ != nullptr) {
        view_->linkRowInserted(row);
    }
    logEvent(LinkEventText(ADDED_LINK_VERB, entry.linkId, entry.config));
    rememberSelection();
    return row;
}

void MainDialogLogic::updateLinkRow(const LinkEntry& entry) {
    log_.setLinkConfig(entry.linkId, entry.config);
    const int row = findRow(entry.linkId);
    if (row >= 0) {
        LinkRow& target = state_.links.row(row);
        const LinkRow fresh = MakeRow(entry);
        target.name = fresh.name;
        target.port1 = fresh.port1;
        target.port2 = fresh.port2;
        if (view_ != nullptr) {
            view_->linkRowChanged(row);
        }
    }
    logEvent(LinkEventText(UPDATED_LINK_VERB, entry.linkId, entry.config));
}

void MainDialogLogic::removeLinkRow(int row, const LinkEntry& entry) {
    const std::string text = RemovedLinkText(entry.linkId, entry.config);
    if (row >= 0 && row < state_.links.rowCount()) {
        state_.links.removeRow(row);
        if (view_ != nullptr) {
            view_->linkRowRemoved(row);
        }
    }
    logEvent(text);
    rememberSelection();
}

void MainDialogLogic::selectRow(std::uint32_t row) {
    state_.settings.selectedLinkRow = row;
    state_.links.setCurrentRow(row <= static_cast<std::uint32_t>(INT_MAX) ? static_cast<int>(row)
                                                                          : -1);
    if (view_ != nullptr) {
        view_->linkRowSelected(state_.links.currentRow());
    }
    startRefreshTimer();
    showSelection();
}

void MainDialogLogic::showSelection() {
    if (const LinkEntry* entry = state_.selectedEntry()) {
        refreshStats(*entry);
        switches_.enableTracing = entry->config.port[0].trace != 0;
        switchesChanged();
    } else {
        // No link selected (the last one removed, say): nothing may still show one that is gone.
        stats_ = StatsState{};
        if (view_ != nullptr) {
            view_->statsChanged();
        }
        switches_.enableTracing = false;
        switchesChanged();
    }
    rememberSelection();
}

void MainDialogLogic::rememberSelection() {
    // Rows are listed in the order links were added, but the next start lists them in the order
    // of the table: the saved row is the one the selected link will have then.
    if (const LinkEntry* entry = state_.selectedEntry()) {
        state_.settings.selectedLinkRow = RowAtStart(state_.table, entry->linkId);
    }
}

void MainDialogLogic::refreshStats(const LinkEntry& entry) {
    PortStats stats[PORTS_PER_LINK]{};
    char errText[ERR_TEXT_SIZE] = {};
    std::uint32_t got = 0;
    while (got < PORTS_PER_LINK && engine_.getPortStats(Id(entry), static_cast<std::int32_t>(got),
                                                        &stats[got], errText) != 0) {
        ++got;
    }
    if (got == 0) {
        return;
    }
    if (got < PORTS_PER_LINK) {
        // The refresh stops at the refused port: only the first row of the port before it.
        stats_.port[0].cell[STATS_ROW_PORT_TYPE] =
            StatsTexts(entry.config.port[0], stats[0]).cell[STATS_ROW_PORT_TYPE];
    } else {
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            stats_.port[p] =
                StatsTexts(entry.config.port[p], stats[p],
                           ComPortDevice(entry.config.port[p].comIndex, state_.comDevices));
            stats_.activateCaption[p] = ActivateCaption(p, stats[p].activated != 0);
        }
    }
    if (view_ != nullptr) {
        view_->statsChanged();
    }
}

} // namespace pw::app
