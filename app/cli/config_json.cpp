// The configuration's JSON form, driven by one table of the port fields.
#include "app/cli/config_json.h"

#include "app/core/dialog_texts.h"
#include "app/core/hex_pairs.h"
#include "app/core/link_form.h"
#include "app/core/texts.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

namespace pw::app {

namespace {

using Json = nlohmann::ordered_json;

// How a stored number shows in JSON.
enum class Kind {
    Flag,    // true / false (a stored value other than 0 and 1 stays a number)
    Plain,   // the number itself
    Com,     // the COM number: the index plus one
    Words,   // the text of the list item; {"index": n} when n is past the list
    Numbers, // the number of the list item (bits per second, data bits); {"index": n} likewise
};

constexpr const char* PORT_KIND_WORDS[] = {"serial", "ip"};
constexpr const char* ROLE_WORDS[] = {"client", "server"};
constexpr std::uint32_t DATA_BIT_NUMBERS[] = {5, 6, 7, 8};

struct Field {
    const char* key;
    std::size_t offset; // of the field in the packed PortConfig
    Kind kind;
    const char* const* words = nullptr;
    const std::uint32_t* numbers = nullptr;
    std::uint32_t count = 0;
};

// The record is packed: its fields are reached by offset and copied, never loaded in place.
std::uint32_t Get(const PortConfig& port, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, reinterpret_cast<const char*>(&port) + offset, sizeof value);
    return value;
}

void Set(PortConfig& port, std::size_t offset, std::uint32_t value) {
    std::memcpy(reinterpret_cast<char*>(&port) + offset, &value, sizeof value);
}

// Every number of a PortConfig, in the order of the JSON object. The texts (remoteHost, genData)
// and genLength are written beside them.
const Field PORT_FIELDS[] = {
    {"type", offsetof(PortConfig, portType), Kind::Words, PORT_KIND_WORDS, nullptr, 2},
    {"active", offsetof(PortConfig, active), Kind::Flag},
    {"activateOnSave", offsetof(PortConfig, activateOnSave), Kind::Flag},
    {"com", offsetof(PortConfig, comIndex), Kind::Com},
    {"baud", offsetof(PortConfig, baudIndex), Kind::Numbers, nullptr, BAUD_RATES, BAUD_RATE_COUNT},
    {"dataBits", offsetof(PortConfig, dataBitsIndex), Kind::Numbers, nullptr, DATA_BIT_NUMBERS, 4},
    {"parity", offsetof(PortConfig, parityIndex), Kind::Words, PARITY_ITEMS, nullptr, 5},
    {"stopBits", offsetof(PortConfig, stopBitsIndex), Kind::Words, STOP_BITS_ITEMS, nullptr, 3},
    {"rtsCts", offsetof(PortConfig, rtsCts), Kind::Flag},
    {"protocol", offsetof(PortConfig, ipProtocol), Kind::Words, IP_PROTOCOL_ITEMS, nullptr, 2},
    {"role", offsetof(PortConfig, tcpRole), Kind::Words, ROLE_WORDS, nullptr, 2},
    {"ipPort", offsetof(PortConfig, ipPort), Kind::Plain},
    {"forwardInstant", offsetof(PortConfig, fwdInstant), Kind::Flag},
    {"forwardBufferFull", offsetof(PortConfig, fwdBufferFull), Kind::Flag},
    {"bufferSize", offsetof(PortConfig, bufferSize), Kind::Plain},
    {"forwardInterChar", offsetof(PortConfig, fwdInterChar), Kind::Flag},
    {"interCharMs", offsetof(PortConfig, interCharMs), Kind::Plain},
    {"forwardFrameEnd", offsetof(PortConfig, fwdFrameEnd), Kind::Flag},
    {"frameEndChar", offsetof(PortConfig, frameEndChar), Kind::Plain},
    {"autoReconnect", offsetof(PortConfig, autoReconnect), Kind::Flag},
    {"reconnectSecs", offsetof(PortConfig, reconnectSecs), Kind::Plain},
    {"trace", offsetof(PortConfig, trace), Kind::Flag},
    {"loopback", offsetof(PortConfig, loopback), Kind::Flag},
    {"generate", offsetof(PortConfig, genTraffic), Kind::Flag},
    {"generatorHex", offsetof(PortConfig, genHex), Kind::Flag},
    {"generatorPeriodMs", offsetof(PortConfig, genPeriodMs), Kind::Plain},
};
// Text keys, and the keys that carry bytes no dialog shows.
constexpr char KEY_REMOTE_HOST[] = "remoteHost";
constexpr char KEY_REMOTE_ADDR[] = "remoteAddr";
constexpr char KEY_GEN_DATA[] = "generatorData";
constexpr char REST_SUFFIX[] = "Rest";

// ---- export ----

Json ValueOf(const Field& field, std::uint32_t value) {
    switch (field.kind) {
    case Kind::Flag:
        return value <= 1 ? Json(value == 1) : Json(value);
    case Kind::Plain:
        return value;
    case Kind::Com:
        return value == UINT32_MAX ? Json{{"index", value}} : Json(value + 1);
    case Kind::Words:
        return value < field.count ? Json(field.words[value]) : Json{{"index", value}};
    case Kind::Numbers:
        return value < field.count ? Json(field.numbers[value]) : Json{{"index", value}};
    }
    return nullptr;
}

// Bytes as Latin-1 characters, so that any byte survives a JSON string.
std::string Latin1ToUtf8(const std::uint8_t* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] < 0x80) {
            text += static_cast<char>(data[i]);
        } else {
            text += static_cast<char>(0xC0 | (data[i] >> 6));
            text += static_cast<char>(0x80 | (data[i] & 0x3F));
        }
    }
    return text;
}

