// The link form: defaults, showing a configuration, enabling rules, reading and checking.
#include "app/core/link_form.h"

#include "app/core/dialog_texts.h"
#include "app/core/hex_pairs.h"
#include "app/core/texts.h"
#include "serial/serio.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace pw::app {

namespace {

constexpr int BAUD_COUNT = static_cast<int>(std::size(BAUD_RATE_ITEMS));
constexpr int DATA_BITS_ITEM_COUNT = static_cast<int>(std::size(DATA_BITS_ITEMS));
constexpr int PARITY_ITEM_COUNT = static_cast<int>(std::size(PARITY_ITEMS));
constexpr int STOP_BITS_ITEM_COUNT = static_cast<int>(std::size(STOP_BITS_ITEMS));
static_assert(BAUD_COUNT == static_cast<int>(BAUD_RATE_COUNT));
static_assert(DATA_BITS_ITEM_COUNT == static_cast<int>(DATA_BITS_COUNT));
static_assert(PARITY_ITEM_COUNT == static_cast<int>(PARITY_COUNT));
static_assert(STOP_BITS_ITEM_COUNT == static_cast<int>(STOP_BITS_COUNT));

// Defaults of a new link.
constexpr std::uint32_t DEFAULT_BAUD_INDEX = 6;      // 9600
constexpr std::uint32_t DEFAULT_DATA_BITS_INDEX = 3; // 8
constexpr std::uint32_t DEFAULT_PARITY_INDEX = 2;    // NONE
constexpr std::uint32_t DEFAULT_STOP_BITS_INDEX = 0; // 1
constexpr std::uint32_t DEFAULT_IP_PORTS[PORTS_PER_LINK] = {1000, 1001};
constexpr const char* DEFAULT_REMOTE_HOSTS[PORTS_PER_LINK] = {"192.168.1.1", "192.168.1.2"};
constexpr std::uint32_t DEFAULT_BUFFER_SIZE = 1400;
constexpr std::uint32_t DEFAULT_INTER_CHAR_MS = 10;
constexpr std::uint32_t DEFAULT_FRAME_END_CHAR = 2;
constexpr std::uint32_t DEFAULT_RECONNECT_SECS = 10;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

// A control's text ends at its first zero byte.
std::string UpToZero(const std::string& s) {
    const std::size_t zero = s.find('\0');
    return zero == std::string::npos ? s : s.substr(0, zero);
}

// The text cut to `limit` bytes, without splitting a UTF-8 character.
std::string CutUtf8(const std::string& raw, std::size_t limit) {
    std::string s = UpToZero(raw);
    if (s.size() <= limit) {
        return s;
    }
    std::size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) {
        --n;
    }
    return s.substr(0, n);
}

std::string CutBytes(const std::string& raw, std::size_t limit) {
    std::string s = UpToZero(raw);
    return s.size() <= limit ? s : s.substr(0, limit);
}

