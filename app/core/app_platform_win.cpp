// The application's Windows calls: the named mutex, the instance's named pipe, the executable's
// directory, the current directory and the console's control events.
#include "app/core/app_platform.h"

#include "base/platform.h"

#include <windows.h>

#include <sddl.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <io.h>

namespace pw::app {

namespace {

constexpr char WINDOWS_DATA_DIR_NAME[] = "Portweave"; // under %LOCALAPPDATA%
// How long a console that is being closed (or a session that ends) waits for the orderly exit;
// the system ends the process once the handler returns or its own limit passes.
constexpr DWORD CLOSE_GRACE_MS = 10000;

std::atomic<int> g_signalWriteFd{-1};

bool IsAbsolute(const char* path) {
    if (path == nullptr) {
        return false;
    }
    const bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    const bool unc = path[0] == '\\' && path[1] == '\\';
    return drive || unc;
}

// Kernel handles carry 32 significant bits, so they survive a trip through an int.
int ToInt(HANDLE h) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(h));
}

HANDLE ToHandle(int value) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
    const int fd = g_signalWriteFd.load();
    if (fd < 0) {
        return FALSE;
    }
    const bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
    const auto byte = static_cast<unsigned char>(interrupt ? SIGINT : SIGTERM);
    [[maybe_unused]] const int n = _write(fd, &byte, 1);
    if (!interrupt) {
        // Closing the console, logging off and shutting down end the process when this handler
        // returns: give the orderly exit its time (it ends the process itself when done).
        Sleep(CLOSE_GRACE_MS);
    }
    return TRUE;
}

} // namespace

std::string InstanceLockPath(const char*, unsigned) {
    // A named mutex, not a file: its name is the same for everyone in the session.
    return INSTANCE_LOCK_NAME;
}

std::string InstanceLockPath() {
    return INSTANCE_LOCK_NAME;
}

LockResult InstanceLock::acquire(const std::string& path) {
    release();
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, path.c_str());
    if (mutex == nullptr) {
        return LockResult::Unavailable;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return LockResult::HeldByOther;
    }
    // The system releases the mutex when the process ends, however it ends.
    fd_ = ToInt(mutex);
    return LockResult::Acquired;
}

void InstanceLock::release() {
    if (fd_ >= 0) {
        ReleaseMutex(ToHandle(fd_));
        CloseHandle(ToHandle(fd_));
        fd_ = -1;
    }
}

std::string ChooseWorkingDirectory(const std::string& exeDir, bool exeDirWritable,
                                   const char* localAppData, const char*) {
    if (!exeDir.empty() && exeDirWritable) {
        return exeDir;
    }
    if (!IsAbsolute(localAppData)) {
        return std::string();
    }
    return std::string(localAppData) + "\\" + WINDOWS_DATA_DIR_NAME;
}

std::string ExecutableDirectory() {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) {
        return std::string();
    }
    const auto dir = std::filesystem::path(std::wstring(path, n)).parent_path().u8string();
    return std::string(dir.begin(), dir.end());
}

bool IsWritableDirectory(const std::string& dir) {
    // Access rights on Windows lie in the directory's security, which only an attempt reads
    // right: make a file that goes when it is closed.
    if (dir.empty()) {
        return false;
    }
    const std::filesystem::path probe =
        std::filesystem::u8path(dir) / ("portweave-" + std::to_string(GetCurrentProcessId()));
    const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

std::string EnterWorkingDirectory() {
    const std::string exeDir = ExecutableDirectory();
    const std::string dir = ChooseWorkingDirectory(exeDir, IsWritableDirectory(exeDir),
                                                   std::getenv("LOCALAPPDATA"), nullptr);
    if (dir.empty()) {
        diag("no working directory can be chosen; staying in the current one");
        return std::string();
    }
    std::error_code error;
    const std::filesystem::path path = std::filesystem::u8path(dir);
    std::filesystem::create_directories(path, error);
    std::filesystem::current_path(path, error);
    if (error) {
        const std::string text = "cannot enter " + dir + ": " + error.message();
        diag(text.c_str());
        return std::string();
    }
    return dir;
}

bool SignalBridge::install() {
    if (installed_) {
        return true;
    }
    // The pipe lives as long as the process, as on every platform: a handler running on its own
    // thread while the bridge is being removed must never write into a reused descriptor.
    static int fds[2] = {-1, -1};
    if (fds[0] < 0 && _pipe(fds, 256, _O_BINARY | _O_NOINHERIT) != 0) {
        fds[0] = fds[1] = -1;
        return false;
    }
    readFd_ = fds[0];
    while (takeSignal() != 0) {
        // a signal of an earlier installation is not this one's
    }
    g_signalWriteFd.store(fds[1]);
    if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
        g_signalWriteFd.store(-1);
        readFd_ = -1;
        return false;
    }
    installed_ = true;
    return true;
}

