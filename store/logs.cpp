// The event log and the trace log: rows for the lists under one lock, lines for the files through
// a bounded queue to one writer thread.
#include "store/logs.h"

#include "base/platform.h"
#include "store/backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace pw {

namespace {

constexpr char LINE_END[] = "\r\n";
constexpr std::size_t LINE_END_SIZE = sizeof(LINE_END) - 1;
// A UTF-8 character is at most four bytes, so a cut moves back by at most three.
constexpr std::size_t UTF8_MAX_BACKOFF = 3;

char* NewLineBuffer(std::size_t size) {
    return new (std::nothrow) char[size];
}

// Length of `text` cut to EVENT_TEXT_MAX bytes, never in the middle of a UTF-8 character.
std::size_t CutEventText(const char* text) {
    std::size_t len = strnlen(text, EVENT_TEXT_MAX + 1);
    if (len <= EVENT_TEXT_MAX) {
        return len;
    }
    len = EVENT_TEXT_MAX;
    // text[len] is the first byte dropped; while it continues a character, drop that character.
    for (std::size_t back = 0; back < UTF8_MAX_BACKOFF && len > 0; ++back) {
        if ((static_cast<unsigned char>(text[len]) & 0xC0) != 0x80) {
            break;
        }
        --len;
    }
    return len;
}

// A record of the queue: this head, then `size` bytes (the line's text, then for a trace line
// the chunk's bytes, which the writer turns into hex), padded to RECORD_ALIGN.
struct RecordHead {
    std::uint32_t size;     // bytes of text and data after the head
    std::uint16_t textSize; // of which text
    std::uint8_t kind;      // RECORD_*
    std::uint8_t tell;      // 1: logEventOrDiag waits for this line's outcome
};
constexpr std::size_t RECORD_ALIGN = sizeof(RecordHead);
static_assert(LOG_QUEUE_SIZE % RECORD_ALIGN == 0 && LOG_QUEUE_EVENT_ROOM < LOG_QUEUE_SIZE);
constexpr std::uint8_t RECORD_EVENT = 0; // an event.log line
constexpr std::uint8_t RECORD_TRACE = 1; // a trace.log line
constexpr std::uint8_t RECORD_SKIP = 2;  // unused bytes up to the end of the ring
// The writer frees the queue in parts of about this size, so callers find room while it works.
constexpr std::size_t WRITER_SLICE = LOG_QUEUE_SIZE / 16;
// Trace lines alone wait this long for more before the writer takes them (unless a slice's worth
// is queued): a link traced at full speed then wakes the writer once per batch, not per line.
// Events, flushes and the stop are taken at once.
constexpr auto WRITER_GATHER = std::chrono::milliseconds(20);

constexpr std::size_t RecordBytes(std::size_t size) {
    return (sizeof(RecordHead) + size + RECORD_ALIGN - 1) / RECORD_ALIGN * RECORD_ALIGN;
}

// Writes `size` bytes as one line of `fd`; a line that a full disk cut short is taken back out,
// so that the next line does not continue a torn one. `lineWritten` counts the line's bytes
// already in the file from earlier parts.
bool PutLinePart(int fd, const char* data, std::size_t size, std::size_t& lineWritten) {
    std::size_t written = 0;
    const bool ok = store_backend::WriteAll(fd, data, size, &written);
    lineWritten += written;
    if (!ok) {
        store_backend::DropTail(fd, lineWritten);
    }
    return ok;
}

// Writes the trace.log line of a record: its head text, then every data byte as "%02x ", then
// the line end, built in the line buffer and written as often as the buffer fills.
bool WriteTraceLine(int fd, char* buffer, const char* head, std::size_t headSize,
                    const std::uint8_t* data, std::size_t length) {
    // The head always fits: its texts are bounded far below the buffer's size.
    std::memcpy(buffer, head, headSize);
    std::size_t used = headSize;
    std::size_t lineWritten = 0;
    // A chunk of up to TRACE_CHUNK_MAX bytes fits with the head in one write. A longer one (no
    // engine sends it, but nothing stops a caller) goes out in several writes, one right after
    // the other, so the line stays whole.
    for (std::size_t i = 0; i < length;) {
        const std::size_t room =
            (TRACE_LINE_BUFFER_SIZE - LINE_END_SIZE - used) / HEX_BYTE_TEXT_SIZE;
        if (room == 0) {
            if (!PutLinePart(fd, buffer, used, lineWritten)) {
                return false;
            }
            used = 0;
            continue;
        }
        const std::size_t part = std::min(length - i, room);
        used = static_cast<std::size_t>(PutHexPairs(data + i, part, buffer + used) - buffer);
        i += part;
    }
    std::memcpy(buffer + used, LINE_END, LINE_END_SIZE);
    used += LINE_END_SIZE;
    return PutLinePart(fd, buffer, used, lineWritten);
}

} // namespace