// The hex text of the bytes from `from` to the field's last non-zero byte; empty when all zero.
std::string RestHex(const std::uint8_t* field, std::size_t from, std::size_t size) {
    std::size_t end = size;
    while (end > from && field[end - 1] == 0) {
        --end;
    }
    return end > from ? BytesToHexText(field + from, end - from) : std::string();
}

// Whether `text` is UTF-8, as a JSON string must be.
bool IsUtf8(const std::string& text) {
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

// A zero-terminated text field: the text (as {"hex": ...} when it is not UTF-8, as only a damaged
// file holds), and any bytes after its zero.
void PutText(Json& object, const char* key, const char* field, std::size_t size) {
    const std::size_t length = strnlen(field, size - 1);
    const std::string text(field, length);
    const auto* raw = reinterpret_cast<const std::uint8_t*>(field);
    object[key] = IsUtf8(text) ? Json(text) : Json{{"hex", BytesToHexText(raw, length)}};
    if (std::string rest = RestHex(raw, length + 1, size); !rest.empty()) {
        object[std::string(key) + REST_SUFFIX] = rest;
    }
}

Json PortJson(const PortConfig& port) {
    Json object = Json::object();
    for (const Field& field : PORT_FIELDS) {
        object[field.key] = ValueOf(field, Get(port, field.offset));
        if (field.offset == offsetof(PortConfig, ipPort)) {
            PutText(object, KEY_REMOTE_HOST, port.remoteHost, sizeof port.remoteHost);
            if (port.remoteAddr != 0) {
                object[KEY_REMOTE_ADDR] = std::uint32_t{port.remoteAddr};
            }
        } else if (field.offset == offsetof(PortConfig, genHex)) {
            const std::size_t length = std::min<std::size_t>(port.genLength, GEN_DATA_SIZE);
            object[KEY_GEN_DATA] = port.genHex == 1 ? BytesToHexText(port.genData, length)
                                                    : Latin1ToUtf8(port.genData, length);
            if (std::string rest = RestHex(port.genData, length, GEN_DATA_SIZE); !rest.empty()) {
                object[std::string(KEY_GEN_DATA) + REST_SUFFIX] = rest;
            }
        }
    }
    return object;
}

// ---- import ----

// Where a value was found, for the message.
struct Place {
    std::string link; // "link 3 \"Pump\"", or empty at the top level
    int port = -1;    // 0 or 1 for P1 or P2
    std::string field;

    [[nodiscard]] std::string text(const std::string& problem) const {
        std::string where = link;
        if (port >= 0) {
            where += ", port P" + std::to_string(port + 1);
        }
        if (!field.empty()) {
            where += (where.empty() ? "field \"" : ", field \"") + field + "\"";
        }
        return where.empty() ? problem : where + ": " + problem;
    }
};

// Hex digit pairs (separators allowed) to bytes, of any length.
HexResult HexBytes(const std::string& text, std::string& bytes) {
    std::vector<std::uint8_t> out(text.size() / 2 + 1);
    const HexResult result = HexPairsToBytes(text.data(), text.size(), out.data());
    bytes.assign(reinterpret_cast<const char*>(out.data()), result.ok ? result.bytes : 0);
    return result;
}

class Reader {
public:
    std::optional<std::string> error;

    bool fail(const Place& place, const std::string& problem) {
        if (!error) {
            error = place.text(problem);
        }
        return false;
    }

    bool number(const Json& value, const Place& place, std::uint32_t& out) {
        if (!value.is_number_unsigned() || value.get<std::uint64_t>() > UINT32_MAX) {
            return fail(place, "expected a whole number from 0 to 4294967295");
        }
        out = value.get<std::uint32_t>();
        return true;
    }

    bool field(const Field& field, const Json& value, const Place& place, std::uint32_t& out) {
        if (value.is_object() && field.kind != Kind::Flag && field.kind != Kind::Plain) {
            if (value.size() != 1 || !value.contains("index")) {
                return fail(place, "expected {\"index\": n}");
            }
            return number(value["index"], place, out);
        }
        switch (field.kind) {
        case Kind::Flag:
            if (value.is_boolean()) {
                out = value.get<bool>() ? 1 : 0;
                return true;
            }
            return value.is_number_unsigned() ? number(value, place, out)
                                              : fail(place, "expected true or false");
        case Kind::Plain:
            return number(value, place, out);
        case Kind::Com:
            if (!number(value, place, out) || out == 0) {
                return fail(place, "expected a COM number from 1");
            }
            --out;
            return true;
        case Kind::Words:
            if (value.is_string()) {
                for (std::uint32_t i = 0; i < field.count; ++i) {
                    if (SameIgnoringCase(value.get<std::string>(), field.words[i])) {
                        out = i;
                        return true;
                    }
                }
            }
            return fail(place, "expected one of " + Choices(field));
        case Kind::Numbers:
            if (value.is_number_unsigned()) {
                for (std::uint32_t i = 0; i < field.count; ++i) {
                    if (value.get<std::uint64_t>() == field.numbers[i]) {
                        out = i;
                        return true;
                    }
                }
            }
            return fail(place, "expected one of " + Choices(field));
        }
        return false;
    }

    bool text(const Json& value, const Place& place, std::string& out) {
        if (!value.is_string()) {
            return fail(place, "expected a text");
        }
        out = value.get<std::string>();
        return true;
    }

    // A text into a zero-terminated field, with the bytes of its "...Rest" key after the zero.
    bool textField(const Json& object, const char* key, const Place& at, char* field,
                   std::size_t size) {
        Place place = at;
        place.field = key;
        std::string value;
        if (object.contains(key)) {
            const Json& given = object[key];
            const bool hex = given.is_object() && given.size() == 1 && given.contains("hex");
            if (hex ? !text(given["hex"], place, value) || !HexBytes(value, value).ok
                    : !text(given, place, value)) {
                return hex ? fail(place, "expected {\"hex\": hex digit pairs} or a text") : false;
            }
        } else {
            value = std::string(field, strnlen(field, size));
        }
        if (value.size() >= size || value.find('\0') != std::string::npos) {
            return fail(place, "at most " + std::to_string(size - 1) + " bytes and no zero byte");
        }
        std::memset(field, 0, size);
        std::memcpy(field, value.data(), value.size());
        const std::string restKey = std::string(key) + REST_SUFFIX;
        return rest(object, restKey, at, reinterpret_cast<std::uint8_t*>(field), value.size() + 1,
                    size);
    }

    bool rest(const Json& object, const std::string& key, const Place& at, std::uint8_t* field,
              std::size_t from, std::size_t size) {
        if (!object.contains(key)) {
            return true;
        }
        Place place = at;
        place.field = key;
        std::string hex;
        if (!text(object[key], place, hex)) {
            return false;
        }
        std::string bytes;
        if (!HexBytes(hex, bytes).ok || bytes.size() > size - std::min(from, size)) {
            return fail(place, "expected hex digit pairs that fit the field");
        }
        std::memcpy(field + from, bytes.data(), bytes.size());
        return true;
    }

    static bool SameIgnoringCase(const std::string& a, const char* b) {
        return a.size() == std::strlen(b) && std::equal(a.begin(), a.end(), b, [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) ==
                          std::tolower(static_cast<unsigned char>(y));
               });
    }

    static std::string Choices(const Field& field) {
        std::string list;
        for (std::uint32_t i = 0; i < field.count; ++i) {
            list +=
                (i == 0 ? "" : ", ") + (field.words != nullptr ? std::string(field.words[i])
                                                               : std::to_string(field.numbers[i]));
        }
        return list;
    }
};

