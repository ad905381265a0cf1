// Windows backend of the serial layer: COM ports opened with CreateFileA for overlapped I/O,
// line settings through the DCB and COMMTIMEOUTS, modem lines through EscapeCommFunction, and
// events as signals.
//
// The shared threads wait for readiness and then move bytes without blocking. A COM port has no
// readiness of its own, so the backend makes it: a port is readable once the driver holds bytes
// (an overlapped WaitCommEvent for EV_RXCHAR wakes the wait), and a read takes no more than the
// driver holds, so it completes at once whatever the time-outs say. The 50 ms end of a burst is
// timed by the reader itself, as on every platform. A write is started overlapped from the
// device's own buffer; while it is pending the port counts as not writable.
#include "serial/serio_internal.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace pw::serio::os {

namespace {

// A wait for the moment a read has to give up its bytes: a chunk's bytes already counted in the
// driver come at once, so this only ends a read that a purge or a lost device left hanging.
constexpr DWORD READ_COMPLETION_LIMIT_MS = 1000;
// Step of the input count watch of a port whose driver cannot wait for input.
constexpr DWORD INPUT_POLL_MS = 2;
// Driver queue sizes asked for at open (the driver may take them as a hint).
constexpr DWORD DRIVER_QUEUE_BYTES = SERIO_CHUNK_SIZE;
// Time-outs of an open port: a read ends 50 ms after its last byte or when its buffer is full,
// and waits without limit for its first byte; writes have no limit.
constexpr DWORD READ_INTERVAL_MS = SERIO_BURST_GAP_MS;

// The device and what its overlapped operations need; lives from open_device to close_device.
struct Device {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED waitOv{}; // the reader's WaitCommEvent
    DWORD waitMask = 0;  // events that WaitCommEvent reports
    bool waitPending = false;
    bool eventsUnusable = false; // the driver ends every WaitCommEvent at once
    OVERLAPPED readOv{};         // the reader's ReadFile
    OVERLAPPED writeOv{};        // the writer's WriteFile
    bool writePending = false;
    std::uint8_t writeBuf[SERIO_CHUNK_SIZE]; // the bytes of the write under way
};

// The line settings as kept in a SavedLine.
struct Line {
    DCB dcb;
    COMMTIMEOUTS timeouts;
};
static_assert(sizeof(Line) <= sizeof(SavedLine::bytes),
              "SavedLine too small for DCB and time-outs");

// Devices are told from signals (event handles, multiples of 4) by the lowest bit of the handle.
Handle from_device(Device* d) {
    return reinterpret_cast<Handle>(d) | 1;
}

bool is_device(Handle h) {
    return h != NO_HANDLE && (h & 1) != 0;
}

Device* device_of(Handle h) {
    return reinterpret_cast<Device*>(h & ~static_cast<Handle>(1));
}

HANDLE event_of(Handle h) {
    return reinterpret_cast<HANDLE>(h);
}

int last_error() {
    const DWORD e = GetLastError();
    return e != 0 ? static_cast<int>(e) : static_cast<int>(ERROR_GEN_FAILURE);
}

Line to_line(const SavedLine& saved) {
    Line l{};
    std::memcpy(&l, saved.bytes, sizeof l);
    return l;
}

void from_line(const Line& l, SavedLine* saved) {
    std::memset(saved->bytes, 0, sizeof saved->bytes);
    std::memcpy(saved->bytes, &l, sizeof l);
}

// Waits up to `limit` for an overlapped operation, then cancels it and waits for the end, so
// that its record and buffer may go. True when it moved bytes; `moved` receives the count.
bool finish(HANDLE h, OVERLAPPED* ov, DWORD limit, DWORD* moved) {
    if (WaitForSingleObject(ov->hEvent, limit) != WAIT_OBJECT_0) {
        CancelIoEx(h, ov);
    }
    return GetOverlappedResult(h, ov, moved, TRUE) != FALSE;
}

// Bytes the driver holds for reading; false when the device no longer answers.
bool bytes_waiting(Device& d, DWORD* count) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(d.handle, &errors, &stat)) {
        return false;
    }
    *count = stat.cbInQue;
    return true;
}

