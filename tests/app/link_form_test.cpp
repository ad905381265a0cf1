// The link form without widgets: the defaults of a new link, showing a stored link, the enabling
// rules and the forwarding boxes, and reading the form at Save with every check in its order.
#include "app/core/com_devices.h"
#include "app/core/dialog_texts.h"
#include "app/core/link_form.h"
#include "app/core/texts.h"
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace pw::app;
using apptest::SerialPortConfig;
using apptest::SetLink;
using apptest::TcpClientPort;
using apptest::TcpServerPort;

constexpr std::uint32_t SELF = 5; // the link id the form is read for

// The form a new link opens with.
LinkForm NewLinkForm(const LinkTable& table = {}) {
    return FormOf(DefaultLinkConfig(table));
}

void MakeTcpServer(PortForm& port, const char* ipPort) {
    port.portType = PORT_TYPE_IP;
    port.ipProtocol = IP_PROTO_TCP;
    port.tcpRole = TCP_ROLE_SERVER;
    port.ipPort = ipPort;
}

// Reads `form` for SELF into a copy of `base`; the result and the record.
struct Read {
    FormCheck check;
    LinkConfig config;
};
Read ReadFor(const LinkForm& form, const LinkTable& table = {},
             const LinkConfig& base = DefaultLinkConfig({})) {
    Read r{{}, base};
    r.check = ReadLinkForm(form, SELF, table, r.config);
    return r;
}

TEST(LinkDefaultsTest, NewLinkRecordAndItsName) {
    const LinkConfig c = DefaultLinkConfig(LinkTable{});
    EXPECT_STREQ(c.name, "Link1");
    const PortConfig& p1 = c.port[0];
    const PortConfig& p2 = c.port[1];
    EXPECT_EQ(+p1.portType, PORT_TYPE_SERIAL);
    EXPECT_EQ(+p2.portType, PORT_TYPE_IP);
    EXPECT_EQ(+p1.comIndex, 0u);
    EXPECT_EQ(+p2.comIndex, 1u);
    for (const PortConfig* p : {&p1, &p2}) {
        EXPECT_EQ(BAUD_RATES[p->baudIndex], 9600u);
        EXPECT_EQ(DATA_BITS[p->dataBitsIndex], 8u);
        EXPECT_STREQ(PARITY_ITEMS[p->parityIndex], "NONE");
        EXPECT_STREQ(STOP_BITS_ITEMS[p->stopBitsIndex], "1");
        EXPECT_EQ(+p->rtsCts, 1u);
        EXPECT_EQ(+p->ipProtocol, IP_PROTO_TCP);
        EXPECT_EQ(+p->tcpRole, TCP_ROLE_CLIENT);
        EXPECT_EQ(+p->fwdInstant, 1u);
        EXPECT_EQ(p->fwdBufferFull + p->fwdInterChar + p->fwdFrameEnd, 0u);
        EXPECT_EQ(+p->bufferSize, 1400u);
        EXPECT_EQ(+p->interCharMs, 10u);
        EXPECT_EQ(+p->frameEndChar, 2u);
        EXPECT_EQ(+p->reconnectSecs, 10u);
        EXPECT_EQ(p->autoReconnect + p->activateOnSave + p->active + p->trace + p->loopback +
                      p->genTraffic + p->genHex + p->genLength + p->genPeriodMs + p->remoteAddr,
                  0u);
    }
    EXPECT_EQ(+p1.ipPort, 1000u);
    EXPECT_EQ(+p2.ipPort, 1001u);
    EXPECT_STREQ(p1.remoteHost, "192.168.1.1");
    EXPECT_STREQ(p2.remoteHost, "192.168.1.2");

    // Names taken in any letter case are skipped; a free entry's old name is not taken.
    LinkTable table{};
    SetLink(table, 0, "LINK1", SerialPortConfig(0), TcpServerPort(1, false));
    SetLink(table, 7, "Link2", SerialPortConfig(1), TcpServerPort(2, false));
    SetLink(table, 9, "link3", SerialPortConfig(2), TcpServerPort(3, false));
    table.entry[9].inUse = 0;
    EXPECT_EQ(DefaultLinkName(table), "Link3");
    EXPECT_STREQ(DefaultLinkConfig(table).name, "Link3");
    // A full table still has a name to offer (the smallest gap).
    LinkTable full{};
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        SetLink(full, i, Format("link%u", i == 4 ? 99u : i + 1).c_str(), SerialPortConfig(i),
                TcpServerPort(1, false));
    }
    EXPECT_EQ(DefaultLinkName(full), "Link5");
}