// Latin-1 characters back to bytes; false for a character past U+00FF.
bool Utf8ToLatin1(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            bytes += static_cast<char>(((c & 0x03) << 6) | (text[++i] & 0x3F));
        } else {
            return false;
        }
    }
    return true;
}

bool ReadGeneratorData(Reader& reader, const Json& object, const Place& at, PortConfig& port) {
    Place place = at;
    place.field = KEY_GEN_DATA;
    if (object.contains(KEY_GEN_DATA)) {
        std::string text, bytes;
        if (!reader.text(object[KEY_GEN_DATA], place, text)) {
            return false;
        }
        if (port.genHex == 1) {
            const HexResult hex = HexBytes(text, bytes);
            if (!hex.ok || bytes.size() > GEN_DATA_SIZE) {
                return reader.fail(place, hex.ok ? "more than 50 bytes" : HexProblemText(hex));
            }
        } else if (!Utf8ToLatin1(text, bytes) || bytes.size() > GEN_DATA_SIZE) {
            return reader.fail(place, "at most 50 characters from U+0000 to U+00FF");
        }
        std::memset(port.genData, 0, GEN_DATA_SIZE);
        std::memcpy(port.genData, bytes.data(), bytes.size());
        port.genLength = static_cast<std::uint32_t>(bytes.size());
    }
    return reader.rest(object, std::string(KEY_GEN_DATA) + REST_SUFFIX, at, port.genData,
                       std::min<std::size_t>(port.genLength, GEN_DATA_SIZE), GEN_DATA_SIZE);
}

