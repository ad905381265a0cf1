// Helpers of the store tests: a temporary directory, whole-file reads and writes, a fixed clock
// and a sink that models the two lists the way the application's widgets hold them.
#pragma once

#include "store/logs.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pw_test {

namespace fs = std::filesystem;

using testsupport::TempDir;

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// 5 December 2026, 14:03:09.045.
inline pw::LocalTime ExampleTime() {
    return pw::LocalTime{2026, 12, 5, 14, 3, 9, 45};
}

inline pw::LogOptions FixedClockOptions(const std::string& directory) {
    pw::LogOptions options;
    options.directory = directory;
    options.clock = [] { return ExampleTime(); };
    return options;
}

// The two lists as the application would hold them, fed only through the sink calls.
class ModelSink : public pw::LogSink {
public:
    using Row = std::vector<std::string>;
    std::deque<Row> events;
    std::deque<Row> traces;
    int eventRemovals = 0;
    int traceRemovals = 0;
    int traceSwitchOffs = 0;

    void appendEventRow(const pw::EventRow& row) override {
        events.push_back({row.timestamp, row.text});
    }
    void removeFirstEventRow() override {
        events.pop_front();
        ++eventRemovals;
    }
    void appendTraceRow(const pw::TraceRow& row) override {
        traces.push_back({row.timestamp, row.linkPort, row.direction, row.length, row.data});
    }
    void removeFirstTraceRow() override {
        traces.pop_front();
        ++traceRemovals;
    }
    void clearTraceRows() override { traces.clear(); }
    void traceToFileSwitchedOff() override { ++traceSwitchOffs; }
};

} // namespace pw_test
