// Serial layer: opens, configures and closes COM ports and moves their bytes on threads of its
// own. Each open port has a reader thread (device to receive ring) and a writer thread (transmit
// ring to device); one delivery thread shared by all ports hands received chunks to the owner's
// data callback. Numeric results keep a C-style interface: 0 is success for serio_open, every
// other call documents its own values.
//
// Device names: COMn (n = index + 1, index 0 to 99) maps to a device path read from the optional
// file "portweave.ports" in the current directory at serio_init, lines "COM3=/dev/ttyUSB0"
// (blank lines and "#" comments allowed); without a mapping COMn is "/dev/ttyS<n-1>".
// serio_assign_device changes one mapping while the program runs, in the file and in the table.
//
// Threads: serio_init, serio_shutdown, serio_open, serio_close, serio_set_line and
// serio_wait_for_threads are control calls for one thread at a time (the owner's user-interface
// thread); never call them from a data callback. serio_transmit and serio_tx_space may be called
// from any thread, including a data callback, for any port. The layer holds no lock of its own
// while it runs a data callback.
//
// A device that hangs up or fails (an adapter pulled out, the far side of a pseudo-terminal
// closed) stays open in the layer until serio_close: its reader hands on what it had read, writes
// one diagnostic and reads no more; its writer, after a failed write, takes nothing more, so the
// transmit ring fills and serio_transmit refuses bytes instead of losing them silently.
//
// Diagnostics (failures inside the threads, ports that would not stop) go to pw::diag only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One COM port of the layer. Opaque: callers only pass the handle that serio_open gave them.
struct SerialPort;

// Receives one chunk of bytes read from a port, on the delivery thread.
//   context: the value given to serio_open for this port.
//   data:    the chunk's bytes, valid only during the call.
//   length:  1 to SERIO_CHUNK_SIZE bytes.
// Chunks arrive one call at a time, in the order they were read. A chunk ends when the device
// has been silent for SERIO_BURST_GAP_MS after its last byte, or when it holds SERIO_CHUNK_SIZE
// bytes. Return nonzero when the chunk was taken. Return 0 when it cannot be taken now (its
// destination is full): the chunk stays at the front of the port's receive ring and is offered
// again about 1 ms later, while the other ports go on being served; nothing of it is lost.
// While chunks are held back the ring fills up; once SERIO_RX_LIMIT chunks wait, the reader stops
// reading the device until one is taken (the device's own buffer and flow control take over).
// The callback may call serio_transmit and serio_tx_space for any port, its own included.
using SerioDataFn = std::uint32_t (*)(void* context, const std::uint8_t* data,
                                      std::uint32_t length);

// Told, on the delivery thread, that a port's device hung up or failed (an adapter pulled out,
// the far side of a pseudo-terminal closed, a write refused): once per open, after every chunk
// read before the failure has been delivered. The port stays open in the layer but moves no more
// bytes until its owner closes it with serio_close from its control thread (not from inside this
// callback). The same rules as for the data callback apply: no lock of the layer is held, the
// callback may call serio_transmit and serio_tx_space, and serio_close waits for it to return.
using SerioFaultFn = void (*)(void* context);

// Sizes and limits.
constexpr std::uint32_t SERIO_PORT_COUNT = 100;  // port indexes 0 (COM1) to 99 (COM100)
constexpr std::uint32_t SERIO_CHUNK_SIZE = 2048; // bytes per ring entry and per chunk
constexpr std::uint32_t SERIO_TX_ENTRIES = 10;   // transmit ring capacity in entries
constexpr std::uint32_t SERIO_RX_ENTRIES = 50;   // receive ring capacity in entries
constexpr std::uint32_t SERIO_TX_LIMIT = SERIO_TX_ENTRIES - 1; // full chunks that can wait: 9
constexpr std::uint32_t SERIO_RX_LIMIT = SERIO_RX_ENTRIES - 1; // received chunks that can wait
constexpr std::uint32_t SERIO_BURST_GAP_MS = 50;    // silence that ends a received chunk, ms
constexpr std::uint32_t SERIO_CLOSE_WAIT_MS = 3000; // how long serio_close waits for threads, ms

// Results of serio_open. extCode receives errno where the comment says so.
constexpr std::uint32_t SERIO_OK = 0;              // port open, threads running
constexpr std::uint32_t SERIO_RC_BAD_ARG = 1;      // index >= 100, layer not initialised,
                                                   // handle or extCode missing
