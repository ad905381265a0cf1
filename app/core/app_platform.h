// What the application needs of the operating system before and around its window: the
// single-instance lock, the choice of the working directory, and the termination signals that
// end the program in order. The choices are plain functions of their inputs; the calls that
// touch the system live in app_platform_posix.cpp and app_platform_win.cpp. Main thread unless
// stated.
#pragma once

#include <memory>
#include <string>

namespace pw::app {

constexpr char INSTANCE_LOCK_NAME[] = "PortweaveReenterCheck";
constexpr char DATA_DIR_NAME[] = "portweave"; // under $XDG_DATA_HOME when the program's own
                                              // directory is not writable

// ---- single instance ----

// Where the lock lives: "<runtimeDir>/PortweaveReenterCheck" when `runtimeDir` ($XDG_RUNTIME_DIR)
// is a non-empty absolute path, else "/tmp/PortweaveReenterCheck-<uid>".
[[nodiscard]] std::string InstanceLockPath(const char* runtimeDir, unsigned uid);
// The path for this process, from its environment and user id.
[[nodiscard]] std::string InstanceLockPath();

enum class LockResult {
    Acquired,    // this process is the one instance
    HeldByOther, // another instance holds it: leave at once
    Unavailable, // the lock file cannot be opened; the program runs without the guarantee
};

// An exclusive advisory lock (flock) on a file. The kernel releases it when the process ends,
// however it ends, so a crash never leaves a stale lock.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock() { release(); }
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock without waiting. The file is created (mode 0600) if missing; a symbolic link
    // in its place is refused.
    [[nodiscard]] LockResult acquire(const std::string& path);
    void release();
    [[nodiscard]] bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// ---- reaching the running instance ----

// Where the running instance takes requests from a second start: beside the lock, at
// "<lockPath>.show".
[[nodiscard]] std::string InstanceChannelPath(const std::string& lockPath);

// The running instance's end of the way a second start reaches it: a local endpoint that only
// processes of the same user are answered on (a Unix-domain socket; on Windows a named pipe of the
// session, named from `path`). The event loop watches readFd() (as it watches the signal bridge)
// and calls takeRequests() when it is readable (on Windows: an event handle, signalled then).
class InstanceChannel {
public:
    InstanceChannel() = default;
    ~InstanceChannel() { close(); }
    InstanceChannel(const InstanceChannel&) = delete;
    InstanceChannel& operator=(const InstanceChannel&) = delete;

    // Starts listening at `path`, replacing what an instance that ended without closing left
    // there. Only the holder of the instance lock may call it. False when the endpoint cannot be
    // made (the program then runs without it: a second start just ends).
    [[nodiscard]] bool listen(const std::string& path);
    // Stops listening and removes the endpoint.
    void close();
    // Readable while a request waits; -1 when not listening.
    [[nodiscard]] int readFd() const { return fd_; }
    // Answers every request waiting now and returns how many came from this user (others are
    // turned away unanswered). Never blocks.
    [[nodiscard]] int takeRequests();

private:
    int fd_ = -1;
    std::string path_;
    std::shared_ptr<void> waiting_; // what the backend keeps besides (on Windows: the pipe waiting)
};

// A second start: asks the instance listening at `path` to bring its window to the front, and
// waits up to `waitMs` milliseconds for the answer (an instance that is still starting may not
// listen yet). True when the running instance answered.
[[nodiscard]] bool AskRunningInstanceToShow(const std::string& path, int waitMs);

// ---- working directory ----

// The program's files live in the directory of its executable when that is writable (portable
// use, as built); otherwise in "$XDG_DATA_HOME/portweave", with "$HOME/.local/share" when
// XDG_DATA_HOME is unset, empty or relative. Empty when neither can be known.
[[nodiscard]] std::string ChooseWorkingDirectory(const std::string& exeDir, bool exeDirWritable,
                                                 const char* xdgDataHome, const char* home);

// The directory of the running executable (from /proc/self/exe); empty when unknown.
[[nodiscard]] std::string ExecutableDirectory();

// Whether the process may create files in `dir`.
[[nodiscard]] bool IsWritableDirectory(const std::string& dir);

// Chooses the working directory for this process, creates it when it is the data directory, and
// makes it the current directory. Returns the directory, or empty when that failed (the current
// directory then stays as it was).
std::string EnterWorkingDirectory();

// ---- termination signals ----

// Turns SIGTERM, SIGINT and SIGHUP into bytes on a pipe, so that the event loop can run the same
// orderly exit as Tools > Exit (the handler itself only writes the signal number). One instance
// per process.
class SignalBridge {
public:
    SignalBridge() = default;
    ~SignalBridge() { uninstall(); }
    SignalBridge(const SignalBridge&) = delete;
    SignalBridge& operator=(const SignalBridge&) = delete;