TEST(LinkFormTest, AStoredLinkShownAndSavedUnchangedIsTheSameRecord) {
    LinkConfig rich = DefaultLinkConfig({});
    std::strcpy(rich.name, "Rich");
    rich.port[0].baudIndex = 14;
    rich.port[0].parityIndex = 4;
    rich.port[0].rtsCts = 0;
    rich.port[0].fwdInstant = 0;
    rich.port[0].fwdBufferFull = 1;
    rich.port[0].bufferSize = 2048;
    rich.port[0].fwdFrameEnd = 1;
    rich.port[0].frameEndChar = 255;
    rich.port[0].genTraffic = 1;
    rich.port[0].genHex = 1;
    rich.port[0].genLength = 3;
    rich.port[0].genData[0] = 0x00;
    rich.port[0].genData[1] = 0xFF;
    rich.port[0].genData[2] = 0x7E;
    rich.port[0].genPeriodMs = 9999;
    rich.port[1].ipProtocol = IP_PROTO_UDP;
    rich.port[1].tcpRole = TCP_ROLE_SERVER;
    rich.port[1].ipPort = 99999;
    rich.port[1].autoReconnect = 1;
    rich.port[1].reconnectSecs = 999;
    rich.port[1].activateOnSave = 1;
    rich.port[1].loopback = 1;
    rich.port[1].genTraffic = 1;
    rich.port[1].genLength = 5;
    std::memcpy(rich.port[1].genData, "hello", 5);
    for (const LinkConfig& stored : {DefaultLinkConfig({}), rich}) {
        const Read r = ReadFor(FormOf(stored), {}, stored);
        ASSERT_TRUE(r.check.ok) << r.check.message;
        EXPECT_EQ(std::memcmp(&r.config, &stored, sizeof(LinkConfig)), 0) << stored.name;
    }

    // What the form holds replaces what the record had, field by field.
    LinkConfig stale = rich;
    std::strcpy(stale.name, "Stale");
    for (PortConfig& port : stale.port) {
        port.portType ^= 1;
        port.activateOnSave ^= 1;
        port.autoReconnect ^= 1;
        port.reconnectSecs = 1;
        port.loopback ^= 1;
        port.genHex ^= 1;
        port.genPeriodMs = 1;
        port.fwdInstant ^= 1;
        port.fwdFrameEnd ^= 1;
    }
    stale.port[0].baudIndex = 0;
    stale.port[0].bufferSize = 5;
    stale.port[1].ipPort = 1;
    const Read r = ReadFor(FormOf(rich), {}, stale);
    ASSERT_TRUE(r.check.ok) << r.check.message;
    EXPECT_EQ(std::memcmp(&r.config, &rich, sizeof(LinkConfig)), 0);
}

TEST(LinkFormTest, NamesAreNeededAndUniqueInAnyLetterCase) {
    LinkTable table{};
    SetLink(table, 3, "Plant", SerialPortConfig(7), TcpServerPort(1, false));
    SetLink(table, SELF, "Mine", SerialPortConfig(8), TcpServerPort(2, false));
    SetLink(table, 9, "Gone", SerialPortConfig(9), TcpServerPort(3, false));
    table.entry[9].inUse = 0;

    LinkForm form = NewLinkForm();
    form.name = "";
    EXPECT_EQ(ReadFor(form, table).check.message, "Please enter non empty link name");
    form.name = "PLANT";
    EXPECT_EQ(ReadFor(form, table).check.message,
              "Name PLANT already used by an existing link (# 3), please enter a different name");
    form.name = "mINE"; // its own name in another case
    EXPECT_TRUE(ReadFor(form, table).check.ok);
    form.name = "gone"; // only links in use count
    EXPECT_TRUE(ReadFor(form, table).check.ok);

    // At most 40 characters, never splitting a character.
    form.name = std::string(45, 'n');
    EXPECT_EQ(std::string(ReadFor(form, table).config.name), std::string(40, 'n'));
    form.name = std::string(39, 'n') + "\xC3\xA9"; // 39 + a two-byte character
    EXPECT_EQ(std::string(ReadFor(form, table).config.name), std::string(39, 'n'));
    form.name = std::string("ab\0cd", 5); // a control's text ends at a zero
    EXPECT_STREQ(ReadFor(form, table).config.name, "ab");
}

