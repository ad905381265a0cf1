// The application's POSIX calls: flock, the instance's Unix-domain socket, /proc/self/exe, chdir,
// signal handlers and their pipe.
#include "app/core/app_platform.h"

#include "base/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace pw::app {

namespace {

constexpr int BRIDGED_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::size_t SIGNAL_COUNT = sizeof(BRIDGED_SIGNALS) / sizeof(BRIDGED_SIGNALS[0]);

std::atomic<int> g_signalWriteFd{-1};
struct sigaction g_previous[SIGNAL_COUNT];

void OnSignal(int signo) {
    const int saved = errno; // the handler may interrupt code that is about to read errno
    const int fd = g_signalWriteFd.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signo);
        // A full pipe already holds a pending request; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
    }
    errno = saved;
}

bool IsAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

constexpr char CHANNEL_SUFFIX[] = ".show";
constexpr char SHOWN_ANSWER = 'S'; // the running instance took the request
constexpr int CHANNEL_BACKLOG = 8;
constexpr int CONNECT_RETRY_MS = 50; // between tries while the running instance is starting

// The socket address of `path`; false when the path does not fit.
bool SocketAddress(const std::string& path, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

std::string InstanceLockPath(const char* runtimeDir, unsigned uid) {
    if (IsAbsolute(runtimeDir)) {
        return std::string(runtimeDir) + "/" + INSTANCE_LOCK_NAME;
    }
    return std::string("/tmp/") + INSTANCE_LOCK_NAME + "-" + std::to_string(uid);
}

std::string InstanceLockPath() {
    return InstanceLockPath(std::getenv("XDG_RUNTIME_DIR"), static_cast<unsigned>(getuid()));
}

LockResult InstanceLock::acquire(const std::string& path) {
    release();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return LockResult::Unavailable;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? LockResult::HeldByOther : LockResult::Unavailable;
    }
    fd_ = fd;
    return LockResult::Acquired;
}

void InstanceLock::release() {
    if (fd_ >= 0) {
        flock(fd_, LOCK_UN);
        close(fd_);
        fd_ = -1;
    }
}

std::string InstanceChannelPath(const std::string& lockPath) {
    return lockPath + CHANNEL_SUFFIX;
}

bool InstanceChannel::listen(const std::string& path) {
    close();
    sockaddr_un addr{};
    if (!SocketAddress(path, addr)) {
        return false;
    }
    // Left behind by an instance that ended without closing (a crash): the lock says no other
    // instance runs, so a socket of this user there is stale. Anything else is not ours to remove.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid() || unlink(path.c_str()) != 0) {
            return false;
        }
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        chmod(path.c_str(), 0600) != 0 || ::listen(fd, CHANNEL_BACKLOG) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

void InstanceChannel::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        unlink(path_.c_str());
        fd_ = -1;
        path_.clear();
    }
}

int InstanceChannel::takeRequests() {
    int taken = 0;
    for (int client; fd_ >= 0 && (client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        // The socket's mode already keeps other users out; the peer's credentials make sure.
        ucred peer{};
        socklen_t size = sizeof(peer);
        if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
            peer.uid == geteuid()) {
            ++taken;
            [[maybe_unused]] const ssize_t n = send(client, &SHOWN_ANSWER, 1, MSG_NOSIGNAL);
        }
        ::close(client);
    }
    return taken;
}

bool AskRunningInstanceToShow(const std::string& path, int waitMs) {
    sockaddr_un addr{};
    if (!SocketAddress(path, addr)) {
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        // Non-blocking: an instance that hangs with a full queue must not hold this start up.
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
            // Connected: the request is made; the answer says the instance took it.
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd, POLLIN, 0};
            char answer = 0;
            const bool answered =
                poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count()))) == 1 &&
                recv(fd, &answer, 1, 0) == 1 && answer == SHOWN_ANSWER;
            ::close(fd);
            return answered;
        }
        const int error = errno;
        ::close(fd);
        // Not listening yet (still starting) or its queue is full: try again for a while.
        const bool retry = error == ENOENT || error == ECONNREFUSED || error == EAGAIN;
        if (!retry || Clock::now() + std::chrono::milliseconds(CONNECT_RETRY_MS) > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(CONNECT_RETRY_MS));
    }
}

std::string ChooseWorkingDirectory(const std::string& exeDir, bool exeDirWritable,
                                   const char* xdgDataHome, const char* home) {
    if (!exeDir.empty() && exeDirWritable) {
        return exeDir;
    }
    std::string base;
    if (IsAbsolute(xdgDataHome)) {
        base = xdgDataHome;
    } else if (IsAbsolute(home)) {
        base = std::string(home) + "/.local/share";
    } else {
        return std::string();
    }
    return base + "/" + DATA_DIR_NAME;
}

std::string ExecutableDirectory() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::string();
    }
    return exe.parent_path().string();
}

