// The event log and the trace log.
//
// The event log collects one-line messages (the engine's reports and the application's own), the
// trace log one entry per chunk of data that a traced port sends or receives. Each log is a list
// in the main window and, while its switch is on, a text file: "event.log" and "trace.log".
//
// The lists belong to the application (they are widgets). The store decides what goes into them:
// it formats every row's column texts and counts the rows, and it hands each list operation
// (append a row, remove the oldest row at the cap, clear) to a LogSink that the application
// implements. The application's sink only copies the texts and queues them to its main thread.
//
// Threads: LogEvent runs on the main thread and on the socket event thread; TraceData on the main
// thread, the socket event thread and the serial delivery thread, where the engine calls with its
// own lock held, so a call never waits for the disk. Every LogStore member may be called from any
// thread. One lock per LogStore guards the row counters, the switches, the port table and a
// bounded queue of file lines, and the sink is called while it is held, so the rows reach the
// sink in the order the lines enter the queue. One writer thread per LogStore (started with the
// first line for a file) alone opens, writes and closes the two files, in queue order, one line
// at a time, and holds no lock while it does; so no two lines ever interleave. It also rotates
// the files: a line that would take a file past its size limit first moves the file to
// "<name>.1" (replacing the older one there) and starts a new one, so a line is never split
// between the two and the disk holds at most two generations of each log. It runs behind the
// process's other threads when processor time is short: tracing to file at full speed then
// costs the data path little, and trace lines the writer cannot take are dropped and counted.
#pragma once

#include "engine/records.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pw {

constexpr char EVENT_LOG_FILE_NAME[] = "event.log";
constexpr char TRACE_LOG_FILE_NAME[] = "trace.log";

constexpr std::uint32_t LOG_ROW_CAP = 30000; // rows kept in each list; the oldest row goes first
constexpr std::size_t EVENT_TEXT_MAX = 197;  // bytes of an event text; longer texts are cut
// Bytes of the buffer in which the writer builds one trace.log line: the line's head and three
// characters for each of up to TRACE_CHUNK_MAX data bytes. Obtained once, by the first trace
// call that finds "Log Trace to File" on.
constexpr std::size_t TRACE_LINE_BUFFER_SIZE = 6344;
// Bytes of the queue of lines on their way to the files (an event line takes its text, a trace
// line its head and the chunk's bytes, each with a few bytes of bookkeeping). Trace lines never
// fill the last LOG_QUEUE_EVENT_ROOM bytes, so that events still find room behind a slow disk.
constexpr std::size_t LOG_QUEUE_SIZE = std::size_t{1} << 20;
constexpr std::size_t LOG_QUEUE_EVENT_ROOM = std::size_t{64} << 10;
// Size limit of event.log and trace.log in bytes, and the suffix of the one older generation
// kept of each. A file already larger when it is opened is rotated at its first line.
constexpr std::uint64_t LOG_ROTATE_BYTES = std::uint64_t{16} << 20;
constexpr char LOG_OLD_SUFFIX[] = ".1";
// Bytes of trace.log lines a second at most, with up to a second's worth at once; the lines
// past it are dropped and counted as those that find the queue full. A link traced at full
// speed makes far more (three characters per byte), which the two generations kept would hold
// for moments only; writing them all would take a core's share from every other link.
constexpr std::uint64_t TRACE_FILE_BYTES_PER_SECOND = LOG_ROTATE_BYTES;
// The event that tells how many trace lines found the queue full and were left out of
// trace.log (their rows were made as usual).
constexpr char TRACE_LINES_DROPPED_FORMAT[] =
    "%llu trace lines dropped: trace.log could not keep up";
constexpr std::size_t TRACE_CHUNK_MAX = RECEIVE_BUFFER_SIZE; // largest chunk the engine traces
constexpr std::size_t TRACE_HEX_CELL_BYTES = 300;   // data bytes the Data cell shows in hex
constexpr std::size_t TRACE_ASCII_CELL_BYTES = 600; // data bytes the Data cell shows in ASCII

// Text buffer sizes, each including the terminating zero. They hold any value of their
// fields, so formatting never truncates.
constexpr std::size_t TIMESTAMP_TEXT_SIZE = 80;
constexpr std::size_t PORT_TEXT_SIZE = 48;
constexpr std::size_t LENGTH_TEXT_SIZE = 12;
constexpr std::size_t HEX_BYTE_TEXT_SIZE = 3; // "%02x ": the text of one byte in hex

constexpr char TRACE_DIR_TEXT_TX[] = "Tx"; // direction TRACE_DIR_TX (0)
constexpr char TRACE_DIR_TEXT_RX[] = "Rx"; // any nonzero direction

