// The application's LogSink: the event log and the trace log call it on whichever thread logged
// (main, socket event thread, serial delivery thread), under the log's lock. It only copies the
// row texts into a pending batch and, when the batch was empty, asks for one wake-up of the main
// thread; the main thread then takes the whole batch at once and applies it to its lists, so a
// burst of traced data costs one list update per turn of the event loop, not one per chunk.
//
// Memory stays bounded: the log removes the oldest row for each row past its cap, and a removal
// that finds no displayed row left to drop cancels a pending row instead, so a batch never holds
// more rows than a list may show. The trace rows a list drops come back (recycle) and new rows
// are copied into their storage: a link traced at full speed drops as many rows as it adds, and
// the logging thread then allocates nothing for them.
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

    // Main thread: trace rows the list dropped, for new rows to reuse; up to ROW_SPARE_MAX are
    // kept (the rest are freed). Leaves `rows` empty.
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
    // One list as seen from the producer side: what the consumer shows (as of its last take)
    // and what it must still do.
    template <class Row>
    struct ListState {
        std::uint32_t shown = 0; // rows the consumer holds after applying the last batch
        ListBatch<Row> pending;
    };
    template <class Row>
    static void RemoveFirst(ListState<Row>& list);
    template <class Row>
    static ListBatch<Row> Take(ListState<Row>& list);
    void changed(); // under mutex_: wake the main thread if this is the first pending change

    const std::function<void()> wake_;
    std::mutex mutex_;
    bool wakePending_ = false; // a wake was sent and take() has not run since
    ListState<QueuedEventRow> events_;
    ListState<QueuedTraceRow> traces_;
    std::vector<QueuedTraceRow> spare_; // dropped rows whose storage new rows take
    bool switchedOff_ = false;
};

} // namespace pw::app
