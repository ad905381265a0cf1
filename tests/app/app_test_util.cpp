// Helpers of the application's tests.
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <unistd.h>

namespace apptest {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "pw-app-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

PortConfig TcpServerPort(std::uint16_t ipPort, bool active) {
    PortConfig p{};
    p.portType = PORT_TYPE_IP;
    p.ipProtocol = IP_PROTO_TCP;
    p.tcpRole = TCP_ROLE_SERVER;
    p.ipPort = ipPort;
    p.fwdInstant = 1;
    p.bufferSize = 1400;
    p.interCharMs = 10;
    p.reconnectSecs = 10;
    p.active = active ? 1 : 0;
    return p;
}

PortConfig TcpClientPort(std::uint16_t ipPort, bool active) {
    PortConfig p = TcpServerPort(ipPort, active);
    p.tcpRole = TCP_ROLE_CLIENT;
    std::strcpy(p.remoteHost, "127.0.0.1");
    return p;
}

PortConfig SerialPortConfig(std::uint32_t comIndex) {
    PortConfig p{};
    p.portType = PORT_TYPE_SERIAL;
    p.comIndex = comIndex;
    p.baudIndex = 6;
    p.dataBitsIndex = 3;
    p.parityIndex = 2;
    p.fwdInstant = 1;
    p.reconnectSecs = 10;
    return p;
}

void SetLink(LinkTable& table, std::uint32_t id, const char* name, const PortConfig& p1,
             const PortConfig& p2) {
    LinkEntry& e = table.entry[id];
    e.linkId = id;
    e.inUse = 1;
    std::snprintf(e.config.name, sizeof(e.config.name), "%s", name);
    e.config.port[0] = p1;
    e.config.port[1] = p2;
}

void WriteDataFile(const std::string& dir, const SettingsBlock& settings, const LinkTable& table) {
    std::ofstream out(fs::path(dir) / DATA_FILE_NAME, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&settings), sizeof(settings));
    out.write(reinterpret_cast<const char*>(&table), sizeof(table));
}

bool ReadDataFile(const std::string& dir, SettingsBlock& settings, LinkTable& table) {
    const std::string bytes = ReadText(fs::path(dir) / DATA_FILE_NAME);
    if (bytes.size() != DATA_FILE_SIZE) {
        return false;
    }
    std::memcpy(&settings, bytes.data(), sizeof(settings));
    std::memcpy(&table, bytes.data() + sizeof(settings), sizeof(table));
    return true;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
    }
    slave_ = name;
}

Pty::~Pty() {
    if (master_ >= 0) {
        close(master_);
    }
}

bool Pty::write(const std::string& data, int timeoutMs) {
    std::size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (done < data.size() && std::chrono::steady_clock::now() < end) {
        const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 20);
        }
    }
    return done == data.size();
}

std::string Pty::read(std::size_t count, int timeoutMs) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, 20);
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    return out;
}

CurrentDir::CurrentDir(const std::string& dir) {
    std::error_code ec;
    old_ = fs::current_path(ec).string();
    fs::current_path(dir, ec);
    if (ec) {
        ADD_FAILURE() << "cannot enter " << dir;
    }
}

CurrentDir::~CurrentDir() {
    std::error_code ec;
    fs::current_path(old_, ec);
}

namespace {

template <class Row, class Convert>
void Apply(std::deque<std::vector<std::string>>& list, pw::app::ListBatch<Row>&& batch,
           Convert convert) {
    if (batch.clear) {
        list.clear();
    }
    for (std::uint32_t i = 0; i < batch.dropFront && !list.empty(); ++i) {
        list.pop_front();
    }
    for (const Row& row : batch.rows) {
        list.push_back(convert(row));
    }
}

} // namespace

void ListModel::apply(pw::app::RowBatch&& batch) {
    traceToFileSwitchedOff = traceToFileSwitchedOff || batch.traceToFileSwitchedOff;
    Apply(events, std::move(batch.events), [](const pw::app::QueuedEventRow& r) {
        return std::vector<std::string>{r.timestamp, r.text};
    });
    Apply(traces, std::move(batch.traces), [](const pw::app::QueuedTraceRow& r) {
        return std::vector<std::string>{r.timestamp, r.linkPort, r.direction, r.length, r.data};
    });
}

bool ListModel::hasEvent(const std::string& text) const {
    return std::any_of(events.begin(), events.end(),
                       [&](const std::vector<std::string>& row) { return row[1] == text; });
}

std::vector<std::string> ListModel::eventTexts() const {
    std::vector<std::string> out;
    for (const auto& row : events) {
        out.push_back(row[1]);
    }
    return out;
}

} // namespace apptest