// Local wall-clock time, as the timestamps show it.
struct LocalTime {
    std::uint32_t year;        // in full, e.g. 2026
    std::uint32_t month;       // 1 to 12
    std::uint32_t day;         // 1 to 31
    std::uint32_t hour;        // 0 to 23
    std::uint32_t minute;      // 0 to 59
    std::uint32_t second;      // 0 to 60 (60 only in a leap second)
    std::uint32_t millisecond; // 0 to 999
};

// Source of the local time. Tests hand a fixed clock; called under the log's lock.
using LocalClock = std::function<LocalTime()>;

// The system's local time now.
[[nodiscard]] LocalTime ReadLocalClock();

// Writes `value` in decimal, with leading zeros up to `minDigits` digits, from `out` on; returns
// the end of what it wrote. No terminating zero.
char* PutDecimal(std::uint32_t value, unsigned minDigits, char* out);

// Writes the timestamp text "dd/mm/yyyy hh:mm:ss.mmm " (with one trailing blank) of `time`:
// two-digit day and month, the year in full, two-digit hour, minute and second, three-digit
// milliseconds. For 5 December 2026, 14:03:09.045 it is "05/12/2026 14:03:09.045 ".
void FormatTimestamp(const LocalTime& time, char (&out)[TIMESTAMP_TEXT_SIZE]);

// What the port text needs of a port's configuration (copied from its PortConfig).
struct PortKind {
    std::uint32_t portType;   // PORT_TYPE_SERIAL or PORT_TYPE_IP
    std::uint32_t comIndex;   // serial: COM number minus one
    std::uint32_t ipProtocol; // IP: IP_PROTO_TCP or IP_PROTO_UDP
    std::uint32_t tcpRole;    // IP, TCP: TCP_ROLE_CLIENT or TCP_ROLE_SERVER
};

// Writes the port text of the trace list's "Link/Port" column: "L<link+1> P<port+1>", then for a
// serial port " (COM<comIndex+1>)", for a TCP port " TCP Server" or " TCP Client", for a UDP port
// " UDP". `kind` null (no configuration known) leaves the text at "L%u P%u".
// Examples: "L1 P1 (COM3)", "L2 P2 TCP Server", "L3 P2 UDP".
void FormatPortText(std::uint32_t linkId, std::uint32_t portId, const PortKind* kind,
                    char (&out)[PORT_TEXT_SIZE]);

// The bytes of a chunk of `length` bytes at `data` that the trace list's Data cell shows: in hex
// (`ascii` false) the first TRACE_HEX_CELL_BYTES, in ASCII the first TRACE_ASCII_CELL_BYTES up to
// (not including) the first zero byte, which ends the text. Null `data` shows nothing.
[[nodiscard]] std::size_t DataCellBytes(const std::uint8_t* data, std::uint32_t length, bool ascii);

// Writes each of `length` bytes at `data` as two lower-case hex digits and a blank ("41 42 0d "),
// HEX_BYTE_TEXT_SIZE characters each, from `out` on; returns the end of what it wrote. No
// terminating zero. Both the trace list's hex cells and trace.log's lines are made of these.
char* PutHexPairs(const std::uint8_t* data, std::size_t length, char* out);

// One event list row: the column texts, zero-terminated, valid only during the sink call.
struct EventRow {
    const char* timestamp; // timestamp text, with its trailing blank
    const char* text;      // the event text, at most EVENT_TEXT_MAX bytes
};

// One trace list row: four column texts, zero-terminated, and the bytes of the Data column
// (see DataCellBytes), which the application turns into the cell's text (hex pairs, or in ASCII
// the bytes themselves as Latin-1 characters) when it shows the cell. All valid only during the
// sink call.
struct TraceRow {
    const char* timestamp;    // "Timestamp": timestamp text, with its trailing blank
    const char* linkPort;     // "Link/Port": port text, e.g. "L1 P1 (COM3)"
    const char* direction;    // "RX/TX": "Rx" or "Tx"
    const char* length;       // "Len": the chunk's length in decimal
    const std::uint8_t* data; // "Data": the bytes the cell shows
    std::size_t dataSize;     // how many
    bool ascii;               // the cell shows the bytes themselves (ASCII), not hex pairs
};

// The application's side of the two lists. Every call arrives under the log's lock, on whichever
// thread logged, in the order the rows were made. An implementation must copy what it needs and
// queue it to the main thread; it must not block, touch widgets from another thread, or call back
// into the LogStore (that would deadlock). The new row is always the one to scroll into view.
class LogSink {
public:
    virtual void appendEventRow(const EventRow& row) = 0; // add after the last event row
    virtual void removeFirstEventRow() = 0;               // drop the oldest event row
    virtual void appendTraceRow(const TraceRow& row) = 0; // add after the last trace row
    virtual void removeFirstTraceRow() = 0;               // drop the oldest trace row
    virtual void clearTraceRows() = 0;                    // drop every trace row
    // The log switched "Log Trace to File" off because it could not obtain its line buffer, so
    // that the application may uncheck the box. Nothing else ever changes a switch.
    virtual void traceToFileSwitchedOff() {}

protected:
    ~LogSink() = default;
};

