#include "tests/support/datafile_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace testsupport {

namespace {

PortConfig port(std::uint32_t type, bool active) {
    PortConfig p{};
    p.portType = type;
    p.fwdInstant = 1;
    p.bufferSize = 1400;
    p.interCharMs = 10;
    p.reconnectSecs = 10;
    p.active = active ? 1 : 0;
    return p;
}

} // namespace

PortConfig tcp_server_port(std::uint16_t ipPort, bool active) {
    PortConfig p = port(PORT_TYPE_IP, active);
    p.ipProtocol = IP_PROTO_TCP;
    p.tcpRole = TCP_ROLE_SERVER;
    p.ipPort = ipPort;
    return p;
}

PortConfig serial_port(std::uint32_t comIndex, bool active) {
    PortConfig p = port(PORT_TYPE_SERIAL, active);
    p.comIndex = comIndex;
    p.baudIndex = 6;     // 9600
    p.dataBitsIndex = 3; // 8, no parity, 1 stop bit
    p.parityIndex = 2;
    return p;
}

void set_link(LinkTable& table, std::uint32_t id, const char* name, const PortConfig& p1,
              const PortConfig& p2) {
    LinkEntry& e = table.entry[id];
    e.linkId = id;
    e.inUse = 1;
    std::snprintf(e.config.name, sizeof(e.config.name), "%s", name);
    e.config.port[0] = p1;
    e.config.port[1] = p2;
}

std::string data_file_image(const SettingsBlock& settings, const LinkTable& table) {
    return std::string(reinterpret_cast<const char*>(&settings), sizeof settings) +
           std::string(reinterpret_cast<const char*>(&table), sizeof table);
}

void write_data_file(const std::string& dir, const SettingsBlock& settings,
                     const LinkTable& table) {
    std::ofstream(dir + "/" + DATA_FILE_NAME, std::ios::binary) << data_file_image(settings, table);
}

LinkTable table_of(const std::string& image) {
    LinkTable table{};
    std::memcpy(
        &table, image.data() + sizeof(SettingsBlock),
        std::min(sizeof table, image.size() - std::min(image.size(), sizeof(SettingsBlock))));
    return table;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace testsupport
