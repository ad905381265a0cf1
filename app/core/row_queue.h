// The application's LogSink: the event log and the trace log call it on whichever thread logged
// (main, socket event thread, serial delivery thread), under the log's lock. It only copies the
// row texts into a pending batch and, when the batch was empty, asks for one wake-up of the main
// thread; the main thread then takes the whole batch at once and applies it to its lists, so a
// burst of traced data costs one list update per turn of the event loop, not one per chunk.
//
// Memory stays bounded: the log removes the oldest row for each row past its cap, and a removal
// that finds no displayed row left to drop cancels a pending row instead, so a batch never holds
// more rows than a list may show.
//
// A link traced at full speed makes tens of thousands of trace rows a second on the thread that
// moves its data. There a row is only appended to one buffer (its texts and bytes one after
// another); the main thread makes the rows out of it when it takes the batch, copying them into
// the storage of rows the list dropped (recycle), so that neither thread allocates per row.
#pragma once

#include "store/logs.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace pw::app {

// One pending row: the column texts, copied.
struct QueuedEventRow {
    std::string timestamp; // timestamp text, with its trailing blank
    std::string text;      // the event text
};
struct QueuedTraceRow {
    std::string timestamp; // "Timestamp"
    std::string linkPort;  // "Link/Port"
    std::string direction; // "RX/TX"
    std::string length;    // "Len"
    std::string data;      // the bytes the "Data" cell shows (see DataCellBytes)
    bool ascii = false;    // the cell shows them as they are, not as hex pairs
};

// The text of a trace row's "Data" cell: its bytes as hex pairs ("41 42 0d "), or in ASCII the
// bytes themselves, to be read as Latin-1 characters. Made only for the cells on screen.
[[nodiscard]] std::string DataCellText(const QueuedTraceRow& row);

// The line a row has in its log file (see LogStore), without the line end: what copying the row
// gives. A trace row's bytes are hex pairs however the list shows them; they are the bytes the
// row holds, which for a long chunk are only its first.
[[nodiscard]] std::string LogLineOf(const QueuedEventRow& row);
[[nodiscard]] std::string LogLineOf(const QueuedTraceRow& row);

// What one list must do to catch up, in this order: drop every row when `clear`, then drop
// `dropFront` rows from the front, then append `rows`.
template <class Row>
struct ListBatch {
    bool clear = false;
    std::uint32_t dropFront = 0;
    std::deque<Row> rows;
    [[nodiscard]] bool empty() const { return !clear && dropFront == 0 && rows.empty(); }
};

struct RowBatch {
    ListBatch<QueuedEventRow> events;
    ListBatch<QueuedTraceRow> traces;
    bool traceToFileSwitchedOff = false; // the log turned "Log Trace to File" off
    [[nodiscard]] bool empty() const {
        return events.empty() && traces.empty() && !traceToFileSwitchedOff;
    }
};

class RowQueue final : public LogSink {
public:
    // `wake` is called (on the logging thread, under the log's lock) when rows arrive while
    // nothing is pending; it must only post a request to the main thread to call take().
    explicit RowQueue(std::function<void()> wake);

    // Main thread: everything pending since the last call, which the lists must apply now.
    [[nodiscard]] RowBatch take();

    // Main thread: trace rows the list dropped, for the rows of later batches to reuse; up to
    // ROW_SPARE_MAX are kept (the rest are freed). Leaves `rows` empty.
    void recycle(std::vector<QueuedTraceRow>& rows);
    static constexpr std::size_t ROW_SPARE_MAX = 4096;

    // LogSink. Any thread.
    void appendEventRow(const EventRow& row) override;
    void removeFirstEventRow() override;
    void appendTraceRow(const TraceRow& row) override;
    void removeFirstTraceRow() override;
    void clearTraceRows() override;
    void traceToFileSwitchedOff() override;

private:
    // Trace rows not yet taken, packed one after another: a head, then the four texts and the
    // bytes. Rows cancelled from the front are skipped, and their bytes given back now and then.
    class PackedTraceRows {
    public:
        void append(const TraceRow& row);
        void dropFirst(); // the oldest row, if any
        void clear();
        [[nodiscard]] std::uint32_t size() const { return rows_; }
        // Appends the rows to `rows`, each in the storage of a `spare` row while there are any.
        void unpackInto(std::deque<QueuedTraceRow>& rows, std::vector<QueuedTraceRow>& spare) const;

    private:
        std::string bytes_;
        std::uint32_t rows_ = 0; // rows in bytes_ from start_ on
        std::size_t start_ = 0;  // where the first row not cancelled begins
    };

    // One list as seen from the producer side: what the consumer shows (as of its last take)
    // and what it must still do.
    template <class Row>
    struct ListState {
        std::uint32_t shown = 0; // rows the consumer holds after applying the last batch
        ListBatch<Row> pending;
    };
    // Counts a removal of the oldest row: true when it falls on a row still pending, which the
    // caller then drops.
    template <class Row>
    [[nodiscard]] static bool RemoveFirst(ListState<Row>& list);
    // The pending clear and drops, and the new count of rows shown once `added` rows follow.
    template <class Row>
    static ListBatch<Row> Take(ListState<Row>& list, std::size_t added);
    void changed(); // under mutex_: wake the main thread if this is the first pending change

    const std::function<void()> wake_;
    std::mutex mutex_;
    bool wakePending_ = false; // a wake was sent and take() has not run since
    ListState<QueuedEventRow> events_;
    ListState<QueuedTraceRow> traces_; // its pending rows are in packed_
    PackedTraceRows packed_;
    // The main thread's own: the buffer being unpacked (which the logging threads get back, empty
    // but with its capacity, at the next take) and the rows whose storage new rows take.
    PackedTraceRows unpacking_;
    std::vector<QueuedTraceRow> spare_;
    bool switchedOff_ = false;
};

} // namespace pw::app
