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
#include <time.h>
#include <unistd.h>

namespace serio_test {

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("no slave name");
    }
    slave_ = name;
}

PtyPair::~PtyPair() {
    hangUp();
}

void PtyPair::hangUp() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

bool PtyPair::write(const Bytes& data, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 50);
    }
    return true;
}

Bytes PtyPair::read(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    Bytes out;
    std::uint8_t buf[4096];
    while (out.size() < count && Clock::now() < deadline) {
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 20);
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        }
    }
    return out;
}

Bytes PtyPair::drain(std::chrono::milliseconds window) {
    const auto deadline = Clock::now() + window;
    Bytes out;
    std::uint8_t buf[4096];
    while (Clock::now() < deadline) {
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 10);
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        }
    }
    return out;
}

ScratchDir::ScratchDir() {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
        throw std::runtime_error("no working directory");
    }
    oldCwd_ = cwd;
    char tmpl[] = "/tmp/pw-serio-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr || ::chdir(tmpl) != 0) {
        throw std::runtime_error("no scratch directory");
    }
    dir_ = tmpl;
}

ScratchDir::~ScratchDir() {
    (void)::chdir(oldCwd_.c_str());
    (void)::unlink((dir_ + "/" + pw::serio::DEVICE_MAP_FILE).c_str());
    (void)::rmdir(dir_.c_str());
}

void ScratchDir::writePorts(const std::map<unsigned, std::string>& map, const std::string& extra) {
    FILE* f = std::fopen(pw::serio::DEVICE_MAP_FILE, "w");
    if (f == nullptr) {
        throw std::runtime_error("cannot write the name file");
    }
    for (const auto& [com, path] : map) {
        std::fprintf(f, "COM%u=%s\n", com, path.c_str());
    }
    std::fputs(extra.c_str(), f);
    std::fclose(f);
}

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

std::chrono::microseconds processCpuTime() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::duration_cast<std::chrono::microseconds>(
                                                 std::chrono::nanoseconds(ts.tv_nsec));
}

} // namespace serio_test
