// Windows backend of the store: files through CreateFileW, kept as C runtime descriptors so that
// the store's shared code and the data file's write step see the same kind of file on every
// platform; the local clock; the log writer's priority.
#include "store/backend.h"
#include "store/logs.h"

#include <windows.h>
// <windows.h> names ReplaceFileA "ReplaceFile": the backend's own ReplaceFile keeps its name.
#undef ReplaceFile

#include <cerrno>
#include <fcntl.h>
#include <io.h>

namespace pw {

LocalTime ReadLocalClock() {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    LocalTime t{};
    t.year = local.wYear;
    t.month = local.wMonth;
    t.day = local.wDay;
    t.hour = local.wHour;
    t.minute = local.wMinute;
    t.second = local.wSecond;
    t.millisecond = local.wMilliseconds;
    return t;
}

} // namespace pw

namespace pw::store_backend {

namespace {

constexpr DWORD TAIL_COPY_CHUNK = 4096;
constexpr wchar_t TEMP_SUFFIX[] = L".tmp";
// A viewer may read the logs while they grow, and move or delete them meanwhile.
constexpr DWORD LOG_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Paths are UTF-8 inside the program.
std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) {
        return std::wstring();
    }
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

// Hands `h` over to a C runtime descriptor; closes it when that fails.
int Adopt(HANDLE h, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return NO_FILE;
    }
    return fd;
}

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

long SystemWrite(int fd, const void* data, std::size_t size) {
    const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    return static_cast<long>(_write(fd, data, chunk));
}

// Writes all of `size` bytes through `write`; the error number on failure, 0 on success.
int WriteThrough(DataFileWriteStep write, int fd, const char* data, std::size_t size,
                 std::size_t* written = nullptr) {
    while (size > 0) {
        errno = 0;
        const long n = write(fd, data, size);
        if (n <= 0) {
            // A write that takes nothing without an error number would loop forever; call it
            // a full disk.
            return n < 0 && errno != 0 ? errno : ENOSPC;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        if (written != nullptr) {
            *written += static_cast<std::size_t>(n);
        }
    }
    return 0;
}

// Copies what `old` holds beyond `offset` to the end of `fd`. 0 or the error number.
int CopyTail(HANDLE old, LONGLONG offset, DataFileWriteStep write, int fd) {
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    if (!SetFilePointerEx(old, at, nullptr, FILE_BEGIN)) {
        return static_cast<int>(GetLastError());
    }
    char chunk[TAIL_COPY_CHUNK];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(old, chunk, sizeof chunk, &n, nullptr)) {
            return static_cast<int>(GetLastError());
        }
        if (n == 0) {
            return 0;
        }
        if (const int error = WriteThrough(write, fd, chunk, n)) {
            return error;
        }
    }
}

} // namespace

std::string JoinPath(const std::string& directory, const char* name) {
    if (directory.empty()) {
        return name;
    }
    if (directory.back() == '/' || directory.back() == '\\') {
        return directory + name;
    }
    return directory + "\\" + name;
}

int OpenForAppend(const std::string& path) {
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, LOG_SHARING, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return NO_FILE;
    }
    return Adopt(h, _O_WRONLY | _O_APPEND);
}

bool WriteAll(int fd, const char* data, std::size_t size, std::size_t* written) {
    std::size_t count = 0;
    const bool ok = WriteThrough(SystemWrite, fd, data, size, &count) == 0;
    if (written != nullptr) {
        *written = count;
    }
    return ok;
}

void DropTail(int fd, std::size_t count) {
    if (count == 0) {
        return;
    }
    const long long end = _lseeki64(fd, 0, SEEK_END);
    if (end >= static_cast<long long>(count)) {
        // Shrinking needs no free space, so this works on the full disk that cut the line.
        (void)_chsize_s(fd, end - static_cast<long long>(count));
    }
}

void CloseFile(int fd) {
    if (fd != NO_FILE) {
        _close(fd);
    }
}