bool IsWritableDirectory(const std::string& dir) {
    return !dir.empty() && access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string EnterWorkingDirectory() {
    const std::string exeDir = ExecutableDirectory();
    const std::string dir = ChooseWorkingDirectory(
        exeDir, IsWritableDirectory(exeDir), std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    if (dir.empty()) {
        diag("no working directory can be chosen; staying in the current one");
        return std::string();
    }
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (chdir(dir.c_str()) != 0) {
        const std::string text = "cannot enter " + dir + ": " + std::strerror(errno);
        diag(text.c_str());
        return std::string();
    }
    return dir;
}

bool SignalBridge::install() {
    if (installed_) {
        return true;
    }
    // The pipe lives as long as the process: a handler that runs on another thread while the
    // bridge is being removed must never write into a descriptor that was closed and reused.
    static int fds[2] = {-1, -1};
    if (fds[0] < 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds[0] = fds[1] = -1;
        return false;
    }
    readFd_ = fds[0];
    while (takeSignal() != 0) {
        // a signal of an earlier installation is not this one's
    }
    g_signalWriteFd.store(fds[1]);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < SIGNAL_COUNT; ++i) {
        if (sigaction(BRIDGED_SIGNALS[i], &action, &g_previous[i]) != 0) {
            for (std::size_t j = 0; j < i; ++j) {
                sigaction(BRIDGED_SIGNALS[j], &g_previous[j], nullptr);
            }
            g_signalWriteFd.store(-1);
            readFd_ = -1;
            return false;
        }
    }
    installed_ = true;
    return true;
}

void SignalBridge::uninstall() {
    if (!installed_) {
        return;
    }
    for (std::size_t i = 0; i < SIGNAL_COUNT; ++i) {
        sigaction(BRIDGED_SIGNALS[i], &g_previous[i], nullptr);
    }
    g_signalWriteFd.store(-1);
    readFd_ = -1;
    installed_ = false;
}

int SignalBridge::takeSignal() {
    if (readFd_ < 0) {
        return 0;
    }
    unsigned char byte = 0;
    const ssize_t n = read(readFd_, &byte, 1);
    return n == 1 ? static_cast<int>(byte) : 0;
}

} // namespace pw::app

namespace pw::app {

namespace {

constexpr char ROLE_DESKTOP[] = "desktop";
constexpr char ROLE_HEADLESS[] = "headless";

} // namespace

LockResult AcquireDirectoryLock(InstanceLock& lock, const std::string& path, InstanceRole role) {
    const LockResult result = lock.acquire(path);
    if (result == LockResult::Acquired) {
        const std::string record = std::to_string(static_cast<long>(getpid())) + " " +
                                   (role == InstanceRole::Headless ? ROLE_HEADLESS : ROLE_DESKTOP) +
                                   "\n";
        const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            // A reader that finds the record short takes the holder for unknown, never for another.
            [[maybe_unused]] const int t = ftruncate(fd, 0);
            [[maybe_unused]] const ssize_t n = write(fd, record.data(), record.size());
            close(fd);
        }
    }
    return result;
}

LockHolder ProbeDirectoryLock(const std::string& path) {
    LockHolder holder;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        holder.state = errno == ENOENT ? LockResult::Acquired : LockResult::Unavailable;
        return holder;
    }
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        close(fd);
        holder.state = LockResult::Acquired;
        return holder;
    }
    holder.state = errno == EWOULDBLOCK ? LockResult::HeldByOther : LockResult::Unavailable;
    char text[64] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    char role[16] = {};
    if (n > 0 && std::sscanf(text, "%ld %15s", &holder.pid, role) == 2) {
        holder.role = std::strcmp(role, ROLE_HEADLESS) == 0  ? InstanceRole::Headless
                      : std::strcmp(role, ROLE_DESKTOP) == 0 ? InstanceRole::Desktop
                                                             : InstanceRole::Unknown;
    }
    return holder;
}

bool RequestReload(long pid) {
    return pid > 0 && kill(static_cast<pid_t>(pid), SIGHUP) == 0;
}

SignalRequest RequestOf(int signo) {
    if (signo == SIGHUP) {
        return SignalRequest::Reload;
    }
    return signo == SIGTERM || signo == SIGINT ? SignalRequest::Stop : SignalRequest::None;
}

LoopWaker::LoopWaker() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        readFd_ = fds[0];
        writeFd_ = fds[1];
    }
}

LoopWaker::~LoopWaker() {
    if (readFd_ >= 0) {
        close(readFd_);
        close(writeFd_);
    }
}

void LoopWaker::wake() {
    const unsigned char byte = 1;
    // A full pipe already holds a wake; losing this one loses nothing.
    [[maybe_unused]] const ssize_t n = write(writeFd_, &byte, 1);
}

bool LoopWaker::takeWake() {
    unsigned char bytes[64];
    bool woken = false;
    while (read(readFd_, bytes, sizeof bytes) > 0) {
        woken = true;
    }
    return woken;
}

void WaitForWork(int signalFd, const LoopWaker& waker, int timeoutMs) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {waker.readFd(), POLLIN, 0}};
    [[maybe_unused]] const int n = poll(fds, 2, timeoutMs);
}

} // namespace pw::app