Wake wait_pair(HANDLE stop, HANDLE other, int timeoutMs) {
    const HANDLE pair[2] = {stop, other};
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD rc = WaitForMultipleObjects(other != nullptr ? 2 : 1, pair, FALSE, limit);
    if (rc == WAIT_OBJECT_0) {
        return Wake::Stop;
    }
    if (rc == WAIT_OBJECT_0 + 1) {
        return Wake::Ready;
    }
    return rc == WAIT_TIMEOUT ? Wake::Timeout : Wake::Failed;
}

// Watches the driver's input count in short steps, for ports whose event waits do not work.
Wake poll_readable(HANDLE stop, Device& d, int timeoutMs) {
    const DWORD begin = GetTickCount();
    for (;;) {
        DWORD waiting = 0;
        if (!bytes_waiting(d, &waiting)) {
            return Wake::Hangup;
        }
        if (waiting > 0) {
            return Wake::Ready;
        }
        const DWORD spent = GetTickCount() - begin;
        if (timeoutMs >= 0 && spent >= static_cast<DWORD>(timeoutMs)) {
            return Wake::Timeout;
        }
        DWORD step = INPUT_POLL_MS;
        if (timeoutMs >= 0) {
            step = std::min<DWORD>(step, static_cast<DWORD>(timeoutMs) - spent);
        }
        const DWORD rc = WaitForSingleObject(stop, step);
        if (rc == WAIT_OBJECT_0) {
            return Wake::Stop;
        }
        if (rc != WAIT_TIMEOUT) {
            return Wake::Failed;
        }
    }
}

// A wait that ended in an error while the device still answers: the driver cannot wait for
// input (Wine's ports over pseudo-terminals end every such wait at once). The port is watched by
// its input count from then on.
Wake after_failed_event_wait(HANDLE stop, Device& d, int timeoutMs) {
    DWORD waiting = 0;
    if (!bytes_waiting(d, &waiting)) {
        return Wake::Hangup;
    }
    d.eventsUnusable = true;
    return poll_readable(stop, d, timeoutMs);
}

Wake wait_readable(HANDLE stop, Device& d, int timeoutMs) {
    if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
        return Wake::Stop;
    }
    if (d.eventsUnusable) {
        return poll_readable(stop, d, timeoutMs);
    }
    DWORD waiting = 0;
    if (!bytes_waiting(d, &waiting)) {
        return Wake::Hangup;
    }
    if (waiting > 0) {
        return Wake::Ready;
    }
    if (!d.waitPending) {
        ResetEvent(d.waitOv.hEvent);
        if (WaitCommEvent(d.handle, &d.waitMask, &d.waitOv)) {
            return Wake::Ready;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return after_failed_event_wait(stop, d, timeoutMs);
        }
        d.waitPending = true;
        // Bytes that came between the look above and the start of the wait raise no event.
        if (bytes_waiting(d, &waiting) && waiting > 0) {
            return Wake::Ready;
        }
    }
    const Wake w = wait_pair(stop, d.waitOv.hEvent, timeoutMs);
    if (w != Wake::Ready) {
        return w;
    }
    d.waitPending = false;
    DWORD unused = 0;
    if (!GetOverlappedResult(d.handle, &d.waitOv, &unused, FALSE)) {
        return after_failed_event_wait(stop, d, timeoutMs);
    }
    return Wake::Ready;
}

} // namespace

void default_device_path(std::uint32_t index, char* out, std::size_t size) {
    // COM1 to COM9 have names of their own; every port has the device form.
    std::snprintf(out, size, index < 9 ? "COM%u" : "\\\\.\\COM%u", index + 1);
}

