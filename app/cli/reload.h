// Applying a data file read again while the links run: only what changed is touched. A link
// added is opened and its stored active ports activated; a link removed is freed (its ports
// deactivated); a link whose configuration changed (any byte of it, the stored active flags
// included) has its ports deactivated, takes the new configuration and activates its active
// ports again; a link that did not change is not touched, so its connections stay up. Main
// thread.
#pragma once

#include "app/core/app_state.h"
#include "app/core/engine_calls.h"
#include "app/core/main_dialog_logic.h"
#include "store/logs.h"

namespace pw::app {

enum class LinkChange { Same, Added, Removed, Changed };

// How entry `after` differs from entry `before` (an entry is a link when its inUse is 1).
[[nodiscard]] LinkChange ChangeOf(const LinkEntry& before, const LinkEntry& after);

// Makes `state.table` equal to `next` (every entry's linkId its index), calling the engine for
// the links that changed and keeping the links list's rows, with their events ("Added link",
// "Updated link", "Removed link"). A link the engine refuses is dropped (inUse 0) with the event
// the start-up gives.
void ApplyLinkTable(AppState& state, MainDialogLogic& logic, const EngineCalls& engine,
                    LogStore& log, const LinkTable& next);

} // namespace pw::app
