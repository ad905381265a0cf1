// Helpers of the application's tests: a temporary directory, link entries of TCP server ports,
// data files written and read back, and a plain model of the event and trace lists that applies
// the RowQueue's batches the way the widgets do.
#pragma once

#include "app/core/row_queue.h"
#include "store/datafile.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace apptest {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] std::string str() const { return path_.string(); }
    [[nodiscard]] fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

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

// A pseudo-terminal standing in for a serial device: the program opens the slave path (through
// portweave.ports), the test plays the device on the master.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    [[nodiscard]] const std::string& slavePath() const { return slave_; }
    [[nodiscard]] bool valid() const { return master_ >= 0; }
    // Writes all of `data` from the device side within the time limit.
    bool write(const std::string& data, int timeoutMs = 5000);
    // Reads until `count` bytes arrived or the time limit passed; returns what arrived.
    std::string read(std::size_t count, int timeoutMs = 10000);

private:
    int master_ = -1;
    std::string slave_;
};

// Makes `dir` the current directory for the object's lifetime (the serial layer reads
// portweave.ports from there).
class CurrentDir {
public:
    explicit CurrentDir(const std::string& dir);
    ~CurrentDir();
    CurrentDir(const CurrentDir&) = delete;
    CurrentDir& operator=(const CurrentDir&) = delete;

private:
    std::string old_;
};

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
