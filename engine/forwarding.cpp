// The data path: receiving, gathering under the forwarding conditions, transmitting, holding a
// fast source back while its destination is full, and the periodic processing of port timers.
#include "engine/engine_state.h"
#include "engine/gather.h"
#include "net/sock.h"
#include "serial/serio.h"

#include <algorithm>

namespace {

void PortGather(PortState& port, PortState& destination, const std::uint8_t* data,
                std::uint32_t length) {
    const PortConfig& config = ConfigOf(port);
    const GatherTimer timer =
        GatherChunk(GatherRuleOf(config), port.buffer, port.count, data, length,
                    [&destination](const std::uint8_t* gathered, std::uint32_t count) {
                        PortTransmit(destination, gathered, count);
                    });
    if (timer == GatherTimer::Restart) {
        StartTimer(port, TIMER_INTERCHAR, config.interCharMs);
    } else if (timer == GatherTimer::Stop) {
        StopTimer(port, TIMER_INTERCHAR);
    }
}

// How long a flush waits before it tries a full destination again, ms.
constexpr std::uint32_t FLUSH_RETRY_MS = 1;

// The most bytes that `incoming` more received bytes can make `port` transmit: all of them when
// it forwards instantly; when it gathers, also what is gathered already; none when no condition
// ever passes its gathered bytes on.
std::uint32_t MostToTransmit(const PortState& port, std::uint32_t incoming) {
    const PortConfig& config = ConfigOf(port);
    if (config.fwdInstant != 0) {
        // Bytes gathered before the port was switched to instant forwarding go first.
        return port.count + incoming;
    }
    if (config.fwdBufferFull == 0 && config.fwdFrameEnd == 0 && config.fwdInterChar == 0) {
        return 0;
    }
    return port.count + incoming;
}

// Whether `destination` takes `needed` more bytes now, in any number of transmissions. Bytes that
// it would drop anyway (it is down or not connected) count as taken, so that a dead destination
// never holds its source back; so do datagrams, which the platform takes or loses like any
// datagram on the way.
bool HasRoom(const PortState& destination, std::uint32_t needed) {
    if (needed == 0 || destination.activated == 0) {
        return true;
    }
    switch (destination.kind) {
    case PortKind::Serial:
        return serio_tx_space(destination.handle.serial) >= needed;
    case PortKind::Tcp:
        return destination.connected == 0 || sock_send_space(destination.handle.socket) >= needed;
    default:
        return true;
    }
}

// Whether `port` may receive `incoming` more bytes now: its destination can take whatever they
// make it transmit. While the engine is paused or the port is down, they are dropped anyway.
bool MayReceive(PortState& port, std::uint32_t incoming) {
    if (port.heldCount > 0) {
        return false; // older bytes wait for room
    }
    if (engine().paused != 0 || port.activated == 0) {
        return true;
    }
    return HasRoom(Destination(port), MostToTransmit(port, incoming));
}

// Passes received bytes on to the destination, which has room for all they make it transmit.
void Forward(PortState& port, PortState& destination, const std::uint8_t* data,
             std::uint32_t length) {
    if (ConfigOf(port).fwdInstant != 0) {
        if (port.count > 0) {
            // Gathered before a switch to instant forwarding, and not passed on yet: they are
            // older than these bytes.
            PortTransmit(destination, port.buffer, port.count);
            port.count = 0;
        }
        PortTransmit(destination, data, length);
    } else {
        PortGather(port, destination, data, length);
    }
}

} // namespace