void SignalBridge::uninstall() {
    if (!installed_) {
        return;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    g_signalWriteFd.store(-1);
    readFd_ = -1;
    installed_ = false;
}

int SignalBridge::takeSignal() {
    if (readFd_ < 0) {
        return 0;
    }
    // The pipe blocks: read only what is there.
    DWORD waiting = 0;
    if (!PeekNamedPipe(reinterpret_cast<HANDLE>(_get_osfhandle(readFd_)), nullptr, 0, nullptr,
                       &waiting, nullptr) ||
        waiting == 0) {
        return 0;
    }
    unsigned char byte = 0;
    return _read(readFd_, &byte, 1) == 1 ? static_cast<int>(byte) : 0;
}

// ---- the instance channel: a named pipe ----

namespace {

constexpr char SHOWN_ANSWER = 'S';     // the running instance took the request
constexpr DWORD CONNECT_RETRY_MS = 50; // between tries while the running instance is starting
constexpr DWORD PIPE_BUFFER = 16;      // an answer is one byte
constexpr std::size_t PIPE_NAME_MAX = 256;
constexpr std::size_t ANSWERED_KEPT = 4; // the starts that can be reading their answer at once

// Pipe names are machine-wide: the session's number keeps users apart as the lock's own name
// does, and the channel's path (one per lock, so per working directory) follows.
std::wstring PipeName(const std::string& path) {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const std::string prefix = "\\\\.\\pipe\\Portweave-" + std::to_string(session) + "-";
    std::string name = prefix + path;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        name[i] = (name[i] == '\\' || name[i] == '/' || name[i] == ':') ? '_' : name[i];
    }
    if (name.size() > PIPE_NAME_MAX) {
        name = prefix + std::to_string(std::hash<std::string>()(path));
    }
    const auto wide = std::filesystem::u8path(name).wstring();
    return std::wstring(wide.begin(), wide.end());
}

// A new instance of the pipe that only this user may open (by default everyone may read it). The
// first instance claims the name: a pipe someone else made first is never joined.
HANDLE MakePipe(const std::wstring& name, bool first) {
    HANDLE token = nullptr;
    alignas(TOKEN_USER) unsigned char user[256];
    DWORD size = 0;
    char* sid = nullptr;
    const bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                       GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                       ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
    if (token != nullptr) {
        CloseHandle(token);
    }
    if (!known) {
        return INVALID_HANDLE_VALUE;
    }
    const std::string sddl = std::string("D:P(A;;GA;;;") + sid + ")";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE pipe = CreateNamedPipeW(
        name.c_str(),
        PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, PIPE_UNLIMITED_INSTANCES,
        PIPE_BUFFER, PIPE_BUFFER, 0, &attributes);
    LocalFree(descriptor);
    return pipe;
}

// One pipe instance waiting for the next start without blocking anyone; `connect.hEvent` (the
// channel's readFd) is signalled once a start has connected.
struct Waiting {
    std::wstring name;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED connect{};
    bool connected = false; // known at once: the start came between the instance and the wait
    // Answered instances stay open a while: under Wine, closing one drops the answer its start
    // has not read yet.
    std::deque<HANDLE> answered;

    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;
    explicit Waiting(std::wstring pipeName) : name(std::move(pipeName)) {
        connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Waiting() {
        release();
        for (const HANDLE pipe : answered) {
            CloseHandle(pipe);
        }
        if (connect.hEvent != nullptr) {
            CloseHandle(connect.hEvent);
        }
    }
    // Closes the instance; the system keeps what was written for the start that reads it.
    void release() {
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD unused = 0;
            if (!connected && CancelIo(pipe)) { // the wait must end before its OVERLAPPED goes
                GetOverlappedResult(pipe, &connect, &unused, TRUE);
            }
            CloseHandle(pipe);
            pipe = INVALID_HANDLE_VALUE;
        }
    }
    // Makes the instance and starts its wait; false when either cannot be had.
    bool await(bool first) {
        pipe = connect.hEvent != nullptr ? MakePipe(name, first) : INVALID_HANDLE_VALUE;
        if (pipe == INVALID_HANDLE_VALUE) {
            return false;
        }
        ResetEvent(connect.hEvent);
        const DWORD error =
            ConnectNamedPipe(pipe, &connect) ? ERROR_PIPE_CONNECTED : GetLastError();
        connected = error == ERROR_PIPE_CONNECTED;
        if (connected) {
            SetEvent(connect.hEvent);
        }
        return connected || error == ERROR_IO_PENDING;
    }
};

// Writes the answer without waiting: one byte always fits the pipe's buffer.
void Answer(HANDLE pipe) {
    OVERLAPPED write{};
    DWORD written = 0;
    if (WriteFile(pipe, &SHOWN_ANSWER, 1, nullptr, &write) || GetLastError() == ERROR_IO_PENDING) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, &write, &written, TRUE);
    }
}

