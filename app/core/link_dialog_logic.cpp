// The link commands and the link dialog's Save.
#include "app/core/link_dialog_logic.h"

#include "app/core/dialog_texts.h"
#include "app/core/texts.h"

namespace pw::app {

namespace {

std::int32_t Id(const LinkEntry& entry) {
    return static_cast<std::int32_t>(entry.linkId);
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
    mainDialog_.deactivateBothPorts(*entry);
    mode_ = LinkDialogMode::Edit;
    working_ = *entry;
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
    entry.config = working_.config;
    mainDialog_.updateLinkRow(entry);
    activateMarkedPorts(entry);
    showSaved(entry);
    return SaveOutcome{true, {}};
}

} // namespace pw::app
