// The engine operations the application uses, as a table of function pointers that default to
// the Weave* functions. The application always runs on the real engine; tests replace a single
// entry to reach a refusal the real engine only gives when memory runs out.
#pragma once

#include "engine/weave.h"

namespace pw::app {

struct EngineCalls {
    decltype(&WeaveInit) init = WeaveInit;
    decltype(&WeaveSetPaused) setPaused = WeaveSetPaused;
    decltype(&WeaveAllocLink) allocLink = WeaveAllocLink;
    decltype(&WeaveFreeLink) freeLink = WeaveFreeLink;
    decltype(&WeaveSetLinkConfig) setLinkConfig = WeaveSetLinkConfig;
    decltype(&WeaveActivatePort) activatePort = WeaveActivatePort;
    decltype(&WeaveDeactivatePort) deactivatePort = WeaveDeactivatePort;
    decltype(&WeaveIsPortActive) isPortActive = WeaveIsPortActive;
    decltype(&WeaveSendBuffer) sendBuffer = WeaveSendBuffer;
    decltype(&WeaveGetPortStats) getPortStats = WeaveGetPortStats;
    decltype(&WeaveGetLinkStatus) getLinkStatus = WeaveGetLinkStatus;
    decltype(&WeaveClearPortStats) clearPortStats = WeaveClearPortStats;
    decltype(&WeaveShutdown) shutdown = WeaveShutdown;
};

} // namespace pw::app
