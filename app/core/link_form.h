// The link configuration dialog's form without its widgets: the values its controls hold, the
// defaults of a new link, the form shown for a stored link, the enabling rules, the forwarding
// check boxes that exclude each other, and the reading and checking of the form into a
// LinkConfig at Save. Plain functions of their arguments, any thread.
#pragma once

#include "app/core/com_devices.h"
#include "engine/records.h"
#include "store/datafile.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pw::app {

// Typing limits of the dialog's edits, in characters. Reading the form applies them too, so the
// result never depends on what a widget let through.
constexpr std::size_t NAME_TYPING_LIMIT = LINK_NAME_MAX;          // 40
constexpr std::size_t IP_PORT_TYPING_LIMIT = 5;                   // digits
constexpr std::size_t REMOTE_HOST_TYPING_LIMIT = REMOTE_HOST_MAX; // 40
constexpr std::size_t BUFFER_SIZE_TYPING_LIMIT = 4;               // digits
constexpr std::size_t INTER_CHAR_TYPING_LIMIT = 4;                // digits
constexpr std::size_t RECONNECT_TYPING_LIMIT = 3;                 // digits
constexpr std::size_t GEN_DATA_TYPING_LIMIT = 50;                 // characters
constexpr std::size_t GEN_PERIOD_TYPING_LIMIT = 4;                // digits
// Characters of generator text kept as ASCII data (the rest of genData stays zero).
constexpr std::size_t GEN_ASCII_MAX = 48;
// The highest IP port number a socket can take (the lowest is 1).
constexpr std::uint32_t IP_PORT_MAX = 65535;

// Number of items of each choice list; a list's stored value is the item's position.
constexpr int PORT_TYPE_COUNT = 2;
constexpr int COM_CHOICE_COUNT = 32; // COM1 to COM32
constexpr int IP_PROTOCOL_COUNT = 2;
constexpr int TCP_ROLE_COUNT = 2;
constexpr int FRAME_END_COUNT = 256; // "00" to "ff"
constexpr int NO_CHOICE = -1;        // a drop-down list without a selection

// One port's controls as the widgets hold them. Texts are bytes: names and hosts UTF-8,
// generator text one byte per character. A text ends at its first zero byte, as a control's
// text would.
struct PortForm {
    int portType = NO_CHOICE;      // "Port Type:" position: PORT_TYPE_SERIAL or PORT_TYPE_IP
    int comIndex = NO_CHOICE;      // "COM Port" position: COM number minus one
    int baudIndex = NO_CHOICE;     // "Baud Rate" position
    int dataBitsIndex = NO_CHOICE; // "Data Bits" position
    int parityIndex = NO_CHOICE;   // "Parity" position
    int stopBitsIndex = NO_CHOICE; // "Stop Bits" position
    bool rtsCts = false;           // "Hardware Flow Control (RTS/CTS)"
    int ipProtocol = NO_CHOICE;    // "IP Protocol Type:" position
    int tcpRole = NO_CHOICE;       // "Client or Server:" position
    std::string ipPort;            // "IP Port Number:" digits
    std::string remoteHost;        // "Remote IP Address or Domain Name:"
    bool fwdInstant = false;       // "Forward instantly on data receive"
    bool fwdBufferFull = false;    // "On Buffer Full, Buf Size:"
    std::string bufferSize;        // its digits, bytes
    bool fwdInterChar = false;     // "Interchar Timeout (ms):"
    std::string interCharMs;       // its digits, milliseconds
    bool fwdFrameEnd = false;      // "Frame End Character:"
    int frameEndChar = NO_CHOICE;  // its list's position: the character code
    bool autoReconnect = false;    // "Auto Reconnect in (secs)"
    std::string reconnectSecs;     // its digits, seconds
    bool activateOnSave = false;   // "Activate on save"
    bool loopback = false;         // "Port Loopback (Echo Received Data)"
    bool genTraffic = false;       // "Generate Traffic (Send buffer)"
    bool genHex = false;           // "Hex" selected (else "Ascii")
    std::string genData;           // the generator data edit
    std::string genPeriodMs;       // "Send buffer every" digits, milliseconds
};

struct LinkForm {
    std::string name; // "Descriptive Link Name:"
    PortForm port[PORTS_PER_LINK];
};

