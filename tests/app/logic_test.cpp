// The link form without a window: every check of Save in its order, exactly at and one past
// each limit, what a stored link shows, and the defaults of a new link.
#include "app/core/geometry.h"
#include "app/core/keys.h"
#include "app/core/link_form.h"
#include "serial/serio.h"
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace pw::app;
using testsupport::serial_port;
using testsupport::set_link;

struct Field { // a port's control by name, in the record's order
    const char* name;
    int PortForm::*choice = nullptr;
    bool PortForm::*box = nullptr;
    std::string PortForm::*text = nullptr;
};
#define CHOICE(f)                                                                                  \
    { #f, &PortForm::f }
#define BOX(f)                                                                                     \
    { #f, nullptr, &PortForm::f }
#define TEXT(f)                                                                                    \
    { #f, nullptr, nullptr, &PortForm::f }
const Field FIELDS[] = {
    CHOICE(portType),    CHOICE(comIndex),      CHOICE(baudIndex),  CHOICE(dataBitsIndex),
    CHOICE(parityIndex), CHOICE(stopBitsIndex), BOX(rtsCts),        CHOICE(ipProtocol),
    CHOICE(tcpRole),     TEXT(ipPort),          TEXT(remoteHost),   BOX(fwdInstant),
    BOX(fwdBufferFull),  BOX(fwdInterChar),     BOX(fwdFrameEnd),   TEXT(bufferSize),
    TEXT(interCharMs),   CHOICE(frameEndChar),  BOX(autoReconnect), TEXT(reconnectSecs),
    BOX(activateOnSave), BOX(loopback),         BOX(genTraffic),    BOX(genHex),
    TEXT(genData),       TEXT(genPeriodMs)};

std::string Value(const PortForm& port, const Field& f) {
    return f.choice != nullptr ? std::to_string(port.*f.choice)
           : f.box != nullptr  ? std::to_string(port.*f.box)
                               : port.*f.text;
}

void Edit(LinkForm& form, const std::string& edits) { // types "name=X;p1.bufferSize=2049"
    std::string edit;
    for (std::istringstream in(edits); std::getline(in, edit, ';');) {
        const std::string key = edit.substr(0, edit.find('=')), value = edit.substr(key.size() + 1);
        PortForm& port = form.port[key[1] == '2' ? 1 : 0];
        form.name = key == "name" ? value : form.name;
        for (const Field& f : FIELDS) {
            if (key.substr(3) == f.name) {
                f.choice ? void(port.*f.choice = std::stoi(value))
                : f.box  ? void(port.*f.box = value == "1")
                         : void(port.*f.text = value);
            }
        }
    }
}

// The controls of `form` that differ from `base` (all of them without one), as Edit takes them.
std::string Shown(const LinkForm& form, const LinkForm* base = nullptr) {
    std::string out = base == nullptr || form.name != base->name ? ";name=" + form.name : "";
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        for (const Field& f : FIELDS) {
            if (base == nullptr || Value(form.port[p], f) != Value(base->port[p], f)) {
                out += Format(";p%u.%s=", p + 1, f.name) + Value(form.port[p], f);
            }
        }
    }
    return out.empty() ? out : out.substr(1);
}

// Every field used: P1 serial, gathering, hex generator; P2 UDP at once (other conditions unread).
const std::string STORED =
    "name=Rich;p1.comIndex=6;p1.baudIndex=14;p1.parityIndex=4;p1.stopBitsIndex=2;"
    "p1.fwdBufferFull=1;p1.fwdFrameEnd=1;p1.bufferSize=2048;p1.frameEndChar=255;"
    "p1.reconnectSecs=1;p1.genTraffic=1;p1.genHex=1;p1.genData=00ff7e;p1.genPeriodMs=9999;"
    "p2.portType=1;p2.comIndex=6;p2.ipProtocol=1;p2.tcpRole=1;p2.ipPort=65535;"
    "p2.remoteHost=peer.example;p2.fwdInstant=1;p2.fwdBufferFull=1;p2.fwdInterChar=1;"
    "p2.autoReconnect=1;p2.reconnectSecs=999;p2.activateOnSave=1;p2.loopback=1;p2.genTraffic=1;"
    "p2.genData=hello;p2.genPeriodMs=1";

std::string R(const std::string& unit, int n) { // `unit` n times
    return n > 0 ? unit + R(unit, n - 1) : "";
}

constexpr char RECONNECT[] = "Please enter a non zero auto-reconnect interval";
constexpr char BUFFER[] = "Invalid buffer size. Please use buffer size 1 to 2048";
constexpr char INTER_CHAR[] = "Please enter a non zero interchar timeout value";
constexpr char COM4_USED[] = "port COM4 already used by link Plant";
constexpr char IP_PORT[] = "Invalid IP port number. Please use IP port number 1 to 65535";
const std::string E_ACUTE = "\xC3\xA9";

// Names and COM ports in use, its own, a free entry's, in IP records; each limit at and one past.
const struct {
    std::string edits;   // typed over the form of the stored link
    const char* message; // the failed check's text; "" when the form is accepted
    std::string shown;   // how the form of the record read differs; "=" for as typed
} CASES[] = {
    {"", "", ""},
    {"name=", "Please enter non empty link name", "="},
    {"name=PLANT",
     "Name PLANT already used by an existing link (# 3), please enter a different name", "="},
    {"name=" + R("n", 41), "", "name=" + R("n", 40)},
    {"name=n" + R(E_ACUTE, 20), "", "name=n" + R(E_ACUTE, 19)},
    {"p1.reconnectSecs=", RECONNECT, "p1.reconnectSecs=0"},
    {"p2.reconnectSecs=12x", RECONNECT, "p2.reconnectSecs=0"},
    {"p2.reconnectSecs=1234", "", "p2.reconnectSecs=123"},
    {"p1.reconnectSecs=0;p2.portType=0", RECONNECT, "="},
    {"p1.genPeriodMs=0;p2.portType=0", "Please enter a non zero traffic generator period", "="},
    {"p2.portType=0", "Same port COM7 cannot be configured on both ports of link Rich", "="},
    {"p1.comIndex=3", COM4_USED, "="},
    {"p1.comIndex=2", "port COM3 already used by link Plant", "="}, // one device
    {"p1.comIndex=2;p2.portType=0;p2.comIndex=3",
     "Same port COM3 cannot be configured on both ports of link Rich", "="},
    {"p1.baudIndex=0;p2.portType=0;p2.comIndex=3", COM4_USED, "="},
    {"name=mINE;p1.comIndex=5", "", "="},
    {"name=link2;p1.comIndex=10", "", "="},
    {"name=" + R("n", 40) + ";p1.comIndex=7", "", "="},
    {"p1.comIndex=31;p1.dataBitsIndex=3;p1.parityIndex=0;p1.stopBitsIndex=0;p1.rtsCts=1", "", "="},
    {"p1.portType=2;p1.comIndex=32;p1.baudIndex=15;p1.dataBitsIndex=4;p1.parityIndex=5;"
     "p1.stopBitsIndex=3;p1.frameEndChar=256;p2.ipProtocol=2;p2.tcpRole=2",
     "", ""},
    {"p1.portType=-1;p1.comIndex=-1;p1.baudIndex=-1;p1.frameEndChar=-1;p2.ipProtocol=-1", "", ""},
    {"p2.ipProtocol=0;p2.tcpRole=0;p2.ipPort=123456;p2.remoteHost=" + R("h", 41), "",
     "p2.ipProtocol=0;p2.tcpRole=0;p2.ipPort=12345;p2.remoteHost=" + R("h", 40)},
    {"p2.portType=0;p2.comIndex=11;p2.baudIndex=3;p2.ipPort=1;p2.remoteHost=x", "",
     "p2.portType=0;p2.comIndex=11;p2.baudIndex=3"},
    {"p2.ipPort=0", IP_PORT, "="},
    {"p2.ipPort=65536", IP_PORT, "="},
    {"p2.ipPort=1", "", "="},
    {"p2.ipPort=3", "UDP port 3 already used by link LINK1", "="},
    {"p2.ipPort=4", "", "="},
    {"p2.ipProtocol=0;p2.ipPort=2", "TCP port 2 already used by link Plant", "="},
    {"p1.portType=1;p1.ipPort=2;p1.remoteHost=h;p2.ipPort=2", "", "="}, // a client, other protocol
    {"p2.ipProtocol=0;p2.tcpRole=0;p2.remoteHost= ",
     "Please enter a remote IP address or domain name for the TCP client", "="},
    {"p2.ipProtocol=0;p2.remoteHost=", "", "="},
    {"p1.bufferSize=2049", BUFFER, "="},
    {"p1.bufferSize=0", BUFFER, "="},
    {"p1.bufferSize=10249", "", "p1.bufferSize=1024"},
    {"p1.bufferSize=1;p1.frameEndChar=0", "", "="},
    {"p1.fwdInterChar=1;p1.interCharMs=", INTER_CHAR, "p1.fwdInterChar=1"},
    {"p1.fwdInterChar=1;p1.interCharMs=12345", "", "p1.fwdInterChar=1;p1.interCharMs=1234"},
    {"p1.fwdBufferFull=0;p1.fwdFrameEnd=0;p1.bufferSize=0;p1.frameEndChar=0", "",
     "p1.fwdBufferFull=0;p1.fwdFrameEnd=0"},
    {"p2.fwdInstant=0", BUFFER, "="},
    {"p2.fwdInstant=0;p2.bufferSize=5", INTER_CHAR, "="},
    {"p1.bufferSize=5000;p2.fwdInstant=0", BUFFER, "="},
    {"p1.genData= 0D,0a:0B-0c ", "", "p1.genData=0d0a0b0c"},
    {"p1.genData=0d 0G",
     "Invalid traffic generator hex data of PORT 1: not a hex digit at position 5", ""},
    {"p2.genHex=1;p2.genData=1 23",
     "Invalid traffic generator hex data of PORT 2: odd number of hex digits",
     "p2.genHex=1;p2.genData=68656c6c6f"},
    {"p1.genData=" + R("f", 51), "", "p1.genData=" + R("f", 50)},
    {"p1.genHex=0;p1.genData=AB;p1.genPeriodMs=12345", "",
     "p1.genHex=0;p1.genData=AB;p1.genPeriodMs=1234"},
    {"p2.genData=" + R("A", 49), "", "p2.genData=" + R("A", 48)},
    {"p2.genTraffic=0;p2.genData=zz;p2.genPeriodMs=", "",
     "p2.genTraffic=0;p2.genData=;p2.genPeriodMs="},
    {"p1.autoReconnect=1;p1.activateOnSave=1;p1.loopback=1;p2.activateOnSave=0;p2.loopback=0", "",
     "="}};

TEST(LinkFormTest, SaveReadsAndChecksTheFieldsInOrder) {
    // Plant: COM4 (COM3 opens it too), TCP 2; LINK1: COM8 in IP ports' records, UDP 3; the edited
    // 5: COM6, UDP 4; free link2: COM11, UDP 4.
    LinkTable others{};
    PortConfig ip = apptest::Server(2), udp = apptest::Client(3, false, true);
    ip.comIndex = udp.comIndex = 7;
    set_link(others, 3, "Plant", ip, serial_port(3, false));
    set_link(others, 4, "LINK1", ip, udp);
    udp.ipPort = 4;
    set_link(others, 5, "Mine", serial_port(5, false), udp);
    set_link(others, 9, "link2", serial_port(10, false), udp);
    ComDevices devices{};
    devices[2] = serio_default_device(3); // COM4's own device
    others.entry[9].inUse = 0;
    const LinkForm zero = FormOf(LinkConfig{});
    LinkForm shown = zero;
    Edit(shown, STORED);
    LinkConfig stored{};
    ASSERT_TRUE(ReadLinkForm(shown, 5, {}, stored).ok);
    stored.port[0].remoteAddr = stored.port[0].active = stored.port[1].trace = 7; // not the form's
    shown = FormOf(stored);
    EXPECT_EQ(Shown(shown, &zero), STORED);
    for (const auto& c : CASES) {
        LinkForm form = shown;
        Edit(form, c.edits);
        LinkConfig got = stored;
        const FormCheck check = ReadLinkForm(form, 5, others, got, devices);
        EXPECT_EQ(Format("%d %u|", check.ok,
                         got.port[0].remoteAddr + got.port[0].active + got.port[1].trace) +
                      check.message + "|" + Shown(FormOf(got), &shown),
                  Format("%d 21|%s|", c.message[0] == '\0', c.message) +
                      (c.shown == "=" ? c.edits : c.shown));
    }
    // A new link: the first "Link<n>" no link in use has in any letter case, and the defaults.
    EXPECT_EQ(Shown(FormOf(DefaultLinkConfig(others)), &zero),
              "name=Link2;p1.baudIndex=6;p1.dataBitsIndex=3;p1.parityIndex=2;p1.rtsCts=1;"
              "p1.ipPort=1000;p1.remoteHost=192.168.1.1;p1.fwdInstant=1;p1.bufferSize=1400;"
              "p1.interCharMs=10;p1.frameEndChar=2;p1.reconnectSecs=10;p2.portType=1;"
              "p2.comIndex=1;p2.baudIndex=6;p2.dataBitsIndex=3;p2.parityIndex=2;p2.rtsCts=1;"
              "p2.ipPort=1001;p2.remoteHost=192.168.1.2;p2.fwdInstant=1;p2.bufferSize=1400;"
              "p2.interCharMs=10;p2.frameEndChar=2;p2.reconnectSecs=10");
}

TEST(KeysTest, TheMnemonicMarksItsLetterElseItsOtherCaseAndAmpersandsStayVisible) {
    EXPECT_EQ(MnemonicText("Exit", 'X') + "|" + MnemonicText("Port Type:", 'T') + "|" +
                  MnemonicText("A&B", 'b') + "|" + MnemonicText("Help", 0) + "|" +
                  MnemonicText("Help", 'z'),
              "E&xit|Port &Type:|A&&&B|Help|Help");
}

TEST(WindowPlaceTest, ThePlaceReadsBackAndComesBackOnlyWhereAScreenShowsItsTop) {
    const std::optional<WindowPlace> back =
        ParseWindowPlace(FormatWindowPlace(WindowPlace{{-20, 30, 540, 662}, true}));
    EXPECT_EQ(back ? FormatWindowPlace(*back) : "", "-20 30 540 662 1\n");
    for (const char* bad :
         {"", "1 2 3 4 1", "1 2 3 4 2\n", "1 2 0 4 0\n", "1 2 3 4 0 5\n", "1  2 3 4 0\n",
          "1 2 3 4 0\n\n", "1 99999999999 3 4 0\n", "1-2 3 4 0\n"}) {
        EXPECT_FALSE(ParseWindowPlace(bad)) << bad;
    }
    const std::vector<Rect> screens{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    std::string on;
    for (const Rect r : {Rect{-20, 30, 540, 662}, Rect{-60, 0, 540, 662}, Rect{3100, 1000, 5, 5},
                         Rect{3190, 10, 540, 662}, Rect{100, -11, 540, 662}}) {
        on += PlaceIsOnScreen(WindowPlace{r, false}, screens) ? "1" : "0";
    }
    EXPECT_EQ(on, "10100");
}

} // namespace
