// The engine's interface: lifecycle, link slots, the checks and messages of every operation.
#include "base/platform.h"
#include "engine/engine_state.h"
#include "net/sock.h"
#include "serial/serio.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

Engine g_engine;

void NoEvent(const char*) {}
void NoTrace(std::uint32_t, std::uint32_t, std::uint32_t, const std::uint8_t*, std::uint32_t) {}
void NoStatus(const LinkStatus*) {}
std::uint32_t SystemClock() {
    return pw::now_ms();
}

// The checks shared by the operations, in their order. Returns the slot, or null with the reason
// written into errText (when there is one).
LinkSlot* CheckLink(std::int32_t linkId, char* errText) {
    auto fail = [errText](const char* format, std::int32_t value) -> LinkSlot* {
        if (errText != nullptr) {
            std::snprintf(errText, WEAVE_ERR_TEXT_MIN, format, value);
        }
        return nullptr;
    };
    if (g_engine.initialized == 0) {
        return fail("not initialized", 0);
    }
    if (linkId < 0 || linkId >= static_cast<std::int32_t>(MAX_LINKS)) {
        return fail("invalid link id (%d)", linkId);
    }
    LinkSlot& slot = g_engine.slots[linkId];
    if (slot.allocated == 0) {
        return fail("link not allocated", 0);
    }
    return &slot;
}

PortState* CheckPort(std::int32_t linkId, std::int32_t portId, char* errText) {
    LinkSlot* slot = CheckLink(linkId, errText);
    if (slot == nullptr) {
        return nullptr;
    }
    if (portId < 0 || portId >= static_cast<std::int32_t>(PORTS_PER_LINK)) {
        if (errText != nullptr) {
            std::snprintf(errText, WEAVE_ERR_TEXT_MIN, "invalid port id (%d)", portId);
        }
        return nullptr;
    }
    return &slot->port[portId];
}

bool ValidLinkId(std::int32_t linkId) {
    return linkId >= 0 && linkId < static_cast<std::int32_t>(MAX_LINKS);
}

// Takes the port down, or stops it from coming up again by itself.
void StopPort(PortState& port) {
    if (port.activated != 0) {
        PortDeactivate(port);
    } else if (CancelWaiting(port)) {
        PORT_EVENT(port, "Link %u (%s) Port %u deactivated");
        ReportStatus(*port.link);
    }
}

void DeactivateLink(LinkSlot& slot) {
    for (PortState& port : slot.port) {
        StopPort(port);
    }
}

// Whether a change of configuration concerns how the port connects.
bool ConnectionChanged(const PortConfig& before, const PortConfig& after) {
    return before.portType != after.portType || before.ipProtocol != after.ipProtocol ||
           before.tcpRole != after.tcpRole || before.ipPort != after.ipPort ||
           std::memcmp(before.remoteHost, after.remoteHost, sizeof before.remoteHost) != 0;
}

} // namespace

Engine& engine() {
    return g_engine;
}

EngineEntry::EngineEntry() : lock_(g_engine.mutex) {}

EngineEntry::~EngineEntry() {
    SerialPort* closing[MAX_DEFERRED_CLOSES];
    const std::uint32_t count = g_engine.deferredCount;
    std::memcpy(closing, g_engine.deferredCloses, count * sizeof closing[0]);
    g_engine.deferredCount = 0;
    lock_.unlock();
    for (std::uint32_t i = 0; i < count; ++i) {
        serio_close(closing[i]);
    }
}