int open_device(const char* path, Handle* fd) {
    // No sharing: a port held by another program (or this one) fails to open.
    const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    auto* d = new (std::nothrow) Device;
    if (d == nullptr) {
        CloseHandle(h);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    d->handle = h;
    for (OVERLAPPED* ov : {&d->waitOv, &d->readOv, &d->writeOv}) {
        ov->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (d->waitOv.hEvent == nullptr || d->readOv.hEvent == nullptr ||
        d->writeOv.hEvent == nullptr || !SetCommMask(h, EV_RXCHAR)) {
        const int err = last_error();
        *fd = from_device(d);
        close_device(*fd);
        *fd = NO_HANDLE;
        return err;
    }
    (void)SetupComm(h, DRIVER_QUEUE_BYTES, DRIVER_QUEUE_BYTES);
    *fd = from_device(d);
    return 0;
}

void close_device(Handle h) {
    if (!is_device(h)) {
        return;
    }
    Device* d = device_of(h);
    // Whatever is still under way must end before its records and buffer go.
    DWORD unused = 0;
    if (d->waitPending) {
        SetCommMask(d->handle, 0); // completes a pending WaitCommEvent
        (void)finish(d->handle, &d->waitOv, 0, &unused);
    }
    if (d->writePending) {
        (void)finish(d->handle, &d->writeOv, 0, &unused);
    }
    CloseHandle(d->handle);
    for (OVERLAPPED* ov : {&d->waitOv, &d->readOv, &d->writeOv}) {
        if (ov->hEvent != nullptr) {
            CloseHandle(ov->hEvent);
        }
    }
    delete d;
}

int read_settings(Handle h, SavedLine* out) {
    Line l{};
    l.dcb.DCBlength = sizeof l.dcb;
    if (!GetCommTimeouts(device_of(h)->handle, &l.timeouts) ||
        !GetCommState(device_of(h)->handle, &l.dcb)) {
        return last_error();
    }
    from_line(l, out);
    return 0;
}

int compose_settings(const SavedLine& found, const LineSettings& s, SavedLine* out) {
    if (s.baudRate == 0 || s.dataBits < 5 || s.dataBits > 8 || s.parity > SERIO_PARITY_SPACE ||
        s.stopBits > SERIO_STOP_TWO) {
        return ERROR_INVALID_PARAMETER;
    }
    Line l = to_line(found);
    DCB& d = l.dcb;
    d.DCBlength = sizeof d;
    d.BaudRate = s.baudRate;
    d.ByteSize = s.dataBits;
    d.Parity = s.parity;     // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    d.StopBits = s.stopBits; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    d.fBinary = TRUE;
    d.EvtChar = 0;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE; // also with CTS handshake: RTS is no input handshake
    d.fOutxDsrFlow = FALSE;
    d.fDsrSensitivity = FALSE;
    d.fTXContinueOnXoff = TRUE;
    d.fErrorChar = FALSE;
    d.fNull = FALSE;
    d.fAbortOnError = FALSE; // a line error must not stop every later read and write
    d.fParity = TRUE;
    if (s.flowControl == SERIO_FLOW_RTS_CTS) {
        d.fOutxCtsFlow = TRUE;
        d.fOutX = FALSE;
        d.fInX = FALSE;
    } else if (s.flowControl == SERIO_FLOW_XON_XOFF) {
        d.fOutxCtsFlow = FALSE;
        d.fOutX = TRUE;
        d.fInX = TRUE;
    } else {
        // The CTS handshake stays as the device had it. XON/XOFF goes off: it would swallow
        // every 0x11 and 0x13 byte of binary data.
        d.fOutX = FALSE;
        d.fInX = FALSE;
    }
    l.timeouts = COMMTIMEOUTS{READ_INTERVAL_MS, 0, 0, 0, 0};
    from_line(l, out);
    return 0;
}

int write_settings(Handle h, const SavedLine& line) {
    Line l = to_line(line);
    if (!SetCommState(device_of(h)->handle, &l.dcb) ||
        !SetCommTimeouts(device_of(h)->handle, &l.timeouts)) {
        return last_error();
    }
    return 0;
}

int set_modem_line(Handle h, std::uint32_t line, bool on) {
    DWORD function = 0;
    if (line == SERIO_LINE_RTS) {
        function = on ? SETRTS : CLRRTS;
    } else if (line == SERIO_LINE_DTR) {
        function = on ? SETDTR : CLRDTR;
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    if (EscapeCommFunction(device_of(h)->handle, function)) {
        return 0;
    }
    const DWORD err = GetLastError();
    // Virtual ports without modem lines refuse the call; they work all the same.
    if (err == ERROR_INVALID_PARAMETER || err == ERROR_NOT_SUPPORTED ||
        err == ERROR_INVALID_FUNCTION) {
        return 0;
    }
    return err != 0 ? static_cast<int>(err) : static_cast<int>(ERROR_GEN_FAILURE);
}

void purge_device(Handle h) {
    (void)PurgeComm(device_of(h)->handle,
                    PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

int make_signal(Handle* fd) {
    const HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (e == nullptr) {
        return last_error();
    }
    *fd = reinterpret_cast<Handle>(e);
    return 0;
}

int raise_signal(Handle h) {
    return SetEvent(event_of(h)) ? 0 : last_error();
}

void clear_signal(Handle h) {
    ResetEvent(event_of(h));
}

void close_signal(Handle h) {
    if (h != NO_HANDLE) {
        CloseHandle(event_of(h));
    }
}

Wake wait_for(Handle stopFd, Handle fd, bool forWrite, int timeoutMs) {
    const HANDLE stop = event_of(stopFd);
    if (fd == NO_HANDLE) {
        return wait_pair(stop, nullptr, timeoutMs);
    }
    if (!is_device(fd)) {
        return wait_pair(stop, event_of(fd), timeoutMs);
    }
    Device& d = *device_of(fd);
    if (!forWrite) {
        return wait_readable(stop, d, timeoutMs);
    }
    if (!d.writePending) {
        return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0 ? Wake::Stop : Wake::Ready;
    }
    return wait_pair(stop, d.writeOv.hEvent, timeoutMs);
}

Io read_device(Handle h, std::uint8_t* buf, std::uint32_t cap, std::uint32_t* moved) {
    Device& d = *device_of(h);
    DWORD waiting = 0;
    if (!bytes_waiting(d, &waiting)) {
        return Io::Failed;
    }
    const DWORD want = std::min<DWORD>(waiting, cap);
    if (want == 0) {
        return Io::Again;
    }
    ResetEvent(d.readOv.hEvent);
    DWORD got = 0;
    if (!ReadFile(d.handle, buf, want, nullptr, &d.readOv) && GetLastError() != ERROR_IO_PENDING) {
        return Io::Failed;
    }
    if (!finish(d.handle, &d.readOv, READ_COMPLETION_LIMIT_MS, &got)) {
        return GetLastError() == ERROR_OPERATION_ABORTED ? Io::Again : Io::Failed;
    }
    if (got == 0) {
        return Io::Again;
    }
    *moved = got;
    return Io::Done;
}

Io write_device(Handle h, const std::uint8_t* buf, std::uint32_t len, std::uint32_t* moved) {
    Device& d = *device_of(h);
    DWORD done = 0;
    if (d.writePending) {
        // The bytes at `buf` are the ones the pending write took: report how far it got.
        if (!GetOverlappedResult(d.handle, &d.writeOv, &done, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE) {
                return Io::Again;
            }
            d.writePending = false;
            return Io::Failed;
        }
        d.writePending = false;
    } else {
        const DWORD n = std::min<DWORD>(len, sizeof d.writeBuf);
        std::memcpy(d.writeBuf, buf, n);
        ResetEvent(d.writeOv.hEvent);
        if (!WriteFile(d.handle, d.writeBuf, n, nullptr, &d.writeOv)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                return Io::Failed;
            }
            d.writePending = true;
            return Io::Again;
        }
        if (!GetOverlappedResult(d.handle, &d.writeOv, &done, TRUE)) {
            return Io::Failed;
        }
    }
    if (done == 0) {
        return Io::Again;
    }
    *moved = done;
    return Io::Done;
}

} // namespace pw::serio::os