bool KnownPortKey(const std::string& key) {
    for (const Field& field : PORT_FIELDS) {
        if (key == field.key) {
            return true;
        }
    }
    const std::string rest = REST_SUFFIX;
    for (const char* text : {KEY_REMOTE_HOST, KEY_GEN_DATA}) {
        if (key == text || key == text + rest) {
            return true;
        }
    }
    return key == KEY_REMOTE_ADDR;
}

bool ReadPort(Reader& reader, const Json& object, const Place& at, PortConfig& port) {
    if (!object.is_object()) {
        return reader.fail(at, "expected an object");
    }
    for (const auto& item : object.items()) {
        if (!KnownPortKey(item.key())) {
            Place place = at;
            place.field = item.key();
            return reader.fail(place, "unknown field");
        }
    }
    for (const Field& field : PORT_FIELDS) {
        Place place = at;
        place.field = field.key;
        std::uint32_t value = Get(port, field.offset);
        if (object.contains(field.key) && !reader.field(field, object[field.key], place, value)) {
            return false;
        }
        Set(port, field.offset, value);
    }
    if (object.contains(KEY_REMOTE_ADDR)) {
        std::uint32_t addr = 0;
        if (!reader.number(object[KEY_REMOTE_ADDR], Place{at.link, at.port, KEY_REMOTE_ADDR},
                           addr)) {
            return false;
        }
        port.remoteAddr = addr;
    }
    return reader.textField(object, KEY_REMOTE_HOST, at, port.remoteHost, sizeof port.remoteHost) &&
           ReadGeneratorData(reader, object, at, port);
}

