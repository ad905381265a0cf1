// Internal records of the serial layer, shared by its source files and its tests. Callers of the
// layer use serial/serio.h only.
#pragma once

#include "serial/serio.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pw::serio {

// ---- Rings -------------------------------------------------------------------------------

// One chunk of a ring.
struct QueueEntry {
    std::uint8_t data[SERIO_CHUNK_SIZE]; // the chunk's bytes
    std::uint32_t length;                // bytes used in data
};

// A ring of fixed chunks. Empty when head equals tail; holds at most `limit` entries. Every use
// is under the owning port's lock.
struct PortQueue {
    std::uint32_t head = 0;                // index of the next entry to fill
    std::uint32_t tail = 0;                // index of the next entry to take
    std::uint32_t capacity = 0;            // entries allocated
    std::uint32_t limit = 0;               // capacity minus 1: entries the ring holds at most
    std::unique_ptr<QueueEntry[]> entries; // `capacity` entries; null while not prepared
};

// Frees any entries, then allocates `capacity` empty ones. False when the allocation failed.
[[nodiscard]] bool queue_prepare(PortQueue& q, std::uint32_t capacity);
// Frees the entries and empties the ring.
void queue_release(PortQueue& q);
// Entries held.
[[nodiscard]] std::uint32_t queue_count(const PortQueue& q);
// Puts one whole chunk (1 to SERIO_CHUNK_SIZE bytes) into a new entry. False when the ring is
// full, not prepared or the length is out of range.
[[nodiscard]] bool queue_put_chunk(PortQueue& q, const std::uint8_t* data, std::uint32_t length);
// Copies the front entry into `out` (SERIO_CHUNK_SIZE bytes) without removing it; returns its
// length, 0 when the ring is empty.
[[nodiscard]] std::uint32_t queue_peek(const PortQueue& q, std::uint8_t* out);
// Removes the front entry, if any.
void queue_drop_front(PortQueue& q);
// Bytes queue_append takes now: the room left in the newest entry plus whole free entries.
[[nodiscard]] std::uint32_t queue_free_bytes(const PortQueue& q);
// Appends bytes as a FIFO: fills the newest entry first, then new entries. All or nothing.
[[nodiscard]] bool queue_append(PortQueue& q, const std::uint8_t* data, std::uint32_t length);

// ---- Platform backend (serio_posix.cpp, serio_win.cpp) ----------------------------------------

// The device's complete line settings, opaque outside the backend.
struct SavedLine {
    alignas(8) unsigned char bytes[64]; // the platform's settings record
};

// Line settings asked for at open, in the layer's codes.
struct LineSettings {
    std::uint32_t baudRate;    // bits per second
    std::uint8_t dataBits;     // 5 to 8
    std::uint8_t parity;       // SERIO_PARITY_*
    std::uint8_t stopBits;     // SERIO_STOP_*
    std::uint32_t flowControl; // SERIO_FLOW_*
};

// What ended a wait.
enum class Wake {
    Stop,    // the stop signal is set
    Ready,   // the watched descriptor is ready
    Hangup,  // the watched descriptor reports hang-up or an error
    Timeout, // the time limit passed
    Failed,  // the wait itself failed
};

// Outcome of one read or write on a device.
enum class Io {
    Done,   // bytes moved
    Again,  // nothing can move now
    Ended,  // end of file: the device hung up
    Failed, // any other error
};

namespace os {
// A device or a signal as the backend knows it: a descriptor, or a handle of the system's.
using Handle = std::intptr_t;
constexpr Handle NO_HANDLE = -1;

// The device of port `index` (0 for COM1) when the name file names none: "/dev/ttyS<index>" on
// Linux; "COM1" to "COM9", then "\\.\COM10" on, on Windows.
void default_device_path(std::uint32_t index, char* out, std::size_t size);
// Opens a device exclusively for reading and writing. 0 or the system's error number.
[[nodiscard]] int open_device(const char* path, Handle* fd);
// Gives up exclusivity and closes the device.
void close_device(Handle fd);
// Reads the device's current settings. 0 or errno.
[[nodiscard]] int read_settings(Handle fd, SavedLine* out);
// Builds raw-mode settings for `s` on top of `found`. 0, or EINVAL when `s` is out of range.
[[nodiscard]] int compose_settings(const SavedLine& found, const LineSettings& s, SavedLine* out);
// Writes settings to the device at once. 0 or errno.
[[nodiscard]] int write_settings(Handle fd, const SavedLine& line);
// Raises or lowers SERIO_LINE_RTS or SERIO_LINE_DTR. 0 or errno; a device without modem lines
// (ENOTTY, EINVAL) counts as success.
[[nodiscard]] int set_modem_line(Handle fd, std::uint32_t line, bool on);
// Discards what the device buffers in both directions.
void purge_device(Handle fd);

// Replaces the file at `path` with `text` through a temporary file beside it and a rename, so
// that the old or the new file is there whole at every moment: 0, or errno.
[[nodiscard]] int replace_text_file(const char* path, const std::string& text);
// serio_find_devices and serio_device_present, as serio.h describes them.
[[nodiscard]] std::vector<SerioDevice> find_devices(const std::string& devDir);
[[nodiscard]] bool device_present(const std::string& path);

// A signal is a counter descriptor (eventfd): raised by any thread, waited on with a device.
[[nodiscard]] int make_signal(Handle* fd);
[[nodiscard]] int raise_signal(Handle fd);
void clear_signal(Handle fd);
void close_signal(Handle fd);

// Waits until `stopFd` is raised (Wake::Stop, checked first) or `fd` is ready for reading
// (forWrite false) or writing, at most `timeoutMs` (negative: no limit). `fd` may be NO_HANDLE to
// wait for the stop signal alone.
[[nodiscard]] Wake wait_for(Handle stopFd, Handle fd, bool forWrite, int timeoutMs);
// One non-blocking read or write; `moved` receives the byte count on Io::Done.
[[nodiscard]] Io read_device(Handle fd, std::uint8_t* buf, std::uint32_t cap, std::uint32_t* moved);
[[nodiscard]] Io write_device(Handle fd, const std::uint8_t* buf, std::uint32_t len,
                              std::uint32_t* moved);
} // namespace os

