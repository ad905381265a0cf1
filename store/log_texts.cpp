// The column texts of the event and trace lists.
#include "store/logs.h"

#include <algorithm>
#include <cstring>

namespace pw {

namespace {
constexpr char HEX_DIGITS[] = "0123456789abcdef";

char* PutText(const char* text, char* out) {
    while (*text != '\0') {
        *out++ = *text++;
    }
    return out;
}
} // namespace

// These texts are made for every traced chunk, on the threads that move the data: they are put
// together by hand, at a fraction of what the printf family costs per call.
char* PutDecimal(std::uint32_t value, unsigned minDigits, char* out) {
    char digits[10];
    unsigned n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (; minDigits > n; --minDigits) {
        *out++ = '0';
    }
    while (n > 0) {
        *out++ = digits[--n];
    }
    return out;
}

void FormatTimestamp(const LocalTime& time, char (&out)[TIMESTAMP_TEXT_SIZE]) {
    char* p = PutDecimal(time.day, 2, out);
    *p++ = '/';
    p = PutDecimal(time.month, 2, p);
    *p++ = '/';
    p = PutDecimal(time.year, 1, p);
    *p++ = ' ';
    p = PutDecimal(time.hour, 2, p);
    *p++ = ':';
    p = PutDecimal(time.minute, 2, p);
    *p++ = ':';
    p = PutDecimal(time.second, 2, p);
    *p++ = '.';
    p = PutDecimal(time.millisecond, 3, p);
    *p++ = ' ';
    *p = '\0';
}

void FormatPortText(std::uint32_t linkId, std::uint32_t portId, const PortKind* kind,
                    char (&out)[PORT_TEXT_SIZE]) {
    // The list counts links and ports from 1. Sums wrap like the unsigned values they are.
    char* p = out;
    *p++ = 'L';
    p = PutDecimal(linkId + 1u, 1, p);
    p = PutText(" P", p);
    p = PutDecimal(portId + 1u, 1, p);
    if (kind != nullptr) {
        if (kind->portType == PORT_TYPE_SERIAL) {
            p = PutText(" (COM", p);
            p = PutDecimal(kind->comIndex + 1u, 1, p);
            *p++ = ')';
        } else if (kind->ipProtocol == IP_PROTO_UDP) {
            p = PutText(" UDP", p);
        } else {
            p = PutText(kind->tcpRole == TCP_ROLE_SERVER ? " TCP Server" : " TCP Client", p);
        }
    }
    *p = '\0';
}

std::size_t DataCellBytes(const std::uint8_t* data, std::uint32_t length, bool ascii) {
    if (data == nullptr) {
        return 0;
    }
    if (!ascii) {
        return std::min<std::size_t>(length, TRACE_HEX_CELL_BYTES);
    }
    const std::size_t shown = std::min<std::size_t>(length, TRACE_ASCII_CELL_BYTES);
    const void* zero = shown > 0 ? std::memchr(data, 0, shown) : nullptr;
    return zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data) : shown;
}

char* PutHexPairs(const std::uint8_t* data, std::size_t length, char* out) {
    for (std::size_t i = 0; i < length; ++i) {
        *out++ = HEX_DIGITS[data[i] >> 4];
        *out++ = HEX_DIGITS[data[i] & 0x0f];
        *out++ = ' ';
    }
    return out;
}

} // namespace pw