// Obtains the trace line buffer (size bytes); null when there is no memory. Released with
// delete[]. Tests hand one that fails.
using LineBufferAllocator = char* (*)(std::size_t size);

struct LogOptions {
    std::string directory;                        // where the log files live; empty: current dir
    LocalClock clock;                             // empty: ReadLocalClock
    LineBufferAllocator allocateLineBuffer{};     // null: new (std::nothrow) char[]
    std::uint64_t rotateBytes = LOG_ROTATE_BYTES; // size limit of each file, bytes
    std::uint64_t traceFileRate = TRACE_FILE_BYTES_PER_SECOND; // trace.log bytes a second
};

// One event log and one trace log with their files, switches and row counters. The process has
// one (ProcessLog); tests make their own.
class LogStore {
public:
    explicit LogStore(LogOptions options = {});
    ~LogStore(); // closes the files and releases the line buffer, as shutdown()
    LogStore(const LogStore&) = delete;
    LogStore& operator=(const LogStore&) = delete;

    // Adds an event: a row in the event list and, while "Log Events to File" is on, the line
    // "<timestamp text><text>\r\n" in event.log. The line is queued; the writer opens event.log
    // (created or appended to) for the first line that finds it closed, and a failed open is
    // tried again with the next line. A line that would take the file past the size limit goes
    // to a new event.log, the full one becoming event.log.1 (see above); a file that cannot be
    // renamed is appended to as before, and its rotation tried again one limit later. A line the
    // file cannot take whole (a full disk) is taken back out of it, so the file only ever holds
    // whole lines; the row still reaches the list, and once there is room again the next line is
    // written as usual. An event line is never dropped: when trace lines were dropped since the
    // last event, an event with TRACE_LINES_DROPPED_FORMAT and their number goes first, and when
    // the queue has not even room for events left (the disk has taken nothing for hundreds of
    // events), the call waits for room. A text longer than EVENT_TEXT_MAX bytes is cut there (a
    // UTF-8 character is never split); a null text counts as empty. Any thread.
    void logEvent(const char* text);

    // As logEvent, and when the event reached neither a list (no sink attached) nor event.log,
    // also writes it to standard error as a diagnostic, so that it is not lost. Returns true when
    // a list or event.log took it. Without a sink it waits until the writer has written the line
    // or failed to. For failures that must be seen even at start-up and exit.
    bool logEventOrDiag(const char* text);

    // Adds a trace entry for `length` bytes at `data` that port `portId` (0 for P1) of link
    // `linkId` (0 to 31) sent (`direction` TRACE_DIR_TX) or received (any other direction): a
    // row in the trace list and, while "Log Trace to File" is on, the line
    //   "<timestamp text>, <port text>, Rx|Tx, <length>, <every byte as "%02x ">\r\n"
    // in trace.log, opened and written as event.log is. The engine hands 1 to TRACE_CHUNK_MAX
    // bytes; a longer chunk is still written whole (in several writes, one after the other),
    // unless it is too long for the queue. The call never waits for the writer: a line that
    // finds the queue full is dropped from trace.log (the row is made all the same) and counted
    // for the next event (see logEvent), and so is one past trace.log's rate
    // (TRACE_FILE_BYTES_PER_SECOND unless the options say otherwise). Null `data` counts as no
    // bytes. The data is read only during the call. Any thread.
    void traceData(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
                   const std::uint8_t* data, std::uint32_t length);

    // Attaches the sink of freshly created, empty lists (or detaches with null) and sets both row
    // counters to 0. Once it returns, the previous sink is never called again. Without a sink
    // the list steps do nothing and no rows are counted. Main thread.
    void setSink(LogSink* sink);

    // "Clear Trace": every trace row goes (through the sink) and the trace counter restarts at 0.
    // The files are not touched. Main thread.
    void clearTrace();

    // The three switches of the main window that the logs follow. They take effect with the next
    // event or chunk: turning a file switch on opens its file at the next line, turning it off
    // stops the writing but keeps the file open. The data file load sets them and its save reads
    // them back. Any thread.
    void setEventsToFile(bool on);
    void setTraceToFile(bool on);
    void setTraceAscii(bool on); // true: Data column in ASCII; false: in hex
    [[nodiscard]] bool eventsToFile() const;
    [[nodiscard]] bool traceToFile() const;
    [[nodiscard]] bool traceAscii() const;

