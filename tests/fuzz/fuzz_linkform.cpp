// Fuzz target: the form of any stored record, damaged, read for any link id beside a link "Plant"
// on COM1 and COM3. A form that fails says why (the empty name first); one that passes gives a
// record in range, clashing with no other link, and the same byte for byte when read again.
#include "app/core/dialog_texts.h"
#include "app/core/link_form.h"
#include "app/core/texts.h"
#include "tests/fuzz/fuzz_input.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

using namespace pw::app;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BuildNameTables();
    static LinkTable table;                          // large: kept off the stack
    table.entry[5] = LinkEntry{5, 1, {"Plant", {}}}; // serial ports on COM1 and COM3
    table.entry[5].config.port[1].comIndex = 2;
    FuzzInput in{data, size};
    const std::uint32_t id = in.byte() % MAX_LINKS;
    LinkConfig stored{};
    const std::size_t n = std::min(size - in.at, sizeof stored);
    std::copy_n(data + in.at, n, reinterpret_cast<std::uint8_t*>(&stored)), in.at += n;
    LinkForm form = FormOf(stored);
    const char* names[] = {"Link1", "PLANT", "plant", "x", ""}; // or any text
    form.name = in.byte() < 200 ? names[in.last % 5] : in.text(45, false);
    for (PortForm& p : form.port) { // what no record shows: past a list, not digits, too long
        p.comIndex = in.choice(COM_CHOICE_COUNT);
        p.baudIndex = in.choice(BAUD_RATE_COUNT);
        p.remoteHost += in.text(20, false);
        p.bufferSize = in.text(6, in.byte() & 1);
        p.reconnectSecs = in.text(4, in.byte() & 1);
        p.genTraffic = in.byte() & 1;
        p.genHex = in.last & 2;
        p.genData = in.text(60, in.last & 4); // digits are hex digits too
        p.genPeriodMs = in.text(6, true);
    }
    LinkConfig c = DefaultLinkConfig(table);
    const FormCheck check = ReadLinkForm(form, id, table, c);
    const bool cutBack = form.name.size() > LINK_NAME_MAX && (form.name[1] & 0xC0) == 0x80;
    REQUIRE(check.ok == check.message.empty() && // the name is empty when it is, or when cut
            (cutBack || (check.message == MSG_EMPTY_NAME) == (form.name[0] == '\0')));
    if (!check.ok) {
        return 0;
    }
    REQUIRE(id == 5 || NameOf(c).size() != 5 || ::strncasecmp(c.name, "plant", 5) != 0);
    for (const PortConfig& p : c.port) {
        const PortConfig& other = c.port[&p == c.port ? 1 : 0];
        REQUIRE(p.portType != 0 || ((other.portType != 0 || other.comIndex != p.comIndex) &&
                                    (id == 5 || (p.comIndex != 0 && p.comIndex != 2))));
        REQUIRE(p.portType < 2 && p.comIndex < 32 && p.baudIndex < 15 && p.dataBitsIndex < 4 &&
                p.parityIndex < 5 && p.stopBitsIndex < 3 && p.ipProtocol < 2 && p.tcpRole < 2 &&
                p.ipPort <= 99999 && p.frameEndChar < 256 && p.reconnectSecs - 1 < 999); // 1 to 999
        REQUIRE((p.rtsCts | p.fwdInstant | p.fwdBufferFull | p.fwdInterChar | p.fwdFrameEnd |
                 p.autoReconnect | p.activateOnSave | p.loopback | p.genTraffic | p.genHex) <= 1);
        REQUIRE(p.fwdInstant || ((!p.fwdBufferFull || p.bufferSize - 1 < RECEIVE_BUFFER_SIZE) &&
                                 (!p.fwdInterChar || p.interCharMs - 1 < 9999)));
    }
    LinkConfig reread = c; // shown again and saved unchanged: the same record
    REQUIRE(ReadLinkForm(FormOf(c), id, table, reread).ok &&
            std::memcmp(&reread, &c, sizeof c) == 0);
    return 0;
}