constexpr std::uint32_t SERIO_RC_OPEN_FAILED = 2;  // device absent, in use, no access (errno)
constexpr std::uint32_t SERIO_RC_ALREADY_OPEN = 4; // the port is already open in this layer
constexpr std::uint32_t SERIO_RC_TIMEOUTS = 8;     // saving the settings found failed (errno)
constexpr std::uint32_t SERIO_RC_SET_STATE = 10;   // line settings refused or invalid (errno)
constexpr std::uint32_t SERIO_RC_GET_STATE = 11;   // reading the line settings failed (errno)
constexpr std::uint32_t SERIO_RC_SET_DTR = 12;     // raising DTR failed (errno)
constexpr std::uint32_t SERIO_RC_QUEUE_SIZES = 13; // driver queue sizes (never on Linux)
constexpr std::uint32_t SERIO_RC_THREAD = 14;      // reader or writer did not start (errno)
constexpr std::uint32_t SERIO_RC_EVENT = 15;       // making the port's signals failed (errno)
constexpr std::uint32_t SERIO_RC_NO_MEMORY = 16;   // allocating the rings failed

// Result of serio_wait_for_threads when a thread did not end in time.
constexpr std::uint32_t SERIO_WAIT_TIMEOUT = 258;

// Parity codes.
constexpr std::uint8_t SERIO_PARITY_NONE = 0;
constexpr std::uint8_t SERIO_PARITY_ODD = 1;
constexpr std::uint8_t SERIO_PARITY_EVEN = 2;
constexpr std::uint8_t SERIO_PARITY_MARK = 3;
constexpr std::uint8_t SERIO_PARITY_SPACE = 4;
// Stop-bits codes (one and a half is two on Linux).
constexpr std::uint8_t SERIO_STOP_ONE = 0;
constexpr std::uint8_t SERIO_STOP_ONE_HALF = 1;
constexpr std::uint8_t SERIO_STOP_TWO = 2;
// Flow-control codes.
constexpr std::uint32_t SERIO_FLOW_NONE = 0;     // RTS/CTS handshake kept as the device had it
constexpr std::uint32_t SERIO_FLOW_RTS_CTS = 1;  // output waits while CTS is off
constexpr std::uint32_t SERIO_FLOW_XON_XOFF = 2; // XON/XOFF in both directions
// Lines of serio_set_line.
constexpr std::uint32_t SERIO_LINE_RTS = 0;
constexpr std::uint32_t SERIO_LINE_DTR = 1;

// Reads one line of the device-name file: "COMn=path", the "COM" prefix in any letter case,
// blanks around the line, the key and the path allowed, n from 1 to 100 and a path of 1 to 255
// bytes. Gives the COM index n-1 and the path; false for any other line, blank lines and "#"
// comments included. Holds no state: any thread. Whoever shows what a COM port opens reads the
// file with this, exactly as the layer does.
[[nodiscard]] bool serio_parse_name_line(const std::string& line, std::uint32_t* index,
                                         std::string* path);

// The device COM port `portIndex` opens when the name file maps nothing to it: "/dev/ttyS<n-1>".
// Any thread.
[[nodiscard]] std::string serio_default_device(std::uint32_t portIndex);

// Maps COM port `portIndex` to the device `path` from now on: the name file in the current
// directory gets the line "COM<n>=<path>" in place of the port's first mapping line (later lines
// of the same port go, as they would override it) or at its end, every other line (comments,
// blank lines, other ports, lines it does not understand) kept as it was. The new file is
// written beside the old one and renamed over it, so a reader sees the old or the new file
// whole, never a part. Then the name table follows: the next serio_open of the port opens
// `path`; a port open now keeps its device until it is closed and opened again. Returns 0, or
// the errno of the step that failed (the table then stays as it was); EINVAL when the index is
// 100 or more or the path is empty, longer than 255 bytes or holds a line break. Control thread;
// the layer need not be started (serio_init reads the file again).
std::uint32_t serio_assign_device(std::uint32_t portIndex, const std::string& path);

// The device COM port `portIndex` uses: while it is open, the one it opened (a later
// serio_assign_device does not change that); otherwise the one its next serio_open opens. Empty
// for an index of 100 or more and before the first serio_init. Control thread.
[[nodiscard]] std::string serio_port_device(std::uint32_t portIndex);

// One serial device found on the machine.
struct SerioDevice {
    std::string path; // what a name line should hold: its stable link under serial/by-id when
                      // it has one (it survives replugging and renumbering), else the node
    std::string node; // the device node behind it, as the system names it ("/dev/ttyUSB0")
};

// The serial devices under `devDir` ("/dev" on a real machine; tests give a directory of links
// to pseudo-terminals): first each link of `devDir`/serial/by-id whose device exists, in name
// order; then the nodes ttyUSB*, ttyACM* and ttyS* of `devDir` (in that order, by number) that
// no such link leads to and that are present as serio_device_present says. Any thread; opens
// nothing but the ttyS* candidates, each for a moment.
[[nodiscard]] std::vector<SerioDevice> serio_find_devices(const std::string& devDir = "/dev");

// Whether a device is there to open at `path` (links followed): a character device. USB and
// modem-class nodes (ttyUSB*, ttyACM*) exist only while their adapter is plugged in and are
// never opened here, since opening raises DTR and that resets some boards; a ttyS* node exists
// whether or not a UART is behind it, so it is opened for a moment and counts only when it
// answers as a terminal (or is held by another program). Any thread.
[[nodiscard]] bool serio_device_present(const std::string& path);

