#include "tests/support/datafile_image.h"

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

void write_data_file(const std::string& dir, const SettingsBlock& settings,
                     const LinkTable& table) {
    std::ofstream out(dir + "/" + DATA_FILE_NAME, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&settings), sizeof(settings));
    out.write(reinterpret_cast<const char*>(&table), sizeof(table));
}

bool read_data_file(const std::string& dir, SettingsBlock& settings, LinkTable& table) {
    const std::string bytes = read_file(dir + "/" + DATA_FILE_NAME);
    if (bytes.size() != DATA_FILE_SIZE) {
        return false;
    }
    std::memcpy(&settings, bytes.data(), sizeof(settings));
    std::memcpy(&table, bytes.data() + sizeof(settings), sizeof(table));
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace testsupport
