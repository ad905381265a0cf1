// The link and port records that the engine, the data file and the application share.
// LinkConfig is a storage format: the data file holds it byte for byte, so its layout is fixed
// (packed, unsigned 32-bit little-endian integers) and checked at compile time below.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

constexpr std::uint32_t MAX_LINKS = 32;             // link slots; a LinkId is 0 to 31
constexpr std::uint32_t PORTS_PER_LINK = 2;         // PortId 0 is P1, 1 is P2
constexpr std::uint32_t RECEIVE_BUFFER_SIZE = 2048; // bytes per forwarding buffer and per receive
constexpr std::uint32_t LINK_NAME_MAX = 40;         // characters of a link name, without the NUL
constexpr std::uint32_t REMOTE_HOST_MAX = 40;       // characters of a remote host text, without NUL
constexpr std::uint32_t GEN_DATA_SIZE = 50;         // bytes of traffic generator data

// portType
constexpr std::uint32_t PORT_TYPE_SERIAL = 0; // a COM port ("Serial/COM")
constexpr std::uint32_t PORT_TYPE_IP = 1;     // an IP port ("TCP/UDP")
// ipProtocol
constexpr std::uint32_t IP_PROTO_TCP = 0;
constexpr std::uint32_t IP_PROTO_UDP = 1;
// tcpRole
constexpr std::uint32_t TCP_ROLE_CLIENT = 0;
constexpr std::uint32_t TCP_ROLE_SERVER = 1;
// direction argument of the trace callback
constexpr std::uint32_t TRACE_DIR_TX = 0; // bytes transmitted on the port
constexpr std::uint32_t TRACE_DIR_RX = 1; // bytes received on the port
// port timer indexes; index 0 exists and is never started
constexpr std::uint32_t TIMER_INTERCHAR = 1; // ends an inter-character timeout
constexpr std::uint32_t TIMER_RECONNECT = 2; // re-activates a port
constexpr std::uint32_t TIMER_TRAFFIC = 3;   // drives the traffic generator
constexpr std::uint32_t PORT_TIMER_COUNT = 4;