TEST(LinkFormTest, AZeroReconnectIntervalIsRefusedEvenWhenUnchecked) {
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        LinkForm form = NewLinkForm();
        form.port[p].autoReconnect = false;
        form.port[p].reconnectSecs = "";
        const Read r = ReadFor(form);
        EXPECT_EQ(r.check.message, "Please enter a non zero auto-reconnect interval");
        // Checked before the COM ports: a conflict there is not reported first.
        form.port[1].portType = PORT_TYPE_SERIAL;
        form.port[1].comIndex = form.port[0].comIndex;
        EXPECT_EQ(ReadFor(form).check.message, "Please enter a non zero auto-reconnect interval");
    }
    LinkForm form = NewLinkForm();
    form.port[1].autoReconnect = true;
    form.port[1].reconnectSecs = "999";
    const Read r = ReadFor(form);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[1].autoReconnect, 1u);
    EXPECT_EQ(+r.config.port[1].reconnectSecs, 999u);
}

TEST(LinkFormTest, ComPortsAreNeverSharedWithinOrAcrossLinks) {
    LinkTable table{};
    SetLink(table, 2, "Other", TcpServerPort(1, false), SerialPortConfig(3)); // COM4 on its P2
    PortConfig ipWithCom = TcpServerPort(2, false);
    ipWithCom.comIndex = 6; // an IP port's COM index is not a COM port in use
    SetLink(table, 4, "Ip", ipWithCom, ipWithCom);
    SetLink(table, SELF, "Self", SerialPortConfig(5), SerialPortConfig(9)); // the link edited

    LinkForm form = NewLinkForm();
    form.name = "Pair";
    form.port[1].portType = PORT_TYPE_SERIAL;
    form.port[1].comIndex = 0;
    EXPECT_EQ(ReadFor(form, table).check.message,
              "Same port COM1 cannot be configured on both ports of link Pair");

    form.port[1].comIndex = 3;
    EXPECT_EQ(ReadFor(form, table).check.message, "port COM4 already used by link Other");
    form.port[1].comIndex = 1;
    form.port[0].comIndex = 3;
    EXPECT_EQ(ReadFor(form, table).check.message, "port COM4 already used by link Other");

    // COM7 in an IP port's record, and this link's own COM6 and COM10, are free to take.
    form.port[0].comIndex = 6;
    form.port[1].comIndex = 5;
    EXPECT_TRUE(ReadFor(form, table).check.ok);
    form.port[1].comIndex = 9;
    EXPECT_TRUE(ReadFor(form, table).check.ok);

    // The same COM index on an IP port of this link is no conflict either, and it is stored.
    form.port[1].portType = PORT_TYPE_IP;
    form.port[1].comIndex = 6;
    const Read r = ReadFor(form, table);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[1].comIndex, 6u);
}

TEST(LinkFormTest, IpSettingsAreKeptAsTyped) {
    LinkForm form = NewLinkForm();
    MakeTcpServer(form.port[0], "70000");
    form.port[1].ipProtocol = IP_PROTO_UDP;
    form.port[1].ipPort = "123456"; // more than the edit takes: its first five digits
    form.port[1].remoteHost = std::string(41, 'h');
    Read r = ReadFor(form);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[0].ipPort, 70000u);
    EXPECT_EQ(+r.config.port[0].tcpRole, TCP_ROLE_SERVER);
    EXPECT_EQ(+r.config.port[1].ipProtocol, IP_PROTO_UDP);
    EXPECT_EQ(+r.config.port[1].ipPort, 12345u);
    EXPECT_EQ(std::string(r.config.port[1].remoteHost), std::string(40, 'h'));
    form.port[1].ipPort = "12x"; // not a number: 0, like an empty edit
    EXPECT_EQ(+ReadFor(form).config.port[1].ipPort, 0u);
}