LogStore::LogStore(LogOptions options)
    : directory_(std::move(options.directory)),
      clock_(options.clock ? std::move(options.clock) : LocalClock(ReadLocalClock)),
      allocateLineBuffer_(options.allocateLineBuffer ? options.allocateLineBuffer : NewLineBuffer),
      rotateBytes_(options.rotateBytes), traceFileRate_(options.traceFileRate),
      traceBudget_(options.traceFileRate) {}

LogStore::~LogStore() {
    shutdown();
}

void LogStore::appendRow(std::uint32_t& rowCount, bool trace) {
    if (rowCount < LOG_ROW_CAP) {
        ++rowCount;
    } else if (trace) {
        sink_->removeFirstTraceRow();
    } else {
        sink_->removeFirstEventRow();
    }
}

bool LogStore::takeTraceBudget(std::uint64_t lineSize) {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - traceBudgetTime_).count();
    traceBudgetTime_ = now;
    // Earned at the rate since the last line, up to a second's worth (in floating point, which
    // no rate and no pause can overflow).
    const double rate = static_cast<double>(traceFileRate_);
    const double earned = static_cast<double>(traceBudget_) + rate * std::max(seconds, 0.0);
    traceBudget_ = earned >= rate ? traceFileRate_ : static_cast<std::uint64_t>(earned);
    if (traceBudget_ < lineSize) {
        return false;
    }
    traceBudget_ -= lineSize;
    return true;
}

bool LogStore::enqueue(std::uint8_t kind, const char* text, std::size_t textSize,
                       const std::uint8_t* data, std::size_t dataSize, bool tell) {
    const std::size_t need = RecordBytes(textSize + dataSize);
    std::size_t offset = static_cast<std::size_t>(head_ % LOG_QUEUE_SIZE);
    // A record never wraps: the bytes up to the ring's end are skipped when it would not fit.
    const std::size_t skip = offset + need > LOG_QUEUE_SIZE ? LOG_QUEUE_SIZE - offset : 0;
    const std::size_t limit =
        kind == RECORD_TRACE ? LOG_QUEUE_SIZE - LOG_QUEUE_EVENT_ROOM : LOG_QUEUE_SIZE;
    if (head_ - tail_ + skip + need > limit) {
        return false;
    }
    if (!queue_) {
        queue_ = std::make_unique_for_overwrite<char[]>(LOG_QUEUE_SIZE);
        writer_ = std::thread([this] { writerLoop(); });
    }
    // The writer waits only while the queue is empty; otherwise it sees this record unasked.
    const bool wasEmpty = head_ == tail_;
    if (skip > 0) {
        const RecordHead pad{0, 0, RECORD_SKIP, 0};
        std::memcpy(queue_.get() + offset, &pad, sizeof(pad));
        head_ += skip;
        offset = 0;
    }
    char* const record = queue_.get() + offset;
    const RecordHead head{static_cast<std::uint32_t>(textSize + dataSize),
                          static_cast<std::uint16_t>(textSize), kind,
                          static_cast<std::uint8_t>(tell ? 1 : 0)};
    std::memcpy(record, &head, sizeof(head));
    std::memcpy(record + sizeof(head), text, textSize);
    if (dataSize > 0) {
        std::memcpy(record + sizeof(head) + textSize, data, dataSize);
    }
    head_ += need;
    if (kind != RECORD_TRACE) {
        prompt_ = true;
    }
    if (wasEmpty || prompt_ || head_ - tail_ >= WRITER_SLICE) {
        work_.notify_one();
    }
    return true;
}