bool RegularFileSize(int fd, std::uint64_t* size) {
    const HANDLE h = HandleOf(fd);
    LARGE_INTEGER bytes{};
    if (fd == NO_FILE || GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &bytes)) {
        return false;
    }
    *size = static_cast<std::uint64_t>(bytes.QuadPart);
    return true;
}

bool RotateFile(const std::string& path, const std::string& oldPath) {
    return MoveFileExW(Wide(path).c_str(), Wide(oldPath).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void LowerThreadPriority() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

OpenResult OpenForRead(const std::string& path) {
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return {missing ? OpenOutcome::Missing : OpenOutcome::Failed, NO_FILE,
                static_cast<int>(error)};
    }
    const int fd = Adopt(h, _O_RDONLY);
    if (fd == NO_FILE) {
        return {OpenOutcome::Failed, NO_FILE, EMFILE};
    }
    return {OpenOutcome::Opened, fd, 0};
}

ReadResult ReadUpTo(int fd, void* out, std::size_t size) {
    auto* p = static_cast<char*>(out);
    std::size_t count = 0;
    while (count < size) {
        const std::size_t left = size - count;
        const int n =
            _read(fd, p + count, left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left));
        if (n < 0) {
            return {count, true};
        }
        if (n == 0) {
            break;
        }
        count += static_cast<std::size_t>(n);
    }
    return {count, false};
}

SaveResult ReplaceFile(const std::string& requestedPath, const void* image, std::size_t size,
                       DataFileWriteStep write) {
    if (write == nullptr) {
        write = SystemWrite;
    }
    const std::wstring path = Wide(requestedPath);
    const std::wstring temp = path + TEMP_SUFFIX;

    // The existing file must be writable, as an in-place save would need; it is read only for
    // its tail.
    HANDLE old = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (old == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return {SaveStep::Open, static_cast<int>(error)};
        }
    }
    LARGE_INTEGER oldSize{};
    if (old != INVALID_HANDLE_VALUE && !GetFileSizeEx(old, &oldSize)) {
        const DWORD error = GetLastError();
        CloseHandle(old);
        return {SaveStep::Open, static_cast<int>(error)};
    }
    auto closeOld = [&old] {
        if (old != INVALID_HANDLE_VALUE) {
            CloseHandle(old);
            old = INVALID_HANDLE_VALUE;
        }
    };

    DeleteFileW(temp.c_str()); // left over from a save that crashed
    const HANDLE t = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (t == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        closeOld();
        return {SaveStep::Open, static_cast<int>(error)};
    }
    const int fd = Adopt(t, _O_WRONLY);
    if (fd == NO_FILE) {
        closeOld();
        DeleteFileW(temp.c_str());
        return {SaveStep::Open, EMFILE};
    }

    auto fail = [&](int error) {
        _close(fd);
        DeleteFileW(temp.c_str());
        closeOld();
        return SaveResult{SaveStep::Write, error};
    };

    if (int error = WriteThrough(write, fd, static_cast<const char*>(image), size)) {
        return fail(error);
    }
    if (old != INVALID_HANDLE_VALUE && oldSize.QuadPart > static_cast<LONGLONG>(size)) {
        if (int error = CopyTail(old, static_cast<LONGLONG>(size), write, fd)) {
            return fail(error);
        }
    }
    if (!FlushFileBuffers(HandleOf(fd))) {
        return fail(static_cast<int>(GetLastError()));
    }
    const bool hadOld = old != INVALID_HANDLE_VALUE;
    closeOld();
    if (_close(fd) != 0) {
        const int error = errno;
        DeleteFileW(temp.c_str());
        return {SaveStep::Write, error};
    }
    // ReplaceFileW keeps the old file's attributes and security; a new file is simply moved
    // into place. Either way readers see the old file or the new one, never a part of either.
    if (hadOld && ReplaceFileW(path.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                               nullptr, nullptr)) {
        return {SaveStep::Done, 0};
    }
    if (!MoveFileExW(temp.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(temp.c_str());
        return {SaveStep::Write, static_cast<int>(error)};
    }
    return {SaveStep::Done, 0};
}

} // namespace pw::store_backend