TEST(LinkFormTest, SwitchingAPortsTypeKeepsTheOtherKindsSettings) {
    LinkConfig stored = DefaultLinkConfig({});
    stored.port[1] = TcpClientPort(4242, false);
    stored.port[1].comIndex = 11;
    stored.port[1].baudIndex = 12;
    LinkForm form = FormOf(stored);
    EXPECT_EQ(form.port[1].ipPort, "4242");
    EXPECT_EQ(form.port[1].remoteHost, "127.0.0.1");

    // To serial: the serial settings are read, the IP ones stay in the record.
    form.port[1].portType = PORT_TYPE_SERIAL;
    form.port[1].baudIndex = 3;
    form.port[1].ipPort = "1";
    form.port[1].remoteHost = "elsewhere";
    Read r = ReadFor(form, {}, stored);
    ASSERT_TRUE(r.check.ok) << r.check.message;
    EXPECT_EQ(+r.config.port[1].portType, PORT_TYPE_SERIAL);
    EXPECT_EQ(+r.config.port[1].baudIndex, 3u);
    EXPECT_EQ(+r.config.port[1].ipPort, 4242u);
    EXPECT_STREQ(r.config.port[1].remoteHost, "127.0.0.1");

    // Back to TCP/UDP: the form shows the kept settings again.
    LinkForm again = FormOf(r.config);
    EXPECT_EQ(again.port[1].ipPort, "4242");
    EXPECT_EQ(again.port[1].remoteHost, "127.0.0.1");
    EXPECT_EQ(again.port[1].comIndex, 11);

    // A list without a selection (or with a position it does not have) leaves its field.
    form = FormOf(stored);
    form.port[1].portType = NO_CHOICE;
    form.port[1].ipProtocol = 7;
    form.port[1].tcpRole = NO_CHOICE;
    r = ReadFor(form, {}, stored);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[1].portType, PORT_TYPE_IP);
    EXPECT_EQ(+r.config.port[1].ipProtocol, IP_PROTO_TCP);
    EXPECT_EQ(+r.config.port[1].tcpRole, TCP_ROLE_CLIENT);
    // A stored value no list has shows no selection.
    stored.port[0].baudIndex = 15;
    EXPECT_EQ(FormOf(stored).port[0].baudIndex, NO_CHOICE);
}

TEST(LinkFormTest, ForwardingValuesAreCheckedOnlyWhenTheyCount) {
    LinkForm form = NewLinkForm();
    PortForm& p1 = form.port[0];
    p1.fwdInstant = false;
    p1.fwdBufferFull = true;
    p1.bufferSize = "2048";
    Read r = ReadFor(form);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[0].bufferSize, 2048u);
    p1.bufferSize = "2049";
    EXPECT_EQ(ReadFor(form).check.message, "Invalid buffer size. Please use buffer size 1 to 2048");
    p1.bufferSize = "0";
    EXPECT_EQ(ReadFor(form).check.message, "Invalid buffer size. Please use buffer size 1 to 2048");

    p1.bufferSize = "1";
    p1.fwdInterChar = true;
    p1.interCharMs = "";
    EXPECT_EQ(ReadFor(form).check.message, "Please enter a non zero interchar timeout value");
    p1.interCharMs = "9999";
    p1.fwdFrameEnd = true;
    p1.frameEndChar = 255;
    r = ReadFor(form);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[0].fwdBufferFull, 1u);
    EXPECT_EQ(+r.config.port[0].fwdInterChar, 1u);
    EXPECT_EQ(+r.config.port[0].interCharMs, 9999u);
    EXPECT_EQ(+r.config.port[0].frameEndChar, 255u);

    // P2 is checked after P1, with the same rules.
    form.port[1].fwdInstant = false;
    form.port[1].fwdBufferFull = true;
    form.port[1].bufferSize = "4000";
    EXPECT_EQ(ReadFor(form).check.message, "Invalid buffer size. Please use buffer size 1 to 2048");

    // With "Forward instantly" the three values are not even looked at: they keep the record's.
    LinkForm instant = NewLinkForm();
    instant.port[0].fwdBufferFull = true; // a stored record may have both
    instant.port[0].bufferSize = "0";
    instant.port[0].fwdInterChar = true;
    instant.port[0].interCharMs = "0";
    instant.port[0].frameEndChar = 9;
    r = ReadFor(instant);
    ASSERT_TRUE(r.check.ok) << r.check.message;
    EXPECT_EQ(+r.config.port[0].bufferSize, 1400u);
    EXPECT_EQ(+r.config.port[0].interCharMs, 10u);
    EXPECT_EQ(+r.config.port[0].frameEndChar, 2u);
}

