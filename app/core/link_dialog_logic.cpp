// The link commands and the link dialog's Save.
#include "app/core/link_dialog_logic.h"

#include "app/core/dialog_texts.h"
#include "app/core/texts.h"

#include <cstring>

namespace pw::app {

namespace {

std::int32_t Id(const LinkEntry& entry) {
    return static_cast<std::int32_t>(entry.linkId);
}

// Whether the port's new settings are ones the engine takes only at the port's next activation:
// how it connects, as opposed to how it forwards, traces, echoes or generates.
bool ConnectionChanged(const PortConfig& before, const PortConfig& after) {
    if (before.portType != after.portType) {
        return true;
    }
    if (after.portType == PORT_TYPE_SERIAL) {
        return before.comIndex != after.comIndex || before.baudIndex != after.baudIndex ||
               before.dataBitsIndex != after.dataBitsIndex ||
               before.parityIndex != after.parityIndex ||
               before.stopBitsIndex != after.stopBitsIndex || before.rtsCts != after.rtsCts;
    }
    return before.ipProtocol != after.ipProtocol || before.tcpRole != after.tcpRole ||
           before.ipPort != after.ipPort ||
           std::strncmp(before.remoteHost, after.remoteHost, sizeof before.remoteHost) != 0;
}

} // namespace

LinkDialogLogic::LinkDialogLogic(AppState& state, MainDialogLogic& mainDialog, LogStore& log,
                                 EngineCalls engine)
    : state_(state), mainDialog_(mainDialog), log_(log), engine_(engine) {}

const char* LinkDialogLogic::title() const {
    return mode_ == LinkDialogMode::Add ? TITLE_ADD_LINK : TITLE_EDIT_LINK;
}

bool LinkDialogLogic::newLink() {
    if (state_.dialogOpen) {
        return false;
    }
    if (state_.links.rowCount() >= static_cast<int>(MAX_LINKS)) {
        log_.logEvent(MAX_LINKS_REACHED_TEXT);
        return false;
    }
    mode_ = LinkDialogMode::Add;
    working_ = LinkEntry{};
    working_.config = DefaultLinkConfig(state_.table);
    state_.dialogOpen = true;
    open_ = true;
    return true;
}

bool LinkDialogLogic::editLink() {
    if (state_.dialogOpen) {
        return false;
    }
    LinkEntry* entry = state_.selectedEntry();
    if (entry == nullptr) {
        return false;
    }
    mode_ = LinkDialogMode::Edit;
    working_ = *entry;
    // Opening the dialog stops nothing: a port that runs, waits to run again or is switched on
    // shows "Activate on save" ticked, so that Save keeps it up and Cancel has nothing to undo.
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        if (engine_.isPortActive(Id(*entry), static_cast<std::int32_t>(p)) != 0 ||
            entry->config.port[p].active != 0) {
            working_.config.port[p].activateOnSave = 1;
        }
    }
    state_.dialogOpen = true;
    open_ = true;
    return true;
}

bool LinkDialogLogic::removeLink(const std::function<bool(const std::string& text)>& confirm) {
    if (state_.dialogOpen) {
        return false;
    }
    const LinkEntry* selected = state_.selectedEntry();
    if (selected == nullptr) {
        return false;
    }
    const std::uint32_t id = selected->linkId;
    if (!confirm(Format(CONFIRM_DELETE_FORMAT, NameOf(selected->config).c_str()))) {
        return false;
    }
    // The box let the event loop run: look the link up again rather than trust the old row.
    LinkEntry& entry = state_.table.entry[id];
    const int row = mainDialog_.findRow(id);
    if (entry.inUse == 0 || row < 0) {
        return false;
    }
    mainDialog_.removeLinkRow(row, entry);
    engine_.freeLink(Id(entry));
    entry.inUse = 0;
    const int rows = state_.links.rowCount();
    mainDialog_.selectRow(rows > 0 ? static_cast<std::uint32_t>(rows - 1) : SELECTED_ROW_NONE);
    state_.changed();
    return true;
}

void LinkDialogLogic::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    state_.dialogOpen = false;
}

SaveOutcome LinkDialogLogic::save(const LinkForm& form) {
    if (!open_) {
        return SaveOutcome{true, {}};
    }
    return mode_ == LinkDialogMode::Add ? saveAdd(form) : saveEdit(form);
}

