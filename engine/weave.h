// The link engine: one instance per process, driven through the Weave* functions below by the
// application, its only client. It owns the table of MAX_LINKS links, activates and deactivates
// their ports on the serial and socket layers, moves received bytes to the other port of a link
// under the forwarding conditions, runs the port timers from WeaveProcess, keeps the counters, and
// reports events, traced bytes and port status through the application's callbacks.
//
// Results: 1 for success and 0 for failure unless stated. Operations that take `errText` write
// one of the messages below into it when they fail and leave it untouched on success:
//   "not initialized", "invalid link id (%d)", "link not allocated", "invalid port id (%d)",
//   "port not activated", "NULL init structure pointer".
// The longest is 29 characters, so `errText` must hold at least WEAVE_ERR_TEXT_MIN bytes (the
// application's buffers hold ERR_TEXT_SIZE). The checks shared by the operations, in order:
// engine not initialised; linkId outside 0 to 31; slot not allocated; portId outside 0 to 1.
// Failures of the ports themselves (a COM port that will not open, a refused connection, a
// dropped client) never show in results: they arrive as event texts and status callbacks.
//
// Threads: every Weave* function is called from the application's main thread. The engine is
// also entered from the socket layer's event thread and the serial layer's delivery thread (data
// and connection events). One engine-wide mutex serialises all entries; the application's
// callbacks may run under it, on any of these three threads, so they must only copy what they
// are given and hand it to the main thread: never call a Weave* function, never block.
//
// Data path: bytes received on a port go to its destination (the port itself with loopback, else
// the link's other port) under the receiving port's forwarding conditions. Bytes for a
// destination that is down, or not connected, are counted as received and dropped. Bytes for a
// connected destination are never lost because it is momentarily full: the source is held back
// (a TCP or UDP source's bytes wait in its socket, a serial source's chunks in its receive ring)
// until the destination has room for everything they can make the source transmit, and an
// inter-character flush that finds its destination full is tried again 1 ms later. Bytes a socket
// was let to receive while there was room, but whose room another sender took before they came
// in, are held and tried again every 1 ms (the source receiving nothing more meanwhile). Counters
// and trace report the bytes the destination's layer took; bytes still queued on a TCP
// connection when it closes, which the system never got, come off txBytes again. Test buffers
// (WeaveSendBuffer) and generator data take only the room that held bytes leave; what a full
// port does not take is dropped.
//
// Damaged configuration values, which only a damaged data file holds, never read a table or write
// a buffer out of range:
//   - baudIndex, dataBitsIndex, parityIndex or stopBitsIndex outside its table: the serial open
//     fails as the device refusing the settings would ("Serial port open fail (rc 10) (ExRc 22)",
//     22 being EINVAL), with the usual re-activation when autoReconnect is set;
//   - comIndex beyond the serial layer's ports: the serial layer refuses the open (rc 1);
//   - bufferSize 0 or above RECEIVE_BUFFER_SIZE (with fwdBufferFull): a full buffer is
//     RECEIVE_BUFFER_SIZE bytes;
//   - a name or remoteHost without its terminating zero: its first 40 characters;
//   - reconnectSecs 0: 1 second; one too long to count in milliseconds: the longest the clock
//     counts;
//   - genLength above GEN_DATA_SIZE: the GEN_DATA_SIZE bytes of genData;
//   - frameEndChar above 255: no received byte ends a frame;
//   - rtsCts other than 0 or 1: no flow control.
//
// A serial device that hangs up or fails while its port is open (an adapter pulled out) is
// handled like a dropped connection: the next WeaveProcess reports "Link %u (%s) Port %u Serial
// port closed.", closes the port (activated 0, with a status report) and, with autoReconnect,
// re-activates it every reconnectSecs until the device is back. The serial layer tells the
// engine on its own thread; the engine then wakes the application (the timer wake below) and
// WeaveNextTimerDue reads 0 until that WeaveProcess has run.
//
// Port states (activated, connected):
//   serial:     (0,0) closed            (1,0) open
//   TCP client: (0,0) down              (1,0) connecting        (1,1) connected
//   TCP server: (0,0) down              (1,0) listening         (1,1) one client connected
//   UDP:        (0,0) down                                      (1,1) bound
//   any port:   (2,0) waiting (WEAVE_PORT_WAITING): down, but activated again by itself,
//               because a re-activation is due (autoReconnect) or its host name is being looked up.
// A host name (remoteHost that is not a dotted quad) is looked up on a thread of the engine's
// own, never under the mutex nor on the caller's thread, so that a name server that does not
// answer holds up no other port and no call; the activation goes on when the answer comes. A
// deactivation, or a change of the port's connection settings, while the lookup is under way
// wins over its late answer (a change starts the activation again with the new settings).
#pragma once