// A numeric edit's value: its digits (at most `limit`) as an unsigned number; empty or not all
// digits reads as 0.
std::uint32_t ReadNumber(const std::string& raw, std::size_t limit) {
    const std::string s = CutBytes(raw, limit);
    std::uint32_t value = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

// A list's selection, when it is one of its `count` items; otherwise the field's value `kept`.
// (A value, not a reference: the record's fields are packed and may sit at any address.)
std::uint32_t Choice(int position, int count, std::uint32_t kept) {
    return position >= 0 && position < count ? static_cast<std::uint32_t>(position) : kept;
}

int ShowChoice(std::uint32_t value, int count) {
    return value < static_cast<std::uint32_t>(count) ? static_cast<int>(value) : NO_CHOICE;
}

std::uint32_t Flag(bool b) {
    return b ? 1 : 0;
}

void CopyText(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

std::string FieldText(const char* field, std::size_t max) {
    return std::string(field, strnlen(field, max));
}

bool IsSerial(const PortConfig& port) {
    return port.portType == PORT_TYPE_SERIAL;
}

// The device COM index `comIndex` opens: the mapping file's path, else the serial layer's own
// choice for an unmapped COM port.
std::string ComDevice(std::uint32_t comIndex, const ComDevices& devices) {
    return comIndex < devices.size() && !devices[comIndex].empty() ? devices[comIndex]
                                                                   : serio_default_device(comIndex);
}

// Two COM numbers are one port when they open one device: only one of them could be open.
bool SameCom(std::uint32_t a, std::uint32_t b, const ComDevices& devices) {
    return a == b || ComDevice(a, devices) == ComDevice(b, devices);
}

// The first other entry in use with a serial port on the device of `comIndex`, or null.
const LinkEntry* ComUser(const LinkTable& table, std::uint32_t linkId, std::uint32_t comIndex,
                         const ComDevices& devices) {
    for (const LinkEntry& entry : table.entry) {
        if (entry.inUse == 0 || entry.linkId == linkId) {
            continue;
        }
        for (const PortConfig& port : entry.config.port) {
            if (IsSerial(port) && SameCom(port.comIndex, comIndex, devices)) {
                return &entry;
            }
        }
    }
    return nullptr;
}

bool IsUdp(const PortConfig& port) {
    return port.ipProtocol == IP_PROTO_UDP;
}

// An IP port that holds its port number on this host while activated: a TCP server or a UDP
// port. A TCP client's local port is the system's choice.
bool HoldsPortNumber(const PortConfig& port) {
    return !IsSerial(port) && (IsUdp(port) || port.tcpRole == TCP_ROLE_SERVER);
}

// The first other entry in use that holds the port number of `port` in the same protocol, or
// null. Only the number's low 16 bits reach the socket, also of a stored record.
const LinkEntry* IpPortUser(const LinkTable& table, std::uint32_t linkId, const PortConfig& port) {
    for (const LinkEntry& entry : table.entry) {
        if (entry.inUse == 0 || entry.linkId == linkId) {
            continue;
        }
        for (const PortConfig& other : entry.config.port) {
            if (HoldsPortNumber(other) && IsUdp(other) == IsUdp(port) &&
                (other.ipPort & IP_PORT_MAX) == port.ipPort) {
                return &entry;
            }
        }
    }
    return nullptr;
}

// An IP port's number and remote host, read: empty when they can work, else the message.
std::string CheckIpSettings(const PortConfig& port, std::uint32_t linkId, const LinkTable& table) {
    if (port.ipPort == 0 || port.ipPort > IP_PORT_MAX) {
        return Format(MSG_IP_PORT_RANGE_FORMAT, IP_PORT_MAX);
    }
    if (!HoldsPortNumber(port)) { // a TCP client needs something to connect to
        const bool blank =
            FieldText(port.remoteHost, REMOTE_HOST_MAX).find_first_not_of(' ') == std::string::npos;
        return blank ? MSG_NO_REMOTE_HOST : std::string();
    }
    const LinkEntry* user = IpPortUser(table, linkId, port);
    return user == nullptr ? std::string()
                           : Format(MSG_IP_PORT_USED_FORMAT, IsUdp(port) ? "UDP" : "TCP",
                                    port.ipPort, NameOf(user->config).c_str());
}

// The generator's data of port `portId`: hex digit pairs, or the text itself as ASCII. Empty
// when it passes, else the message.
std::string ReadGenerator(const PortForm& form, std::uint32_t portId, PortConfig& port) {
    const std::string text = CutBytes(form.genData, GEN_DATA_TYPING_LIMIT);
    if (port.genHex != 0) {
        // The edit's limit keeps the bytes inside genData.
        static_assert(GEN_DATA_TYPING_LIMIT / 2 <= GEN_DATA_SIZE);
        const HexResult hex = HexPairsToBytes(text.data(), text.size(), port.genData);
        if (!hex.ok) {
            return Format(MSG_GEN_HEX_FORMAT, portId + 1, HexProblemText(hex).c_str());
        }
        port.genLength = static_cast<std::uint32_t>(hex.bytes);
    } else {
        const std::size_t n = std::min(text.size(), GEN_ASCII_MAX);
        std::memset(port.genData, 0, sizeof(port.genData));
        std::memcpy(port.genData, text.data(), n);
        port.genLength = static_cast<std::uint32_t>(n);
    }
    port.genPeriodMs = ReadNumber(form.genPeriodMs, GEN_PERIOD_TYPING_LIMIT);
    return port.genPeriodMs == 0 ? MSG_ZERO_GEN_PERIOD : std::string();
}

// The settings of the port's own kind.
void ReadKindSettings(const PortForm& form, PortConfig& port) {
    if (IsSerial(port)) {
        port.baudIndex = Choice(form.baudIndex, BAUD_COUNT, port.baudIndex);
        port.dataBitsIndex = Choice(form.dataBitsIndex, DATA_BITS_ITEM_COUNT, port.dataBitsIndex);
        port.parityIndex = Choice(form.parityIndex, PARITY_ITEM_COUNT, port.parityIndex);
        port.stopBitsIndex = Choice(form.stopBitsIndex, STOP_BITS_ITEM_COUNT, port.stopBitsIndex);
        port.rtsCts = Flag(form.rtsCts);
    } else {
        port.ipProtocol = Choice(form.ipProtocol, IP_PROTOCOL_COUNT, port.ipProtocol);
        port.tcpRole = Choice(form.tcpRole, TCP_ROLE_COUNT, port.tcpRole);
        port.ipPort = ReadNumber(form.ipPort, IP_PORT_TYPING_LIMIT);
        CopyText(port.remoteHost, sizeof(port.remoteHost),
                 CutUtf8(form.remoteHost, REMOTE_HOST_TYPING_LIMIT));
    }
}

// The values of the forwarding conditions; empty when they pass.
std::string ReadForwardingValues(const PortForm& form, PortConfig& port) {
    if (port.fwdInstant != 0) {
        return {}; // none of the three values is looked at
    }
    if (port.fwdBufferFull != 0) {
        port.bufferSize = ReadNumber(form.bufferSize, BUFFER_SIZE_TYPING_LIMIT);
        if (port.bufferSize == 0 || port.bufferSize > RECEIVE_BUFFER_SIZE) {
            return Format(MSG_BUFFER_SIZE_FORMAT, RECEIVE_BUFFER_SIZE);
        }
    }
    if (port.fwdInterChar != 0) {
        port.interCharMs = ReadNumber(form.interCharMs, INTER_CHAR_TYPING_LIMIT);
        if (port.interCharMs == 0) {
            return MSG_ZERO_INTER_CHAR;
        }
    }
    if (port.fwdFrameEnd != 0) {
        port.frameEndChar = Choice(form.frameEndChar, FRAME_END_COUNT, port.frameEndChar);
    }
    return {};
}

FormCheck Failed(std::string message) {
    return FormCheck{false, std::move(message)};
}

} // namespace

std::string DefaultLinkName(const LinkTable& table) {
    for (std::uint32_t n = 1;; ++n) {
        const std::string candidate = Format("Link%u", n);
        const bool taken = std::any_of(
            std::begin(table.entry), std::end(table.entry), [&](const LinkEntry& entry) {
                return entry.inUse != 0 && SameIgnoringCase(NameOf(entry.config), candidate);
            });
        if (!taken) {
            return candidate;
        }
    }
}

LinkConfig DefaultLinkConfig(const LinkTable& table) {
    LinkConfig config{};
    CopyText(config.name, sizeof(config.name), DefaultLinkName(table));
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        PortConfig& port = config.port[p];
        port.portType = p == 0 ? PORT_TYPE_SERIAL : PORT_TYPE_IP;
        port.comIndex = p;
        port.baudIndex = DEFAULT_BAUD_INDEX;
        port.dataBitsIndex = DEFAULT_DATA_BITS_INDEX;
        port.parityIndex = DEFAULT_PARITY_INDEX;
        port.stopBitsIndex = DEFAULT_STOP_BITS_INDEX;
        port.rtsCts = 1;
        port.ipProtocol = IP_PROTO_TCP;
        port.tcpRole = TCP_ROLE_CLIENT;
        port.ipPort = DEFAULT_IP_PORTS[p];
        CopyText(port.remoteHost, sizeof(port.remoteHost), DEFAULT_REMOTE_HOSTS[p]);
        port.fwdInstant = 1;
        port.bufferSize = DEFAULT_BUFFER_SIZE;
        port.interCharMs = DEFAULT_INTER_CHAR_MS;
        port.frameEndChar = DEFAULT_FRAME_END_CHAR;
        port.reconnectSecs = DEFAULT_RECONNECT_SECS;
    }
    return config;
}

