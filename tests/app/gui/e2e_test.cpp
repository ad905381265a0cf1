// The real `portweave` program, run headless from a copy in a temporary directory as a user runs
// it: a stored link of two TCP servers carries bytes both ways, a second start leaves at once
// (the running one answers its request to show the window), and the termination signals end it
// in order (event.log, the data file written whole), also while both directions stream with
// tracing to file.
#include "app/core/app_platform.h"
#include "tests/support/datafile_image.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <optional>
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
struct Install {
    explicit Install(bool traceToFile) {
        std::filesystem::copy_file(PORTWEAVE_BINARY, dir / "portweave");
        mkdir((dir / "run").c_str(), 0700);
        settings.logEventsToFile = 1;
        settings.logTraceToFile = traceToFile ? 1 : 0;
        settings.selectedLinkRow = SELECTED_ROW_NONE; // start-up selects row 0 instead
        PortConfig p1 = testsupport::tcp_server_port(p1Port, true);
        PortConfig p2 = testsupport::tcp_server_port(p2Port, true);
        p1.trace = p2.trace = traceToFile ? 1 : 0;
        for (std::uint32_t id = 0; id < MAX_LINKS; ++id) {
            table.entry[id].linkId = id; // as every save writes them
        }
        testsupport::set_link(table, 0, "e2e", p1, p2);
        testsupport::write_data_file(dir.str(), settings, table);
    }
    // Starts the copy headless, from another current directory.
    pid_t start() const {
        const std::string exe = (dir / "portweave").string(), runtime = (dir / "run").string();
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
    std::string file(const char* name) const { return testsupport::read_file(dir / name); }
    // Connects to both servers and waits until the program took both connections.
    bool connect(Fd& a, Fd& b) const {
        a = testsupport::tcp_connect_within(p1Port, 30000);
        b = testsupport::tcp_connect_within(p2Port, 30000);
        return a.valid() && b.valid() && testsupport::wait_until([&] {
                   const std::string log = file("event.log");
                   return log.find("accepted.", log.find("TCP connection accepted.") + 1) !=
                          log.npos;
               });
    }
    testsupport::TempDir dir;
    std::uint16_t p1Port = testsupport::free_tcp_port(), p2Port = testsupport::free_tcp_port();
    SettingsBlock settings{};
    LinkTable table{};
};

// The exit code, or -1 when the process did not exit normally within the limit (it is killed).
int WaitExit(pid_t pid, std::chrono::seconds limit = LIMIT) {
    int status = 0;
    if (!testsupport::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes into one socket and counts what leaves the other, until the program's end closes both.
struct Stream {
    Stream(int into, int from)
        : writer([into] {
              const auto data = testsupport::pattern(64 * 1024);
              while (testsupport::write_all(into, data.data(), data.size())) {
              }
          }),
          reader([this, from] {
              char chunk[65536];
              for (ssize_t n; (n = ::recv(from, chunk, sizeof chunk, 0)) > 0;) {
                  received += static_cast<std::uint64_t>(n);
              }
          }) {}
    std::atomic<std::uint64_t> received{0};
    std::jthread writer, reader;
};

// Each termination signal (SIGTERM, SIGINT, SIGHUP at logout or shutdown) ends it in order; a
// second start meanwhile leaves at once and the first bridges on. SIGTERM comes while both
// directions stream, traced to file.
TEST(PortweaveProgramTest, BytesCrossASecondStartLeavesAndEverySignalEndsItInOrder) {
    for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
        const bool streaming = signo == SIGTERM;
        Install install(streaming);
        const pid_t pid = install.start();
        ASSERT_GT(pid, 0);
        Fd a, b;
        ASSERT_TRUE(install.connect(a, b));
        const pid_t second = install.start();
        ASSERT_GT(second, 0);
        EXPECT_EQ(WaitExit(second), 0);
        const std::string channel = (install.dir / "run" / "PortweaveReenterCheck.show").string();
        EXPECT_TRUE(pw::app::AskRunningInstanceToShow(channel, 30000)); // as the second did
        const std::vector<std::uint8_t> out = testsupport::pattern(3000);
        std::vector<std::uint8_t> in(out.size());
        ASSERT_TRUE(testsupport::write_all(a.get(), out.data(), out.size()));
        ASSERT_TRUE(testsupport::read_exact(b.get(), in.data(), in.size(), 10000));
        EXPECT_EQ(in, out);
        ASSERT_TRUE(testsupport::write_all(b.get(), out.data(), 100));
        ASSERT_TRUE(testsupport::read_exact(a.get(), in.data(), 100, 10000));
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, in.begin()));
        {
            std::optional<Stream> forth, back;
            if (streaming) { // well under way both ways when the signal comes
                forth.emplace(a.get(), b.get());
                back.emplace(b.get(), a.get());
                EXPECT_TRUE(testsupport::wait_until(
                    [&] { return forth->received > (1u << 20) && back->received > (1u << 20); },
                    60s));
            }
            EXPECT_EQ(kill(pid, signo), 0); // and the streams end with the program
            EXPECT_EQ(WaitExit(pid, 60s), 0) << "signal " << signo;
        }
        EXPECT_FALSE(std::filesystem::exists(channel));
        const std::string events = install.file("event.log");
        const auto startup = events.find("System startup\r\n");
        EXPECT_TRUE(startup != events.npos && startup == events.rfind("System startup\r\n"));
        EXPECT_EQ(events.find("System shutdown\r\n"), events.size() - 17) << "once, the last line";
        const std::string trace = install.file("trace.log");
        EXPECT_TRUE(streaming ? trace.size() > 1000 && trace.ends_with("\r\n") : trace.empty())
            << "only whole lines, and only while tracing to file";
        // The data file as the next start finds it: the same, with the row selected at start-up.
        install.settings.selectedLinkRow = 0;
        EXPECT_EQ(install.file(DATA_FILE_NAME),
                  testsupport::data_file_image(install.settings, install.table));
    }
}

} // namespace