// The link dialog's checks of one port's own values, each naming its field. What the dialog
// does not read (the other kind's settings, the forwarding values under "forward instantly",
// the generator's while it is off) only has to be a value of its kind.
bool CheckPort(Reader& reader, const Place& at, const PortConfig& port) {
    auto bad = [&](const char* key, const std::string& problem) {
        Place place = at;
        place.field = key;
        return reader.fail(place, problem);
    };
    auto range = [&](const char* key, std::uint32_t value, std::uint32_t low, std::uint32_t high) {
        return (value >= low && value <= high) ||
               bad(key, std::to_string(value) + " is not from " + std::to_string(low) + " to " +
                            std::to_string(high));
    };
    if (port.portType > PORT_TYPE_IP) {
        return bad("type", "expected serial or ip");
    }
    if (!range("reconnectSecs", port.reconnectSecs, 1, 999)) {
        return false;
    }
    if (port.genTraffic != 0) {
        const std::size_t limit = port.genHex == 1 ? GEN_DATA_TYPING_LIMIT / 2 : GEN_ASCII_MAX;
        if (port.genLength > limit) {
            return bad(KEY_GEN_DATA, "more than " + std::to_string(limit) +
                                         (port.genHex == 1 ? " bytes" : " characters"));
        }
        if (!range("generatorPeriodMs", port.genPeriodMs, 1, 9999)) {
            return false;
        }
    }
    if (port.portType == PORT_TYPE_SERIAL) {
        if (!range("com", port.comIndex + 1, 1, COM_CHOICE_COUNT)) {
            return false;
        }
        for (const Field& field : PORT_FIELDS) {
            const bool listed = field.offset == offsetof(PortConfig, baudIndex) ||
                                field.offset == offsetof(PortConfig, dataBitsIndex) ||
                                field.offset == offsetof(PortConfig, parityIndex) ||
                                field.offset == offsetof(PortConfig, stopBitsIndex);
            if (listed && Get(port, field.offset) >= field.count) {
                return bad(field.key, "expected one of " + Reader::Choices(field));
            }
        }
    } else {
        if (port.ipProtocol > IP_PROTO_UDP) {
            return bad("protocol", "expected TCP or UDP");
        }
        if (port.tcpRole > TCP_ROLE_SERVER) {
            return bad("role", "expected client or server");
        }
        if (!range("ipPort", port.ipPort, 1, IP_PORT_MAX)) {
            return false;
        }
        const std::string host(port.remoteHost);
        if (port.ipProtocol == IP_PROTO_TCP && port.tcpRole == TCP_ROLE_CLIENT &&
            host.find_first_not_of(' ') == std::string::npos) {
            return bad(KEY_REMOTE_HOST, MSG_NO_REMOTE_HOST);
        }
    }
    if (port.fwdInstant == 0) {
        if (port.fwdBufferFull != 0 &&
            !range("bufferSize", port.bufferSize, 1, RECEIVE_BUFFER_SIZE)) {
            return false;
        }
        if (port.fwdInterChar != 0 && !range("interCharMs", port.interCharMs, 1, 9999)) {
            return false;
        }
        if (port.fwdFrameEnd != 0 && !range("frameEndChar", port.frameEndChar, 0, 255)) {
            return false;
        }
    }
    return true;
}

