// The engine's run-time records and its single global state. Internal to engine/.
#pragma once

#include "engine/weave.h"

#include <cstdint>
#include <mutex>

struct SerialPort;
struct SocketRecord;
struct LinkSlot;

// One port timer. Due when the unsigned difference between now and `start` reaches `period`, so
// the 49-day wrap of the millisecond clock does no harm.
struct PortTimer {
    std::uint32_t active; // nonzero while running
    std::uint32_t start;  // clock reading when started, ms
    std::uint32_t period; // ms
};

// What an open port is held by: a COM port of the serial layer, or the data socket of an IP port
// (the TCP client connection, the accepted TCP connection, or the UDP socket).
struct PortHandle {
    SerialPort* serial;
    SocketRecord* socket;
};

// What a port was opened as. A port's connection settings may change in the configuration while
// it runs, but they apply only at its next activation: until then the data path, the connection
// events and the closing go by what the port was opened as.
enum class PortKind : std::uint32_t {
    None,   // not open
    Serial, // a COM port
    Tcp,    // a TCP client connection, or a listening TCP server (and its one client)
    Udp,    // a bound UDP socket
};

// The engine's run-time state of one port. It is the context the layers hand back with every
// callback about the port.
struct PortState {
    std::uint32_t portId;       // 0 or 1, the port's index within its link
    LinkSlot* link;             // the owning slot
    std::uint32_t activated;    // the port is open (see the state table in weave.h)
    PortKind kind;              // what it was opened as; None while it is down
    std::uint32_t connected;    // IP only: a connection exists (UDP: bound)
    PortHandle handle;          // empty when the port is down
    SocketRecord* listenHandle; // TCP server: the listening socket; else null
    std::uint8_t* buffer;       // RECEIVE_BUFFER_SIZE bytes gathered for forwarding
    std::uint32_t count;        // bytes gathered in `buffer`, 0 to RECEIVE_BUFFER_SIZE
    std::uint8_t* held;         // RECEIVE_BUFFER_SIZE bytes received but not yet passed on
    std::uint32_t heldCount;    // bytes in `held`; while any, the port receives nothing more
    PortTimer timers[PORT_TIMER_COUNT]; // TIMER_HELD, _INTERCHAR, _RECONNECT, _TRAFFIC
    std::uint32_t peerAddr;    // sender of the latest received data, IPv4, network byte order
    std::uint32_t peerPort;    // that sender's port, host byte order
    std::uint32_t udpDestAddr; // UDP: destination resolved at activation, network byte order
    std::uint16_t udpDestPort; // UDP: destination port taken at activation, host byte order
    std::uint32_t txBytes;     // bytes handed to the port's layer for transmission
    std::uint32_t rxBytes;     // bytes received on the port
    std::uint32_t deviceLost;  // serial: the device hung up; closed by the next WeaveProcess
    std::uint64_t lookup;      // ticket of the host name lookup under way for it, 0 for none
};

// The port timer that retries bytes held back because their destination had no room: the slot
// before the three timers of the records, which the records leave unused.
constexpr std::uint32_t TIMER_HELD = 0;

// The engine's record of one link.
struct LinkSlot {
    std::uint32_t id;        // the slot's own LinkId
    std::uint32_t allocated; // nonzero between WeaveAllocLink and WeaveFreeLink
    LinkConfig config;       // the engine's own copy
    PortState port[PORTS_PER_LINK];
};

// COM ports closed by a deactivation wait here until the engine's mutex is released: closing one
// waits for its data callback, which may itself be waiting for the mutex.
constexpr std::uint32_t MAX_DEFERRED_CLOSES = MAX_LINKS * PORTS_PER_LINK;