// Reads the running instance's answer until `deadline` (GetTickCount64's).
bool ReadAnswer(HANDLE pipe, ULONGLONG deadline) {
    OVERLAPPED read{};
    read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (read.hEvent == nullptr) {
        return false;
    }
    char answer = 0;
    DWORD got = 0;
    bool answered = false;
    if (ReadFile(pipe, &answer, 1, nullptr, &read) || GetLastError() == ERROR_IO_PENDING) {
        const ULONGLONG now = GetTickCount64();
        if (WaitForSingleObject(read.hEvent, deadline > now ? static_cast<DWORD>(deadline - now)
                                                            : 0) != WAIT_OBJECT_0) {
            CancelIo(pipe);
        }
        answered =
            GetOverlappedResult(pipe, &read, &got, TRUE) && got == 1 && answer == SHOWN_ANSWER;
    }
    CloseHandle(read.hEvent);
    return answered;
}

} // namespace

std::string InstanceChannelPath(const std::string& lockPath) {
    return lockPath + ".show";
}

bool InstanceChannel::listen(const std::string& path) {
    close();
    // Nothing of an instance that crashed is left to replace: its pipe went with its process.
    auto waiting = std::make_shared<Waiting>(PipeName(path));
    if (!waiting->await(true)) {
        return false;
    }
    fd_ = ToInt(waiting->connect.hEvent);
    path_ = path;
    waiting_ = std::move(waiting);
    return true;
}

void InstanceChannel::close() {
    waiting_.reset();
    fd_ = -1;
    path_.clear();
}

int InstanceChannel::takeRequests() {
    int taken = 0;
    auto* waiting = static_cast<Waiting*>(waiting_.get());
    while (waiting != nullptr && WaitForSingleObject(waiting->connect.hEvent, 0) == WAIT_OBJECT_0) {
        DWORD unused = 0;
        const HANDLE answered = waiting->pipe;
        const bool connected =
            waiting->connected || GetOverlappedResult(answered, &waiting->connect, &unused, FALSE);
        if (!connected && GetLastError() == ERROR_IO_INCOMPLETE) {
            ResetEvent(waiting->connect.hEvent); // still waiting after all
            break;
        }
        if (connected) {
            Answer(answered);
            ++taken;
        }
        // The next instance waits before this one goes, so that the name is never free for
        // another to take. The pipe's access already keeps other users out.
        waiting->pipe = INVALID_HANDLE_VALUE;
        const bool next = waiting->await(false);
        waiting->answered.push_back(answered);
        if (waiting->answered.size() > ANSWERED_KEPT) {
            CloseHandle(waiting->answered.front());
            waiting->answered.pop_front();
        }
        if (!next) {
            close(); // a second start now just ends
            break;
        }
    }
    return taken;
}

bool AskRunningInstanceToShow(const std::string& path, int waitMs) {
    const std::wstring name = PipeName(path);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(waitMs > 0 ? waitMs : 0);
    for (;;) {
        // Identification only: the pipe's maker may learn who asks, never act as this user.
        const HANDLE pipe = CreateFileW(
            name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            // Connected: the request is made; the answer says the instance took it.
            const bool answered = ReadAnswer(pipe, deadline);
            CloseHandle(pipe);
            return answered;
        }
        // Not listening yet (still starting), or its waiting instance is another start's: try
        // again for a while.
        const DWORD error = GetLastError();
        const bool retry = error == ERROR_FILE_NOT_FOUND || error == ERROR_PIPE_BUSY;
        if (!retry || GetTickCount64() + CONNECT_RETRY_MS > deadline) {
            return false;
        }
        Sleep(CONNECT_RETRY_MS);
    }
}

} // namespace pw::app

