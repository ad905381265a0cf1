// The event log and the trace log: rows for the lists, lines for the files, one lock for both.
#include "store/logs.h"

#include "base/platform.h"
#include "store/backend.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace pw {

namespace {

constexpr char LINE_END[] = "\r\n";
constexpr std::size_t LINE_END_SIZE = sizeof(LINE_END) - 1;
constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr std::size_t HEX_BYTE_TEXT_SIZE = 3; // "%02x "
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

} // namespace

LogStore::LogStore(LogOptions options)
    : directory_(std::move(options.directory)),
      clock_(options.clock ? std::move(options.clock) : LocalClock(ReadLocalClock)),
      allocateLineBuffer_(options.allocateLineBuffer ? options.allocateLineBuffer : NewLineBuffer) {
}

LogStore::~LogStore() {
    shutdown();
}

void LogStore::openIfWanted(bool wanted, int& fd, const char* name) {
    if (wanted && fd == store_backend::NO_FILE && !closed_) {
        fd = store_backend::OpenForAppend(store_backend::JoinPath(directory_, name));
    }
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

void LogStore::logEvent(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    (void)logEventLocked(text);
}

bool LogStore::logEventOrDiag(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool shown = logEventLocked(text);
    if (!shown) {
        diag(text == nullptr ? "" : text);
    }
    return shown;
}

bool LogStore::logEventLocked(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    const std::size_t textLen = CutEventText(text);
    openIfWanted(logEventsToFile_, eventFile_, EVENT_LOG_FILE_NAME);

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
    if (logEventsToFile_ && eventFile_ != store_backend::NO_FILE) {
        // The whole line in one write, so that it lands in one piece.
        char line[TIMESTAMP_TEXT_SIZE + EVENT_TEXT_MAX + LINE_END_SIZE];
        const std::size_t stampLen = std::strlen(timestamp);
        std::memcpy(line, timestamp, stampLen);
        std::memcpy(line + stampLen, text, textLen);
        std::memcpy(line + stampLen + textLen, LINE_END, LINE_END_SIZE);
        std::size_t written = 0;
        if (store_backend::WriteAll(eventFile_, line, stampLen + textLen + LINE_END_SIZE,
                                    &written)) {
            shown = true;
        } else {
            // A full disk took only part of the line: take it out again, or the next line
            // would be glued to a torn one.
            store_backend::DropTail(eventFile_, written);
        }
    }
    return shown;
}

void LogStore::traceData(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
                         const std::uint8_t* data, std::uint32_t length) {
    if (data == nullptr) {
        length = 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    openIfWanted(logTraceToFile_, traceFile_, TRACE_LOG_FILE_NAME);

    char timestamp[TIMESTAMP_TEXT_SIZE];
    FormatTimestamp(clock_(), timestamp);

    bool fileInUse = logTraceToFile_ && traceFile_ != store_backend::NO_FILE;
    if (fileInUse && traceLineBuffer_ == nullptr) {
        traceLineBuffer_ = allocateLineBuffer_(TRACE_LINE_BUFFER_SIZE);
        if (traceLineBuffer_ == nullptr) {
            store_backend::CloseFile(traceFile_);
            traceFile_ = store_backend::NO_FILE;
            logTraceToFile_ = false;
            fileInUse = false;
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

    if (sink_ != nullptr) {
        char lengthText[LENGTH_TEXT_SIZE];
        std::snprintf(lengthText, sizeof(lengthText), "%u", length);
        char cell[DATA_CELL_SIZE];
        FormatDataCell(data, length, traceAscii_, cell);
        sink_->appendTraceRow(TraceRow{timestamp, portText, dirText, lengthText, cell});
        appendRow(traceRowCount_, true);
    }
    if (fileInUse) {
        writeTraceLine(timestamp, portText, dirText, data, length);
    }
}

void LogStore::writeTraceLine(const char* timestamp, const char* portText, const char* direction,
                              const std::uint8_t* data, std::uint32_t length) {
    char* const buffer = traceLineBuffer_;
    const int head = std::snprintf(buffer, TRACE_LINE_BUFFER_SIZE, "%s, %s, %s, %u, ", timestamp,
                                   portText, direction, length);
    if (head < 0) {
        return;
    }
    // The head always fits: its texts are bounded far below the buffer's size.
    std::size_t used = static_cast<std::size_t>(head);
    // Write errors are not reported, but a line that a full disk cut short is taken back out of
    // the file, so that the next line does not continue a torn one.
    std::size_t lineWritten = 0;
    auto put = [&](std::size_t size) {
        std::size_t written = 0;
        const bool ok = store_backend::WriteAll(traceFile_, buffer, size, &written);
        lineWritten += written;
        if (!ok) {
            store_backend::DropTail(traceFile_, lineWritten);
        }
        return ok;
    };
    // A chunk of up to TRACE_CHUNK_MAX bytes fits with the head in one write. A longer one (no
    // engine sends it, but nothing stops a caller) goes out in several writes, still under the
    // lock, so the line stays whole.
    for (std::uint32_t i = 0; i < length; ++i) {
        if (used + HEX_BYTE_TEXT_SIZE + LINE_END_SIZE > TRACE_LINE_BUFFER_SIZE) {
            if (!put(used)) {
                return;
            }
            used = 0;
        }
        buffer[used++] = HEX_DIGITS[data[i] >> 4];
        buffer[used++] = HEX_DIGITS[data[i] & 0x0f];
        buffer[used++] = ' ';
    }
    std::memcpy(buffer + used, LINE_END, LINE_END_SIZE);
    used += LINE_END_SIZE;
    (void)put(used);
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
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    store_backend::CloseFile(eventFile_);
    store_backend::CloseFile(traceFile_);
    eventFile_ = store_backend::NO_FILE;
    traceFile_ = store_backend::NO_FILE;
    delete[] traceLineBuffer_;
    traceLineBuffer_ = nullptr;
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