void LinkDialogLogic::activateMarkedPorts(LinkEntry& entry) {
    char errText[ERR_TEXT_SIZE] = {};
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        if (entry.config.port[p].activateOnSave == 0) {
            continue;
        }
        entry.config.port[p].active = 1;
        const auto port = static_cast<std::int32_t>(p);
        if (engine_.activatePort(Id(entry), port, errText) == 0) {
            log_.logEvent(Format(ACTIVATION_ERROR_FORMAT, Id(entry), port, errText).c_str());
        }
    }
}

void LinkDialogLogic::restartChangedPorts(const LinkEntry& entry, const LinkConfig& before) {
    char errText[ERR_TEXT_SIZE] = {};
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        const auto port = static_cast<std::int32_t>(p);
        if (!ConnectionChanged(before.port[p], entry.config.port[p]) ||
            engine_.isPortActive(Id(entry), port) == 0) {
            continue; // a port that keeps its connection runs on untouched
        }
        // It still runs as what it was opened as: down, and up again with the new settings.
        if (engine_.deactivatePort(Id(entry), port, errText) == 0) {
            log_.logEvent(Format(DEACTIVATION_ERROR_FORMAT, Id(entry), port, errText).c_str());
        } else if (engine_.activatePort(Id(entry), port, errText) == 0) {
            log_.logEvent(Format(ACTIVATION_ERROR_FORMAT, Id(entry), port, errText).c_str());
        }
    }
}

void LinkDialogLogic::showSaved(const LinkEntry& entry) {
    const int row = mainDialog_.findRow(entry.linkId);
    mainDialog_.selectRow(row >= 0 ? static_cast<std::uint32_t>(row) : SELECTED_ROW_NONE);
    LinkStatus status{};
    if (engine_.getLinkStatus(Id(entry), &status) != 0) {
        mainDialog_.showLinkStatus(status);
    }
    close();
}

SaveOutcome LinkDialogLogic::saveAdd(const LinkForm& form) {
    LinkEntry* entry = nullptr;
    for (LinkEntry& candidate : state_.table.entry) {
        if (candidate.inUse == 0) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr || engine_.allocLink(Id(*entry)) == 0) {
        log_.logEvent(NO_FREE_LINKS_TEXT);
        close();
        return SaveOutcome{true, {}};
    }
    entry->inUse = 1;
    entry->config = working_.config;
    const FormCheck check =
        ReadLinkForm(form, entry->linkId, state_.table, entry->config, state_.comDevices);
    std::string message = check.message;
    char errText[ERR_TEXT_SIZE] = {};
    if (check.ok && engine_.setLinkConfig(Id(*entry), &entry->config, errText) == 0) {
        message = Format(LINK_CONFIG_FAILED_FORMAT, Id(*entry), errText);
    }
    if (!message.empty()) {
        engine_.freeLink(Id(*entry));
        entry->inUse = 0;
        return SaveOutcome{false, message};
    }
    mainDialog_.addLinkRow(*entry);
    activateMarkedPorts(*entry);
    showSaved(*entry);
    state_.changed();
    return SaveOutcome{true, {}};
}

SaveOutcome LinkDialogLogic::saveEdit(const LinkForm& form) {
    LinkEntry& entry = state_.table.entry[working_.linkId % MAX_LINKS];
    // Fields the dialog does not own follow the entry as it is now.
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        working_.config.port[p].trace = entry.config.port[p].trace;
        working_.config.port[p].active = entry.config.port[p].active;
    }
    const FormCheck check =
        ReadLinkForm(form, working_.linkId, state_.table, working_.config, state_.comDevices);
    if (!check.ok) {
        return SaveOutcome{false, check.message};
    }
    char errText[ERR_TEXT_SIZE] = {};
    if (engine_.setLinkConfig(Id(working_), &working_.config, errText) == 0) {
        return SaveOutcome{false, Format(LINK_CONFIG_FAILED_FORMAT, Id(working_), errText)};
    }
    const LinkConfig before = entry.config;
    entry.config = working_.config;
    mainDialog_.updateLinkRow(entry);
    restartChangedPorts(entry, before);
    activateMarkedPorts(entry);
    showSaved(entry);
    state_.changed();
    return SaveOutcome{true, {}};
}

void LinkDialogLogic::assignComDevice(std::uint32_t comIndex, const std::string& path) {
    log_.logEvent(AssignComDevice(state_.comDevices, comIndex, path).c_str());
}

} // namespace pw::app