// Bits per second by baudIndex.
constexpr std::uint32_t BAUD_RATES[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                        19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::uint32_t BAUD_RATE_COUNT = sizeof(BAUD_RATES) / sizeof(BAUD_RATES[0]);
// Data bits by dataBitsIndex.
constexpr std::uint8_t DATA_BITS[] = {5, 6, 7, 8};
constexpr std::uint32_t DATA_BITS_COUNT = sizeof(DATA_BITS);
// Serial layer parity code by parityIndex. The indexes follow the dialog's alphabetical list
// (EVEN, MARK, NONE, ODD, SPACE); the codes are 0 none, 1 odd, 2 even, 3 mark, 4 space.
constexpr std::uint8_t PARITY_CODES[] = {2, 3, 0, 1, 4};
constexpr std::uint32_t PARITY_COUNT = sizeof(PARITY_CODES);
// Serial layer stop-bits code by stopBitsIndex: 0 one, 1 one and a half, 2 two.
constexpr std::uint8_t STOP_BITS_CODES[] = {0, 1, 2};
constexpr std::uint32_t STOP_BITS_COUNT = sizeof(STOP_BITS_CODES);

static_assert(std::endian::native == std::endian::little,
              "the data file stores these records in the machine's own byte order");

#pragma pack(push, 1)

// Configuration of one port (203 bytes). Fields marked "application" are never read by the
// engine. Serial fields matter for PORT_TYPE_SERIAL, IP fields for PORT_TYPE_IP.
struct PortConfig {
    std::uint32_t portType;      // PORT_TYPE_SERIAL or PORT_TYPE_IP
    std::uint32_t comIndex;      // serial: COM number minus one (0 is COM1)
    std::uint32_t baudIndex;     // serial: index into BAUD_RATES
    std::uint32_t dataBitsIndex; // serial: index into DATA_BITS
    std::uint32_t parityIndex;   // serial: index into PARITY_CODES
    std::uint32_t stopBitsIndex; // serial: index into STOP_BITS_CODES
    std::uint32_t rtsCts;        // serial: nonzero for RTS/CTS flow control
    std::uint32_t ipProtocol;    // IP: IP_PROTO_TCP or IP_PROTO_UDP
    std::uint32_t tcpRole;       // IP: TCP_ROLE_CLIENT or TCP_ROLE_SERVER (kept for UDP too)
    std::uint32_t ipPort;        // IP: port number; only its low 16 bits reach the socket layer
    char remoteHost[REMOTE_HOST_MAX + 1]; // IP: dotted IPv4 address or host name, NUL-terminated
    std::uint32_t remoteAddr;     // IP, UDP: resolved remoteHost, network byte order (engine only)
    std::uint32_t fwdInstant;     // nonzero: pass received bytes on at once
    std::uint32_t fwdBufferFull;  // nonzero: pass on when bufferSize bytes are gathered
    std::uint32_t fwdInterChar;   // nonzero: pass on after interCharMs without new data
    std::uint32_t fwdFrameEnd;    // nonzero: pass on when frameEndChar arrives (included)
    std::uint32_t bufferSize;     // bytes, 1 to 2048
    std::uint32_t interCharMs;    // milliseconds, above 0
    std::uint32_t frameEndChar;   // 0 to 255
    std::uint32_t autoReconnect;  // nonzero: re-activate after a failure or a drop
    std::uint32_t reconnectSecs;  // seconds before re-activation, above 0
    std::uint32_t activateOnSave; // application: activate when the dialog is saved
    std::uint32_t active;         // application: 1 while the user has the port activated
    std::uint32_t trace;          // nonzero: report received and transmitted bytes for tracing
    std::uint32_t loopback;       // nonzero: echo received bytes out of this same port
    std::uint32_t genTraffic;     // nonzero: send genData every genPeriodMs while activated
    std::uint32_t genHex;         // application: 1 if genData was typed as hex digits
    std::uint8_t genData[GEN_DATA_SIZE]; // generator bytes
    std::uint32_t genLength;             // valid bytes in genData, 0 to 50
    std::uint32_t genPeriodMs;           // generator period in milliseconds; 0 sends on every pass
};

// Configuration of one link (447 bytes): its name and both ports.
struct LinkConfig {
    char name[LINK_NAME_MAX + 1]; // 1 to 40 characters, NUL-terminated, unique among links
    PortConfig port[PORTS_PER_LINK];
};

#pragma pack(pop)

static_assert(sizeof(PortConfig) == 203);
static_assert(sizeof(LinkConfig) == 447);
static_assert(offsetof(PortConfig, remoteHost) == 40);
static_assert(offsetof(PortConfig, remoteAddr) == 81);
static_assert(offsetof(PortConfig, fwdInstant) == 85);
static_assert(offsetof(PortConfig, bufferSize) == 101);
static_assert(offsetof(PortConfig, frameEndChar) == 109);
static_assert(offsetof(PortConfig, activateOnSave) == 121);
static_assert(offsetof(PortConfig, trace) == 129);
static_assert(offsetof(PortConfig, genHex) == 141);
static_assert(offsetof(PortConfig, genData) == 145);
static_assert(offsetof(PortConfig, genLength) == 195);
static_assert(offsetof(PortConfig, genPeriodMs) == 199);
static_assert(offsetof(LinkConfig, port) == 41);
static_assert(offsetof(LinkConfig, port) + sizeof(PortConfig) == 244);
static_assert(offsetof(LinkConfig, port) + sizeof(PortConfig) + offsetof(PortConfig, genPeriodMs) ==
              443);

// State of one port as the engine reports it.
struct PortStatus {
    std::uint32_t portId;    // 0 for P1, 1 for P2
    std::uint32_t portType;  // from the engine's copy of the configuration
    std::uint32_t activated; // the port is open (see the state table of the engine header)
    std::uint32_t connected; // IP only: a connection exists (UDP: bound)
    std::uint32_t txBytes;   // bytes handed to the port's layer for transmission
    std::uint32_t rxBytes;   // bytes received on the port
};

// State of both ports of one link, handed to the status callback.
struct LinkStatus {
    std::uint32_t linkId; // 0 to 31
    PortStatus port[PORTS_PER_LINK];
};

// Counters of one port, as WeaveGetPortStats fills them. The field order differs from
// PortStatus; both orders are part of the interface.
struct PortStats {
    std::uint32_t linkId;
    std::uint32_t portId;
    std::uint32_t txBytes;
    std::uint32_t rxBytes;
    std::uint32_t activated;
    std::uint32_t connected;
};