#include "engine/records.h"

#include <cstddef>
#include <cstdint>

// The activated flag of a waiting port in reports (see the port states above).
constexpr std::uint32_t WEAVE_PORT_WAITING = 2;

constexpr std::size_t ERR_TEXT_SIZE = 128;     // bytes of the application's errText buffers
constexpr std::size_t WEAVE_ERR_TEXT_MIN = 30; // bytes every errText buffer must hold
constexpr std::size_t EVENT_TEXT_SIZE = 300;   // bytes of the longest event text, with its NUL

// Reports one event line (at most EVENT_TEXT_SIZE - 1 characters), NUL-terminated.
using WeaveEventFn = void (*)(const char* text);
// Reports `length` (1 to RECEIVE_BUFFER_SIZE) bytes received (TRACE_DIR_RX, before they are
// forwarded) or transmitted (TRACE_DIR_TX, after the port's layer took them) on a traced port.
// The data is valid only during the call.
using WeaveTraceFn = void (*)(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
                              const std::uint8_t* data, std::uint32_t length);
// Reports the state of a link whose ports' activated or connected flag may have changed; the
// record is valid only during the call.
using WeaveStatusFn = void (*)(const LinkStatus* status);
// Returns the current time in milliseconds (wrapping 32-bit counter).
using WeaveTimeFn = std::uint32_t (*)();

struct WeaveInitStruct {
    WeaveEventFn eventCallback;   // event texts
    WeaveTraceFn traceCallback;   // traced data
    WeaveStatusFn statusCallback; // link status
    WeaveTimeFn timeCallback;     // the millisecond clock of every port timer
};

// Starts the engine: 1 at once if it is already initialised (nothing changes); 0 if `errText` is
// missing; 0 with "NULL init structure pointer" if `init` is missing. Otherwise clears all engine
// state, copies the callbacks (a missing one is replaced by one that does nothing, or by the
// system's millisecond clock for the time), sets the pause on, starts the serial layer and the
// socket layer with their threads, and returns 1.
std::uint32_t WeaveInit(const WeaveInitStruct* init, char* errText);

// Sets the pause (nonzero) or lifts it (0). While paused no data moves: received bytes are not
// counted, traced or forwarded and nothing is transmitted. Ignored unless initialised.
void WeaveSetPaused(std::uint32_t paused);

// Claims slot `linkId`: 1 if it is allocated afterwards (also when it already was); 0 without a
// text if the engine is not initialised, the id is out of range or the forwarding buffers could
// not be had. Configuration, flags, handles and counters of the slot are not touched, so a slot
// allocated again keeps its earlier counters.
std::uint32_t WeaveAllocLink(std::int32_t linkId);

// Deactivates both ports of the slot (P1 first) and releases the slot. Nothing happens if the
// engine is not initialised or the id is out of range.
void WeaveFreeLink(std::int32_t linkId);