    // Records the port kinds of link `linkId` for the port texts of its trace rows. The trace
    // paths run on worker threads and so never read the application's LinkTable; the application
    // calls this whenever it changes a link's ports (the data file load does it for every entry).
    // An id of MAX_LINKS or more is ignored. Any thread.
    void setLinkConfig(std::uint32_t linkId, const LinkConfig& config);

    // Waits until every line queued before the call has been written (or has failed). Any
    // thread, but not from inside a sink call.
    void flush();

    // Exit: writes every line still queued, then closes event.log and trace.log and releases the
    // line buffer. Trace lines dropped since the last event are told on standard error, so that
    // event.log still ends with the last event. Later calls still reach the sink, if one is
    // attached, but never write or open a file again. Main thread.
    void shutdown();

private:
    [[nodiscard]] bool logEventLocked(const char* text, std::unique_lock<std::mutex>& lock,
                                      bool tell = false);
    void appendRow(std::uint32_t& rowCount, bool trace);
    // Takes `lineSize` bytes from trace.log's rate budget; false when there are not as many.
    [[nodiscard]] bool takeTraceBudget(std::uint64_t lineSize);
    [[nodiscard]] bool enqueue(std::uint8_t kind, const char* text, std::size_t textSize,
                               const std::uint8_t* data, std::size_t dataSize, bool tell = false);
    void writerLoop();
    // Writes the records from position `from` on, up to `to` or a slice's worth, and returns
    // the position reached. `told` is set when the line logEventOrDiag awaits was among them.
    [[nodiscard]] std::uint64_t writeRecords(std::uint64_t from, std::uint64_t to, char* lineBuffer,
                                             bool& told, bool& toldOk);
    // One log file as the writer holds it.
    struct LogFile {
        int fd = -1;            // file descriptor; -1 until opened
        std::uint64_t size = 0; // bytes in the file, as far as the writer knows
        bool rotates = false;   // a regular file (a FIFO or a device is never rotated)
    };
    // Makes room for a line of `lineSize` bytes in `file` (named `name`): opens it when it is
    // closed, rotates it when the line would take it past the limit. False when it is not open.
    bool prepareFile(LogFile& file, const char* name, std::uint64_t lineSize);

    const std::string directory_;
    const LocalClock clock_;
    const LineBufferAllocator allocateLineBuffer_;
    const std::uint64_t rotateBytes_;
    const std::uint64_t traceFileRate_;

    std::mutex tellMutex_; // one logEventOrDiag at a time waits for its line's outcome
    mutable std::mutex mutex_;
    LogSink* sink_ = nullptr;
    bool closed_ = false;             // shut down: nothing is queued any more
    char* traceLineBuffer_ = nullptr; // TRACE_LINE_BUFFER_SIZE bytes once obtained
    std::uint32_t eventRowCount_ = 0; // rows in the event list, 0 to LOG_ROW_CAP
    std::uint32_t traceRowCount_ = 0; // rows in the trace list, 0 to LOG_ROW_CAP
    bool logEventsToFile_ = false;
    bool logTraceToFile_ = false;
    bool traceAscii_ = false;
    PortKind portKinds_[MAX_LINKS][PORTS_PER_LINK]{};

    // The queue: LOG_QUEUE_SIZE bytes of records, used as a ring. Positions count bytes from the
    // first record ever queued; [tail_, head_) holds the records not yet written.
    std::unique_ptr<char[]> queue_;       // obtained with the writer, at the first line
    std::uint64_t head_ = 0;              // where the next record goes
    std::uint64_t tail_ = 0;              // the oldest record the writer has not finished
    unsigned long long droppedLines_ = 0; // trace lines dropped since the last event
    std::uint64_t traceBudget_;           // trace.log bytes that may be queued now
    std::chrono::steady_clock::time_point traceBudgetTime_{}; // when it was last topped up
    bool stopping_ = false;        // the writer ends once the queue is empty
    bool prompt_ = false;          // an event or a flush waits: the writer takes the queue at once
    bool tellDone_ = false;        // the writer finished the line logEventOrDiag awaits
    bool tellOk_ = false;          // and the file took it
    std::condition_variable work_; // the writer waits for records or the stop
    std::condition_variable progress_; // callers wait for room, a flush or a told line
    std::thread writer_;

    // The writer's own: the files, touched by no other thread until it has ended.
    LogFile eventFile_; // event.log
    LogFile traceFile_; // trace.log
};

// The process's log: the one the engine's callbacks and the application use. Created (with the
// current directory and the system clock) at first use.
[[nodiscard]] LogStore& ProcessLog();

} // namespace pw

// The engine's event callback: ProcessLog().logEvent(text). Any thread.
void LogEvent(const char* text);

// The engine's trace callback: ProcessLog().traceData(...). Any thread.
void TraceData(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
               const std::uint8_t* data, std::uint32_t length);
