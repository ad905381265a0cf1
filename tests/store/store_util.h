// Helpers of the store tests: files, data file images, a fixed clock, and a sink that holds the
// two lists as the application's widgets would (the trace row's five columns joined by '|').
#pragma once

#include "store/datafile.h"
#include "tests/support/datafile_image.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>

namespace st {

namespace fs = std::filesystem;
using testsupport::TempDir;
using Rows = std::deque<std::string>;

// The system's error numbers, as the messages tell them, differ on Windows.
inline const bool kPosix = fs::path::preferred_separator == '/';
inline std::string Errors(const char* posix, const char* windows) {
    return kPosix ? posix : windows;
}

inline const std::string kStamp = "05/12/2026 14:03:09.045 "; // the time of the fixed clock

inline pw::LogOptions Fixed(const std::string& dir) {
    return {dir, [] { return pw::LocalTime{2026, 12, 5, 14, 3, 9, 45}; }, {}};
}
inline std::string Read(const fs::path& path) { // a whole file; empty when missing
    return testsupport::read_file(path.string());
}
inline void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
inline constexpr auto& ImageOf = testsupport::data_file_image;
inline const std::uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

struct Sink : pw::LogSink {
    Rows events, traces;
    int switchedOff = 0;
    void appendEventRow(const pw::EventRow& row) override { events.emplace_back(row.text); }
    void appendTraceRow(const pw::TraceRow& row) override { // hex rows as trace.log has them
        std::string cell(row.dataSize * pw::HEX_BYTE_TEXT_SIZE, ' ');
        if (row.ascii) {
            cell.assign(reinterpret_cast<const char*>(row.data), row.dataSize) += "|a";
        } else {
            (void)pw::PutHexPairs(row.data, row.dataSize, cell.data());
        }
        traces.push_back(std::string(row.timestamp) + "|" + row.linkPort + "|" + row.direction +
                         "|" + row.length + "|" + cell);
    }
    void removeFirstEventRow() override { events.empty() ? void() : events.pop_front(); }
    void removeFirstTraceRow() override { traces.empty() ? void() : traces.pop_front(); }
    void clearTraceRows() override { traces.clear(); }
    void traceToFileSwitchedOff() override { ++switchedOff; }
};

} // namespace st
