// Pending list rows, handed from the logging threads to the main thread in batches.
#include "app/core/row_queue.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pw::app {

std::string LogLineOf(const QueuedEventRow& row) {
    return row.timestamp + row.text;
}

namespace {

// The head of a packed trace row: the sizes of what follows it.
struct PackedHead {
    std::uint16_t dataSize;
    std::uint8_t timestamp, linkPort, direction, length; // text sizes (the log's are short)
    bool ascii;
};

std::uint8_t TextSize(const char* text) {
    return static_cast<std::uint8_t>(std::min<std::size_t>(std::strlen(text), UINT8_MAX));
}

std::size_t PackedSize(const PackedHead& head) {
    return sizeof(PackedHead) + head.timestamp + head.linkPort + head.direction + head.length +
           head.dataSize;
}

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

void RowQueue::PackedTraceRows::append(const TraceRow& row) {
    const PackedHead head{
        static_cast<std::uint16_t>(std::min<std::size_t>(row.dataSize, UINT16_MAX)),
        TextSize(row.timestamp),
        TextSize(row.linkPort),
        TextSize(row.direction),
        TextSize(row.length),
        row.ascii};
    bytes_.append(reinterpret_cast<const char*>(&head), sizeof(head));
    bytes_.append(row.timestamp, head.timestamp);
    bytes_.append(row.linkPort, head.linkPort);
    bytes_.append(row.direction, head.direction);
    bytes_.append(row.length, head.length);
    bytes_.append(reinterpret_cast<const char*>(row.data), head.dataSize);
    ++rows_;
}

void RowQueue::PackedTraceRows::dropFirst() {
    if (size() == 0) {
        return;
    }
    PackedHead head;
    std::memcpy(&head, bytes_.data() + start_, sizeof(head));
    start_ += PackedSize(head);
    --rows_;
    // Without a take for long (a main thread held up), the cancelled rows' bytes go once they
    // are half the buffer, so that it holds no more than twice the rows a list may show.
    if (start_ > bytes_.size() / 2) {
        bytes_.erase(0, start_);
        start_ = 0;
    }
}

void RowQueue::PackedTraceRows::clear() {
    bytes_.clear(); // keeps the capacity
    rows_ = 0;
    start_ = 0;
}

void RowQueue::PackedTraceRows::unpackInto(std::deque<QueuedTraceRow>& rows,
                                           std::vector<QueuedTraceRow>& spare) const {
    for (std::size_t at = start_; at < bytes_.size();) {
        PackedHead head;
        std::memcpy(&head, bytes_.data() + at, sizeof(head));
        const char* p = bytes_.data() + at + sizeof(head);
        at += PackedSize(head);
        QueuedTraceRow& row = rows.emplace_back();
        if (!spare.empty()) {
            row = std::move(spare.back());
            spare.pop_back();
        }
        // Assigned, not constructed: a spare row's strings keep their capacity.
        const auto next = [&p](std::size_t size) {
            const char* text = p;
            p += size;
            return std::string_view(text, size);
        };
        row.timestamp.assign(next(head.timestamp));
        row.linkPort.assign(next(head.linkPort));
        row.direction.assign(next(head.direction));
        row.length.assign(next(head.length));
        row.data.assign(next(head.dataSize));
        row.ascii = head.ascii;
    }
}

template <class Row>
bool RowQueue::RemoveFirst(ListState<Row>& list) {
    // Rows the consumer will still hold once the pending clear and drops are applied.
    const std::uint32_t kept = list.pending.clear ? 0 : list.shown;
    if (list.pending.dropFront < kept) {
        ++list.pending.dropFront;
        return false;
    }
    return true;
}

template <class Row>
ListBatch<Row> RowQueue::Take(ListState<Row>& list, std::size_t added) {
    ListBatch<Row> batch = std::move(list.pending);
    list.pending = ListBatch<Row>{};
    const std::uint32_t kept = batch.clear ? 0 : list.shown;
    list.shown = kept - batch.dropFront + static_cast<std::uint32_t>(added);
    return batch;
}

RowBatch RowQueue::take() {
    RowBatch batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wakePending_ = false;
        batch.events = Take(events_, events_.pending.rows.size());
        batch.traces = Take(traces_, packed_.size());
        std::swap(packed_, unpacking_); // the logging threads go on in the emptied buffer
        batch.traceToFileSwitchedOff = switchedOff_;
        switchedOff_ = false;
    }
    unpacking_.unpackInto(batch.traces.rows, spare_);
    unpacking_.clear();
    return batch;
}

void RowQueue::appendEventRow(const EventRow& row) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.pending.rows.push_back(QueuedEventRow{row.timestamp, row.text});
    changed();
}

void RowQueue::removeFirstEventRow() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (RemoveFirst(events_) && !events_.pending.rows.empty()) {
        events_.pending.rows.pop_front();
    }
    changed();
}

void RowQueue::recycle(std::vector<QueuedTraceRow>& rows) {
    for (auto it = rows.begin(); it != rows.end() && spare_.size() < ROW_SPARE_MAX; ++it) {
        spare_.push_back(std::move(*it));
    }
    rows.clear();
}

void RowQueue::appendTraceRow(const TraceRow& row) {
    std::lock_guard<std::mutex> lock(mutex_);
    packed_.append(row);
    changed();
}

void RowQueue::removeFirstTraceRow() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (RemoveFirst(traces_)) {
        packed_.dropFirst();
    }
    changed();
}

void RowQueue::clearTraceRows() {
    std::lock_guard<std::mutex> lock(mutex_);
    traces_.pending = ListBatch<QueuedTraceRow>{};
    traces_.pending.clear = true;
    packed_.clear();
    changed();
}

void RowQueue::traceToFileSwitchedOff() {
    std::lock_guard<std::mutex> lock(mutex_);
    switchedOff_ = true;
    changed();
}

} // namespace pw::app