LinkForm FormOf(const LinkConfig& config) {
    LinkForm form;
    form.name = NameOf(config);
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        const PortConfig& port = config.port[p];
        PortForm& f = form.port[p];
        f.portType = ShowChoice(port.portType, PORT_TYPE_COUNT);
        f.comIndex = ShowChoice(port.comIndex, COM_CHOICE_COUNT);
        f.baudIndex = ShowChoice(port.baudIndex, BAUD_COUNT);
        f.dataBitsIndex = ShowChoice(port.dataBitsIndex, DATA_BITS_ITEM_COUNT);
        f.parityIndex = ShowChoice(port.parityIndex, PARITY_ITEM_COUNT);
        f.stopBitsIndex = ShowChoice(port.stopBitsIndex, STOP_BITS_ITEM_COUNT);
        f.rtsCts = port.rtsCts != 0;
        f.ipProtocol = ShowChoice(port.ipProtocol, IP_PROTOCOL_COUNT);
        f.tcpRole = ShowChoice(port.tcpRole, TCP_ROLE_COUNT);
        f.ipPort = Format("%u", port.ipPort);
        f.remoteHost = FieldText(port.remoteHost, REMOTE_HOST_MAX);
        f.fwdInstant = port.fwdInstant != 0;
        f.fwdBufferFull = port.fwdBufferFull != 0;
        f.bufferSize = Format("%u", port.bufferSize);
        f.fwdInterChar = port.fwdInterChar != 0;
        f.interCharMs = Format("%u", port.interCharMs);
        f.fwdFrameEnd = port.fwdFrameEnd != 0;
        f.frameEndChar = ShowChoice(port.frameEndChar, FRAME_END_COUNT);
        f.autoReconnect = port.autoReconnect != 0;
        f.reconnectSecs = Format("%u", port.reconnectSecs);
        f.activateOnSave = port.activateOnSave != 0;
        f.loopback = port.loopback != 0;
        f.genTraffic = port.genTraffic != 0;
        f.genHex = port.genHex == 1;
        const std::size_t length = std::min<std::size_t>(port.genLength, GEN_DATA_SIZE);
        if (f.genTraffic) {
            if (length != 0) {
                f.genData = f.genHex
                                ? BytesToHexText(port.genData, length)
                                : std::string(reinterpret_cast<const char*>(port.genData), length);
            }
            // Shown also without data, so that saving again keeps the period.
            f.genPeriodMs = Format("%u", port.genPeriodMs);
        }
    }
    return form;
}

