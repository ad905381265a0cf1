// Helpers of the application's tests.
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace apptest {

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
