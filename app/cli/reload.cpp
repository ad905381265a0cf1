// The difference between the running link table and a new one, applied.
#include "app/cli/reload.h"

#include "app/core/texts.h"

#include <cstring>

namespace pw::app {

LinkChange ChangeOf(const LinkEntry& before, const LinkEntry& after) {
    const bool was = before.inUse == 1;
    const bool is = after.inUse == 1;
    if (!was) {
        return is ? LinkChange::Added : LinkChange::Same;
    }
    if (!is) {
        return LinkChange::Removed;
    }
    return std::memcmp(&before.config, &after.config, sizeof(LinkConfig)) == 0
               ? LinkChange::Same
               : LinkChange::Changed;
}

void ApplyLinkTable(AppState& state, MainDialogLogic& logic, const EngineCalls& engine,
                    LogStore& log, const LinkTable& next) {
    char errText[ERR_TEXT_SIZE] = {};
    for (std::uint32_t id = 0; id < MAX_LINKS; ++id) {
        LinkEntry& entry = state.table.entry[id];
        const LinkChange change = ChangeOf(entry, next.entry[id]);
        const auto linkId = static_cast<std::int32_t>(id);
        if (change == LinkChange::Removed) {
            logic.removeLinkRow(logic.findRow(id), entry);
            engine.freeLink(linkId);
        } else if (change == LinkChange::Changed) {
            for (std::int32_t p = 0; p < static_cast<std::int32_t>(PORTS_PER_LINK); ++p) {
                (void)engine.deactivatePort(linkId, p, errText);
            }
        }
        entry = next.entry[id];
        entry.linkId = id;
        if (change != LinkChange::Added && change != LinkChange::Changed) {
            continue;
        }
        if (change == LinkChange::Added && engine.allocLink(linkId) == 0) {
            log.logEvent(Format(OPEN_LINK_FAILED_FORMAT, linkId).c_str());
            entry.inUse = 0;
            continue;
        }
        if (engine.setLinkConfig(linkId, &entry.config, errText) == 0) {
            log.logEvent(Format(LINK_CONFIG_FAILED_FORMAT, linkId, errText).c_str());
            engine.freeLink(linkId);
            if (const int row = logic.findRow(id); row >= 0) {
                logic.removeLinkRow(row, entry);
            }
            entry.inUse = 0;
            continue;
        }
        if (change == LinkChange::Added) {
            logic.addLinkRow(entry);
        } else {
            logic.updateLinkRow(entry);
        }
        for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
            if (entry.config.port[p].active == 1) {
                // Activation problems arrive as the engine's own events.
                (void)engine.activatePort(linkId, static_cast<std::int32_t>(p), errText);
            }
        }
    }
}

} // namespace pw::app