void LogStore::logEvent(const char* text) {
    std::unique_lock<std::mutex> lock(mutex_);
    (void)logEventLocked(text, lock);
}

bool LogStore::logEventOrDiag(const char* text) {
    std::lock_guard<std::mutex> one(tellMutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    bool shown = sink_ != nullptr;
    if (logEventLocked(text, lock, !shown) && !shown) {
        progress_.wait(lock, [this] { return tellDone_; });
        shown = tellOk_;
    }
    lock.unlock();
    if (!shown) {
        diag(text == nullptr ? "" : text);
    }
    return shown;
}

bool LogStore::logEventLocked(const char* text, std::unique_lock<std::mutex>& lock, bool tell) {
    if (text == nullptr) {
        text = "";
    }
    const std::size_t textLen = CutEventText(text);
    if (droppedLines_ > 0) {
        // Told ahead of this event, as an event of its own, and so never after the last one.
        char told[EVENT_TEXT_MAX + 1];
        std::snprintf(told, sizeof(told), TRACE_LINES_DROPPED_FORMAT, droppedLines_);
        droppedLines_ = 0;
        (void)logEventLocked(told, lock);
    }
    // The whole line in one record, and so in one write, so that it lands in one piece.
    char line[TIMESTAMP_TEXT_SIZE + EVENT_TEXT_MAX + LINE_END_SIZE];
    const bool toFile = logEventsToFile_ && !closed_;
    if (toFile) {
        // Room for the longest line even if it must skip the ring's end.
        const std::size_t room = 2 * RecordBytes(sizeof(line));
        progress_.wait(lock, [&] { return closed_ || head_ - tail_ + room <= LOG_QUEUE_SIZE; });
    }

    char timestamp[TIMESTAMP_TEXT_SIZE];
    FormatTimestamp(clock_(), timestamp);

    bool shown = false;
    if (sink_ != nullptr) {
        char cell[EVENT_TEXT_MAX + 1];
        std::memcpy(cell, text, textLen);
        cell[textLen] = '\0';
        sink_->appendEventRow(EventRow{timestamp, cell});
        appendRow(eventRowCount_, false);
        shown = true;
    }
    if (toFile && !closed_) {
        const std::size_t stampLen = std::strlen(timestamp);
        std::memcpy(line, timestamp, stampLen);
        std::memcpy(line + stampLen, text, textLen);
        std::memcpy(line + stampLen + textLen, LINE_END, LINE_END_SIZE);
        const std::size_t lineSize = stampLen + textLen + LINE_END_SIZE;
        if (tell) {
            tellDone_ = false;
        }
        shown = enqueue(RECORD_EVENT, line, lineSize, nullptr, 0, tell) || shown;
    }
    return shown;
}

void LogStore::traceData(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
                         const std::uint8_t* data, std::uint32_t length) {
    if (data == nullptr) {
        length = 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    char timestamp[TIMESTAMP_TEXT_SIZE];
    FormatTimestamp(clock_(), timestamp);

    bool toFile = logTraceToFile_ && !closed_;
    if (toFile && traceLineBuffer_ == nullptr) {
        traceLineBuffer_ = allocateLineBuffer_(TRACE_LINE_BUFFER_SIZE);
        if (traceLineBuffer_ == nullptr) {
            logTraceToFile_ = false;
            toFile = false;
            if (sink_ != nullptr) {
                sink_->traceToFileSwitchedOff();
            }
        }
    }

    const PortKind* kind =
        linkId < MAX_LINKS && portId < PORTS_PER_LINK ? &portKinds_[linkId][portId] : nullptr;
    char portText[PORT_TEXT_SIZE];
    FormatPortText(linkId, portId, kind, portText);
    const char* dirText = direction == TRACE_DIR_TX ? TRACE_DIR_TEXT_TX : TRACE_DIR_TEXT_RX;

    char lengthText[LENGTH_TEXT_SIZE];
    *PutDecimal(length, 1, lengthText) = '\0';
    if (sink_ != nullptr) {
        sink_->appendTraceRow(TraceRow{timestamp, portText, dirText, lengthText, data,
                                       DataCellBytes(data, length, traceAscii_), traceAscii_});
        appendRow(traceRowCount_, true);
    }
    if (toFile) {
        // The line's head as text; the writer adds the bytes in hex.
        char head[TIMESTAMP_TEXT_SIZE + PORT_TEXT_SIZE + LENGTH_TEXT_SIZE + 16];
        char* p = head;
        const char* const parts[] = {timestamp, ", ", portText,   ", ",
                                     dirText,   ", ", lengthText, ", "};
        for (const char* part : parts) {
            const std::size_t n = std::strlen(part);
            std::memcpy(p, part, n);
            p += n;
        }
        const auto headSize = static_cast<std::size_t>(p - head);
        if (!takeTraceBudget(headSize + std::uint64_t{length} * HEX_BYTE_TEXT_SIZE +
                             LINE_END_SIZE) ||
            !enqueue(RECORD_TRACE, head, headSize, data, length)) {
            ++droppedLines_;
        }
    }
}

void LogStore::writerLoop() {
    store_backend::LowerThreadPriority();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return head_ != tail_ || stopping_; });
        if (head_ == tail_) {
            return; // stopping, and everything is written
        }
        work_.wait_for(lock, WRITER_GATHER,
                       [this] { return prompt_ || stopping_ || head_ - tail_ >= WRITER_SLICE; });
        prompt_ = false;
        const std::uint64_t from = tail_, to = head_;
        char* const lineBuffer = traceLineBuffer_;
        lock.unlock();
        bool told = false, toldOk = false;
        const std::uint64_t done = writeRecords(from, to, lineBuffer, told, toldOk);
        lock.lock();
        if (told) {
            tellDone_ = true;
            tellOk_ = toldOk;
        }
        tail_ = done;
        progress_.notify_all();
    }
}