// ---- Layer and port records ------------------------------------------------------------------

// What one run of the layer (serio_init to serio_shutdown) shares with its threads. Held through
// shared pointers, so a thread that outlives its run still finds everything it uses.
struct LayerRun {
    os::Handle stopFd = os::NO_HANDLE; // signal: ends the delivery thread
    os::Handle dataFd = os::NO_HANDLE; // signal: a reader put a chunk into a receive ring
    std::atomic<bool> stopping{false}; // set with stopFd; the delivery thread checks it per port
    std::mutex doneMutex;              // guards deliveryDone
    std::condition_variable doneCv;    // notified when the delivery thread ends
    bool deliveryDone = false;         // the delivery thread of this run has ended
    LayerRun() = default;
    LayerRun(const LayerRun&) = delete;
    LayerRun& operator=(const LayerRun&) = delete;
    ~LayerRun();
};

// What one open of a port shares with its reader and writer. The last holder closes the device
// and the signals and frees the rings, so nothing is released under a thread that still runs.
struct PortRun {
    os::Handle device = os::NO_HANDLE;  // open device
    os::Handle stopFd = os::NO_HANDLE;  // signal: raised once to end both threads; never cleared
    os::Handle writeFd = os::NO_HANDLE; // signal: a transmit queued bytes for the writer
    os::Handle spaceFd = os::NO_HANDLE; // signal: the delivery thread made room in a full rx ring
    SavedLine saved{};                  // the device's settings as found at open
    PortQueue tx;                       // bytes waiting for the writer (port lock)
    PortQueue rx;                       // chunks waiting for delivery (port lock)
    std::shared_ptr<LayerRun> layer;    // the layer run whose delivery thread serves this port
    std::mutex doneMutex;               // guards readerDone and writerDone
    std::condition_variable doneCv;     // notified when a thread ends
    bool readerDone = false;            // the reader thread has ended
    bool writerDone = false;            // the writer thread has ended
    std::atomic<bool> faulted{false};   // the device hung up or failed; set once by either thread
    bool faultReported = false;         // the owner was told of the fault (port lock)
    PortRun() = default;
    PortRun(const PortRun&) = delete;
    PortRun& operator=(const PortRun&) = delete;
    ~PortRun();
};

} // namespace pw::serio

// One COM port of the table. Lives as long as the program.
struct SerialPort {
    const char* devicePath = nullptr;        // the port's entry in the device name table
    char openedPath[256] = {};               // the device the current open opened (control lock)
    std::atomic<std::uint32_t> isOpen{0};    // 1 while open; changed under `lock`
    std::mutex lock;                         // guards isOpen, run, the rings and callbackBusy
    std::condition_variable callbackDone;    // notified when a data callback of the port returns
    bool callbackBusy = false;               // the delivery thread runs this port's callback
    std::uint32_t generation = 0;            // counts opens; tells a delivery which open it served
    void* context = nullptr;                 // the owner's context for dataFn
    SerioDataFn dataFn = nullptr;            // data callback, may be null
    std::shared_ptr<pw::serio::PortRun> run; // resources of the current open; null when closed
    std::thread readerThread;                // reads the device into run->rx
    std::thread writerThread;                // writes run->tx to the device
};

namespace pw::serio {

// ---- Shared between the layer's files --------------------------------------------------------

constexpr std::size_t DEVICE_PATH_SIZE = 256; // bytes per device name, with the NUL
static_assert(sizeof(SerialPort::openedPath) == DEVICE_PATH_SIZE);
constexpr const char* DEVICE_MAP_FILE = "portweave.ports"; // name file in the current directory

// Fills `names` (SERIO_PORT_COUNT entries) from the name file, default os::default_device_path.
void load_device_names(char (*names)[DEVICE_PATH_SIZE], const char* mapFile);
// Reads the whole file at `path` into `text`: 0, or errno (a missing file is ENOENT).
[[nodiscard]] int read_text_file(const char* path, std::string* text);

// The text of a name file with COM index `index` mapped to `path`: the index's first mapping
// line replaced (its line end kept), its later mapping lines removed, or the line appended at
// the end (after a line break of its own when the text lacks one). Every other line stays.
[[nodiscard]] std::string assign_name_line(const std::string& text, std::uint32_t index,
                                           const std::string& path);

// The port table (SERIO_PORT_COUNT records).
[[nodiscard]] SerialPort* port_table();

// The fault callback set by serio_set_fault_callback, or null.
[[nodiscard]] SerioFaultFn fault_callback();

// Thread bodies.
void reader_main(SerialPort* port, std::shared_ptr<PortRun> run);
void writer_main(SerialPort* port, std::shared_ptr<PortRun> run);
void delivery_main(std::shared_ptr<LayerRun> layer);
// True on the delivery thread (so serio_close does not wait for the callback it runs inside).
[[nodiscard]] bool on_delivery_thread();

} // namespace pw::serio
