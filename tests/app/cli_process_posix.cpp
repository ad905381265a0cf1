// The program under test as a forked process, on POSIX.
#include "tests/support/loopback.h"

#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace clitest {

std::intptr_t StartProcess(const std::vector<std::string>& argv, const std::string& out,
                           const std::string& err) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            unsetenv(name);
        }
        setenv("XDG_RUNTIME_DIR", std::filesystem::path(out).parent_path().c_str(), 1);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        if (dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1) == 1 &&
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2) == 2) {
            execvp(args[0], args.data());
        }
        _exit(127);
    }
    return pid > 0 ? pid : 0;
}

int WaitProcess(std::intptr_t child) {
    const auto pid = static_cast<pid_t>(child);
    int status = 0;
    if (!testsupport::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                 std::chrono::minutes(1))) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool StopProcess(std::intptr_t child, bool interrupt) {
    return kill(static_cast<pid_t>(child), interrupt ? SIGINT : SIGTERM) == 0;
}

} // namespace clitest