PortEnables EnablingOf(const PortForm& port) {
    const bool ip = port.portType == static_cast<int>(PORT_TYPE_IP);
    PortEnables e{};
    e.serial = !ip;
    e.ip = ip;
    e.tcpRole = ip && port.ipProtocol != static_cast<int>(IP_PROTO_UDP);
    e.bufferSize = port.fwdBufferFull;
    e.interChar = port.fwdInterChar;
    e.frameEnd = port.fwdFrameEnd;
    e.reconnect = port.autoReconnect;
    e.generator = port.genTraffic;
    return e;
}

void ForwardBoxClicked(PortForm& port, ForwardBox box, bool checked) {
    switch (box) {
    case ForwardBox::Instant:
        port.fwdInstant = checked;
        if (checked) {
            port.fwdBufferFull = false;
            port.fwdInterChar = false;
            port.fwdFrameEnd = false;
        }
        return;
    case ForwardBox::BufferFull:
        port.fwdBufferFull = checked;
        break;
    case ForwardBox::InterChar:
        port.fwdInterChar = checked;
        break;
    case ForwardBox::FrameEnd:
        port.fwdFrameEnd = checked;
        break;
    }
    if (checked) {
        port.fwdInstant = false;
    }
}

FormCheck ReadLinkForm(const LinkForm& form, std::uint32_t linkId, const LinkTable& table,
                       LinkConfig& config, const ComDevices& devices) {
    // 1, 2: the name, unique among the other links in any letter case.
    const std::string name = CutUtf8(form.name, NAME_TYPING_LIMIT);
    CopyText(config.name, sizeof(config.name), name);
    if (name.empty()) {
        return Failed(MSG_EMPTY_NAME);
    }
    for (const LinkEntry& entry : table.entry) {
        if (entry.inUse != 0 && entry.linkId != linkId &&
            SameIgnoringCase(NameOf(entry.config), name)) {
            return Failed(
                Format(MSG_NAME_USED_FORMAT, name.c_str(), static_cast<int>(entry.linkId)));
        }
    }

    // 3: port types, "Activate on save", auto reconnect and its interval (never 0).
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        config.port[p].portType =
            Choice(form.port[p].portType, PORT_TYPE_COUNT, config.port[p].portType);
    }
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        config.port[p].activateOnSave = Flag(form.port[p].activateOnSave);
    }
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        config.port[p].autoReconnect = Flag(form.port[p].autoReconnect);
    }
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        config.port[p].reconnectSecs =
            ReadNumber(form.port[p].reconnectSecs, RECONNECT_TYPING_LIMIT);
    }
    if (config.port[0].reconnectSecs == 0 || config.port[1].reconnectSecs == 0) {
        return Failed(MSG_ZERO_RECONNECT);
    }

    // 4, 5: diagnostics and the traffic generator.
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        config.port[p].loopback = Flag(form.port[p].loopback);
        config.port[p].genTraffic = Flag(form.port[p].genTraffic);
        config.port[p].genHex = Flag(form.port[p].genHex);
    }
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        if (config.port[p].genTraffic != 0) {
            std::string message = ReadGenerator(form.port[p], p, config.port[p]);
            if (!message.empty()) {
                return Failed(std::move(message));
            }
        }
    }

    // 6 to 9: COM ports (never one device twice in one link, never one another link uses), then
    // each port's own settings, an IP port's number in range and not held by another link, and a
    // TCP client's remote host.
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        config.port[p].comIndex =
            Choice(form.port[p].comIndex, COM_CHOICE_COUNT, config.port[p].comIndex);
    }
    if (IsSerial(config.port[0]) && IsSerial(config.port[1]) &&
        SameCom(config.port[0].comIndex, config.port[1].comIndex, devices)) {
        return Failed(Format(MSG_SAME_COM_FORMAT, config.port[0].comIndex + 1, name.c_str()));
    }
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        PortConfig& port = config.port[p];
        if (IsSerial(port)) {
            if (const LinkEntry* user = ComUser(table, linkId, port.comIndex, devices)) {
                return Failed(
                    Format(MSG_COM_USED_FORMAT, port.comIndex + 1, NameOf(user->config).c_str()));
            }
        }
        ReadKindSettings(form.port[p], port);
        if (!IsSerial(port)) {
            std::string message = CheckIpSettings(port, linkId, table);
            if (!message.empty()) {
                return Failed(std::move(message));
            }
        }
    }

    // 10 to 12: the forwarding conditions and their values.
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        config.port[p].fwdInstant = Flag(form.port[p].fwdInstant);
        config.port[p].fwdBufferFull = Flag(form.port[p].fwdBufferFull);
        config.port[p].fwdInterChar = Flag(form.port[p].fwdInterChar);
        config.port[p].fwdFrameEnd = Flag(form.port[p].fwdFrameEnd);
    }
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        std::string message = ReadForwardingValues(form.port[p], config.port[p]);
        if (!message.empty()) {
            return Failed(std::move(message));
        }
    }
    return FormCheck{true, {}};
}

} // namespace pw::app