struct Engine {
    std::mutex mutex; // serialises every entry into the engine
    std::uint32_t initialized;
    std::uint32_t paused;
    LinkSlot slots[MAX_LINKS];
    std::uint8_t receiveBuffer[RECEIVE_BUFFER_SIZE]; // lent to the socket layer for every receive
    WeaveInitStruct callbacks;
    SerialPort* deferredCloses[MAX_DEFERRED_CLOSES];
    std::uint32_t deferredCount;
    WeaveTimerWakeFn timerWake; // told of every timer start; survives WeaveInit
    // Name lookups run on threads of their own and report back under the mutex. A result counts
    // only while its port still holds its ticket and the engine still runs the start it began in.
    std::uint64_t lookupTickets; // the last ticket handed out; survives WeaveInit
    std::uint64_t run;           // counts the engine's starts and shutdowns; survives both
};

Engine& engine();

// Holds the engine's mutex for one entry; on leaving, releases it and then closes the COM ports
// that the entry deactivated.
class EngineEntry {
public:
    EngineEntry();
    ~EngineEntry();
    EngineEntry(const EngineEntry&) = delete;
    EngineEntry& operator=(const EngineEntry&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};

// ---- Used across the engine's files; all run with the mutex held. ----

// Reports one event line through the event callback.
void EmitEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A link's name as text: at most LINK_NAME_MAX characters even when the stored field has lost
// its terminating zero.
struct NameText {
    char text[LINK_NAME_MAX + 1];
};
NameText LinkName(const LinkSlot& slot);

// Reports an event about a port. Every port event begins with the link's id, its name and the
// port's id ("Link %u (%s) Port %u..." or "Link %u (%s) Activating Port %u...").
#define PORT_EVENT(port, format, ...)                                                              \
    EmitEvent(format, (port).link->id, LinkName(*(port).link).text,                                \
              (port).portId __VA_OPT__(, ) __VA_ARGS__)
void ReportStatus(const LinkSlot& slot);
void FillLinkStatus(const LinkSlot& slot, LinkStatus& status);
const PortConfig& ConfigOf(const PortState& port);
PortState& OtherPort(PortState& port);
PortState& Destination(PortState& port);

void StartTimer(PortState& port, std::uint32_t index, std::uint32_t period);
void StopTimer(PortState& port, std::uint32_t index);

void PortActivate(PortState& port);
void PortDeactivate(PortState& port);
// A port that is down but will be activated again by itself: a re-activation is due later, or
// its host name is being looked up.
bool PortWaiting(const PortState& port);
// Stops a waiting port from being activated again; false when it was not waiting.
bool CancelWaiting(PortState& port);
// The activated flag as reports show it: 1 activated, 2 waiting, 0 down.
std::uint32_t ReportedActivation(const PortState& port);
// Looks `host` up on a thread of its own; the port waits meanwhile. `resume` then runs under the
// mutex with the dotted-quad text found (empty when none), unless the lookup was cancelled.
using LookupResume = void (*)(PortState& port, const char* address);
void StartLookup(PortState& port, const char* host, LookupResume resume);
void ScheduleReconnect(PortState& port);
void ReconnectDue(PortState& port);

void PortReceive(PortState& port, const std::uint8_t* data, std::uint32_t length);
void PortTransmit(PortState& port, const std::uint8_t* data, std::uint32_t length);
// Transmits bytes that may be lost (test buffers, generator data) in room that bytes held back
// for the port leave.
void PortTransmitExtra(PortState& port, const std::uint8_t* data, std::uint32_t length);
void InterCharFlush(PortState& port);
void HeldRetry(PortState& port);
void GeneratorStep(PortState& port);

// Layer callbacks.
std::uint8_t* GetSocketBuffer(void* context, std::uint32_t maxLength);
void OnSocketEvent(void* context, std::uint32_t event, std::uintptr_t value,
                   std::uint32_t peerPortNet, std::uintptr_t peerAddrNet);
std::uint32_t OnSerialData(void* context, const std::uint8_t* data, std::uint32_t length);
void OnSerialFault(void* context);
// Closes a serial port whose device went away (main thread, from WeaveProcess).
void SerialPortLost(PortState& port);
