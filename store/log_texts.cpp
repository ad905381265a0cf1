// The column texts of the event and trace lists.
#include "store/logs.h"

#include <cstdio>
#include <cstring>

namespace pw {

namespace {
constexpr char HEX_DIGITS[] = "0123456789abcdef";
} // namespace

void FormatTimestamp(const LocalTime& time, char (&out)[TIMESTAMP_TEXT_SIZE]) {
    std::snprintf(out, sizeof(out), "%02u/%02u/%u %02u:%02u:%02u.%03u ", time.day, time.month,
                  time.year, time.hour, time.minute, time.second, time.millisecond);
}

void FormatPortText(std::uint32_t linkId, std::uint32_t portId, const PortKind* kind,
                    char (&out)[PORT_TEXT_SIZE]) {
    // The list counts links and ports from 1. Sums wrap like the unsigned values they are.
    const int head = std::snprintf(out, sizeof(out), "L%u P%u", linkId + 1u, portId + 1u);
    if (kind == nullptr || head < 0 || static_cast<std::size_t>(head) >= sizeof(out)) {
        return;
    }
    char* rest = out + head;
    const std::size_t room = sizeof(out) - static_cast<std::size_t>(head);
    if (kind->portType == PORT_TYPE_SERIAL) {
        std::snprintf(rest, room, " (COM%u)", kind->comIndex + 1u);
    } else if (kind->ipProtocol == IP_PROTO_UDP) {
        std::snprintf(rest, room, " UDP");
    } else {
        std::snprintf(rest, room, " TCP %s",
                      kind->tcpRole == TCP_ROLE_SERVER ? "Server" : "Client");
    }
}

void FormatDataCell(const std::uint8_t* data, std::uint32_t length, bool ascii,
                    char (&out)[DATA_CELL_SIZE]) {
    if (data == nullptr) {
        length = 0;
    }
    if (ascii) {
        std::size_t shown = length < TRACE_ASCII_CELL_BYTES ? length : TRACE_ASCII_CELL_BYTES;
        if (shown > 0) {
            if (const void* zero = std::memchr(data, 0, shown)) {
                shown = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data);
            }
            std::memcpy(out, data, shown);
        }
        out[shown] = '\0';
        return;
    }
    const std::size_t shown = length < TRACE_HEX_CELL_BYTES ? length : TRACE_HEX_CELL_BYTES;
    char* p = out;
    for (std::size_t i = 0; i < shown; ++i) {
        *p++ = HEX_DIGITS[data[i] >> 4];
        *p++ = HEX_DIGITS[data[i] & 0x0f];
        *p++ = ' ';
    }
    *p = '\0';
}

} // namespace pw
