// The program under test as a process of its own on Windows, in a process group of its own so that
// a Ctrl+Break reaches it alone.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace clitest {

std::intptr_t StartProcess(const std::vector<std::string>& argv, const std::string& out,
                           const std::string& err) {
    std::wstring line; // the tests' arguments hold no quote and end in no backslash
    for (const std::string& arg : argv) { // the build's path is a Linux one: Wine's Z: is its root
        const std::string part = &arg == &argv[0] && arg.starts_with('/') ? "Z:" + arg : arg;
        line += L"\"" + std::filesystem::u8path(part).wstring() + L"\" ";
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto file = [&](const std::string& path) {
        return CreateFileW(std::filesystem::u8path(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = file(out);
    start.hStdError = file(err);
    PROCESS_INFORMATION process{};
    const bool started =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                       nullptr, nullptr, &start, &process) != 0;
    CloseHandle(start.hStdOutput);
    CloseHandle(start.hStdError);
    CloseHandle(started ? process.hThread : nullptr);
    return started ? reinterpret_cast<std::intptr_t>(process.hProcess) : 0;
}

int WaitProcess(std::intptr_t child) {
    const auto process = reinterpret_cast<HANDLE>(child);
    DWORD code = 0;
    const bool ended = WaitForSingleObject(process, 60000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(process, &code) != 0;
    if (!ended) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
    }
    CloseHandle(process);
    return ended ? static_cast<int>(code) : -1;
}

bool StopProcess(std::intptr_t child, bool) {
    const auto process = reinterpret_cast<HANDLE>(child);
    if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(process)) != 0) {
        return true;
    }
    TerminateProcess(process, 1); // Wine passes no console event between its processes
    return false;
}

} // namespace clitest