std::uint32_t WeaveInit(const WeaveInitStruct* init, char* errText) {
    {
        EngineEntry entry;
        if (g_engine.initialized != 0) {
            return 1;
        }
        if (errText == nullptr) {
            return 0;
        }
        if (init == nullptr) {
            std::snprintf(errText, WEAVE_ERR_TEXT_MIN, "NULL init structure pointer");
            return 0;
        }
        // Everything but the timer wake, which the application sets once for the process.
        g_engine.paused = 0;
        g_engine.deferredCount = 0;
        std::memset(g_engine.receiveBuffer, 0, sizeof g_engine.receiveBuffer);
        std::memset(g_engine.deferredCloses, 0, sizeof g_engine.deferredCloses);
        for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
            std::memset(static_cast<void*>(&g_engine.slots[i]), 0, sizeof(LinkSlot));
            g_engine.slots[i].id = i;
        }
        ++g_engine.run; // lookups of an earlier start report to nobody
        g_engine.callbacks = *init;
        WeaveInitStruct& cb = g_engine.callbacks;
        cb.eventCallback = cb.eventCallback != nullptr ? cb.eventCallback : NoEvent;
        cb.traceCallback = cb.traceCallback != nullptr ? cb.traceCallback : NoTrace;
        cb.statusCallback = cb.statusCallback != nullptr ? cb.statusCallback : NoStatus;
        cb.timeCallback = cb.timeCallback != nullptr ? cb.timeCallback : SystemClock;
        g_engine.paused = 1;
    }
    // The layers' threads call back into the engine, so they start without the mutex held. Their
    // results are not examined: a layer that did not start shows as ports that fail to open.
    serio_set_fault_callback(OnSerialFault);
    [[maybe_unused]] const std::uint32_t serialStarted = serio_init();
    [[maybe_unused]] const std::uint32_t socketsStarted = sock_init(GetSocketBuffer, OnSocketEvent);
    sock_set_poll_mode(2);
    EngineEntry entry;
    g_engine.initialized = 1;
    return 1;
}

void WeaveSetPaused(std::uint32_t paused) {
    EngineEntry entry;
    if (g_engine.initialized != 0) {
        g_engine.paused = paused;
    }
}

std::uint32_t WeaveAllocLink(std::int32_t linkId) {
    EngineEntry entry;
    if (g_engine.initialized == 0 || !ValidLinkId(linkId)) {
        return 0;
    }
    LinkSlot& slot = g_engine.slots[linkId];
    if (slot.allocated != 0) {
        return 1;
    }
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        PortState& port = slot.port[p];
        for (std::uint8_t** buffer : {&port.buffer, &port.held}) {
            if (*buffer == nullptr) {
                *buffer = new (std::nothrow) std::uint8_t[RECEIVE_BUFFER_SIZE];
                if (*buffer == nullptr) {
                    return 0;
                }
            }
        }
        port.heldCount = 0;
        std::memset(port.buffer, 0, RECEIVE_BUFFER_SIZE);
        port.count = 0;
        port.portId = p;
        port.link = &slot;
        for (PortTimer& timer : port.timers) {
            timer.active = 0;
        }
    }
    slot.allocated = 1;
    return 1;
}

void WeaveFreeLink(std::int32_t linkId) {
    EngineEntry entry;
    if (g_engine.initialized == 0 || !ValidLinkId(linkId)) {
        return;
    }
    LinkSlot& slot = g_engine.slots[linkId];
    if (slot.allocated != 0) {
        DeactivateLink(slot);
    }
    slot.allocated = 0;
}

std::uint32_t WeaveSetLinkConfig(std::int32_t linkId, const LinkConfig* config, char* errText) {
    EngineEntry entry;
    LinkSlot* slot = CheckLink(linkId, errText);
    if (slot == nullptr || config == nullptr) {
        return 0;
    }
    const LinkConfig before = slot->config;
    std::memcpy(static_cast<void*>(&slot->config), config, sizeof(LinkConfig));
    for (PortState& port : slot->port) {
        if (port.lookup != 0 && ConnectionChanged(before.port[port.portId], ConfigOf(port))) {
            // The answer for the old host would connect the port to where it no longer belongs.
            PortActivate(port);
        }
        if (slot->config.port[port.portId].genTraffic == 0) {
            StopTimer(port, TIMER_TRAFFIC); // switched off, whatever the port's state
        }
        if (slot->config.port[port.portId].fwdInstant != 0 && port.count > 0) {
            // A port switched to instant forwarding passes on what it had gathered now, rather
            // than keep it until it gathers again and then send it after younger bytes.
            InterCharFlush(port);
        }
    }
    return 1;
}

std::uint32_t WeaveActivatePort(std::int32_t linkId, std::int32_t portId, char* errText) {
    EngineEntry entry;
    PortState* port = CheckPort(linkId, portId, errText);
    if (port == nullptr) {
        return 0;
    }
    if (port->activated == 0) {
        PortActivate(*port);
    }
    return 1;
}

