// Texts of the links list, the statistics list, the buttons and the link events.
#include "app/core/texts.h"

#include "engine/weave.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace pw::app {

namespace {

NameTables g_names{};

const char* RoleWord(const PortConfig& config) {
    return config.tcpRole == TCP_ROLE_SERVER ? "Server" : "Client";
}

bool IsSerial(const PortConfig& config) {
    return config.portType == PORT_TYPE_SERIAL;
}

bool IsUdp(const PortConfig& config) {
    return config.ipProtocol == IP_PROTO_UDP;
}

} // namespace

void BuildNameTables() {
    for (std::uint32_t i = 0; i < COM_NAME_COUNT; ++i) {
        std::snprintf(g_names.comSlots[i], sizeof(g_names.comSlots[i]), "COM%u", i + 1);
        g_names.comPortNames[i] = g_names.comSlots[i];
    }
    g_names.comPortNames[COM_NAME_COUNT] = nullptr;
    for (std::uint32_t i = 0; i < BYTE_HEX_COUNT; ++i) {
        std::snprintf(g_names.hexSlots[i], sizeof(g_names.hexSlots[i]), "%02x", i);
        g_names.byteHexTexts[i] = g_names.hexSlots[i];
    }
    g_names.byteHexTexts[BYTE_HEX_COUNT] = nullptr;
}

const NameTables& Names() {
    return g_names;
}

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text);
}

std::string NameOf(const LinkConfig& config) {
    return std::string(config.name, strnlen(config.name, LINK_NAME_MAX));
}

const char* PortStateText(const PortConfig& config, std::uint32_t activated,
                          std::uint32_t connected) {
    if (activated == 0) {
        return "Down";
    }
    if (activated == WEAVE_PORT_WAITING) {
        return "Waiting";
    }
    if (IsSerial(config) || IsUdp(config) || connected != 0) {
        return "Up";
    }
    return config.tcpRole == TCP_ROLE_SERVER ? "Listening" : "Connecting";
}

std::string StatusColumnText(const char* port1Word, const char* port2Word) {
    return Format("P1 (%s) P2 (%s)", port1Word, port2Word);
}

std::string PortColumnText(const PortConfig& config) {
    if (IsSerial(config)) {
        // A damaged data file may hold any index: never read past the table.
        if (config.comIndex < COM_NAME_COUNT && Names().comPortNames[config.comIndex] != nullptr) {
            return Names().comPortNames[config.comIndex];
        }
        return Format("COM%u", config.comIndex + 1);
    }
    if (IsUdp(config)) {
        return Format("%s port %u", "UDP", config.ipPort);
    }
    return Format("%s %s", "TCP", RoleWord(config));
}

std::string LinkEventText(const char* verb, std::uint32_t linkId, const LinkConfig& config) {
    std::string text = Format("%s %u (%s)", verb, linkId, NameOf(config).c_str());
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        text += Format(" Port %u (%s)", p, PortColumnText(config.port[p]).c_str());
    }
    return text;
}

std::string RemovedLinkText(std::uint32_t linkId, const LinkConfig& config) {
    return Format("%s %u (%s)", REMOVED_LINK_VERB, linkId, NameOf(config).c_str());
}

PortStatsTexts StatsTexts(const PortConfig& config, const PortStats& stats,
                          const std::string& device) {
    PortStatsTexts out;
    if (IsSerial(config)) {
        out.cell[STATS_ROW_PORT_TYPE] = "Serial";
        out.cell[STATS_ROW_PORT_DETAILS] = Format("COM%u", config.comIndex + 1);
        if (!device.empty()) {
            out.cell[STATS_ROW_PORT_DETAILS] += " (" + device + ")";
        }
        out.cell[STATS_ROW_PORT_STATUS] = stats.activated == 1 ? "Connected" : "Disconnected";
    } else {
        out.cell[STATS_ROW_PORT_TYPE] = "IP";
        out.cell[STATS_ROW_PORT_DETAILS] =
            IsUdp(config) ? Format("UDP Port %u", config.ipPort)
                          : Format("TCP %s Port %u", RoleWord(config), config.ipPort);
        out.cell[STATS_ROW_PORT_STATUS] =
            Format("%s, %s",
                   stats.activated == 0                    ? "Not activated"
                   : stats.activated == WEAVE_PORT_WAITING ? "Waiting"
                                                           : "Activated",
                   stats.connected != 0 ? "IP connected" : "IP not connected");
    }
    out.cell[STATS_ROW_TX_BYTES] = Format("%u ", stats.txBytes);
    out.cell[STATS_ROW_RX_BYTES] = Format("%u ", stats.rxBytes);
    return out;
}

const char* ActivateCaption(std::uint32_t portId, bool activated) {
    if (portId == 0) {
        return activated ? "Deactivate Port 1" : "Activate Port 1";
    }
    return activated ? "Deactivate Port 2" : "Activate Port 2";
}

} // namespace pw::app
