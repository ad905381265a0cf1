// The real `portweave` binary without any display: the command line's answers, the JSON
// configuration's round trip and refusals, and the headless service bridging, reloading on
// SIGHUP and saving on SIGTERM.
#include "app/core/app_platform.h"
#include "serial/serio.h"
#include "tests/support/datafile_image.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <memory>

// The program in a process of its own (cli_process_posix.cpp, cli_process_win.cpp): started
// without a display, standard output and error into files (its per-user runtime files beside
// them), 0 when it cannot be; its exit status within a minute (else it is killed), -1 when it
// did not exit normally; asked to end in order (SIGTERM or SIGINT; on Windows Ctrl+Break), false
// when it cannot be asked (it is ended then).
namespace clitest {
using Child = std::intptr_t;
Child StartProcess(const std::vector<std::string>& argv, const std::string& out,
                   const std::string& err);
int WaitProcess(Child child);
bool StopProcess(Child child, bool interrupt = false);
} // namespace clitest

namespace {

using testsupport::Fd;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using clitest::Child;

struct Outcome {
    int status = -1; // exit code; -1 when it did not exit normally
    std::string out, err;
};

// Starts the program with `args`, standard output and error into files in `io`; `program` runs
// another build of it (say, the Windows one under Wine).
Child Start(const std::vector<std::string>& args, const testsupport::TempDir& io,
            std::vector<std::string> program = {PORTWEAVE_BINARY}) {
    program.insert(program.end(), args.begin(), args.end());
    return clitest::StartProcess(program, (io / "out").string(), (io / "err").string());
}

std::string ReadText(const fs::path& path) {
    return testsupport::read_file(path.string());
}

// The standard streams are text streams on Windows: a line ends in "\r\n" there.
std::string Lines(std::string text) {
    for (auto at = text.find("\r\n"); at != text.npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
    return text;
}

Outcome Wait(Child child, const testsupport::TempDir& io) {
    return {clitest::WaitProcess(child), Lines(ReadText(io / "out")), Lines(ReadText(io / "err"))};
}

Outcome Portweave(const std::vector<std::string>& args) {
    testsupport::TempDir io;
    return Wait(Start(args, io), io);
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A data file with what only the record carries: bytes after a name's and a host's end, a
// stored remoteAddr, generator bytes past genLength, Latin-1 text data, an out-of-list index in
// the settings of the kind not in use, odd flags, and the bytes a removed link left.
void WriteTrickyDataFile(const std::string& dir) {
    SettingsBlock settings{1, 0, 7, 1};
    LinkTable table{};
    PortConfig serial = testsupport::serial_port(4, true);
    serial.ipPort = 70000;
    serial.parityIndex = 4;
    serial.genTraffic = serial.genHex = 1;
    serial.genLength = 2;
    serial.genPeriodMs = 250;
    std::memcpy(serial.genData, "\x0d\x0a\x41\x00\x07", 5);
    serial.remoteAddr = 0x0100007f;
    PortConfig ip = testsupport::tcp_server_port(4001, false);
    ip.baudIndex = 99;
    ip.trace = 3;
    ip.genLength = 3;
    std::memcpy(ip.genData, "\xe9t\xff", 3);
    std::memcpy(ip.remoteHost, "host\0junk", 9);
    testsupport::set_link(table, 2, "Pump", serial, ip);
    std::memcpy(table.entry[2].config.name + 5, "old", 3);
    testsupport::set_link(table, 9, "removed", ip, serial);
    table.entry[9].inUse = 0;
    for (std::uint32_t id = 0; id < MAX_LINKS; ++id) {
        table.entry[id].linkId = id;
    }
    testsupport::write_data_file(dir, settings, table);
}

// The command line's answers: exit status, the start of standard error or output, and whether
// the data file stayed as it was.
TEST(PortweaveCommandLineTest, EachCaseAnswersWithItsStatusAndLeavesTheFileAsItWas) {
    testsupport::TempDir dir, files;
    WriteTrickyDataFile(dir.str());
    const std::string before = ReadText(dir / DATA_FILE_NAME);
    const std::string good = (files / "good.json").string(), bad = (files / "bad.json").string();
    WriteText(good, R"({"links": [{"name": "x", "ports": [{"com": 5}, {"type": "ip"}]}]})");
    WriteText(bad, R"({"links": [{"name": "x", "ports": [{}, {"type": "ip", "baud": 9601}]}]})");
    WriteText(files / "long.json", R"({"links": [{"name": "x", "nameRest": ")" +
                                       std::string(300, 'f') + R"(", "ports": [{}, {}]}]})");
    WriteText(files / "clash.json", R"({"links": [{"name": "a", "ports": [{"com": 3}, {}]},
        {"name": "A", "ports": [{"com": 4}, {}]}]})");
    WriteText(files / "com.json", R"({"links": [{"name": "a", "ports": [{"com": 3}, {}]},
        {"name": "b", "ports": [{}, {"type": "serial", "com": 3}]}]})");
    WriteText(files / "text.json", "{\"links\": [");
    // A desktop running in the directory: its lock, as the desktop takes it.
    const auto desktop = [&](bool hold) {
        static pw::app::InstanceLock lock;
        if (!hold) {
            lock.release();
        } else {
            ASSERT_EQ(pw::app::AcquireDirectoryLock(lock, dir.str() + "/portweave.lock",
                                                    pw::app::InstanceRole::Desktop),
                      pw::app::LockResult::Acquired);
        }
    };
    const std::string d = dir.str(), com5 = "COM5 (" + serio_default_device(4) + ")";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string start; // of standard error, or of standard output when it succeeds
        bool holdDesktop = false;
    };
    const Case cases[] = {
        {{"--version"}, 0, "portweave 2.0.5\n"},
        {{"--help"}, 0, "usage:"},
        {{"--list", "--dir", d},
         0,
         "2 Pump: P1 " + com5 + " (active), P2 TCP Server on port 4001\n"},
        {{"--bogus"}, 2, "portweave: unknown option --bogus"},
        {{"--list", "--export"}, 2, "portweave: --list and --export cannot be combined"},
        {{"--import"}, 2, "portweave: --import needs a FILE"},
        {{"--list", "--dir"}, 2, "portweave: --dir needs a directory"},
        {{"--headless", "extra"}, 2, "portweave: unexpected argument extra"},
        {{"--import", bad, "--dir", d},
         1,
         "portweave: " + bad + ": link 0 \"x\", port P2, field \"baud\": expected one of 110,"},
        {{"--import", (files / "clash.json").string(), "--dir", d},
         1,
         "portweave: " + (files / "clash.json").string() +
             ": link 0 \"a\", field \"name\": Name a already used by an existing link (# 1)"},
        {{"--import", (files / "com.json").string(), "--dir", d},
         1,
         "portweave: " + (files / "com.json").string() +
             ": link 0 \"a\", port P1, field \"com\": port COM3 already used by link b"},
        {{"--import", (files / "text.json").string(), "--dir", d}, 1, "portweave: "},
        {{"--import", (files / "long.json").string(), "--dir", d},
         1,
         "portweave: " + (files / "long.json").string() +
             ": link 0 \"x\", field \"nameRest\": expected hex digit pairs that fit"},
        {{"--import", (files / "none.json").string(), "--dir", d}, 1, "portweave: cannot read"},
        {{"--import", good, "--dir", d}, 1, "portweave: the desktop application is running", true},
        {{"--headless", "--dir", (files / "good.json").string()}, 1, "portweave: cannot use"},
    };
    for (const Case& c : cases) {
        desktop(c.holdDesktop);
        const Outcome run = Portweave(c.args);
        desktop(false);
        EXPECT_EQ(run.status, c.status) << c.args[0] << " " << run.err;
        EXPECT_TRUE((c.status == 0 ? run.out : run.err).starts_with(c.start))
            << c.args[0] << ": " << run.out << run.err;
        EXPECT_TRUE(ReadText(dir / DATA_FILE_NAME) == before) << c.args[0];
    }
    // With the desktop gone the same file is taken.
    EXPECT_EQ(Portweave({"--import", good, "--dir", d}).status, 0);
    EXPECT_EQ(Portweave({"--list", "--dir", d}).out,
              "0 x: P1 " + com5 + ", P2 TCP Client to 192.168.1.2:1001\n");
}