void PortReceive(PortState& port, const std::uint8_t* data, std::uint32_t length) {
    Engine& e = engine();
    if (e.paused != 0 || data == nullptr || length == 0 || port.activated == 0) {
        return;
    }
    port.rxBytes += length;
    if (ConfigOf(port).trace != 0) {
        e.callbacks.traceCallback(port.link->id, port.portId, TRACE_DIR_RX, data, length);
    }
    PortState& destination = Destination(port);
    if (destination.activated == 0) {
        return;
    }
    if (!HasRoom(destination, MostToTransmit(port, length))) {
        // The room there was when a socket was let to receive these bytes went meanwhile to
        // another sender (a test buffer, the generator, a loopback): keep them until there is
        // room again instead of dropping them.
        std::copy_n(data, length, port.held);
        port.heldCount = length;
        StartTimer(port, TIMER_HELD, FLUSH_RETRY_MS);
        return;
    }
    Forward(port, destination, data, length);
}

void HeldRetry(PortState& port) {
    const std::uint32_t length = port.heldCount;
    PortState& destination = Destination(port);
    if (length == 0 || engine().paused != 0 || destination.activated == 0) {
        port.heldCount = 0; // dropped, as any bytes for a destination that is down
        return;
    }
    if (!HasRoom(destination, MostToTransmit(port, length))) {
        StartTimer(port, TIMER_HELD, FLUSH_RETRY_MS);
        return;
    }
    port.heldCount = 0;
    Forward(port, destination, port.held, length);
}

void PortTransmit(PortState& port, const std::uint8_t* data, std::uint32_t length) {
    Engine& e = engine();
    if (e.paused != 0) {
        return;
    }
    const PortConfig& config = ConfigOf(port);
    bool accepted = false;
    // By what the port was opened as: a port that is down takes nothing.
    switch (port.kind) {
    case PortKind::Serial:
        if (serio_transmit(port.handle.serial, data, length) != 0) {
            accepted = true;
            port.txBytes += length;
        }
        break;
    case PortKind::Tcp:
        if (port.connected != 0) {
            // Queued sends keep what the socket cannot take at once; the source was held back
            // until the queue had room for all of it.
            std::uint32_t sent = 0;
            if (sock_send_queued(port.handle.socket, data, length, &sent) == SOCK_RC_OK) {
                accepted = true;
                port.txBytes += sent;
            }
        }
        break;
    case PortKind::Udp:
        if (port.connected != 0) {
            // With loopback the datagram answers whoever sent last.
            const bool echo = config.loopback != 0;
            const std::uint32_t address = echo ? port.peerAddr : port.udpDestAddr;
            const auto udpPort =
                static_cast<std::uint16_t>(echo ? port.peerPort & 0xFFFFu : port.udpDestPort);
            if (sock_send_to(port.handle.socket, address, udpPort, data, length) == SOCK_RC_OK) {
                accepted = true;
                port.txBytes += length;
            }
        }
        break;
    case PortKind::None:
        break;
    }
    if (accepted && config.trace != 0) {
        e.callbacks.traceCallback(port.link->id, port.portId, TRACE_DIR_TX, data, length);
    }
}

void InterCharFlush(PortState& port) {
    if (port.activated == 0 || port.count == 0 || port.link->allocated == 0) {
        return;
    }
    PortState& destination = Destination(port);
    if (!HasRoom(destination, port.count)) {
        // The destination is momentarily full (a test buffer or the generator took the room
        // kept for these bytes): try again shortly rather than lose them. The source stays held
        // back meanwhile, since its destination has no room for them either.
        StartTimer(port, TIMER_INTERCHAR, FLUSH_RETRY_MS);
        return;
    }
    PortTransmit(destination, port.buffer, port.count);
    port.count = 0;
}

void PortTransmitExtra(PortState& port, const std::uint8_t* data, std::uint32_t length) {
    // Received bytes held back for this port come first: a sender that may lose its bytes takes
    // only room that they leave.
    std::uint32_t held = 0;
    for (PortState& source : port.link->port) {
        held += &Destination(source) == &port ? source.heldCount : 0;
    }
    if (held == 0 || HasRoom(port, held + length)) {
        PortTransmit(port, data, length);
    }
}