bool ReadLink(Reader& reader, const Json& object, int index, LinkTable& table, std::uint32_t& id) {
    Place at{"link " + std::to_string(index + 1) + " of the file", -1, {}};
    if (!object.is_object()) {
        return reader.fail(at, "expected an object");
    }
    for (const auto& item : object.items()) {
        if (item.key() != "id" && item.key() != "name" && item.key() != "nameRest" &&
            item.key() != "ports") {
            at.field = item.key();
            return reader.fail(at, "unknown field");
        }
    }
    id = MAX_LINKS;
    if (object.contains("id")) {
        at.field = "id";
        if (!reader.number(object["id"], at, id) || id >= MAX_LINKS) {
            return reader.fail(at, "expected a link id from 0 to 31");
        }
        if (table.entry[id].inUse == 1) {
            return reader.fail(at, "link id " + std::to_string(id) + " given twice");
        }
        at.field.clear();
    } else {
        for (id = 0; id < MAX_LINKS && table.entry[id].inUse == 1; ++id) {
        }
        if (id == MAX_LINKS) {
            return reader.fail(at, "more than 32 links");
        }
    }
    LinkEntry& entry = table.entry[id];
    entry.inUse = 1;
    entry.config = DefaultLinkConfig(LinkTable{});
    std::memset(entry.config.name, 0, sizeof entry.config.name);
    if (object.contains("name") && object["name"].is_string()) {
        at.link = "link " + std::to_string(id) + " \"" + object["name"].get<std::string>() + "\"";
    } else {
        at.link = "link " + std::to_string(id);
    }
    if (!reader.textField(object, "name", at, entry.config.name, sizeof entry.config.name)) {
        return false;
    }
    if (entry.config.name[0] == '\0') {
        at.field = "name";
        return reader.fail(at, MSG_EMPTY_NAME);
    }
    if (!object.contains("ports") || !object["ports"].is_array() ||
        object["ports"].size() != PORTS_PER_LINK) {
        at.field = "ports";
        return reader.fail(at, "expected an array of two ports, P1 and P2");
    }
    for (int p = 0; p < static_cast<int>(PORTS_PER_LINK); ++p) {
        const Place place{at.link, p, {}};
        if (!ReadPort(reader, object["ports"][p], place, entry.config.port[p]) ||
            !CheckPort(reader, place, entry.config.port[p])) {
            return false;
        }
    }
    return true;
}

bool ReadSettings(Reader& reader, const Json& object, SettingsBlock& settings) {
    Place at{{}, -1, "settings"};
    if (!object.is_object()) {
        return reader.fail(at, "expected an object");
    }
    const Field flag{"flag", 0, Kind::Flag};
    for (const auto& item : object.items()) {
        at.field = "settings." + item.key();
        std::uint32_t value = 0;
        const bool isFlag = item.key() == "logEventsToFile" || item.key() == "logTraceToFile" ||
                            item.key() == "traceAscii";
        if (isFlag) {
            if (!reader.field(flag, item.value(), at, value)) {
                return false;
            }
            (item.key() == "logEventsToFile"  ? settings.logEventsToFile
             : item.key() == "logTraceToFile" ? settings.logTraceToFile
                                              : settings.traceAscii) = value;
        }
        if (item.key() == "selectedLinkRow") {
            if (!item.value().is_null() && !reader.number(item.value(), at, value)) {
                return false;
            }
            settings.selectedLinkRow = item.value().is_null() ? SELECTED_ROW_NONE : value;
        } else if (!isFlag) {
            return reader.fail(at, "unknown field");
        }
    }
    return true;
}

// Where a failed check of link `id` against the others lies: its name, or the first port whose
// COM device or port number another link (or, for a COM device, its own P1) holds. Only the link
// when none is found.
Place ClashPlace(const LinkTable& table, std::uint32_t id, const ComDevices& devices,
                 const Place& link) {
    const LinkConfig& config = table.entry[id].config;
    auto others = [&](auto&& holds) {
        for (const LinkEntry& other : table.entry) {
            if (other.inUse == 1 && other.linkId != id && holds(other.config)) {
                return true;
            }
        }
        return false;
    };
    if (others([&](const LinkConfig& c) {
            return Reader::SameIgnoringCase(NameOf(c), config.name);
        })) {
        return Place{link.link, -1, "name"};
    }
    auto sameDevice = [&](const PortConfig& a, const PortConfig& b) {
        if (a.portType != PORT_TYPE_SERIAL || b.portType != PORT_TYPE_SERIAL) {
            return false;
        }
        const std::string device = ComPortDevice(a.comIndex, devices);
        return a.comIndex == b.comIndex ||
               (!device.empty() && device == ComPortDevice(b.comIndex, devices));
    };
    auto sameNumber = [](const PortConfig& a, const PortConfig& b) {
        auto holds = [](const PortConfig& q) {
            return q.portType == PORT_TYPE_IP &&
                   (q.ipProtocol == IP_PROTO_UDP || q.tcpRole == TCP_ROLE_SERVER);
        };
        return holds(a) && holds(b) &&
               (a.ipProtocol == IP_PROTO_UDP) == (b.ipProtocol == IP_PROTO_UDP) &&
               (a.ipPort & IP_PORT_MAX) == (b.ipPort & IP_PORT_MAX);
    };
    for (int p = 0; p < static_cast<int>(PORTS_PER_LINK); ++p) {
        const PortConfig& port = config.port[p];
        auto held = [&](auto&& same) {
            return others([&](const LinkConfig& c) {
                return same(c.port[0], port) || same(c.port[1], port);
            });
        };
        if ((p == 1 && sameDevice(config.port[0], port)) || held(sameDevice)) {
            return Place{link.link, p, "com"};
        }
        if (held(sameNumber)) {
            return Place{link.link, p, "ipPort"};
        }
    }
    return link;
}

} // namespace