// Export, then import: the same bytes for the links in use (in a fresh directory), and the whole
// file back where it came from.
TEST(PortweaveCommandLineTest, ExportThenImportGivesTheSameDataFile) {
    testsupport::TempDir dir, fresh, files;
    WriteTrickyDataFile(dir.str());
    const std::string image = ReadText(dir / DATA_FILE_NAME);
    const std::string json = (files / "c.json").string();
    const Outcome exported = Portweave({"--export", json, "--dir", dir.str()});
    ASSERT_EQ(exported.status, 0) << exported.err;
    ASSERT_EQ(Portweave({"--import", json, "--dir", (fresh / "sub").string()}).status, 0);
    const std::string copy = ReadText(fresh / "sub" / DATA_FILE_NAME);
    ASSERT_EQ(copy.size(), image.size());
    const std::size_t entry2 = 16 + 2 * sizeof(LinkEntry);
    EXPECT_TRUE(copy.substr(0, 16) == image.substr(0, 16));
    EXPECT_TRUE(copy.substr(entry2, sizeof(LinkEntry)) == image.substr(entry2, sizeof(LinkEntry)));
    EXPECT_EQ(Portweave({"--export", "--dir", (fresh / "sub").string()}).out, ReadText(json));
    WriteText(dir / DATA_FILE_NAME, "short");
    EXPECT_EQ(Portweave({"--export", "--dir", dir.str()}).status, 1);
    const Outcome over = Portweave({"--import", json, "--dir", dir.str()}); // replaces it whole
    EXPECT_EQ(over.status, 0);
    EXPECT_EQ(over.err, "");
    WriteTrickyDataFile(fresh.str());
    EXPECT_EQ(Portweave({"--import", json, "--dir", fresh.str()}).status, 0);
    EXPECT_TRUE(ReadText(fresh / DATA_FILE_NAME) == image);
}