std::uint64_t LogStore::writeRecords(std::uint64_t pos, std::uint64_t to, char* lineBuffer,
                                     bool& told, bool& toldOk) {
    const std::uint64_t stop = std::min(to, pos + WRITER_SLICE);
    while (pos < stop) {
        const auto offset = static_cast<std::size_t>(pos % LOG_QUEUE_SIZE);
        RecordHead head;
        std::memcpy(&head, queue_.get() + offset, sizeof(head));
        if (head.kind == RECORD_SKIP) {
            pos += LOG_QUEUE_SIZE - offset;
            continue;
        }
        pos += RecordBytes(head.size);
        const char* const body = queue_.get() + offset + sizeof(head);
        const bool event = head.kind == RECORD_EVENT;
        LogFile& file = event ? eventFile_ : traceFile_;
        const std::size_t dataSize = head.size - head.textSize;
        // A trace line holds each data byte as three characters, then the line end.
        const std::uint64_t lineSize =
            event ? head.size : head.textSize + dataSize * HEX_BYTE_TEXT_SIZE + LINE_END_SIZE;
        bool ok = false;
        if (prepareFile(file, event ? EVENT_LOG_FILE_NAME : TRACE_LOG_FILE_NAME, lineSize)) {
            if (event) {
                std::size_t lineWritten = 0;
                ok = PutLinePart(file.fd, body, head.size, lineWritten);
            } else if (lineBuffer != nullptr) {
                ok = WriteTraceLine(file.fd, lineBuffer, body, head.textSize,
                                    reinterpret_cast<const std::uint8_t*>(body + head.textSize),
                                    dataSize);
            }
        }
        // A failed line was taken back out of the file.
        file.size += ok ? lineSize : 0;
        if (head.tell != 0) {
            told = true;
            toldOk = ok;
        }
    }
    return pos;
}