TEST(LinkFormTest, AFailedCheckKeepsWhatWasReadBeforeIt) {
    LinkConfig base = DefaultLinkConfig({});
    LinkForm form = FormOf(base);
    form.name = "Partial";
    form.port[0].loopback = true;
    form.port[1].comIndex = 20;
    form.port[0].fwdInstant = false;
    form.port[0].fwdBufferFull = true;
    form.port[0].bufferSize = "5000"; // fails at P1's forwarding values
    form.port[1].fwdInstant = false;
    form.port[1].fwdInterChar = true;
    form.port[1].interCharMs = "77"; // after the failure: never read
    const Read r = ReadFor(form, {}, base);
    EXPECT_FALSE(r.check.ok);
    EXPECT_STREQ(r.config.name, "Partial");
    EXPECT_EQ(+r.config.port[0].loopback, 1u);
    EXPECT_EQ(+r.config.port[1].comIndex, 20u);
    EXPECT_EQ(+r.config.port[0].bufferSize, 5000u);
    EXPECT_EQ(+r.config.port[1].fwdInterChar, 1u); // the flags are read before the values
    EXPECT_EQ(+r.config.port[1].interCharMs, 10u);
}

TEST(LinkFormTest, GeneratorDataAsHexOrAscii) {
    LinkForm form = NewLinkForm();
    PortForm& p1 = form.port[0];
    p1.genTraffic = true;
    p1.genHex = true;
    p1.genData = "0D0a";
    p1.genPeriodMs = "250";
    Read r = ReadFor(form);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[0].genLength, 2u);
    EXPECT_EQ(r.config.port[0].genData[0], 0x0D);
    EXPECT_EQ(r.config.port[0].genData[1], 0x0A);
    EXPECT_EQ(+r.config.port[0].genPeriodMs, 250u);
    EXPECT_EQ(+r.config.port[0].genHex, 1u);
    // Shown again in lower case, without separators.
    EXPECT_EQ(FormOf(r.config).port[0].genData, "0d0a");
    EXPECT_EQ(FormOf(r.config).port[0].genPeriodMs, "250");

    // An odd count: no message, no data; the period stays.
    p1.genData = "0D0";
    r = ReadFor(form);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[0].genLength, 0u);
    EXPECT_EQ(FormOf(r.config).port[0].genData, "");
    EXPECT_EQ(FormOf(r.config).port[0].genPeriodMs, "250");

    // The most the edit holds stays inside genData.
    p1.genData = std::string(60, 'f');
    r = ReadFor(form);
    EXPECT_EQ(+r.config.port[0].genLength, GEN_DATA_TYPING_LIMIT / 2);

    // ASCII: at most 48 characters, the rest of genData zero.
    LinkConfig dirty = DefaultLinkConfig({});
    std::memset(dirty.port[1].genData, 'x', sizeof(dirty.port[1].genData));
    PortForm& p2 = form.port[1];
    p2.genTraffic = true;
    p2.genHex = false;
    p2.genData = std::string(50, 'A');
    r = ReadFor(form, {}, dirty);
    ASSERT_TRUE(r.check.ok);
    EXPECT_EQ(+r.config.port[1].genLength, 48u);
    EXPECT_EQ(r.config.port[1].genData[47], 'A');
    EXPECT_EQ(r.config.port[1].genData[48], 0);
    EXPECT_EQ(r.config.port[1].genData[49], 0);
    EXPECT_EQ(FormOf(r.config).port[1].genData, std::string(48, 'A'));

    // Generator off: its data and period are not read, and not shown.
    p2.genTraffic = false;
    p2.genData = "zz";
    p2.genPeriodMs = "1";
    r = ReadFor(form, {}, dirty);
    EXPECT_EQ(+r.config.port[1].genTraffic, 0u);
    EXPECT_EQ(r.config.port[1].genData[0], 'x');
    EXPECT_EQ(FormOf(r.config).port[1].genData, "");
    EXPECT_EQ(FormOf(r.config).port[1].genPeriodMs, "");
}