// Replaces the slot's copy of the link's configuration (447 bytes); 0 without a text when `config`
// is missing. Allowed while ports run: forwarding, trace, loopback, generator and reconnect
// settings apply from the next received data or timer, the connection settings (port type,
// serial settings, protocol, role, port number, host) from the port's next activation. Until
// then a running port transmits, handles its connection events and is closed as what it was
// opened as; an active UDP port keeps sending to the address and port it resolved at activation.
// A port switched to instant forwarding passes on at once the bytes it had gathered (or, while its
// destination is full, ahead of any newer byte as soon as there is room). A generator switched
// off stops at once, whatever the port's state.
std::uint32_t WeaveSetLinkConfig(std::int32_t linkId, const LinkConfig* config, char* errText);

// Activates the port unless it is activated already. 1 in both cases, also when the activation
// fails: the outcome arrives as event texts and status callbacks.
std::uint32_t WeaveActivatePort(std::int32_t linkId, std::int32_t portId, char* errText);

// Deactivates the port if it is activated (closing its device or sockets), or stops a waiting
// port from being activated again ("deactivated" is reported in both cases). 1.
std::uint32_t WeaveDeactivatePort(std::int32_t linkId, std::int32_t portId, char* errText);

// Deactivates every activated or waiting port of the link, P1 first. 1.
std::uint32_t WeaveDeactivateLink(std::int32_t linkId, char* errText);

// The port's activated flag as reports show it (2 while waiting); 0 also when any of the shared
// checks fails.
std::uint32_t WeaveIsPortActive(std::int32_t linkId, std::int32_t portId);

// Transmits `length` (1 to RECEIVE_BUFFER_SIZE; other lengths and missing data send nothing)
// bytes on the port itself, counted and traced as any transmission. 0 with "port not activated"
// when the port is down; otherwise 1, whether or not the port's layer took the bytes (a TCP client
// still connecting takes nothing).
std::uint32_t WeaveSendBuffer(std::int32_t linkId, std::int32_t portId, const std::uint8_t* data,
                              std::uint32_t length, char* errText);

// Fills `stats` with the port's counters and flags; 0 without a text when `stats` is missing.
std::uint32_t WeaveGetPortStats(std::int32_t linkId, std::int32_t portId, PortStats* stats,
                                char* errText);

// Fills `status` as the status callback would; 0 without a text (and `status` untouched) when the
// engine is not initialised, the id is out of range or the slot is free.
std::uint32_t WeaveGetLinkStatus(std::int32_t linkId, LinkStatus* status);

// Sets the port's txBytes and rxBytes to 0.
std::uint32_t WeaveClearPortStats(std::int32_t linkId, std::int32_t portId, char* errText);

// One pass of the periodic processing: every due port timer of every allocated slot (the
// inter-character flush, the automatic re-activation, the traffic generator), and the closing of
// serial ports whose device went away. Does nothing unless initialised.
void WeaveProcess();

// Port timers only need WeaveProcess while one of them runs. An application that does not want
// to call it every millisecond asks when the next timer falls due, and is told when a timer is
// started, which may happen on any of the engine's threads (a received chunk starts the
// inter-character timer on a layer thread, a dropped connection the re-activation timer).
constexpr std::uint32_t WEAVE_NO_TIMER = 0xFFFFFFFFu;
// Milliseconds until the earliest running port timer is due (0: due now; at most
// WEAVE_NO_TIMER - 1, however long the period), or WEAVE_NO_TIMER when no timer runs or the
// engine is not initialised. Main thread.
std::uint32_t WeaveNextTimerDue();
// Called whenever a port timer is started, on the thread that started it, with the engine's mutex
// held: it may only post a request to the main thread (to call WeaveNextTimerDue there), never
// call into the engine. Null turns it off. Kept across WeaveInit and WeaveShutdown. Main thread.
using WeaveTimerWakeFn = void (*)();
void WeaveSetTimerWake(WeaveTimerWakeFn wake);

// Stops the engine: stops the serial layer, then the socket layer (closing every COM port and
// socket and ending their threads), releases the forwarding buffers and clears the initialised
// state. No deactivation texts and no status callbacks. Does nothing unless initialised.
void WeaveShutdown();
