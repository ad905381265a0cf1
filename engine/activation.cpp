// Port activation and deactivation, automatic re-activation, and the socket layer's events.
#include "engine/engine_state.h"
#include "net/sock.h"
#include "serial/serio.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// A port number held in network byte order (its high byte first in memory) as a number.
std::uint16_t HostPort(std::uint16_t portNet) {
    unsigned char bytes[2];
    std::memcpy(bytes, &portNet, sizeof bytes);
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

// Text of a NUL-terminated field that may have lost its terminator in a damaged data file.
template <std::size_t N>
void CopyField(char (&out)[N], const char* field) {
    std::size_t len = 0;
    while (len + 1 < N && field[len] != '\0') {
        ++len;
    }
    std::memcpy(out, field, len);
    out[len] = '\0';
}

// The serial settings of a port, read through the tables; false when a stored index is outside
// its table (only a damaged data file carries such a value).
struct SerialSettings {
    std::uint32_t baudRate;
    std::uint8_t dataBits;
    std::uint8_t parity;
    std::uint8_t stopBits;
};

bool ReadSerialSettings(const PortConfig& config, SerialSettings& out) {
    if (config.baudIndex >= BAUD_RATE_COUNT || config.dataBitsIndex >= DATA_BITS_COUNT ||
        config.parityIndex >= PARITY_COUNT || config.stopBitsIndex >= STOP_BITS_COUNT) {
        return false;
    }
    out.baudRate = BAUD_RATES[config.baudIndex];
    out.dataBits = DATA_BITS[config.dataBitsIndex];
    out.parity = PARITY_CODES[config.parityIndex];
    out.stopBits = STOP_BITS_CODES[config.stopBitsIndex];
    return true;
}

void ActivateSerial(PortState& port) {
    const PortConfig& config = ConfigOf(port);
    const std::uint32_t comNumber = config.comIndex + 1;
    PORT_EVENT(port, "Link %u (%s) Activating Port %u (COM%u)", comNumber);
    SerialSettings settings{};
    std::uint32_t extCode = 0;
    std::uint32_t rc = SERIO_RC_SET_STATE;
    if (ReadSerialSettings(config, settings)) {
        // Only 1 asks for RTS/CTS; a damaged value must not switch XON/XOFF on, which would
        // swallow every 0x11 and 0x13 of the data.
        const std::uint32_t flow = config.rtsCts == 1 ? SERIO_FLOW_RTS_CTS : SERIO_FLOW_NONE;
        rc =
            serio_open(config.comIndex, settings.baudRate, settings.dataBits, settings.parity,
                       settings.stopBits, flow, &port, &port.handle.serial, OnSerialData, &extCode);
    } else {
        // Reported as the device refusing the settings would be: the port cannot run with them.
        extCode = EINVAL;
    }
    if (rc != SERIO_OK) {
        port.handle.serial = nullptr;
        PORT_EVENT(port, "Link %u (%s) Port %u Serial port open fail (rc %u) (ExRc %u)", rc,
                   extCode);
        ScheduleReconnect(port);
        if (PortWaiting(port)) {
            ReportStatus(*port.link);
        }
        return;
    }
    [[maybe_unused]] std::uint32_t lineOk = serio_set_line(port.handle.serial, SERIO_LINE_RTS, 0);
    lineOk = serio_set_line(port.handle.serial, SERIO_LINE_DTR, 0);
    lineOk = serio_set_line(port.handle.serial, SERIO_LINE_RTS, 1);
    lineOk = serio_set_line(port.handle.serial, SERIO_LINE_DTR, 1);
    PORT_EVENT(port, "Link %u (%s) Port %u Serial port (COM%u) activated", comNumber);
    port.activated = 1;
    port.kind = PortKind::Serial;
    if (config.genTraffic != 0 && port.timers[TIMER_TRAFFIC].active == 0) {
        StartTimer(port, TIMER_TRAFFIC, config.genPeriodMs);
    }
    ReportStatus(*port.link);
    StopTimer(port, TIMER_RECONNECT);
}

// The end of an IP port's activation, once its socket was opened (or not).
void FinishIp(PortState& port, std::uint32_t rc) {
    const PortConfig& config = ConfigOf(port);
    if (rc != SOCK_RC_OK && rc != SOCK_RC_CONNECT_PENDING) {
        port.handle.socket = nullptr;
        port.listenHandle = nullptr;
        port.connected = 0;
        PORT_EVENT(port, "Link %u (%s) Port %u IP port activation failed (Socket Layer RC %u)", rc);
        ScheduleReconnect(port);
        ReportStatus(*port.link);
        return;
    }
    PORT_EVENT(port, "Link %u (%s) Port %u IP port activated");
    if (config.ipProtocol == IP_PROTO_UDP) {
        port.connected = 1;
        StopTimer(port, TIMER_RECONNECT);
    }
    port.activated = 1;
    port.kind = config.ipProtocol == IP_PROTO_UDP ? PortKind::Udp : PortKind::Tcp;
    if (config.genTraffic != 0 && port.timers[TIMER_TRAFFIC].active == 0) {
        StartTimer(port, TIMER_TRAFFIC, config.genPeriodMs);
    }
    ReportStatus(*port.link);
}

std::uint16_t SocketPort(const PortState& port) {
    return static_cast<std::uint16_t>(ConfigOf(port).ipPort & 0xFFFFu);
}

void OpenClient(PortState& port, const char* address) {
    // An unresolved name leaves the text empty, and the open decides.
    FinishIp(port, sock_open_tcp_client(&port, address, SocketPort(port), &port.handle.socket));
}

void OpenUdp(PortState& port, const char* address) {
    const std::uint32_t destination = sock_inet_addr(address);
    port.link->config.port[port.portId].remoteAddr = destination;
    // The port sends here until it is activated again, whatever configuration comes meanwhile.
    port.udpDestAddr = destination;
    port.udpDestPort = SocketPort(port);
    FinishIp(port, sock_open_udp(&port, SocketPort(port), &port.handle.socket));
}

// A dotted quad (or nothing) needs no lookup and goes on at once; a name is looked up off the
// mutex while the port waits, and the activation goes on when the answer comes.
void ResolveThen(PortState& port, const char* host, LookupResume open) {
    if (host[0] != '\0' && sock_is_dotted_quad(host) == 0) {
        StartLookup(port, host, open);
        if (port.lookup != 0) {
            ReportStatus(*port.link);
        }
        return;
    }
    char address[16] = {};
    [[maybe_unused]] const std::uint32_t copied = sock_resolve(host, address);
    open(port, address);
}

void ActivateIp(PortState& port) {
    const PortConfig& config = ConfigOf(port);
    port.connected = 0;
    char host[REMOTE_HOST_MAX + 1];
    CopyField(host, config.remoteHost);
    if (config.ipProtocol == IP_PROTO_TCP) {
        const bool server = config.tcpRole == TCP_ROLE_SERVER;
        PORT_EVENT(port, "Link %u (%s) Activating Port %u (TCP %s)", server ? "Server" : "Client");
        if (server) {
            FinishIp(port, sock_open_tcp_server(SocketPort(port), &port, &port.listenHandle));
        } else {
            PORT_EVENT(port, "Link %u (%s) Port %u TCP connecting to %s %u...", host,
                       config.ipPort);
            ResolveThen(port, host, OpenClient);
        }
    } else if (config.ipProtocol == IP_PROTO_UDP) {
        PORT_EVENT(port, "Link %u (%s) Activating Port %u (UDP)");
        ResolveThen(port, host, OpenUdp);
    } else {
        PORT_EVENT(port, "Link %u (%s) Port %u IP port activation failed (unknown protocol %u)",
                   config.ipProtocol);
    }
}

// Bytes still queued on the port's connection are never sent once it closes: they come off the
// count of transmitted bytes, which counts only what reached the system.
void DropQueued(PortState& port) {
    const std::uint32_t dropped = sock_discard_queued(port.handle.socket);
    port.txBytes -= dropped < port.txBytes ? dropped : port.txBytes;
}

// The single-client rule of a TCP server port.
void OnAccepted(PortState& port, SocketRecord* connection) {
    if (port.connected != 0) {
        PORT_EVENT(port,
                   "Link %u (%s) Port %u new connection rejected (1 client already connected)");
        [[maybe_unused]] const std::uint32_t rc = sock_close(connection);
        return;
    }
    port.handle.socket = connection;
    if (sock_set_context(connection, &port) != SOCK_RC_OK) {
        PORT_EVENT(port, "Link %u (%s) Port %u new connection socket bind failed");
        [[maybe_unused]] const std::uint32_t rc = sock_close(connection);
        port.handle.socket = nullptr;
        return;
    }
    PORT_EVENT(port, "Link %u (%s) Port %u TCP connection accepted.");
    port.connected = 1;
    ReportStatus(*port.link);
    StopTimer(port, TIMER_RECONNECT);
}

} // namespace

