// Helpers of the application's tests: a temporary directory, link entries of TCP server ports,
// data files written and read back, and a plain model of the event and trace lists that applies
// the RowQueue's batches the way the widgets do.
#pragma once

#include "app/core/row_queue.h"
#include "store/datafile.h"
#include "tests/support/pty.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace apptest {

namespace fs = std::filesystem;

using testsupport::TempDir;

// A TCP server port on `ipPort`, forwarding at once; `active` as stored.
PortConfig TcpServerPort(std::uint16_t ipPort, bool active);
// A TCP client port to 127.0.0.1:`ipPort`.
PortConfig TcpClientPort(std::uint16_t ipPort, bool active);
// A serial port on COM index `comIndex`.
PortConfig SerialPortConfig(std::uint32_t comIndex);
// Entry `id` in use, named `name`, with the two ports.
void SetLink(LinkTable& table, std::uint32_t id, const char* name, const PortConfig& p1,
             const PortConfig& p2);

// The data file image of `settings` and `table`, written to `dir`/portweave.dta.
void WriteDataFile(const std::string& dir, const SettingsBlock& settings, const LinkTable& table);
// The data file read back whole; false when it is missing or not DATA_FILE_SIZE bytes long.
bool ReadDataFile(const std::string& dir, SettingsBlock& settings, LinkTable& table);
std::string ReadText(const fs::path& path);

// The two lists, as the widgets hold them.
struct ListModel {
    std::deque<std::vector<std::string>> events; // timestamp, text
    std::deque<std::vector<std::string>> traces; // timestamp, link/port, rx/tx, len, data
    bool traceToFileSwitchedOff = false;
    void apply(pw::app::RowBatch&& batch);
    [[nodiscard]] bool hasEvent(const std::string& text) const;
    [[nodiscard]] std::vector<std::string> eventTexts() const;
};

} // namespace apptest