// Starts the layer: reads the device names (see above), builds the port table once and starts
// the delivery thread. Returns 1 when the layer is running (also when it already was), 0 when
// its signals or its delivery thread could not be made (the layer then stays not initialised).
std::uint32_t serio_init();

// Sets the fault callback of every port (null: none), for faults reported from then on. Control
// thread; kept across serio_shutdown and serio_init.
void serio_set_fault_callback(SerioFaultFn fn);

// Stops the layer: closes every open port (as serio_close), ends the delivery thread (waiting up
// to 1000 ms) and marks the layer not initialised. Does nothing when it is not initialised.
// A later serio_init starts it again.
void serio_shutdown();

// Opens port `portIndex` (0 is COM1), applies the line settings and starts its threads.
//   baudRate:    bits per second, any rate above 0 (non-standard rates such as 14400 too).
//   dataBits:    5 to 8.
//   parity:      SERIO_PARITY_*; stopBits: SERIO_STOP_*; flowControl: SERIO_FLOW_* (any other
//                value acts as SERIO_FLOW_NONE).
//   context:     handed back as the first argument of dataFn.
//   handle:      receives the port's handle on success (written before data can be delivered).
//   dataFn:      the data callback, or null to discard what is read.
//   extCode:     receives errno for the results marked so; set it to 0 before the call.
// The device is opened exclusively (a second open from this or another program fails with
// SERIO_RC_OPEN_FAILED) in raw mode. Settings outside the domains above give SERIO_RC_SET_STATE
// with EINVAL. The settings found on the device are put back by serio_close. DTR is raised; a
// device without modem lines counts as success. Every failure leaves the port closed and the
// device released, so the port can be opened again at once.
std::uint32_t serio_open(std::uint32_t portIndex, std::uint32_t baudRate, std::uint8_t dataBits,
                         std::uint8_t parity, std::uint8_t stopBits, std::uint32_t flowControl,
                         void* context, SerialPort** handle, SerioDataFn dataFn,
                         std::uint32_t* extCode);

// Closes a port: stops its threads (waiting up to SERIO_CLOSE_WAIT_MS), lowers DTR, puts back the
// settings found at open, discards what the device still buffers, releases the device and the
// rings. Returns 0 when it closed the port, 1 when the handle is missing or the port is not open.
// When it returns, the port's data callback is not running and is not called again for this
// open (unless serio_close runs inside that very callback), so the caller must not hold a lock
// that the callback takes. A callback that does not return within SERIO_CLOSE_WAIT_MS is given
// up on with a diagnostic; the chunk it holds is never removed from a later open's ring. A thread
// that did not end in time keeps what it uses (device, rings) until it ends; the port can be
// opened again meanwhile only if the device is free.
std::uint32_t serio_close(SerialPort* handle);

// Raises (state != 0) or lowers (state == 0) a modem line: SERIO_LINE_RTS or SERIO_LINE_DTR.
// Returns 1 on success (also on devices without modem lines), 0 on failure, when the handle is
// missing, the port is not open or the line is unknown.
std::uint32_t serio_set_line(SerialPort* handle, std::uint32_t line, std::uint32_t state);

// Queues `length` bytes for the port's writer; the bytes are copied, so `data` is free on return.
// Returns 1 when all bytes were taken, 0 when none were: handle missing, port not open, data
// missing, length 0 or above SERIO_CHUNK_SIZE, or not enough room (see serio_tx_space). The
// transmit ring is a byte FIFO in entries of SERIO_CHUNK_SIZE bytes: bytes are appended to the
// newest entry the writer has not taken yet and spill into new entries; at most SERIO_TX_LIMIT
// entries wait, so nine full chunks waiting make every transmit fail until the writer takes one.
// Bytes leave in the order they were queued. Any thread.
std::uint32_t serio_transmit(SerialPort* handle, const std::uint8_t* data, std::uint32_t length);

// Number of bytes serio_transmit takes right now (at most SERIO_TX_LIMIT * SERIO_CHUNK_SIZE);
// 0 when the handle is missing or the port is not open. Any sequence of transmits whose total is
// at most this number succeeds as long as no other thread transmits on the port meanwhile (the
// writer only makes room). Any thread.
std::uint32_t serio_tx_space(SerialPort* handle);

// Tells the port's reader and writer to stop and waits until both have ended, at most
// `timeoutMs`. Returns 0 when both ended, SERIO_WAIT_TIMEOUT otherwise (with a diagnostic per
// thread still running), 1 when the handle is missing or the port is not open. The port stays
// open but moves no bytes until serio_close (transmits only fill the ring). Used by serio_close.
std::uint32_t serio_wait_for_threads(SerialPort* handle, std::uint32_t timeoutMs);
