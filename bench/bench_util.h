// Helpers of the side-by-side benchmark: child processes, their CPU time and memory, clocks,
// pseudo-terminals and percentiles; loopback peers, ports and directories come from the tests'
// support.
#pragma once

#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// Microseconds of a monotonic clock.
double now_us();

// A started program.
struct Child {
    pid_t pid = -1;
};

// Starts `argv` in `cwd` (empty: the current one) with `extraEnv` ("NAME=value") added to the
// environment; its output goes to `logPath` (empty: /dev/null).
Child spawn(const std::vector<std::string>& argv, const std::string& cwd,
            const std::vector<std::string>& extraEnv, const std::string& logPath = "");
// Sends SIGTERM and waits up to `timeoutMs` (then SIGKILL). Returns the exit status as waitpid
// gives it, or -1.
int stop(Child& child, int timeoutMs = 10000);

// CPU time (user + system) the process has used, in milliseconds.
double cpu_ms(pid_t pid);
// Resident memory of the process, in KiB.
long rss_kib(pid_t pid);

// Connects to 127.0.0.1:port, retrying until `timeoutMs` has passed; -1 on failure.
inline int connect_retry(std::uint16_t port, int timeoutMs = 10000) {
    return testsupport::tcp_connect_within(port, timeoutMs).release();
}
// A port that nothing uses at the moment and that this run has not handed out before: two links
// on one port would leave one of them without traffic.
inline std::uint16_t free_port() {
    return testsupport::free_tcp_port();
}
void set_no_delay(int fd);
using testsupport::write_all;

// A pseudo-terminal pair: the master is the device's far end, `slavePath` the device.
struct Pty {
    int master = -1;
    std::string slavePath;
};
Pty open_pty();

// The value below which `p` (0 to 100) percent of the samples lie.
double percentile(std::vector<double> samples, double p);

using TempDir = testsupport::TempDir;

} // namespace bench