std::string ExportConfigJson(const SettingsBlock& settings, const LinkTable& table) {
    Json root = Json::object();
    root["settings"] = {
        {"logEventsToFile", settings.logEventsToFile == 1},
        {"logTraceToFile", settings.logTraceToFile == 1},
        {"traceAscii", settings.traceAscii == 1},
        {"selectedLinkRow", settings.selectedLinkRow == SELECTED_ROW_NONE
                                ? Json(nullptr)
                                : Json(std::uint32_t{settings.selectedLinkRow})},
    };
    Json links = Json::array();
    for (const LinkEntry& entry : table.entry) {
        if (entry.inUse != 1) {
            continue;
        }
        Json link = Json::object();
        link["id"] = std::uint32_t{entry.linkId}; // a copy: the record is packed
        PutText(link, "name", entry.config.name, sizeof entry.config.name);
        link["ports"] = {PortJson(entry.config.port[0]), PortJson(entry.config.port[1])};
        links.push_back(std::move(link));
    }
    root["links"] = std::move(links);
    // A damaged name need not be UTF-8; it must not stop the export.
    return root.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

ImportResult ImportConfigJson(const std::string& text, const LinkTable& base,
                              const ComDevices& devices, SettingsBlock& settings,
                              LinkTable& table) {
    Json root;
    try {
        root = Json::parse(text);
    } catch (const Json::exception& error) { // a syntax error, or a number out of range
        return {false, std::string("not JSON: ") + error.what()};
    }
    Reader reader;
    table = base;
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        table.entry[i].linkId = i;
        table.entry[i].inUse = 0;
    }
    settings = SettingsBlock{0, 0, SELECTED_ROW_NONE, 0};
    if (!root.is_object()) {
        return {false, "expected an object with \"settings\" and \"links\""};
    }
    for (const auto& item : root.items()) {
        if (item.key() != "settings" && item.key() != "links") {
            return {false, Place{{}, -1, item.key()}.text("unknown field")};
        }
    }
    if (root.contains("settings") && !ReadSettings(reader, root["settings"], settings)) {
        return {false, *reader.error};
    }
    const Json links = root.contains("links") ? root["links"] : Json::array();
    if (!links.is_array()) {
        return {false, Place{{}, -1, "links"}.text("expected an array")};
    }
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < links.size(); ++i) {
        std::uint32_t id = 0;
        if (!ReadLink(reader, links[i], static_cast<int>(i), table, id)) {
            return {false, *reader.error};
        }
        ids.push_back(id);
    }
    // Each link as its Save checks it against the others, once every link is in the table.
    for (const std::uint32_t id : ids) {
        LinkConfig scratch = table.entry[id].config;
        const FormCheck check = ReadLinkForm(FormOf(scratch), id, table, scratch, devices);
        if (!check.ok) {
            const Place link{"link " + std::to_string(id) + " \"" + NameOf(table.entry[id].config) +
                                 "\"",
                             -1,
                             {}};
            return {false, ClashPlace(table, id, devices, link).text(check.message)};
        }
    }
    return {true, {}};
}

} // namespace pw::app
