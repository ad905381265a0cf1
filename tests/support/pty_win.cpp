// Windows version (under Wine) of the pseudo-terminal pairs and temporary directories. A pair is
// two COM ports of the Wine prefix joined by socat on the Linux side: its two pseudo-terminals
// are linked into the prefix's dosdevices folder as comN (the port under test, N >= 5, never a
// port of the machine) and comN+1 (the far device, which the test holds open).
#include "tests/support/pty.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>

namespace testsupport {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The COM numbers this process holds (its far ends one up), and whether a pair uses each now. A
// number is held until the process ends, by a named object of the Wine session, so that the
// test processes that run at once never meet; a number given up goes to the next pair.
std::mutex g_mutex;
std::map<unsigned, bool> g_held;

unsigned take_com(unsigned wanted) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& [com, used] : g_held) {
        if (!used && (wanted == 0 || com == wanted)) {
            used = true;
            return com;
        }
    }
    for (unsigned com = 5; wanted == 0 && com < 250; com += 2) {
        const std::string name = "portweave-test-com" + std::to_string(com);
        const HANDLE claim = CreateMutexA(nullptr, FALSE, name.c_str());
        if (claim != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) {
            g_held[com] = true; // (the handle goes with the process)
            return com;
        }
        CloseHandle(claim);
    }
    throw std::runtime_error(wanted == 0 ? "no free COM port" : "not a COM port given up");
}

// The far end's COM number, from the port under test's path "\\.\COMn".
unsigned far_com(const std::string& slave) {
    return static_cast<unsigned>(std::stoul(slave.substr(slave.rfind('M') + 1))) + 1;
}

std::string pid_file(unsigned com) {
    return "/tmp/pw-pty-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(com);
}

// Starts a shell command line on the Linux side (Wine starts Unix programs too, but its handle of
// one does not tell when the program ends).
bool run_shell(const std::string& script) {
    std::string line = "/bin/sh -c \"" + script + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA("/bin/sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return false;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

HANDLE as_handle(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

} // namespace

PtyPair::PtyPair() : PtyPair(std::string()) {}

PtyPair::PtyPair(const std::string& name) {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr) {
        throw std::runtime_error("no Wine prefix for pseudo-terminals");
    }
    const unsigned com = take_com(name.empty() ? 0 : far_com(name) - 1);
    const std::string dev = std::string(prefix) + "/dosdevices/com";
    const std::string a = dev + std::to_string(com), b = dev + std::to_string(com + 1);
    slave_ = "\\\\.\\COM" + std::to_string(com);
    run_shell("rm -f " + a + " " + b + "; echo $$ > " + pid_file(com) + "; exec socat PTY,link=" +
              a + ",raw,echo=0 PTY,link=" + b + ",raw,echo=0 </dev/null >/dev/null 2>&1");
    const std::string farPath = "\\\\.\\COM" + std::to_string(com + 1);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    HANDLE h = INVALID_HANDLE_VALUE;
    // Not before the shell has removed the links a pair of an ended process may have left.
    while (GetFileAttributesA(("Z:" + pid_file(com)).c_str()) == INVALID_FILE_ATTRIBUTES &&
           Clock::now() < deadline) {
        Sleep(5);
    }
    while (h == INVALID_HANDLE_VALUE && Clock::now() < deadline) {
        h = CreateFileA(farPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            Sleep(20);
        }
    }
    if (h == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("no pseudo-terminal pair (socat)");
    }
    COMMTIMEOUTS at_once{MAXDWORD, 0, 0, 0, 1}; // a read returns what is there, a write what fit
    SetCommTimeouts(h, &at_once);
    master_ = static_cast<int>(reinterpret_cast<std::intptr_t>(h));
}

void PtyPair::hangUp() {
    if (master_ < 0) {
        return;
    }
    CloseHandle(as_handle(master_));
    master_ = -1;
    const unsigned com = far_com(slave_) - 1;
    const std::string pids = pid_file(com),
                      link = std::getenv("WINEPREFIX") + ("/dosdevices/com" + std::to_string(com));
    // As a closed master on Linux, the port is gone on return: socat removes its link as it ends,
    // and then the shell its process id file.
    run_shell("kill $(cat " + pids + ") 2>/dev/null; n=0; while [ -L " + link +
              " ] && [ $n -lt 500 ]; do sleep 0.01; n=$((n+1)); done; rm -f " + pids);
    for (int i = 0;
         i < 1000 && GetFileAttributesA(("Z:" + pids).c_str()) != INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(10);
    }
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_held[com] = false;
}

long PtyPair::writeNow(const void* data, std::size_t length) {
    DWORD n = 0;
    return WriteFile(as_handle(master_), data, static_cast<DWORD>(length), &n, nullptr) ? n : -1;
}

long PtyPair::readNow(void* data, std::size_t length) {
    DWORD n = 0;
    return ReadFile(as_handle(master_), data, static_cast<DWORD>(length), &n, nullptr) ? n : -1;
}

bool PtyPair::write(const Bytes& data, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::size_t done = 0;
    while (done < data.size() && Clock::now() < deadline) {
        DWORD n = 0;
        if (!WriteFile(as_handle(master_), data.data() + done,
                       static_cast<DWORD>(data.size() - done), &n, nullptr)) {
            return false;
        }
        done += n;
    }
    return done == data.size();
}

PtyPair::Bytes PtyPair::read(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    Bytes out;
    std::uint8_t buf[4096];
    while (out.size() < count && Clock::now() < deadline) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min(sizeof buf, count - out.size()));
        if (ReadFile(as_handle(master_), buf, want, &n, nullptr) && n > 0) {
            out.insert(out.end(), buf, buf + n);
        } else {
            Sleep(5);
        }
    }
    return out;
}

bool under_wine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

TempDir::TempDir() {
    static std::atomic<unsigned> made{0};
    path_ = fs::temp_directory_path() /
            ("pw-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(made++));
    fs::create_directories(path_);
}

} // namespace testsupport