std::uint32_t WeaveDeactivatePort(std::int32_t linkId, std::int32_t portId, char* errText) {
    EngineEntry entry;
    PortState* port = CheckPort(linkId, portId, errText);
    if (port == nullptr) {
        return 0;
    }
    StopPort(*port);
    return 1;
}

std::uint32_t WeaveDeactivateLink(std::int32_t linkId, char* errText) {
    EngineEntry entry;
    LinkSlot* slot = CheckLink(linkId, errText);
    if (slot == nullptr) {
        return 0;
    }
    DeactivateLink(*slot);
    return 1;
}

std::uint32_t WeaveIsPortActive(std::int32_t linkId, std::int32_t portId) {
    EngineEntry entry;
    const PortState* port = CheckPort(linkId, portId, nullptr);
    return port != nullptr ? ReportedActivation(*port) : 0;
}

std::uint32_t WeaveSendBuffer(std::int32_t linkId, std::int32_t portId, const std::uint8_t* data,
                              std::uint32_t length, char* errText) {
    EngineEntry entry;
    PortState* port = CheckPort(linkId, portId, errText);
    if (port == nullptr) {
        return 0;
    }
    if (port->activated == 0) {
        if (errText != nullptr) {
            std::snprintf(errText, WEAVE_ERR_TEXT_MIN, "port not activated");
        }
        return 0;
    }
    // No layer takes more than one receive buffer's worth in one call, and the trace never
    // reports more.
    if (data != nullptr && length > 0 && length <= RECEIVE_BUFFER_SIZE) {
        PortTransmitExtra(*port, data, length);
    }
    return 1;
}

std::uint32_t WeaveGetPortStats(std::int32_t linkId, std::int32_t portId, PortStats* stats,
                                char* errText) {
    EngineEntry entry;
    const PortState* port = CheckPort(linkId, portId, errText);
    if (port == nullptr || stats == nullptr) {
        return 0;
    }
    stats->linkId = static_cast<std::uint32_t>(linkId);
    stats->portId = static_cast<std::uint32_t>(portId);
    stats->txBytes = port->txBytes;
    stats->rxBytes = port->rxBytes;
    stats->activated = ReportedActivation(*port);
    stats->connected = port->connected;
    return 1;
}

std::uint32_t WeaveGetLinkStatus(std::int32_t linkId, LinkStatus* status) {
    EngineEntry entry;
    const LinkSlot* slot = CheckLink(linkId, nullptr);
    if (slot == nullptr || status == nullptr) {
        return 0;
    }
    FillLinkStatus(*slot, *status);
    return 1;
}

std::uint32_t WeaveClearPortStats(std::int32_t linkId, std::int32_t portId, char* errText) {
    EngineEntry entry;
    PortState* port = CheckPort(linkId, portId, errText);
    if (port == nullptr) {
        return 0;
    }
    port->txBytes = 0;
    port->rxBytes = 0;
    return 1;
}

void WeaveShutdown() {
    {
        EngineEntry entry;
        if (g_engine.initialized == 0) {
            return;
        }
        ++g_engine.run; // lookups still under way report to nobody
    }
    // The layers' threads may be waiting for the mutex inside a callback: stop them without it.
    serio_shutdown();
    sock_cleanup();
    EngineEntry entry;
    for (LinkSlot& slot : g_engine.slots) {
        for (PortState& port : slot.port) {
            delete[] port.buffer;
            delete[] port.held;
            port.buffer = nullptr;
            port.held = nullptr;
        }
    }
    g_engine.initialized = 0;
}

void FillLinkStatus(const LinkSlot& slot, LinkStatus& status) {
    status.linkId = slot.id;
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        const PortState& port = slot.port[p];
        PortStatus& out = status.port[p];
        out.portId = p;
        out.portType = slot.config.port[p].portType;
        out.activated = ReportedActivation(port);
        out.connected = port.connected;
        out.txBytes = port.txBytes;
        out.rxBytes = port.rxBytes;
    }
}

void ReportStatus(const LinkSlot& slot) {
    LinkStatus status{};
    FillLinkStatus(slot, status);
    g_engine.callbacks.statusCallback(&status);
}