void EmitEvent(const char* format, ...) {
    char text[EVENT_TEXT_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    engine().callbacks.eventCallback(text);
}

NameText LinkName(const LinkSlot& slot) {
    NameText name{};
    CopyField(name.text, slot.config.name);
    return name;
}

const PortConfig& ConfigOf(const PortState& port) {
    return port.link->config.port[port.portId];
}

PortState& OtherPort(PortState& port) {
    return port.link->port[port.portId == 0 ? 1 : 0];
}

PortState& Destination(PortState& port) {
    return ConfigOf(port).loopback != 0 ? port : OtherPort(port);
}

void StartTimer(PortState& port, std::uint32_t index, std::uint32_t period) {
    PortTimer& timer = port.timers[index];
    timer.start = engine().callbacks.timeCallback();
    timer.period = period;
    timer.active = 1;
    if (WeaveTimerWakeFn wake = engine().timerWake) {
        wake();
    }
}

void StopTimer(PortState& port, std::uint32_t index) {
    port.timers[index].active = 0;
}

void PortActivate(PortState& port) {
    port.count = 0;
    port.heldCount = 0;
    PortDeactivate(port);
    switch (ConfigOf(port).portType) {
    case PORT_TYPE_SERIAL:
        ActivateSerial(port);
        break;
    case PORT_TYPE_IP:
        ActivateIp(port);
        break;
    default:
        break;
    }
}

bool PortWaiting(const PortState& port) {
    return port.activated == 0 && (port.timers[TIMER_RECONNECT].active != 0 || port.lookup != 0);
}

bool CancelWaiting(PortState& port) {
    if (!PortWaiting(port)) {
        return false;
    }
    StopTimer(port, TIMER_RECONNECT);
    port.lookup = 0; // its answer, when it comes, is dropped
    return true;
}

std::uint32_t ReportedActivation(const PortState& port) {
    return port.activated != 0 ? 1 : PortWaiting(port) ? WEAVE_PORT_WAITING : 0;
}

void PortDeactivate(PortState& port) {
    StopTimer(port, TIMER_RECONNECT);
    port.lookup = 0;
    port.deviceLost = 0; // a loss not yet handled concerns the device being closed here
    if (port.activated == 0) {
        return;
    }
    // Whatever the port holds is closed, also when its configuration has changed meanwhile.
    if (port.handle.serial != nullptr) {
        Engine& e = engine();
        e.deferredCloses[e.deferredCount++] = port.handle.serial;
        port.handle.serial = nullptr;
    }
    if (port.handle.socket != nullptr) {
        DropQueued(port);
        [[maybe_unused]] const std::uint32_t rc = sock_close(port.handle.socket);
        port.handle.socket = nullptr;
    }
    if (port.listenHandle != nullptr) {
        [[maybe_unused]] const std::uint32_t rc = sock_close(port.listenHandle);
        port.listenHandle = nullptr;
    }
    port.connected = 0;
    port.kind = PortKind::None;
    port.heldCount = 0;
    StopTimer(port, TIMER_HELD);
    StopTimer(port, TIMER_INTERCHAR);
    StopTimer(port, TIMER_TRAFFIC);
    PORT_EVENT(port, "Link %u (%s) Port %u deactivated");
    port.activated = 0;
    ReportStatus(*port.link);
}

void SerialPortLost(PortState& port) {
    port.deviceLost = 0;
    if (port.activated == 0 || port.kind != PortKind::Serial) {
        return;
    }
    // As an IP port whose connection dropped: reported, down, and re-activated when it should
    // be. Its device is closed like any deactivated COM port, once the mutex is released.
    PORT_EVENT(port, "Link %u (%s) Port %u Serial port closed.");
    if (port.handle.serial != nullptr) {
        Engine& e = engine();
        e.deferredCloses[e.deferredCount++] = port.handle.serial;
        port.handle.serial = nullptr;
    }
    port.kind = PortKind::None;
    port.activated = 0;
    ScheduleReconnect(port);
    ReportStatus(*port.link);
}

void OnSerialFault(void* context) {
    EngineEntry entry;
    Engine& e = engine();
    if (context == nullptr || e.initialized == 0) {
        return;
    }
    PortState& port = *static_cast<PortState*>(context);
    if (port.activated == 0 || port.kind != PortKind::Serial) {
        return;
    }
    // Closing a COM port belongs to the main thread: mark it, and have WeaveProcess run soon.
    port.deviceLost = 1;
    if (WeaveTimerWakeFn wake = e.timerWake) {
        wake();
    }
}

void ScheduleReconnect(PortState& port) {
    const PortConfig& config = ConfigOf(port);
    if (config.autoReconnect == 0) {
        return;
    }
    // A zero interval (only a damaged data file holds one) would retry on every pass.
    const std::uint64_t seconds = config.reconnectSecs != 0 ? config.reconnectSecs : 1;
    const std::uint64_t period = seconds * 1000u;
    StartTimer(port, TIMER_RECONNECT,
               period > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(period));
}

void ReconnectDue(PortState& port) {
    if (port.link->allocated == 0) {
        return;
    }
    const bool up = port.activated != 0 && (port.kind == PortKind::Serial || port.connected != 0);
    if (!up) {
        PortActivate(port);
    }
}

void OnSocketEvent(void* context, std::uint32_t event, std::uintptr_t value,
                   std::uint32_t peerPortNet, std::uintptr_t peerAddrNet) {
    EngineEntry entry;
    if (context == nullptr || event > SOCK_EVENT_CONNECT_FAILED || engine().initialized == 0) {
        return;
    }
    PortState& port = *static_cast<PortState*>(context);
    // Events of a socket that the port has closed already (it may have a new one by now) are
    // not the port's business any more.
    SocketRecord* subject = sock_callback_record();
    SocketRecord* current = event == SOCK_EVENT_ACCEPTED ? port.listenHandle : port.handle.socket;
    if (subject != nullptr && subject != current) {
        if (event == SOCK_EVENT_ACCEPTED) {
            [[maybe_unused]] const std::uint32_t rc =
                sock_close(reinterpret_cast<SocketRecord*>(value));
        }
        return;
    }
    switch (event) {
    case SOCK_EVENT_DATA:
        port.peerAddr = static_cast<std::uint32_t>(peerAddrNet);
        port.peerPort = HostPort(static_cast<std::uint16_t>(peerPortNet));
        PortReceive(port, engine().receiveBuffer, static_cast<std::uint32_t>(value));
        break;
    case SOCK_EVENT_CLOSED: {
        // A port that listens serves the next client; any other port is down now.
        const bool server = port.listenHandle != nullptr;
        PORT_EVENT(port, "Link %u (%s) Port %u IP interface closed.");
        DropQueued(port);
        port.handle.socket = nullptr;
        port.connected = 0;
        if (!server) {
            port.activated = 0;
            port.kind = PortKind::None;
        }
        if (!server) {
            ScheduleReconnect(port);
        }
        ReportStatus(*port.link);
        break;
    }
    case SOCK_EVENT_CONNECTED:
        PORT_EVENT(port, "Link %u (%s) Port %u TCP connected.");
        port.connected = 1;
        ReportStatus(*port.link);
        StopTimer(port, TIMER_RECONNECT);
        break;
    case SOCK_EVENT_ACCEPTED:
        OnAccepted(port, reinterpret_cast<SocketRecord*>(value));
        break;
    case SOCK_EVENT_CONNECT_FAILED:
        PORT_EVENT(port, "Link %u (%s) Port %u TCP connect failed.");
        if (port.handle.socket != nullptr) {
            [[maybe_unused]] const std::uint32_t rc = sock_close(port.handle.socket);
            port.handle.socket = nullptr;
        }
        port.connected = 0;
        port.activated = 0;
        port.kind = PortKind::None;
        ScheduleReconnect(port);
        ReportStatus(*port.link);
        break;
    default:
        break;
    }
}
