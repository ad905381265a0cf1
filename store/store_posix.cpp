// POSIX backend of the store: files, the local clock and the log writer's priority.
#include "store/backend.h"
#include "store/logs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pw {

LocalTime ReadLocalClock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    LocalTime t{};
    t.year = static_cast<std::uint32_t>(local.tm_year + 1900);
    t.month = static_cast<std::uint32_t>(local.tm_mon + 1);
    t.day = static_cast<std::uint32_t>(local.tm_mday);
    t.hour = static_cast<std::uint32_t>(local.tm_hour);
    t.minute = static_cast<std::uint32_t>(local.tm_min);
    t.second = static_cast<std::uint32_t>(local.tm_sec);
    t.millisecond = static_cast<std::uint32_t>(now.tv_nsec / 1000000);
    return t;
}

} // namespace pw

namespace pw::store_backend {

namespace {

constexpr mode_t NEW_FILE_MODE = 0666; // narrowed by the process's umask
constexpr std::size_t TAIL_COPY_CHUNK = 4096;
constexpr char TEMP_SUFFIX[] = ".tmp";
constexpr int MAX_LINK_HOPS = 8;     // symbolic links followed to the data file, as the system does
constexpr int LOWER_NICE_STEPS = 10; // how far the log writer stands back
constexpr int MAX_NICE = 19;

long SystemWrite(int fd, const void* data, std::size_t size) {
    return static_cast<long>(::write(fd, data, size));
}

// Writes all of `size` bytes through `write`; the error number on failure, 0 on success.
// `written`, when given, counts the bytes that went through.
int WriteThrough(DataFileWriteStep write, int fd, const char* data, std::size_t size,
                 std::size_t* written = nullptr) {
    while (size > 0) {
        errno = 0;
        const long n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
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

// The directory part of `path` ("." when it has none), for flushing a rename to disk.
std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A data file that is a symbolic link is written where the link points (created there when the
// target is missing), so that the link stays.
std::string ResolveLink(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            break;
        }
        char target[PATH_MAX];
        const ssize_t n = readlink(current.c_str(), target, sizeof(target) - 1);
        if (n <= 0) {
            break;
        }
        target[n] = '\0';
        current = target[0] == '/' ? std::string(target) : DirectoryOf(current) + "/" + target;
    }
    return current;
}

} // namespace

std::string JoinPath(const std::string& directory, const char* name) {
    if (directory.empty()) {
        return name;
    }
    if (directory.back() == '/') {
        return directory + name;
    }
    return directory + "/" + name;
}

int OpenForAppend(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, NEW_FILE_MODE);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? NO_FILE : fd;
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
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end >= static_cast<off_t>(count)) {
        // Shrinking needs no free space, so this works on the full disk that cut the line.
        (void)::ftruncate(fd, end - static_cast<off_t>(count));
    }
}

void CloseFile(int fd) {
    if (fd != NO_FILE) {
        ::close(fd);
    }
}

bool RegularFileSize(int fd, std::uint64_t* size) {
    struct stat st {};
    if (fd == NO_FILE || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool RotateFile(const std::string& path, const std::string& oldPath) {
    // The older generation goes first. Renamed over an existing file, ext4 (auto_da_alloc)
    // writes the renamed file out to the disk at once: a log rotated every few seconds would then
    // go to the disk whole, and the writer would wait for it, while a log that is deleted soon
    // after it was written may otherwise never have to reach the disk at all.
    (void)::unlink(oldPath.c_str());
    return ::rename(path.c_str(), oldPath.c_str()) == 0;
}

void LowerThreadPriority() {
    // Linux keeps a nice value per thread, addressed by its thread id. Ten steps above the
    // others the thread gets about a tenth of a busy core's time: it still keeps going, only
    // behind them.
    const auto tid = static_cast<id_t>(::gettid());
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0) {
        (void)::setpriority(PRIO_PROCESS, tid, std::min(nice + LOWER_NICE_STEPS, MAX_NICE));
    }
}

OpenResult OpenForRead(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        return {OpenOutcome::Opened, fd, 0};
    }
    return {errno == ENOENT ? OpenOutcome::Missing : OpenOutcome::Failed, NO_FILE, errno};
}

ReadResult ReadUpTo(int fd, void* out, std::size_t size) {
    auto* p = static_cast<char*>(out);
    std::size_t count = 0;
    while (count < size) {
        const ssize_t n = ::read(fd, p + count, size - count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
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
    const std::string path = ResolveLink(requestedPath);
    const std::string temp = path + TEMP_SUFFIX;

    // The existing file must be writable, as an in-place save would need; it is read only for
    // its tail and its permissions.
    int old = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (old < 0 && errno != ENOENT) {
        return {SaveStep::Open, errno};
    }
    struct stat oldStat {};
    if (old >= 0 && fstat(old, &oldStat) != 0) {
        const int error = errno;
        ::close(old);
        return {SaveStep::Open, error};
    }

    ::unlink(temp.c_str()); // left over from a save that crashed
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NEW_FILE_MODE);
    if (fd < 0) {
        const int error = errno;
        CloseFile(old);
        return {SaveStep::Open, error};
    }
    if (old >= 0) {
        // The replacement is the file the user had, not one of whoever runs this save (root,
        // say, or a service account): owner and group first, since a change of owner may clear
        // the set-id bits that the mode then puts back. A process that may not give the file
        // away keeps its own as the owner; the file is complete all the same.
        (void)fchown(fd, oldStat.st_uid, oldStat.st_gid);
        (void)fchmod(fd, oldStat.st_mode & 07777);
    }

    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temp.c_str());
        CloseFile(old);
        return SaveResult{SaveStep::Write, error};
    };

    if (int error = WriteThrough(write, fd, static_cast<const char*>(image), size)) {
        return fail(error);
    }
    if (old >= 0 && oldStat.st_size > static_cast<off_t>(size)) {
        char chunk[TAIL_COPY_CHUNK];
        off_t offset = static_cast<off_t>(size);
        for (;;) {
            const ssize_t n = ::pread(old, chunk, sizeof(chunk), offset);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return fail(errno);
            }
            if (n == 0) {
                break;
            }
            if (int error = WriteThrough(write, fd, chunk, static_cast<std::size_t>(n))) {
                return fail(error);
            }
            offset += n;
        }
    }
    if (::fsync(fd) != 0) {
        return fail(errno);
    }
    CloseFile(old);
    old = NO_FILE;
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return {SaveStep::Write, error};
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return {SaveStep::Write, error};
    }
    // Make the rename itself durable. The new file is complete either way, so a directory that
    // cannot be flushed does not make the save fail.
    const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return {SaveStep::Done, 0};
}

} // namespace pw::store_backend
