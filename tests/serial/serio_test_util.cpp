#include "tests/serial/serio_test_util.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace serio_test {

std::uint32_t Collector::callback(void* context, const std::uint8_t* data, std::uint32_t length) {
    auto* c = static_cast<Collector*>(context);
    c->entered.fetch_add(1);
    if (const int ms = c->callbackSleepMs.load(); ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    if (!c->accept.load()) {
        std::lock_guard<std::mutex> lk(c->m);
        c->refused.emplace_back(data, data + length);
        c->cv.notify_all();
        return 0;
    }
    if (c->echo && serio_transmit(c->handle, data, length) == 0) {
        c->echoFailures.fetch_add(1);
    }
    std::lock_guard<std::mutex> lk(c->m);
    c->chunks.emplace_back(data, data + length);
    c->arrivals.push_back(Clock::now());
    c->cv.notify_all();
    return 1;
}

bool Collector::waitBytes(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lk(m);
    return cv.wait_for(lk, limit, [&] {
        std::size_t total = 0;
        for (const Bytes& c : chunks) {
            total += c.size();
        }
        return total >= count;
    });
}

bool Collector::waitRefused(std::size_t offers, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lk(m);
    return cv.wait_for(lk, limit, [&] { return refused.size() >= offers; });
}

Bytes Collector::allBytes() {
    std::lock_guard<std::mutex> lk(m);
    Bytes out;
    for (const Bytes& c : chunks) {
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

std::vector<std::size_t> Collector::sizes() {
    std::lock_guard<std::mutex> lk(m);
    std::vector<std::size_t> out;
    for (const Bytes& c : chunks) {
        out.push_back(c.size());
    }
    return out;
}

namespace {

termios2 unpack(const pw::serio::SavedLine& line) {
    termios2 t{};
    std::memcpy(&t, line.bytes, sizeof t);
    return t;
}

pw::serio::SavedLine pack(const termios2& t) {
    pw::serio::SavedLine line{};
    std::memcpy(line.bytes, &t, sizeof t);
    return line;
}

} // namespace

LineView decode(const pw::serio::SavedLine& line) {
    const termios2 t = unpack(line);
    LineView v{};
    v.baud = t.c_ospeed;
    v.standardCode = (t.c_cflag & CBAUD) != BOTHER;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        v.dataBits = 5;
        break;
    case CS6:
        v.dataBits = 6;
        break;
    case CS7:
        v.dataBits = 7;
        break;
    default:
        v.dataBits = 8;
        break;
    }
    v.parityOn = (t.c_cflag & PARENB) != 0;
    v.parityOdd = (t.c_cflag & PARODD) != 0;
    v.stickParity = (t.c_cflag & CMSPAR) != 0;
    v.twoStop = (t.c_cflag & CSTOPB) != 0;
    v.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    v.xonXoff = (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
    v.raw = (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (t.c_oflag & OPOST) == 0 &&
            (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0;
    v.localAndRead = (t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD);
    v.parityCheck = (t.c_iflag & INPCK) != 0;
    v.iflag = t.c_iflag;
    v.oflag = t.c_oflag;
    v.cflag = t.c_cflag;
    v.lflag = t.c_lflag;
    return v;
}

LineView readLine(int fd) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        throw std::runtime_error("TCGETS2 failed");
    }
    return decode(pack(t));
}

pw::serio::SavedLine terminalDefaults(bool rtsCts, bool xonXoff) {
    termios2 t{};
    t.c_iflag = ICRNL | (xonXoff ? IXON | IXOFF : 0u);
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = B38400 | CS8 | CREAD | HUPCL | (rtsCts ? CRTSCTS : 0u);
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    t.c_ispeed = 38400;
    t.c_ospeed = 38400;
    return pack(t);
}

void enableRtsCts(int fd) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        throw std::runtime_error("TCGETS2 failed");
    }
    t.c_cflag |= CRTSCTS;
    if (::ioctl(fd, TCSETS2, &t) != 0) {
        throw std::runtime_error("TCSETS2 failed");
    }
}

Bytes pattern(std::size_t length, std::uint32_t seed) {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>((seed + i) % 251);
    }
    return out;
}

} // namespace serio_test
