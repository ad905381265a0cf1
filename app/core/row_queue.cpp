// Pending list rows, handed from the logging threads to the main thread in batches.
#include "app/core/row_queue.h"

namespace pw::app {

std::string LogLineOf(const QueuedEventRow& row) {
    return row.timestamp + row.text;
}

namespace {
std::string HexPairs(const std::string& bytes) {
    std::string text(bytes.size() * HEX_BYTE_TEXT_SIZE, '\0');
    (void)PutHexPairs(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                      text.data());
    return text;
}
} // namespace

std::string DataCellText(const QueuedTraceRow& row) {
    return row.ascii ? row.data : HexPairs(row.data);
}

std::string LogLineOf(const QueuedTraceRow& row) {
    return row.timestamp + ", " + row.linkPort + ", " + row.direction + ", " + row.length + ", " +
           HexPairs(row.data);
}

RowQueue::RowQueue(std::function<void()> wake) : wake_(std::move(wake)) {}

void RowQueue::changed() {
    if (!wakePending_) {
        wakePending_ = true;
        if (wake_) {
            wake_();
        }
    }
}

template <class Row>
void RowQueue::RemoveFirst(ListState<Row>& list) {
    // Rows the consumer will still hold once the pending clear and drops are applied.
    const std::uint32_t kept = list.pending.clear ? 0 : list.shown;
    if (list.pending.dropFront < kept) {
        ++list.pending.dropFront;
    } else if (!list.pending.rows.empty()) {
        list.pending.rows.pop_front();
    }
}

template <class Row>
ListBatch<Row> RowQueue::Take(ListState<Row>& list) {
    ListBatch<Row> batch = std::move(list.pending);
    list.pending = ListBatch<Row>{};
    const std::uint32_t kept = batch.clear ? 0 : list.shown;
    list.shown = kept - batch.dropFront + static_cast<std::uint32_t>(batch.rows.size());
    return batch;
}

RowBatch RowQueue::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    wakePending_ = false;
    RowBatch batch;
    batch.events = Take(events_);
    batch.traces = Take(traces_);
    batch.traceToFileSwitchedOff = switchedOff_;
    switchedOff_ = false;
    return batch;
}

void RowQueue::appendEventRow(const EventRow& row) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.pending.rows.push_back(QueuedEventRow{row.timestamp, row.text});
    changed();
}

void RowQueue::removeFirstEventRow() {
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveFirst(events_);
    changed();
}

void RowQueue::recycle(std::vector<QueuedTraceRow>& rows) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = rows.begin(); it != rows.end() && spare_.size() < ROW_SPARE_MAX; ++it) {
            spare_.push_back(std::move(*it));
        }
    }
    rows.clear(); // the rest is freed here, outside the lock
}

void RowQueue::appendTraceRow(const TraceRow& row) {
    std::lock_guard<std::mutex> lock(mutex_);
    QueuedTraceRow& queued = traces_.pending.rows.emplace_back();
    if (!spare_.empty()) {
        queued = std::move(spare_.back());
        spare_.pop_back();
    }
    // Assigned, not constructed: a spare row's strings keep their capacity.
    queued.timestamp.assign(row.timestamp);
    queued.linkPort.assign(row.linkPort);
    queued.direction.assign(row.direction);
    queued.length.assign(row.length);
    queued.data.assign(reinterpret_cast<const char*>(row.data), row.dataSize);
    queued.ascii = row.ascii;
    changed();
}

void RowQueue::removeFirstTraceRow() {
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveFirst(traces_);
    changed();
}

void RowQueue::clearTraceRows() {
    std::lock_guard<std::mutex> lock(mutex_);
    traces_.pending = ListBatch<QueuedTraceRow>{};
    traces_.pending.clear = true;
    changed();
}

void RowQueue::traceToFileSwitchedOff() {
    std::lock_guard<std::mutex> lock(mutex_);
    switchedOff_ = true;
    changed();
}

} // namespace pw::app
