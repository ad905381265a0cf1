// The real `portweave` program, run headless in a temporary directory as a user would run a copy
// of it: a stored link of two TCP servers carries bytes both ways, a second start leaves at once,
// and the termination signals end it in order (event.log, the data file written whole).
#include "store/datafile.h"
#include "tests/app/app_test_util.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace apptest;
using namespace std::chrono_literals;
using testsupport::Fd;

constexpr auto START_LIMIT = 20s;
constexpr auto EXIT_LIMIT = 20s;

// A copy of the program in its own directory, with its own runtime directory for the lock.
class Install {
public:
    Install() {
        fs::copy_file(PORTWEAVE_BINARY, exe());
        runtime_ = (dir_ / "run").string();
        fs::create_directory(runtime_);
        chmod(runtime_.c_str(), 0700);
    }
    [[nodiscard]] std::string exe() const { return (dir_ / "portweave").string(); }
    [[nodiscard]] std::string str() const { return dir_.str(); }
    [[nodiscard]] fs::path operator/(const std::string& name) const { return dir_ / name; }

    // Starts the copy, from another current directory, headless.
    pid_t start() const {
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir("/") != 0) {
                _exit(126);
            }
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
            const std::string exePath = exe();
            execl(exePath.c_str(), exePath.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

private:
    TempDir dir_;
    std::string runtime_;
};

// Waits for the process to end; its exit code, or -1 when it did not end in time (it is then
// killed) or did not exit normally.
int WaitExit(pid_t pid, std::chrono::seconds limit = EXIT_LIMIT) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool Running(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

Fd ConnectWithin(std::uint16_t port, std::chrono::seconds limit) {
    Fd fd;
    testsupport::wait_until(
        [&] {
            fd = testsupport::tcp_connect(port);
            return fd.valid();
        },
        limit);
    return fd;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

struct Bridge {
    std::uint16_t p1 = testsupport::free_tcp_port();
    std::uint16_t p2 = testsupport::free_tcp_port();

    void writeDataFile(const Install& install) const {
        SettingsBlock settings{};
        settings.logEventsToFile = 1;
        settings.selectedLinkRow = SELECTED_ROW_NONE; // start-up selects row 0 instead
        LinkTable table{};
        SetLink(table, 0, "e2e", TcpServerPort(p1, true), TcpServerPort(p2, true));
        WriteDataFile(install.str(), settings, table);
    }
};

TEST(PortweaveProgramTest, BytesCrossTheLinkAndTermEndsItInOrder) {
    Install install;
    Bridge bridge;
    bridge.writeDataFile(install);
    const pid_t pid = install.start();
    ASSERT_GT(pid, 0);

    Fd a = ConnectWithin(bridge.p1, START_LIMIT);
    Fd b = ConnectWithin(bridge.p2, START_LIMIT);
    ASSERT_TRUE(a.valid() && b.valid());
    // Both connections are taken once the program says so in event.log.
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return Count(ReadText(install / "event.log"), "TCP connection accepted.") >= 2; },
        START_LIMIT));

    const std::vector<std::uint8_t> out = testsupport::pattern(3000);
    ASSERT_TRUE(testsupport::write_all(a.get(), out.data(), out.size()));
    std::vector<std::uint8_t> in(out.size());
    ASSERT_TRUE(testsupport::read_exact(b.get(), in.data(), in.size(), 10000));
    EXPECT_EQ(in, out);
    ASSERT_TRUE(testsupport::write_all(b.get(), "pong", 4));
    char back[4];
    ASSERT_TRUE(testsupport::read_exact(a.get(), back, sizeof(back), 10000));
    EXPECT_EQ(std::string(back, 4), "pong");

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(WaitExit(pid), 0);
    const std::string events = ReadText(install / "event.log");
    EXPECT_EQ(Count(events, "System startup\r\n"), 1u);
    EXPECT_EQ(Count(events, "System shutdown\r\n"), 1u);
    EXPECT_GT(events.find("System shutdown"), events.find("TCP connection accepted."));
    EXPECT_TRUE(testsupport::wait_peer_closed(a.get()));

    SettingsBlock saved{};
    LinkTable table{};
    ASSERT_TRUE(ReadDataFile(install.str(), saved, table));
    EXPECT_EQ(+saved.selectedLinkRow, 0u); // rewritten by this run
    EXPECT_EQ(+saved.logEventsToFile, 1u);
    EXPECT_EQ(+table.entry[0].inUse, 1u);
    EXPECT_STREQ(table.entry[0].config.name, "e2e");
    EXPECT_EQ(+table.entry[0].config.port[0].active, 1u);
    EXPECT_EQ(+table.entry[0].config.port[1].active, 1u);
    EXPECT_EQ(+table.entry[0].config.port[0].ipPort, bridge.p1);
}