bool LogStore::prepareFile(LogFile& file, const char* name, std::uint64_t lineSize) {
    const std::string path = store_backend::JoinPath(directory_, name);
    if (file.fd == store_backend::NO_FILE) {
        file.fd = store_backend::OpenForAppend(path);
        file.size = 0;
        file.rotates = store_backend::RegularFileSize(file.fd, &file.size);
    }
    if (file.fd != store_backend::NO_FILE && file.rotates && file.size > 0 &&
        file.size + lineSize > rotateBytes_) {
        // Closed first: a file cannot be renamed while open everywhere. A file that cannot be
        // renamed is appended to as it is, and tried again once another limit's worth is in it.
        store_backend::CloseFile(file.fd);
        (void)store_backend::RotateFile(path, path + LOG_OLD_SUFFIX);
        file.fd = store_backend::OpenForAppend(path);
        file.size = 0;
    }
    return file.fd != store_backend::NO_FILE;
}

void LogStore::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t target = head_;
    prompt_ = true;
    work_.notify_one();
    progress_.wait(lock, [&] { return tail_ >= target; });
}

void LogStore::setSink(LogSink* sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = sink;
    eventRowCount_ = 0;
    traceRowCount_ = 0;
}

void LogStore::clearTrace() {
    std::lock_guard<std::mutex> lock(mutex_);
    traceRowCount_ = 0;
    if (sink_ != nullptr) {
        sink_->clearTraceRows();
    }
}

void LogStore::setEventsToFile(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    logEventsToFile_ = on;
}

void LogStore::setTraceToFile(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    logTraceToFile_ = on;
}

void LogStore::setTraceAscii(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    traceAscii_ = on;
}

bool LogStore::eventsToFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logEventsToFile_;
}

bool LogStore::traceToFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logTraceToFile_;
}

bool LogStore::traceAscii() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return traceAscii_;
}

void LogStore::setLinkConfig(std::uint32_t linkId, const LinkConfig& config) {
    if (linkId >= MAX_LINKS) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        const PortConfig& port = config.port[p];
        portKinds_[linkId][p] =
            PortKind{port.portType, port.comIndex, port.ipProtocol, port.tcpRole};
    }
}

void LogStore::shutdown() {
    std::thread writer;
    unsigned long long dropped = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        stopping_ = true;
        dropped = std::exchange(droppedLines_, 0);
        writer = std::move(writer_);
        work_.notify_one();
    }
    if (writer.joinable()) {
        writer.join(); // it has written everything queued
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (LogFile* file : {&eventFile_, &traceFile_}) {
        store_backend::CloseFile(file->fd);
        *file = LogFile{};
    }
    delete[] traceLineBuffer_;
    traceLineBuffer_ = nullptr;
    queue_.reset();
    if (dropped > 0) {
        char told[EVENT_TEXT_MAX + 1];
        std::snprintf(told, sizeof(told), TRACE_LINES_DROPPED_FORMAT, dropped);
        diag(told);
    }
}

LogStore& ProcessLog() {
    static LogStore log;
    return log;
}

} // namespace pw

void LogEvent(const char* text) {
    pw::ProcessLog().logEvent(text);
}

void TraceData(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
               const std::uint8_t* data, std::uint32_t length) {
    pw::ProcessLog().traceData(linkId, portId, direction, data, length);
}
