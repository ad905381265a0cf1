// The links list's rows, the selected entry and the command rules.
#include "app/core/app_state.h"

namespace pw::app {

int LinksList::findRow(std::uint32_t linkId) const {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].linkId == linkId) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int LinksList::appendRow(LinkRow row) {
    rows_.push_back(std::move(row));
    return rowCount() - 1;
}

void LinksList::removeRow(int index) {
    if (index < 0 || index >= rowCount()) {
        return;
    }
    rows_.erase(rows_.begin() + index);
    if (current_ == index) {
        current_ = -1;
    } else if (current_ > index) {
        --current_;
    }
}

void LinksList::clear() {
    rows_.clear();
    current_ = -1;
}

void LinksList::setCurrentRow(int index) {
    current_ = index >= 0 && index < rowCount() ? index : -1;
}

const LinkEntry* AppState::selectedEntry() const {
    const int row = links.currentRow();
    if (row < 0) {
        return nullptr;
    }
    const std::uint32_t id = links.row(row).linkId;
    if (id >= MAX_LINKS || table.entry[id].inUse == 0) {
        return nullptr;
    }
    return &table.entry[id];
}

LinkEntry* AppState::selectedEntry() {
    return const_cast<LinkEntry*>(static_cast<const AppState*>(this)->selectedEntry());
}

void AppState::changed() const {
    if (onChange) {
        onChange();
    }
}

CloseAction ChooseCloseAction(bool exitRequested, bool trayAvailable) {
    if (exitRequested) {
        return CloseAction::Close;
    }
    return trayAvailable ? CloseAction::HideToTray : CloseAction::Minimize;
}

std::uint32_t RowAtStart(const LinkTable& table, std::uint32_t linkId) {
    std::uint32_t row = 0;
    for (std::uint32_t id = 0; id < linkId && id < MAX_LINKS; ++id) {
        row += table.entry[id].inUse == 1 ? 1 : 0;
    }
    return row;
}

bool AppState::commandAllowed(Command command) const {
    switch (command) {
    case Command::NewLink:
    case Command::SendBuffer:
    case Command::About:
        return !dialogOpen;
    case Command::EditLink:
    case Command::RemoveLink:
        return !dialogOpen && selectedEntry() != nullptr;
    case Command::Exit:
    case Command::Help:
    case Command::ProductWeb:
        return true;
    }
    return false;
}

} // namespace pw::app