// Streams into `into` and drains `from` until told to stop or a side fails; counts what arrived.
class Stream {
public:
    Stream(int into, int from, std::uint32_t seed)
        : into_(into), from_(from), data_(testsupport::pattern(64 * 1024, seed)) {
        writer_ = std::thread([this] {
            while (!stop_.load() && testsupport::write_all(into_, data_.data(), data_.size())) {
            }
        });
        reader_ = std::thread([this] {
            std::uint8_t chunk[65536];
            for (;;) {
                // Ends at the end of the stream, a reset, or the shutdown that stop() makes.
                const ssize_t n = ::recv(from_, chunk, sizeof chunk, 0);
                if (n <= 0) {
                    return;
                }
                received_ += static_cast<std::uint64_t>(n);
            }
        });
    }
    ~Stream() { stop(); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    void stop() {
        stop_.store(true);
        ::shutdown(into_, SHUT_RDWR);
        ::shutdown(from_, SHUT_RDWR);
        if (writer_.joinable()) {
            writer_.join();
        }
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    [[nodiscard]] std::uint64_t received() const { return received_.load(); }

private:
    int into_;
    int from_;
    std::vector<std::uint8_t> data_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> received_{0};
    std::thread writer_;
    std::thread reader_;
};

TEST(PortweaveProgramTest, TermDuringHeavyTrafficStillWritesTheDataFileWhole) {
    Install install;
    Bridge bridge;
    {
        // Both directions traced into trace.log as well, so that the end meets busy files too.
        SettingsBlock settings{};
        settings.logEventsToFile = 1;
        settings.logTraceToFile = 1;
        LinkTable table{};
        PortConfig p1 = TcpServerPort(bridge.p1, true);
        PortConfig p2 = TcpServerPort(bridge.p2, true);
        p1.trace = 1;
        p2.trace = 1;
        SetLink(table, 0, "busy", p1, p2);
        WriteDataFile(install.str(), settings, table);
    }
    const pid_t pid = install.start();
    ASSERT_GT(pid, 0);
    Fd a = ConnectWithin(bridge.p1, START_LIMIT);
    Fd b = ConnectWithin(bridge.p2, START_LIMIT);
    ASSERT_TRUE(a.valid() && b.valid());
    Stream forth(a.get(), b.get(), 1);
    Stream back(b.get(), a.get(), 2);
    // Well under way in both directions before the signal comes.
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return forth.received() > (1u << 20) && back.received() > (1u << 20); }, 60s));

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(WaitExit(pid, 60s), 0);
    forth.stop();
    back.stop();

    EXPECT_EQ(fs::file_size(install / DATA_FILE_NAME), DATA_FILE_SIZE);
    SettingsBlock saved{};
    LinkTable table{};
    ASSERT_TRUE(ReadDataFile(install.str(), saved, table));
    EXPECT_EQ(+saved.logTraceToFile, 1u);
    EXPECT_EQ(+table.entry[0].inUse, 1u);
    EXPECT_STREQ(table.entry[0].config.name, "busy");
    EXPECT_EQ(+table.entry[0].config.port[0].active, 1u);
    EXPECT_EQ(+table.entry[0].config.port[1].ipPort, bridge.p2);
    const std::string events = ReadText(install / "event.log");
    EXPECT_EQ(Count(events, "System shutdown\r\n"), 1u);
    EXPECT_EQ(events.substr(events.size() - std::string("System shutdown\r\n").size()),
              "System shutdown\r\n");
    // The trace was busy to the end and holds only whole lines.
    const std::string trace = ReadText(install / "trace.log");
    ASSERT_GT(trace.size(), 1000u);
    EXPECT_EQ(trace.substr(trace.size() - 2), "\r\n");
}

TEST(PortweaveProgramTest, ASecondStartLeavesAtOnceAndTheFirstRunsOn) {
    Install install;
    Bridge bridge;
    bridge.writeDataFile(install);
    const pid_t first = install.start();
    ASSERT_GT(first, 0);
    Fd probe = ConnectWithin(bridge.p1, START_LIMIT);
    ASSERT_TRUE(probe.valid());

    const pid_t second = install.start();
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitExit(second, 10s), 0);
    EXPECT_TRUE(Running(first));

    // The first still bridges.
    Fd b = ConnectWithin(bridge.p2, START_LIMIT);
    ASSERT_TRUE(b.valid());
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return Count(ReadText(install / "event.log"), "TCP connection accepted.") >= 2; },
        START_LIMIT));
    ASSERT_TRUE(testsupport::write_all(probe.get(), "still", 5));
    char got[5];
    ASSERT_TRUE(testsupport::read_exact(b.get(), got, sizeof(got), 10000));
    EXPECT_EQ(std::string(got, 5), "still");
    EXPECT_EQ(Count(ReadText(install / "event.log"), "System startup\r\n"), 1u);

    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(WaitExit(first), 0);
}

TEST(PortweaveProgramTest, InterruptAndHangUpEndItInOrderToo) {
    for (const int signo : {SIGINT, SIGHUP}) {
        Install install;
        Bridge bridge;
        bridge.writeDataFile(install);
        const pid_t pid = install.start();
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(ConnectWithin(bridge.p1, START_LIMIT).valid());
        ASSERT_EQ(kill(pid, signo), 0);
        EXPECT_EQ(WaitExit(pid), 0) << "signal " << signo;
        EXPECT_EQ(Count(ReadText(install / "event.log"), "System shutdown\r\n"), 1u);
        EXPECT_EQ(fs::file_size(install / DATA_FILE_NAME), DATA_FILE_SIZE);
    }
}

} // namespace
