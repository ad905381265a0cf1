// The real `portweave` program, run headless from a copy in a temporary directory as a user runs
// it: a stored link of two TCP servers carries bytes both ways, a second start leaves at once,
// and the termination signals end it in order (event.log, the data file written whole), also
// while both directions stream with tracing to file.
#include "tests/support/datafile_image.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::Fd;

constexpr auto LIMIT = 30s;

// A copy of the program with its own runtime directory for the single-instance lock, and a
// stored link of two TCP servers, both active.
class Install {
public:
    explicit Install(bool traceToFile = false) {
        std::filesystem::copy_file(PORTWEAVE_BINARY, dir_ / "portweave");
        mkdir((dir_ / "run").c_str(), 0700);
        SettingsBlock settings{};
        settings.logEventsToFile = 1;
        settings.logTraceToFile = traceToFile ? 1 : 0;
        settings.selectedLinkRow = SELECTED_ROW_NONE; // start-up selects row 0 instead
        PortConfig p1 = testsupport::tcp_server_port(p1Port, true);
        PortConfig p2 = testsupport::tcp_server_port(p2Port, true);
        p1.trace = p2.trace = traceToFile ? 1 : 0;
        LinkTable table{};
        testsupport::set_link(table, 0, "e2e", p1, p2);
        testsupport::write_data_file(dir_.str(), settings, table);
    }
    // Starts the copy headless, from another current directory.
    pid_t start() const {
        const std::string exe = (dir_ / "portweave").string();
        const std::string runtime = (dir_ / "run").string();
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir("/") == 0) {
                setenv("QT_QPA_PLATFORM", "offscreen", 1);
                setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
                execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        return pid;
    }
    std::string dir() const { return dir_.str(); }
    std::string file(const char* name) const { return testsupport::read_file(dir_ / name); }
    std::size_t count(const char* file, const std::string& what) const {
        const std::string text = this->file(file);
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }
    // Connects to both servers and waits until the program took both connections.
    bool connect(Fd& a, Fd& b) const {
        a = testsupport::tcp_connect_within(p1Port, 30000);
        b = testsupport::tcp_connect_within(p2Port, 30000);
        return a.valid() && b.valid() && testsupport::wait_until([&] {
                   return count("event.log", "TCP connection accepted.") >= 2;
               });
    }
    std::uint16_t p1Port = testsupport::free_tcp_port();
    std::uint16_t p2Port = testsupport::free_tcp_port();

private:
    testsupport::TempDir dir_;
};

// The exit code, or -1 when the process did not exit normally within the limit (it is killed).
int WaitExit(pid_t pid, std::chrono::seconds limit = LIMIT) {
    int status = 0;
    const bool ended =
        testsupport::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The data file as the next start finds it: whole, with the link and its switches.
void ExpectSaved(const Install& install, std::uint32_t traceToFile) {
    SettingsBlock saved{};
    LinkTable table{};
    ASSERT_TRUE(testsupport::read_data_file(install.dir(), saved, table));
    EXPECT_EQ(+saved.selectedLinkRow, 0u);
    EXPECT_EQ(+saved.logEventsToFile, 1u);
    EXPECT_EQ(+saved.logTraceToFile, traceToFile);
    EXPECT_EQ(+table.entry[0].inUse, 1u);
    EXPECT_STREQ(table.entry[0].config.name, "e2e");
    EXPECT_EQ(+table.entry[0].config.port[0].active, 1u);
    EXPECT_EQ(+table.entry[0].config.port[1].ipPort, install.p2Port);
}

// Writes into one socket and counts what leaves the other, until it is destroyed.
struct Stream {
    Stream(int into, int from) : into(into), from(from) {}
    ~Stream() {
        stop = true;
        ::shutdown(into, SHUT_RDWR); // ends both threads' calls
        ::shutdown(from, SHUT_RDWR);
    }
    int into;
    int from;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> received{0};
    std::jthread writer{[this] {
        const auto data = testsupport::pattern(64 * 1024);
        while (!stop && testsupport::write_all(into, data.data(), data.size())) {
        }
    }};
    std::jthread reader{[this] {
        char chunk[65536];
        for (ssize_t n; (n = ::recv(from, chunk, sizeof chunk, 0)) > 0;) {
            received += static_cast<std::uint64_t>(n);
        }
    }};
};

TEST(PortweaveProgramTest, BytesCrossAndTermEndsItInOrderWhileBothDirectionsStream) {
    Install install(true);
    const pid_t pid = install.start();
    ASSERT_GT(pid, 0);
    Fd a;
    Fd b;
    ASSERT_TRUE(install.connect(a, b));
    const std::vector<std::uint8_t> out = testsupport::pattern(3000);
    std::vector<std::uint8_t> in(out.size());
    ASSERT_TRUE(testsupport::write_all(a.get(), out.data(), out.size()));
    ASSERT_TRUE(testsupport::read_exact(b.get(), in.data(), in.size(), 10000));
    EXPECT_EQ(in, out);
    ASSERT_TRUE(testsupport::write_all(b.get(), out.data(), 100));
    ASSERT_TRUE(testsupport::read_exact(a.get(), in.data(), 100, 10000));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, in.begin()));
    {
        // Well under way both ways, traced to file, when the signal comes.
        Stream forth(a.get(), b.get());
        Stream back(b.get(), a.get());
        ASSERT_TRUE(testsupport::wait_until(
            [&] { return forth.received > (1u << 20) && back.received > (1u << 20); }, 60s));
        ASSERT_EQ(kill(pid, SIGTERM), 0);
        EXPECT_EQ(WaitExit(pid, 60s), 0);
    }
    const std::string events = install.file("event.log");
    EXPECT_EQ(install.count("event.log", "System startup\r\n"), 1u);
    EXPECT_EQ(events.rfind("System shutdown\r\n"), events.size() - 17) << "the last line";
    const std::string trace = install.file("trace.log");
    ASSERT_GT(trace.size(), 1000u);
    EXPECT_EQ(trace.substr(trace.size() - 2), "\r\n") << "only whole lines";
    ExpectSaved(install, 1);
}

// SIGINT and SIGHUP (logout, shutdown) end it in order too; a second start meanwhile leaves at
// once and the first bridges on.
TEST(PortweaveProgramTest, ASecondStartLeavesAtOnceAndOtherSignalsEndItInOrder) {
    for (const int signo : {SIGINT, SIGHUP}) {
        Install install;
        const pid_t pid = install.start();
        ASSERT_GT(pid, 0);
        Fd a;
        Fd b;
        ASSERT_TRUE(install.connect(a, b));
        const pid_t second = install.start();
        ASSERT_GT(second, 0);
        EXPECT_EQ(WaitExit(second), 0);
        ASSERT_TRUE(testsupport::write_all(a.get(), "still", 5));
        char got[5];
        ASSERT_TRUE(testsupport::read_exact(b.get(), got, sizeof got, 10000));
        EXPECT_EQ(std::string(got, 5), "still");
        ASSERT_EQ(kill(pid, signo), 0);
        EXPECT_EQ(WaitExit(pid), 0) << "signal " << signo;
        EXPECT_EQ(install.count("event.log", "System startup"), 1u);
        EXPECT_EQ(install.count("event.log", "System shutdown\r\n"), 1u);
        ExpectSaved(install, 0);
    }
}

} // namespace