TEST(LinkFormTest, EnablingRulesFollowTheForm) {
    PortForm port = NewLinkForm().port[0]; // serial, instant forwarding, nothing else
    PortEnables e = EnablingOf(port);
    EXPECT_TRUE(e.serial);
    EXPECT_FALSE(e.ip);
    EXPECT_FALSE(e.tcpRole);
    EXPECT_FALSE(e.bufferSize || e.interChar || e.frameEnd || e.reconnect || e.generator);

    port.portType = PORT_TYPE_IP;
    e = EnablingOf(port);
    EXPECT_FALSE(e.serial);
    EXPECT_TRUE(e.ip);
    EXPECT_TRUE(e.tcpRole);
    port.ipProtocol = IP_PROTO_UDP;
    EXPECT_FALSE(EnablingOf(port).tcpRole);
    EXPECT_TRUE(EnablingOf(port).ip); // the remote address stays usable for UDP

    port.autoReconnect = true;
    port.genTraffic = true;
    e = EnablingOf(port);
    EXPECT_TRUE(e.reconnect);
    EXPECT_TRUE(e.generator);

    // The forwarding boxes: instant excludes the other three, they combine with each other.
    ForwardBoxClicked(port, ForwardBox::BufferFull, true);
    ForwardBoxClicked(port, ForwardBox::FrameEnd, true);
    EXPECT_FALSE(port.fwdInstant);
    EXPECT_TRUE(port.fwdBufferFull && port.fwdFrameEnd);
    e = EnablingOf(port);
    EXPECT_TRUE(e.bufferSize && e.frameEnd);
    EXPECT_FALSE(e.interChar);
    ForwardBoxClicked(port, ForwardBox::FrameEnd, false);
    EXPECT_FALSE(port.fwdFrameEnd);
    EXPECT_FALSE(port.fwdInstant); // clearing one changes nothing else
    EXPECT_TRUE(port.fwdBufferFull);
    ForwardBoxClicked(port, ForwardBox::Instant, true);
    EXPECT_TRUE(port.fwdInstant);
    EXPECT_FALSE(port.fwdBufferFull || port.fwdInterChar || port.fwdFrameEnd);
    EXPECT_FALSE(EnablingOf(port).bufferSize);
    ForwardBoxClicked(port, ForwardBox::Instant, false);
    EXPECT_FALSE(port.fwdInstant || port.fwdBufferFull || port.fwdInterChar || port.fwdFrameEnd);
    ForwardBoxClicked(port, ForwardBox::InterChar, true);
    EXPECT_TRUE(EnablingOf(port).interChar);
}

TEST(ComDevicesTest, TheMappingFileAsTheSerialLayerReadsIt) {
    const ComDevices devices = ParseComDevices("# adapters\n"
                                               "COM3=/dev/ttyUSB0\n"
                                               "  com4 = /dev/ttyACM0  \r\n"
                                               "\n"
                                               "COM3=/dev/ttyUSB1\n" // the later line wins
                                               "COM0=/dev/zero\n"
                                               "COM101=/dev/null\n"
                                               "COM5=\n"
                                               "COMX=/dev/null\n"
                                               "COM6 /dev/null\n"
                                               "COM32=/dev/pts/9\n"
                                               "COM33=/dev/pts/10\n" +
                                               std::string("COM7=/") + std::string(300, 'p'));
    EXPECT_EQ(devices[2], "/dev/ttyUSB1");
    EXPECT_EQ(devices[3], "/dev/ttyACM0");
    EXPECT_EQ(devices[31], "/dev/pts/9");
    for (const std::uint32_t unmapped : {0u, 4u, 5u, 6u}) {
        EXPECT_EQ(devices[unmapped], "") << unmapped;
    }
    BuildNameTables();
    EXPECT_EQ(ComItemText(2, devices), "COM3 (/dev/ttyUSB1)");
    EXPECT_EQ(ComItemText(0, devices), "COM1");
    EXPECT_EQ(ComItemText(40, devices), "COM41");

    apptest::TempDir dir;
    EXPECT_EQ(LoadComDevices((dir / "missing").string())[2], "");
    {
        std::FILE* f = std::fopen((dir / COM_DEVICE_FILE_NAME).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("COM2=/dev/ttyS9\n", f);
        std::fclose(f);
    }
    EXPECT_EQ(LoadComDevices((dir / COM_DEVICE_FILE_NAME).string())[1], "/dev/ttyS9");
}

} // namespace
