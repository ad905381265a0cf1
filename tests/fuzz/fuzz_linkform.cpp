// Fuzz target: the link form's reading and checking, on any form, any table of other links and
// any link id. The input is decoded into those; then:
//   - a form that passes gives a record whose every field is within its documented range, whose
//     name is not used by another link in any letter case, and whose serial ports share their COM
//     port with nothing;
//   - showing that record and reading it again gives the very same bytes (so the hex text of the
//     generator's bytes converts back to those bytes);
//   - a form that fails names one of the known messages, the empty name first of all;
//   - the same form read twice gives the same outcome.
#include "app/core/dialog_texts.h"
#include "app/core/link_form.h"
#include "app/core/texts.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

using namespace pw::app;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Takes bytes from the input, and zeros once it is used up.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool flag() { return (byte() & 1) != 0; }
    // A list position: mostly one of the list's, sometimes none or one past its end.
    int choice(int count) {
        const std::uint8_t b = byte();
        if (b == 0xFF) {
            return NO_CHOICE;
        }
        return b >= 0xF0 ? count + (b & 0x0F) : b % count;
    }
    // A text of up to `max` bytes.
    std::string text(std::size_t max) {
        const std::size_t length = byte() % (max + 1);
        std::string s;
        for (std::size_t i = 0; i < length; ++i) {
            s += static_cast<char>(byte());
        }
        return s;
    }
    // Mostly digits, as a numeric edit holds them.
    std::string digits(std::size_t max) {
        std::string s = text(max);
        for (char& c : s) {
            const auto b = static_cast<std::uint8_t>(c);
            if (b < 0xF0) {
                c = static_cast<char>('0' + b % 10);
            }
        }
        return s;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

constexpr const char* NAMES[] = {"Link1", "LINK1", "link2", "Plant", "PLANT", "x"};

std::string Name(Reader& in) {
    const std::uint8_t pick = in.byte();
    return pick < 200 ? NAMES[pick % std::size(NAMES)] : in.text(45);
}

PortForm DecodePort(Reader& in) {
    PortForm p;
    p.portType = in.choice(PORT_TYPE_COUNT);
    p.comIndex = in.choice(COM_CHOICE_COUNT);
    p.baudIndex = in.choice(15);
    p.dataBitsIndex = in.choice(4);
    p.parityIndex = in.choice(5);
    p.stopBitsIndex = in.choice(3);
    p.rtsCts = in.flag();
    p.ipProtocol = in.choice(IP_PROTOCOL_COUNT);
    p.tcpRole = in.choice(TCP_ROLE_COUNT);
    p.ipPort = in.digits(8);
    p.remoteHost = in.text(60);
    p.fwdInstant = in.flag();
    p.fwdBufferFull = in.flag();
    p.bufferSize = in.digits(6);
    p.fwdInterChar = in.flag();
    p.interCharMs = in.digits(6);
    p.fwdFrameEnd = in.flag();
    p.frameEndChar = in.choice(FRAME_END_COUNT);
    p.autoReconnect = in.flag();
    p.reconnectSecs = in.digits(5);
    p.activateOnSave = in.flag();
    p.loopback = in.flag();
    p.genTraffic = in.flag();
    p.genHex = in.flag();
    p.genData = in.text(70);
    p.genPeriodMs = in.digits(6);
    return p;
}

void DecodeOthers(Reader& in, LinkTable& table) {
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        table.entry[i].linkId = i;
    }
    const int count = in.byte() % 6;
    for (int n = 0; n < count; ++n) {
        LinkEntry& entry = table.entry[in.byte() % MAX_LINKS];
        entry.inUse = in.flag() ? 1 : 0;
        const std::string name = Name(in);
        std::memset(entry.config.name, 0, sizeof(entry.config.name));
        std::memcpy(entry.config.name, name.data(),
                    std::min<std::size_t>(name.size(), LINK_NAME_MAX));
        for (PortConfig& port : entry.config.port) {
            port.portType = in.byte() % 3; // 2: neither kind, as a damaged file may hold
            port.comIndex = in.byte() % 34;
        }
    }
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsFlag(std::uint32_t v) {
    return v <= 1;
}

void CheckPassed(const LinkConfig& c, std::uint32_t linkId, const LinkTable& table) {
    const std::size_t nameLength = strnlen(c.name, sizeof(c.name));
    Require(nameLength >= 1 && nameLength <= LINK_NAME_MAX);
    const std::string name(c.name, nameLength);
    for (const LinkEntry& other : table.entry) {
        if (other.inUse != 0 && other.linkId != linkId) {
            Require(!SameIgnoringCase(NameOf(other.config), name));
            for (const PortConfig& theirs : other.config.port) {
                for (const PortConfig& mine : c.port) {
                    Require(!(mine.portType == PORT_TYPE_SERIAL &&
                              theirs.portType == PORT_TYPE_SERIAL &&
                              mine.comIndex == theirs.comIndex));
                }
            }
        }
    }
    if (c.port[0].portType == PORT_TYPE_SERIAL && c.port[1].portType == PORT_TYPE_SERIAL) {
        Require(c.port[0].comIndex != c.port[1].comIndex);
    }
    for (const PortConfig& p : c.port) {
        Require(p.portType < 2 && p.comIndex < 32 && p.baudIndex < BAUD_RATE_COUNT &&
                p.dataBitsIndex < DATA_BITS_COUNT && p.parityIndex < PARITY_COUNT &&
                p.stopBitsIndex < STOP_BITS_COUNT && p.ipProtocol < 2 && p.tcpRole < 2);
        Require(p.ipPort <= 99999);
        Require(strnlen(p.remoteHost, sizeof(p.remoteHost)) <= REMOTE_HOST_MAX);
        Require(IsFlag(p.rtsCts) && IsFlag(p.fwdInstant) && IsFlag(p.fwdBufferFull) &&
                IsFlag(p.fwdInterChar) && IsFlag(p.fwdFrameEnd) && IsFlag(p.autoReconnect) &&
                IsFlag(p.activateOnSave) && IsFlag(p.loopback) && IsFlag(p.genTraffic) &&
                IsFlag(p.genHex));
        Require(p.reconnectSecs >= 1 && p.reconnectSecs <= 999);
        if (p.fwdInstant == 0 && p.fwdBufferFull != 0) {
            Require(p.bufferSize >= 1 && p.bufferSize <= RECEIVE_BUFFER_SIZE);
        }
        if (p.fwdInstant == 0 && p.fwdInterChar != 0) {
            Require(p.interCharMs >= 1 && p.interCharMs <= 9999);
        }
        Require(p.frameEndChar <= 255);
        Require(p.genLength <= GEN_DATA_SIZE);
        if (p.genTraffic != 0) {
            Require(p.genLength <= (p.genHex != 0 ? GEN_DATA_TYPING_LIMIT / 2 : GEN_ASCII_MAX));
            Require(p.genPeriodMs <= 9999);
        }
        Require(p.trace == 0 && p.active == 0 && p.remoteAddr == 0); // never touched
    }
}

bool KnownMessage(const std::string& m) {
    for (const char* known : {MSG_EMPTY_NAME, MSG_ZERO_INTER_CHAR, MSG_ZERO_RECONNECT}) {
        if (m == known) {
            return true;
        }
    }
    for (const char* prefix : {"Name ", "Same port COM", "port COM",
                               "Invalid buffer size. Please use buffer size 1 to 2048"}) {
        if (m.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BuildNameTables();
    Reader in(data, size);
    static LinkTable table; // large: kept off the stack
    table = LinkTable{};
    DecodeOthers(in, table);
    const std::uint32_t linkId = in.byte() % MAX_LINKS;
    LinkForm form;
    form.name = Name(in);
    for (PortForm& port : form.port) {
        port = DecodePort(in);
    }

    const LinkConfig base = DefaultLinkConfig(table);
    LinkConfig config = base;
    const FormCheck check = ReadLinkForm(form, linkId, table, config);
    LinkConfig again = base;
    const FormCheck repeat = ReadLinkForm(form, linkId, table, again);
    Require(check.ok == repeat.ok && check.message == repeat.message);
    Require(std::memcmp(&config, &again, sizeof(LinkConfig)) == 0);

    if (!check.ok) {
        Require(KnownMessage(check.message));
        if (form.name.empty() || form.name[0] == '\0') {
            Require(check.message == MSG_EMPTY_NAME);
        }
        return 0;
    }
    Require(check.message.empty());
    CheckPassed(config, linkId, table);

    // Shown again and saved unchanged: the same record.
    LinkConfig reread = config;
    const FormCheck second = ReadLinkForm(FormOf(config), linkId, table, reread);
    Require(second.ok);
    Require(std::memcmp(&reread, &config, sizeof(LinkConfig)) == 0);
    return 0;
}