// ---- defaults ----

// "Link<n>" with the smallest n from 1 that no entry in use has as its name, in any letter case.
[[nodiscard]] std::string DefaultLinkName(const LinkTable& table);
// A new link: all zeros, then the default name, P1 serial on COM1 and P2 TCP client, 9600 8N1
// with RTS/CTS, TCP client ports 1000 and 1001 to 192.168.1.1 and .2, instant forwarding,
// buffer size 1400, timeout 10 ms, frame end 0x02, reconnect interval 10 s.
[[nodiscard]] LinkConfig DefaultLinkConfig(const LinkTable& table);

// ---- showing ----

// The form of a stored configuration: each list selects the stored position (nothing when the
// value is not one of its items), numbers as decimal digits, texts up to their zero. The
// generator's period shows only when genTraffic is set, and its data only when genLength is not
// 0 as well: the genLength bytes as text, or with genHex as two lower-case hex digits each.
[[nodiscard]] LinkForm FormOf(const LinkConfig& config);

// ---- enabling rules ----

// Which of a port's controls are enabled.
struct PortEnables {
    bool serial;     // the serial labels, the five serial lists and the flow-control box
    bool ip;         // the IP labels, the protocol list, the IP port and remote address edits
    bool tcpRole;    // the client-or-server list: an IP port speaking TCP
    bool bufferSize; // the buffer size edit: "On Buffer Full" checked
    bool interChar;  // the timeout edit: "Interchar Timeout" checked
    bool frameEnd;   // the frame end character list: "Frame End Character" checked
    bool reconnect;  // the interval edit: "Auto Reconnect" checked
    bool generator;  // "Hex", "Ascii", the data and period edits: "Generate Traffic" checked
};
// The label "Remote IP Address or Domain Name:" and every control not named above stay enabled.
[[nodiscard]] PortEnables EnablingOf(const PortForm& port);

// The four forwarding check boxes. Checking "Forward instantly" clears the other three;
// checking any of the other three clears "Forward instantly"; clearing one changes nothing else.
enum class ForwardBox { Instant, BufferFull, InterChar, FrameEnd };
void ForwardBoxClicked(PortForm& port, ForwardBox box, bool checked);

// ---- reading and checking ----

struct FormCheck {
    bool ok = false;
    std::string message; // the first failed check's message box text; empty when ok
};

// Reads `form` into `config` for link `linkId` (0 to 31), field by field in the dialog's order,
// and stops at the first failed check with its message. Fields read before a failure keep their
// new values; fields that are not read (the other port type's, a list without a selection, the
// forwarding values while "Forward instantly" is checked, the generator's data while it is off)
// keep what `config` had; remoteAddr, trace and active are never touched. Every text is cut to
// its edit's typing limit first (a name or host at a UTF-8 character boundary), and a numeric
// text that is not all digits reads as 0, like an empty one. The checks, in order:
//   the name is empty; another entry in use of `table` has the name in any letter case; an
//   auto-reconnect interval is 0 (checked or not); for each generating port, P1 then P2, its
//   hex data is not hex or its period is 0 (or empty); both ports are serial on one COM port;
//   then P1 and P2 in turn: a serial port's COM port is a serial port of another entry in use,
//   an IP port's number is 0 or above IP_PORT_MAX, a TCP server's or UDP port's number is held
//   by a TCP server or a UDP port (the same protocol) of another entry in use, a TCP client's
//   remote host is empty or blank; then a buffer size is 0 or above RECEIVE_BUFFER_SIZE, an
//   inter-character timeout is 0.
// Two COM numbers are one COM port when `devices` (what the serial layer opens for each, as
// loaded from its name file; an unmapped one opens its default device) gives them one device.
// The generator's hex data is the hex pair conversion's: separators are skipped, and a
// character that is neither a digit nor a separator, or an odd digit count, fails with
// MSG_GEN_HEX_FORMAT naming the port and the position (or the odd count).
[[nodiscard]] FormCheck ReadLinkForm(const LinkForm& form, std::uint32_t linkId,
                                     const LinkTable& table, LinkConfig& config,
                                     const ComDevices& devices = ComDevices{});

} // namespace pw::app