namespace pw::app {

namespace {

constexpr char ROLE_DESKTOP[] = "desktop";
constexpr char ROLE_HEADLESS[] = "headless";
// Windows has no SIGHUP: a reload request travels through the signal pipe as this number.
constexpr int RELOAD_SIGNAL = 1;
// The console's events arrive through a pipe, which Windows cannot wait on beside an event: the
// headless loop looks at it at least this often.
constexpr DWORD SIGNAL_POLL_MS = 50;

HANDLE g_reloadEvent = nullptr; // this process's, once a LoopWaker exists

// The per-directory lock is a named mutex whose name is the lock file's full path.
std::string DirectoryMutexName(const std::string& path) {
    std::error_code error;
    const auto full = std::filesystem::absolute(std::filesystem::u8path(path), error).u8string();
    std::string name(full.begin(), full.end());
    for (char& c : name) {
        c = (c == '\\' || c == ':' || c == '/') ? '_' : c;
    }
    return "Local\\Portweave-" + name;
}

std::string ReloadEventName(unsigned long pid) {
    return "Local\\PortweaveReload-" + std::to_string(pid);
}

} // namespace

LockResult AcquireDirectoryLock(InstanceLock& lock, const std::string& path, InstanceRole role) {
    const LockResult result = lock.acquire(DirectoryMutexName(path));
    if (result == LockResult::Acquired) {
        // The file only tells who holds the mutex.
        const std::string record = std::to_string(GetCurrentProcessId()) + " " +
                                   (role == InstanceRole::Headless ? ROLE_HEADLESS : ROLE_DESKTOP) +
                                   "\n";
        if (FILE* file = std::fopen(path.c_str(), "wb")) {
            std::fwrite(record.data(), 1, record.size(), file);
            std::fclose(file);
        }
    }
    return result;
}

LockHolder ProbeDirectoryLock(const std::string& path) {
    LockHolder holder;
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, DirectoryMutexName(path).c_str());
    if (mutex == nullptr) {
        return holder;
    }
    const bool held = GetLastError() == ERROR_ALREADY_EXISTS;
    CloseHandle(mutex);
    holder.state = held ? LockResult::HeldByOther : LockResult::Acquired;
    if (held) {
        char role[16] = {};
        if (FILE* file = std::fopen(path.c_str(), "rb")) {
            if (std::fscanf(file, "%ld %15s", &holder.pid, role) == 2) {
                holder.role = std::strcmp(role, ROLE_HEADLESS) == 0  ? InstanceRole::Headless
                              : std::strcmp(role, ROLE_DESKTOP) == 0 ? InstanceRole::Desktop
                                                                     : InstanceRole::Unknown;
            }
            std::fclose(file);
        }
    }
    return holder;
}

bool RequestReload(long pid) {
    if (pid <= 0) {
        return false;
    }
    const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE,
                                    ReloadEventName(static_cast<unsigned long>(pid)).c_str());
    if (event == nullptr) {
        return false;
    }
    const bool set = SetEvent(event) != 0;
    CloseHandle(event);
    return set;
}

SignalRequest RequestOf(int signo) {
    if (signo == RELOAD_SIGNAL) {
        return SignalRequest::Reload;
    }
    return signo == SIGTERM || signo == SIGINT ? SignalRequest::Stop : SignalRequest::None;
}

LoopWaker::LoopWaker() {
    // Manual reset: the wait must not take the wake that takeWake() reports.
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event != nullptr) {
        readFd_ = ToInt(event);
    }
    if (g_reloadEvent == nullptr) {
        g_reloadEvent =
            CreateEventA(nullptr, FALSE, FALSE, ReloadEventName(GetCurrentProcessId()).c_str());
    }
}

LoopWaker::~LoopWaker() {
    if (readFd_ >= 0) {
        CloseHandle(ToHandle(readFd_));
    }
}

void LoopWaker::wake() {
    SetEvent(ToHandle(readFd_));
}

bool LoopWaker::takeWake() {
    if (WaitForSingleObject(ToHandle(readFd_), 0) != WAIT_OBJECT_0) {
        return false;
    }
    ResetEvent(ToHandle(readFd_));
    return true;
}

void WaitForWork(int, const LoopWaker& waker, int timeoutMs) {
    const DWORD limit = timeoutMs < 0 || static_cast<DWORD>(timeoutMs) > SIGNAL_POLL_MS
                            ? SIGNAL_POLL_MS
                            : static_cast<DWORD>(timeoutMs);
    HANDLE events[2] = {ToHandle(waker.readFd()), g_reloadEvent};
    const DWORD count = g_reloadEvent != nullptr ? 2 : 1;
    if (WaitForMultipleObjects(count, events, FALSE, limit) == WAIT_OBJECT_0 + 1) {
        const int fd = g_signalWriteFd.load();
        const auto byte = static_cast<unsigned char>(RELOAD_SIGNAL);
        if (fd >= 0) {
            [[maybe_unused]] const int n = _write(fd, &byte, 1);
        }
    }
}

} // namespace pw::app
