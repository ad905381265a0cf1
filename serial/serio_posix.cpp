// POSIX (Linux) backend of the serial layer: device open and settings through termios2, modem
// lines, eventfd signals and poll waits.
//
// <termios.h> is deliberately not included: its struct termios clashes with the kernel's, and
// only the kernel's termios2 carries arbitrary baud rates (BOTHER) such as 14400 or 56000.
#include "serial/serio_internal.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pw::serio::os {

static_assert(sizeof(termios2) <= sizeof(SavedLine::bytes), "SavedLine too small for termios2");

namespace {

termios2 to_termios(const SavedLine& line) {
    termios2 t{};
    std::memcpy(&t, line.bytes, sizeof t);
    return t;
}

void from_termios(const termios2& t, SavedLine* line) {
    std::memset(line->bytes, 0, sizeof line->bytes);
    std::memcpy(line->bytes, &t, sizeof t);
}

// The Bxxx constant of a standard rate, 0 when the rate needs BOTHER.
tcflag_t standard_rate(std::uint32_t baud) {
    struct Rate {
        std::uint32_t bps;
        tcflag_t code;
    };
    static constexpr Rate rates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Rate& r : rates) {
        if (r.bps == baud) {
            return r.code;
        }
    }
    return 0;
}

tcflag_t size_flag(std::uint8_t dataBits) {
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

tcflag_t parity_flags(std::uint8_t parity) {
    switch (parity) {
    case SERIO_PARITY_ODD:
        return PARENB | PARODD;
    case SERIO_PARITY_EVEN:
        return PARENB;
    case SERIO_PARITY_MARK:
        return PARENB | PARODD | CMSPAR;
    case SERIO_PARITY_SPACE:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

// The descriptor behind a handle (descriptors always fit).
int fd_of(Handle h) {
    return static_cast<int>(h);
}

int retry_ioctl(int fd, unsigned long request, const void* arg) {
    int rc = 0;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

} // namespace

void default_device_path(std::uint32_t index, char* out, std::size_t size) {
    std::snprintf(out, size, "/dev/ttyS%u", index);
}

int open_device(const char* path, Handle* fd) {
    const int d = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d < 0) {
        return errno;
    }
    // The lock comes first: it also holds against root, whom TIOCEXCL does not stop, and taking
    // it before TIOCEXCL means a refused open never touches the holder's exclusive flag.
    if (::flock(d, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(d);
        return err;
    }
    if (::ioctl(d, TIOCEXCL) != 0) {
        const int err = errno;
        ::close(d);
        return err;
    }
    *fd = d;
    return 0;
}

void close_device(Handle h) {
    const int fd = fd_of(h);
    if (fd < 0) {
        return;
    }
    (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

int read_settings(Handle h, SavedLine* out) {
    const int fd = fd_of(h);
    termios2 t{};
    if (const int err = retry_ioctl(fd, TCGETS2, &t); err != 0) {
        return err;
    }
    from_termios(t, out);
    return 0;
}

int compose_settings(const SavedLine& found, const LineSettings& s, SavedLine* out) {
    if (s.baudRate == 0 || s.dataBits < 5 || s.dataBits > 8 || s.parity > SERIO_PARITY_SPACE ||
        s.stopBits > SERIO_STOP_TWO) {
        return EINVAL;
    }
    termios2 t = to_termios(found);
    // Raw bytes in both directions: no line editing, echo, signals or character mapping.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR |
                                        ICRNL | IUCLC | IXANY | IMAXBEL);
    // Errors are checked only with a parity: without one, INPCK would still turn every byte with
    // a framing error into 0x00.
    if (s.parity != SERIO_PARITY_NONE) {
        t.c_iflag |= INPCK;
    } else {
        t.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    }
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE |
                                        ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CBAUD |
                                        (CBAUD << IBSHIFT));
    // CLOCAL: the port works without carrier detect; CREAD: the receiver is on.
    t.c_cflag |= CLOCAL | CREAD | size_flag(s.dataBits) | parity_flags(s.parity);
    // One and a half stop bits do not exist here; two is the nearest.
    if (s.stopBits != SERIO_STOP_ONE) {
        t.c_cflag |= CSTOPB;
    }
    const tcflag_t code = standard_rate(s.baudRate);
    t.c_cflag |= code != 0 ? code : static_cast<tcflag_t>(BOTHER);
    t.c_ispeed = s.baudRate;
    t.c_ospeed = s.baudRate;
    if (s.flowControl == SERIO_FLOW_RTS_CTS) {
        t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    } else if (s.flowControl == SERIO_FLOW_XON_XOFF) {
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        t.c_iflag |= IXON | IXOFF;
    } else {
        // RTS/CTS stays as the device had it. XON/XOFF goes off: terminals start with IXON on,
        // and it would swallow every 0x11 and 0x13 byte of binary data.
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    }
    // Reads never wait inside the driver: the descriptor is non-blocking and the reader times
    // the end of a burst itself.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    from_termios(t, out);
    return 0;
}

int write_settings(Handle h, const SavedLine& line) {
    const int fd = fd_of(h);
    const termios2 t = to_termios(line);
    return retry_ioctl(fd, TCSETS2, &t);
}

int set_modem_line(Handle h, std::uint32_t line, bool on) {
    const int fd = fd_of(h);
    int bits = 0;
    if (line == SERIO_LINE_RTS) {
        bits = TIOCM_RTS;
    } else if (line == SERIO_LINE_DTR) {
        bits = TIOCM_DTR;
    } else {
        return EINVAL;
    }
    const int err = retry_ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
    // Pseudo-terminals and some virtual ports have no modem lines at all.
    if (err == ENOTTY || err == EINVAL) {
        return 0;
    }
    return err;
}

void purge_device(Handle h) {
    const int fd = fd_of(h);
    (void)::ioctl(fd, TCFLSH, TCIOFLUSH);
}

int make_signal(Handle* fd) {
    const int d = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d < 0) {
        return errno;
    }
    *fd = d;
    return 0;
}

int raise_signal(Handle h) {
    const int fd = fd_of(h);
    const std::uint64_t one = 1;
    ssize_t n = 0;
    do {
        n = ::write(fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    // EAGAIN means the counter is at its maximum: it is raised already.
    if (n < 0 && errno != EAGAIN) {
        return errno;
    }
    return 0;
}

void clear_signal(Handle h) {
    const int fd = fd_of(h);
    std::uint64_t value = 0;
    ssize_t n = 0;
    do {
        n = ::read(fd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
}

void close_signal(Handle h) {
    const int fd = fd_of(h);
    if (fd >= 0) {
        ::close(fd);
    }
}

Wake wait_for(Handle stopFd, Handle fd, bool forWrite, int timeoutMs) {
    pollfd fds[2] = {{fd_of(stopFd), POLLIN, 0},
                     {fd_of(fd), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0}};
    int rc = 0;
    do {
        rc = ::poll(fds, fd >= 0 ? 2 : 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        return Wake::Failed;
    }
    if (rc == 0) {
        return Wake::Timeout;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        return Wake::Stop;
    }
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
        return Wake::Failed;
    }
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return Wake::Hangup;
    }
    return Wake::Ready;
}

Io read_device(Handle h, std::uint8_t* buf, std::uint32_t cap, std::uint32_t* moved) {
    const int fd = fd_of(h);
    ssize_t n = 0;
    do {
        n = ::read(fd, buf, cap);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        *moved = static_cast<std::uint32_t>(n);
        return Io::Done;
    }
    if (n == 0) {
        return Io::Ended;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? Io::Again : Io::Failed;
}

Io write_device(Handle h, const std::uint8_t* buf, std::uint32_t len, std::uint32_t* moved) {
    const int fd = fd_of(h);
    ssize_t n = 0;
    do {
        n = ::write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        *moved = static_cast<std::uint32_t>(n);
        return Io::Done;
    }
    if (n == 0) {
        return Io::Again;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? Io::Again : Io::Failed;
}

} // namespace pw::serio::os
