// Windows version of the process measures and the non-blocking mode that loopback.h offers
// beside those of loopback_win.cpp.
#include "tests/support/loopback.h"

#include <winsock2.h>

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

namespace testsupport {

void set_nonblocking(int fd) {
    u_long on = 1;
    ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
}

std::size_t thread_count() {
    const HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    std::size_t count = 0;
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL more = Thread32First(all, &t); more; more = Thread32Next(all, &t)) {
        count += t.th32OwnerProcessID == GetCurrentProcessId();
    }
    CloseHandle(all);
    return count;
}

std::size_t resident_kib() {
    PROCESS_MEMORY_COUNTERS m{};
    K32GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
    return m.WorkingSetSize / 1024;
}

} // namespace testsupport