void GeneratorStep(PortState& port) {
    const PortConfig& config = ConfigOf(port);
    const bool ready = port.link->allocated != 0 && config.genTraffic != 0 && port.activated != 0 &&
                       (port.kind == PortKind::Serial || port.connected != 0);
    // Copied first: the record is packed, so its fields cannot be bound to references.
    const std::uint32_t stored = config.genLength;
    const std::uint32_t length = stored < GEN_DATA_SIZE ? stored : GEN_DATA_SIZE;
    if (ready && length > 0) {
        PortTransmitExtra(port, config.genData, length);
    }
}

std::uint8_t* GetSocketBuffer(void* context, std::uint32_t /*maxLength*/) {
    EngineEntry entry;
    Engine& e = engine();
    if (context != nullptr && e.initialized != 0) {
        PortState& port = *static_cast<PortState*>(context);
        if (!MayReceive(port, RECEIVE_BUFFER_SIZE)) {
            // The bytes wait in the socket, and TCP flow control slows the sender down.
            return nullptr;
        }
    }
    return e.receiveBuffer;
}

std::uint32_t OnSerialData(void* context, const std::uint8_t* data, std::uint32_t length) {
    EngineEntry entry;
    if (context == nullptr || engine().initialized == 0) {
        return 1;
    }
    PortState& port = *static_cast<PortState*>(context);
    if (!MayReceive(port, length)) {
        // The chunk stays in the port's receive ring and is offered again shortly.
        return 0;
    }
    PortReceive(port, data, length);
    return 1;
}

void WeaveProcess() {
    EngineEntry entry;
    Engine& e = engine();
    if (e.initialized == 0) {
        return;
    }
    for (LinkSlot& slot : e.slots) {
        if (slot.allocated == 0) {
            continue;
        }
        for (PortState& port : slot.port) {
            if (port.deviceLost != 0) {
                SerialPortLost(port);
            }
            for (std::uint32_t index = 0; index < PORT_TIMER_COUNT; ++index) {
                PortTimer& timer = port.timers[index];
                if (timer.active == 0) {
                    continue;
                }
                const std::uint32_t now = e.callbacks.timeCallback();
                if (now - timer.start < timer.period) {
                    continue;
                }
                timer.active = 0;
                switch (index) {
                case TIMER_HELD:
                    HeldRetry(port);
                    break;
                case TIMER_INTERCHAR:
                    InterCharFlush(port);
                    break;
                case TIMER_RECONNECT:
                    ReconnectDue(port);
                    break;
                case TIMER_TRAFFIC:
                    GeneratorStep(port);
                    if (ConfigOf(port).genTraffic != 0) {
                        StartTimer(port, TIMER_TRAFFIC, ConfigOf(port).genPeriodMs);
                    }
                    break;
                default:
                    break;
                }
            }
        }
    }
}

std::uint32_t WeaveNextTimerDue() {
    EngineEntry entry;
    Engine& e = engine();
    if (e.initialized == 0) {
        return WEAVE_NO_TIMER;
    }
    std::uint32_t earliest = WEAVE_NO_TIMER;
    bool clockRead = false;
    std::uint32_t now = 0;
    for (const LinkSlot& slot : e.slots) {
        if (slot.allocated == 0) {
            continue;
        }
        for (const PortState& port : slot.port) {
            if (port.deviceLost != 0) {
                return 0; // a lost device is closed by the next pass
            }
            for (const PortTimer& timer : port.timers) {
                if (timer.active == 0) {
                    continue;
                }
                if (!clockRead) {
                    now = e.callbacks.timeCallback();
                    clockRead = true;
                }
                const std::uint32_t elapsed = now - timer.start;
                const std::uint32_t left = elapsed >= timer.period ? 0 : timer.period - elapsed;
                // A running timer never reads as "no timer", however long its period.
                earliest = std::min(earliest, std::min(left, WEAVE_NO_TIMER - 1));
            }
        }
    }
    return earliest;
}

void WeaveSetTimerWake(WeaveTimerWakeFn wake) {
    EngineEntry entry;
    engine().timerWake = wake;
}