// Bytes written into `from` arrive whole at `to`; `keep` leaves them unread for a later check.
bool Crosses(int from, int to, std::size_t n = 1500) {
    const auto out = testsupport::pattern(n, static_cast<std::uint32_t>(from));
    std::vector<std::uint8_t> in(n);
    return testsupport::write_all(from, out.data(), n) &&
           testsupport::read_exact(to, in.data(), n, 20000) && in == out;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != text.npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// The data file of a service: link 0 TCP server to TCP server (ports 0 and 1), link 1 COM1 to
// a TCP server (port 2) and, with `gone`, link 2 between TCP servers (ports 3 and 4). `port`
// gets free port numbers for as many as it holds. Returns the table written.
template <std::size_t N>
LinkTable WriteBridges(const std::string& dir, std::uint16_t (&port)[N], bool gone) {
    for (std::uint16_t& p : port) {
        p = testsupport::free_tcp_port();
    }
    LinkTable table{};
    const auto server = [&](int i) { return testsupport::tcp_server_port(port[i], true); };
    testsupport::set_link(table, 0, "tcp", server(0), server(1));
    testsupport::set_link(table, 1, "serial", testsupport::serial_port(0, true), server(2));
    if (gone) {
        testsupport::set_link(table, 2, "gone", server(3), server(4));
    }
    for (std::uint32_t id = 0; id < MAX_LINKS; ++id) {
        table.entry[id].linkId = id;
    }
    testsupport::write_data_file(dir, SettingsBlock{1, 0, SELECTED_ROW_NONE, 0}, table);
    return table;
}

// A service in its own directory bridges TCP to TCP and a serial port to TCP; a second one in
// the same directory is refused; an --import makes it reload: a link added, one removed and one
// changed, while the unchanged link's connections stay up and keep their bytes; SIGTERM ends it
// in order and saves the data file.
TEST(PortweaveHeadlessTest, BridgesReloadsWhatChangedAndSavesAtTheEnd) {
    testsupport::TempDir dir, io, files;
    testsupport::PtyPair pty;
    WriteText(dir / "portweave.ports", "COM1=" + pty.slavePath() + "\n");
    std::uint16_t port[6];
    WriteBridges(dir.str(), port, true);
    const Child pid = Start({"--headless", "--dir", dir.str()}, io);
    ASSERT_NE(pid, 0);
    const auto err = [&] { return ReadText(io / "err"); };

    Fd a = testsupport::tcp_connect_within(port[0], 30000);
    Fd b = testsupport::tcp_connect_within(port[1], 30000);
    Fd serialPeer = testsupport::tcp_connect_within(port[2], 30000);
    Fd gone = testsupport::tcp_connect_within(port[3], 30000);
    ASSERT_TRUE(testsupport::wait_until([&] { return Count(err(), "accepted.") == 4; }, 30s));
    EXPECT_TRUE(Crosses(a.get(), b.get()) && Crosses(b.get(), a.get()));
    ASSERT_TRUE(pty.write("to the network"));
    char in[14];
    EXPECT_TRUE(testsupport::read_exact(serialPeer.get(), in, sizeof in, 20000));
    EXPECT_EQ(std::string(in, sizeof in), "to the network");
    const std::string line = "to the line";
    ASSERT_TRUE(testsupport::write_all(serialPeer.get(), line.data(), line.size()));
    EXPECT_EQ(pty.read(line.size()), testsupport::PtyPair::Bytes(line.begin(), line.end()));
    testsupport::TempDir second;
    EXPECT_EQ(Wait(Start({"--headless", "--dir", dir.str()}, second), second).err,
              "portweave: an instance is already running in " + dir.str() + "\n");
    // The desktop stays out too, before it would need a display.
    EXPECT_EQ(Wait(Start({"--dir", dir.str()}, second), second).err,
              PW_GUI_BUILT ? "portweave: another instance is running in this directory\n"
                           : "portweave: this build has no desktop application; use --headless "
                             "(see --help)\n");

    // Link 0 as it was, link 1 on another port, link 2 gone, link 3 new on link 2's ports.
    nlohmann::json config = nlohmann::json::parse(Portweave({"--export", "--dir", dir.str()}).out);
    config["links"][1]["ports"][1]["ipPort"] = port[5];
    config["links"][2]["id"] = 3;
    config["links"][2]["name"] = "new";
    const auto early = testsupport::pattern(3000, 7);
    ASSERT_TRUE(testsupport::write_all(a.get(), early.data(), early.size()));
    WriteText(files / "next.json", config.dump());
    ASSERT_EQ(Portweave({"--import", (files / "next.json").string(), "--dir", dir.str()}).status,
              0);
    EXPECT_TRUE(testsupport::wait_until(
        [&] {
            const std::string e = err();
            return e.find("Removed link 2 (gone)") != e.npos &&
                   e.find("Updated link 1 (serial)") != e.npos &&
                   e.find("Added link 3 (new)") != e.npos;
        },
        30s))
        << err();
    EXPECT_TRUE(testsupport::wait_peer_closed(serialPeer.get(), 20000));
    EXPECT_TRUE(testsupport::wait_peer_closed(gone.get(), 20000));
    std::vector<std::uint8_t> kept(early.size());
    EXPECT_TRUE(testsupport::read_exact(b.get(), kept.data(), kept.size(), 20000));
    EXPECT_EQ(kept, early);
    EXPECT_TRUE(Crosses(a.get(), b.get()) && Crosses(b.get(), a.get()));
    EXPECT_EQ(Count(err(), "accepted."), 4u) << "the unchanged link was not touched";
    serialPeer = testsupport::tcp_connect_within(port[5], 30000);
    Fd c = testsupport::tcp_connect_within(port[3], 30000);
    Fd d = testsupport::tcp_connect_within(port[4], 30000);
    ASSERT_TRUE(testsupport::wait_until([&] { return Count(err(), "accepted.") == 7; }, 30s));
    EXPECT_TRUE(Crosses(c.get(), d.get()));
    ASSERT_TRUE(testsupport::write_all(serialPeer.get(), line.data(), line.size()));
    EXPECT_EQ(pty.read(line.size()), testsupport::PtyPair::Bytes(line.begin(), line.end()));

    // SIGTERM: the data file is written again (here: where it was removed), event.log ends.
    const std::string image = ReadText(dir / DATA_FILE_NAME);
    fs::remove(dir / DATA_FILE_NAME);
    if (!clitest::StopProcess(pid)) { // no console event passes between two Wine processes
        GTEST_SKIP() << "the Ctrl+C of the Windows build is tested from Linux, under Wine";
    }
    const Outcome end = Wait(pid, io);
    EXPECT_EQ(end.status, 0);
    EXPECT_TRUE(end.err.ends_with("System shutdown\n"));
    EXPECT_TRUE(ReadText(dir / "event.log").ends_with("System shutdown\r\n"));
    EXPECT_TRUE(ReadText(dir / DATA_FILE_NAME) == image);
}

// The Windows build under Wine (scripts/test's Windows stage names it in PW_WINDOWS_BINARY) with
// a data file written here: TCP to TCP, and a COM port of the Wine prefix to TCP; Ctrl+C (which
// Wine raises for SIGINT) ends it in order.
TEST(PortweaveHeadlessTest, TheWindowsBuildBridgesUnderWine) {
    const char* exe = std::getenv("PW_WINDOWS_BINARY");
    const char* prefix = std::getenv("WINEPREFIX");
    if (exe == nullptr || prefix == nullptr || !fs::exists(exe) ||
        fs::path::preferred_separator != '/') {
        GTEST_SKIP() << "no Windows build to run from Linux (PW_WINDOWS_BINARY, WINEPREFIX)";
    }
    testsupport::TempDir dir, io;
    testsupport::PtyPair pty; // linked into the prefix as a COM port from 200 on, no one else's
    const std::string com = "com" + std::to_string(200 + testsupport::free_tcp_port() % 50);
    const fs::path link = fs::path(prefix) / "dosdevices" / com;
    fs::remove(link);
    fs::create_symlink(pty.slavePath(), link);
    const std::shared_ptr<void> unlink(nullptr, [&](void*) { fs::remove(link); });
    WriteText(dir / "portweave.ports", "COM1=\\\\.\\" + com + "\n");
    std::uint16_t port[3];
    const LinkTable table = WriteBridges(dir.str(), port, false);
    const Child pid = Start({"--headless", "--dir", "Z:" + dir.str()}, io, {"wine", exe});
    ASSERT_NE(pid, 0);
    const auto err = [&] { return ReadText(io / "err"); };
    Fd a = testsupport::tcp_connect_within(port[0], 60000);
    Fd b = testsupport::tcp_connect_within(port[1], 60000);
    Fd serialPeer = testsupport::tcp_connect_within(port[2], 60000);
    ASSERT_TRUE(testsupport::wait_until([&] { return Count(err(), "accepted.") == 3; }, 30s))
        << err();
    EXPECT_TRUE(Crosses(a.get(), b.get()) && Crosses(b.get(), a.get()));
    ASSERT_TRUE(pty.write("to the network"));
    char in[14];
    EXPECT_TRUE(testsupport::read_exact(serialPeer.get(), in, sizeof in, 20000));
    EXPECT_EQ(std::string(in, sizeof in), "to the network");
    const std::string line = "to the line";
    ASSERT_TRUE(testsupport::write_all(serialPeer.get(), line.data(), line.size()));
    EXPECT_EQ(pty.read(line.size()), testsupport::PtyPair::Bytes(line.begin(), line.end()));

    fs::remove(dir / DATA_FILE_NAME);
    ASSERT_TRUE(clitest::StopProcess(pid, true));
    EXPECT_EQ(Wait(pid, io).status, 0) << err();
    EXPECT_TRUE(ReadText(dir / "event.log").ends_with("System shutdown\r\n"));
    // What the Linux build writes for the same run: the first row selected, every link kept.
    EXPECT_TRUE(ReadText(dir / DATA_FILE_NAME) ==
                testsupport::data_file_image(SettingsBlock{1, 0, 0, 0}, table));
}

} // namespace
