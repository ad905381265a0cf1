// The application's POSIX calls: flock, /proc/self/exe, chdir, signal handlers and their pipe.
#include "app/core/app_platform.h"

#include "base/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
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