    // Installs the handlers (the pipe is made at the first installation and kept for the life of
    // the process); false when the pipe or a handler cannot be had (the previous handlers stay).
    [[nodiscard]] bool install();
    // Puts the previous handlers back; signals arriving later are not bridged.
    void uninstall();
    // The pipe's read end: readable while a signal waits to be taken; -1 when not installed.
    [[nodiscard]] int readFd() const { return readFd_; }
    // The number of the oldest signal not yet taken, or 0 when none waits. Never blocks.
    [[nodiscard]] int takeSignal();

private:
    int readFd_ = -1;
    bool installed_ = false;
};

} // namespace pw::app

namespace pw::app {

// ---- one instance per working directory ----

// The lock file in the working directory. The headless service takes it instead of the per-user
// lock, so several services can run on one machine in different directories; the desktop takes
// it besides its per-user lock. The holder's process id and role are written into it, so that
// --import can tell a service (which it asks to reload) from a desktop (whose window would
// overwrite the new file at exit).
constexpr char DIRECTORY_LOCK_NAME[] = "portweave.lock";

enum class InstanceRole { Unknown, Desktop, Headless };

// What probing a lock found.
struct LockHolder {
    LockResult state = LockResult::Unavailable; // Acquired here means: nobody holds it
    InstanceRole role = InstanceRole::Unknown;  // the holder's, when held
    long pid = 0;                               // the holder's, when held; 0 when unknown
};

// Takes the lock at `path` (as InstanceLock::acquire) and records this process as `role`.
[[nodiscard]] LockResult AcquireDirectoryLock(InstanceLock& lock, const std::string& path,
                                              InstanceRole role);

// Who holds the lock at `path`, without keeping it.
[[nodiscard]] LockHolder ProbeDirectoryLock(const std::string& path);

// Asks the headless instance `pid` to read its data file again (SIGHUP). False when it cannot.
[[nodiscard]] bool RequestReload(long pid);

// ---- the headless service's loop ----

// What a signal taken from a SignalBridge asks of the headless service.
enum class SignalRequest { None, Stop, Reload };
[[nodiscard]] SignalRequest RequestOf(int signo);

// Wakes the thread that waits in WaitForWork, from any thread.
class LoopWaker {
public:
    LoopWaker();
    ~LoopWaker();
    LoopWaker(const LoopWaker&) = delete;
    LoopWaker& operator=(const LoopWaker&) = delete;
    [[nodiscard]] bool valid() const { return readFd_ >= 0; }
    void wake(); // any thread
    // Main thread: true when woken since the last call.
    [[nodiscard]] bool takeWake();
    [[nodiscard]] int readFd() const { return readFd_; }

private:
    int readFd_ = -1;
    int writeFd_ = -1;
};

// Waits until `signalFd` (a SignalBridge's) or `waker` has something, or `timeoutMs` passed
// (negative: no limit).
void WaitForWork(int signalFd, const LoopWaker& waker, int timeoutMs);

} // namespace pw::app
