// The link engine driven by engine_scenarios.txt: each scenario calls the engine, plays the far
// ends of its ports (sockets on 127.0.0.1, pseudo-terminals as devices comN) and expects, line by
// line, the events, status reports ("=L ac ac": activated and connected of P1 and P2) and traced
// bytes ("rx L.P ...", "tx L.P ...") the engine makes, in order. Port timers run on a fake clock
// that only the steps move; each step's line below says what it does.
#include "base/platform.h"
#include "engine/weave.h"
#include "tests/support/loopback.h"
#include "tests/support/mounts.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {

using namespace testsupport;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
using testing::PrintToString;

constexpr auto WAIT = std::chrono::seconds(10); // for anything that must happen
const bool POSIX = std::filesystem::path::preferred_separator == '/';

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<std::string> g_log; // what the engine reported
std::atomic<std::uint32_t> g_clock{0};
std::atomic<int> g_wakes{0}; // timers the engine told of starting

void append(std::string line) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log.push_back(std::move(line));
    g_changed.notify_all();
}
std::string flags(const LinkStatus& s) {
    char text[40];
    std::snprintf(text, sizeof text, "=%u %u%u %u%u", s.linkId, s.port[0].activated,
                  s.port[0].connected, s.port[1].activated, s.port[1].connected);
    return text;
}
void onTrace(std::uint32_t l, std::uint32_t p, std::uint32_t dir, const std::uint8_t* d,
             std::uint32_t n) {
    append((dir == TRACE_DIR_TX ? "tx " : "rx ") + std::to_string(l) + "." + std::to_string(p) +
           " " + std::string(d, d + n));
}
const WeaveInitStruct CALLBACKS{[](const char* text) { append(text); }, onTrace,
                                [](const LinkStatus* s) { append(flags(*s)); },
                                [] { return g_clock.load(); }};
const WeaveInitStruct NO_CALLBACKS{nullptr, nullptr, nullptr, nullptr};
// Every entry into the engine that began before this call has ended (it takes the engine's lock).
void barrier() {
    (void)WeaveIsPortActive(0, 0);
}

std::vector<std::string> split(const std::string& line) { // the steps of a line
    std::vector<std::string> out;
    for (std::size_t from = 0, to = 0; from < line.size(); from = to + 3) {
        to = std::min(line.find(" | ", from), line.size());
        out.push_back(line.substr(from, to - from));
    }
    return out;
}
// "\r", "\n", "\xNN" and "{TEXT*N}" (TEXT N times) spell bytes.
std::string expand(const std::string& in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::size_t star = in.find('*', i), close = in.find('}', star);
        if (in[i] == '\\' && in[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(in.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else if (in[i] == '\\') {
            out += in[++i] == 'r' ? '\r' : in[i] == 'n' ? '\n' : in[i];
        } else if (in[i] == '{' && close != in.npos) {
            for (int n = std::stoi(in.substr(star + 1)); n > 0; --n) {
                out += expand(in.substr(i + 1, star - i - 1));
            }
            i = close;
        } else {
            out += in[i];
        }
    }
    return out;
}

// Calls the operation `op` with ids `l` and `p`, into errText `e`.
std::uint32_t call(const std::string& op, int l, int p, char* e, const LinkConfig* cfg) {
    PortStats s{};
    LinkStatus st{};
    st.linkId = 77;
    const std::uint8_t byte[1] = {0};
    const std::map<std::string, std::function<std::uint32_t()>> ops = {
        {"cfg", [&] { return WeaveSetLinkConfig(l, cfg, e); }},
        {"nullcfg", [&] { return WeaveSetLinkConfig(l, nullptr, e); }},
        {"dlink", [&] { return WeaveDeactivateLink(l, e); }},
        {"act", [&] { return WeaveActivatePort(l, p, e); }},
        {"deact", [&] { return WeaveDeactivatePort(l, p, e); }},
        {"send", [&] { return WeaveSendBuffer(l, p, byte, 1, e); }},
        {"stats", [&] { return WeaveGetPortStats(l, p, &s, e); }},
        {"nullstats", [&] { return WeaveGetPortStats(l, p, nullptr, e); }},
        {"clear", [&] { return WeaveClearPortStats(l, p, e); }},
        {"alloc", [&] { return WeaveAllocLink(l); }},
        {"isact", [&] { return WeaveIsPortActive(l, p); }},
        {"status", [&] { return WeaveGetLinkStatus(l, &st); }},
        {"init", [&] { return WeaveInit(&NO_CALLBACKS, e); }},
        {"noinit", [&] { return WeaveInit(nullptr, e); }},
    };
    const std::uint32_t rc = ops.at(op)();
    if (op == "status" && st.linkId != 77) { // the record it filled in, as errText
        std::strcpy(e, flags(st).c_str());
    }
    return rc;
}

// Port settings by name, in the record's order: ten 4-byte fields from offset 0, sixteen from
// remoteAddr at 81 (after the host text), two from genLength at 195 (after the generator data).
constexpr const char* SETTINGS[] = {"type",   "index", "baud", "bits", "parity", "stop", "rts",
                                    "proto",  "role",  "port", "addr", "inst",   "full", "ic",
                                    "fe",     "size",  "icms", "fch",  "auto",   "secs", "save",
                                    "active", "trace", "loop", "gen",  "hex",    "glen", "gms"};
constexpr std::size_t offsetOf(std::size_t i) {
    return i < 10 ? 4 * i : i < 26 ? 81 + 4 * (i - 10) : 195 + 4 * (i - 26);
}
// A port as a KIND has it: it forwards at once, at 115200 bits/s 8N1, and does not reconnect.
const std::string DEFAULTS = "inst=1,size=2048,icms=10,fch=13,secs=10,baud=12,bits=3,parity=2,";
static_assert(offsetOf(9) == offsetof(PortConfig, ipPort) &&
              offsetOf(25) == offsetof(PortConfig, genHex) &&
              offsetOf(27) == offsetof(PortConfig, genPeriodMs));

// The far end of a port: a socket, or for "comN" the device behind COMn.
struct Peer {
    Fd fd;
    std::uint16_t udpTarget = 0; // a datagram sender: the engine port it sends to
    int link = -1, port = 0;     // the engine port it talks to: a send awaits its counting
};

struct Scenario {
    std::vector<std::string> lines;
    std::map<std::string, std::vector<std::string>> macros;
    ScratchDir dir;
    std::map<int, std::unique_ptr<PtyPair>> ptys; // COMn is the pseudo-terminal behind ./comN
    std::map<std::string, Peer> peers;
    LinkConfig cfg[MAX_LINKS]{};
    std::uint16_t num[MAX_LINKS][2]{}; // the IP port number each port last had
    bool udp[MAX_LINKS][2]{};
    std::size_t joined[MAX_LINKS][2]{};                  // connections the test made or took
    Fd listeners[MAX_LINKS][2];                          // for the client ports
    std::map<std::string, std::pair<int, int>> comPorts; // "comN" to the last port set to use it
    std::size_t cursor = 0;                              // log lines before it were expected
    std::size_t at = 0;                                  // the step running
    Fd silentDns;                                        // a name server that never answers
    std::unique_ptr<BindMount> resolvConf;               // that sends lookups to it
    bool skipped = false;                                // the machine cannot play the scenario

    explicit Scenario(const std::string& script) {
        std::istringstream in(script);
        std::map<unsigned, std::string> names;
        for (std::string line; std::getline(in, line);) {
            const auto steps = line.rfind("def ", 0) == 0 ? std::vector{line} : split(line);
            lines.insert(lines.end(), steps.begin(), steps.end());
            for (std::size_t c = line.find("com"); c != line.npos; c = line.find("com", c + 1)) {
                const unsigned n = static_cast<unsigned>(std::atoi(line.c_str() + c + 3));
                if (n > 0 && names.count(n) == 0) {
                    names[n] = plug(line.substr(c, line.find_first_of(" ,|", c) - c));
                }
            }
        }
        dir.writePorts(names);
        pw::set_diag_sink([](const char*) {}); // lost devices are expected to be talked about
        WeaveSetTimerWake([] { ++g_wakes; });
        g_log.clear(); // no engine thread runs yet
        g_clock = 100000;
        g_wakes = 0;
    }
    ~Scenario() {
        WeaveShutdown();
        WeaveSetTimerWake(nullptr);
        pw::set_diag_sink(nullptr);
    }
    // A new device for COMn under the name of the one before, and that name: on POSIX systems
    // the link ./comN; on Windows the COM port of the first pair, which the next one takes over.
    std::string plug(const std::string& com) {
        auto& pty = ptys[std::atoi(com.c_str() + 3)];
        const std::string name = pty ? pty->slavePath() : POSIX ? dir.path() + "/" + com : "";
        pty.reset(); // the old device goes first
        pty = name.empty() ? std::make_unique<PtyPair>() : std::make_unique<PtyPair>(name);
        return pty->slavePath();
    }
    void run() {
        if (std::none_of(lines.begin(), lines.end(),
                         [](auto& s) { return s.rfind("start", 0) == 0; })) {
            lines.insert(lines.begin(), "start");
        }
        for (; at < lines.size() && step(lines[at]); ++at) {
        }
        if (skipped) {
            GTEST_SKIP() << "no private mount namespace or port 53 here (needs root)";
        }
        barrier();
        std::lock_guard<std::mutex> lock(g_mutex);
        for (; at == lines.size() && cursor < g_log.size(); ++cursor) {
            ADD_FAILURE() << "unexpected at the end: " << PrintToString(g_log[cursor]);
        }
    }
    bool fail(const std::string& what) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ADD_FAILURE() << "step " << at + 1 << " \"" << lines[at] << "\": " << what << "; next "
                      << (cursor < g_log.size() ? PrintToString(g_log[cursor]) : "nothing");
        return false;
    }
    // "@L.P" is "Link L (name) Port P", "^L.P" "Link L (name) Activating Port P", "#L.P" the
    // port's configured number.
    std::string placeholders(const std::string& in) {
        std::string out;
        for (std::size_t i = 0; i < in.size(); ++i) {
            int l = 0, p = 0, n = 0;
            if (std::strchr("@^#", in[i]) == nullptr ||
                std::sscanf(&in[i + 1], "%d.%d%n", &l, &p, &n) != 2) {
                out += in[i];
                continue;
            }
            const std::string head = "Link " + std::to_string(l) + " (" +
                                     std::string(cfg[l].name, strnlen(cfg[l].name, 41)) + ") ";
            out += in[i] == '#'
                       ? std::to_string(cfg[l].port[p].ipPort)
                       : head + (in[i] == '^' ? "Activating " : "") + "Port " + std::to_string(p);
            i += static_cast<std::size_t>(n);
        }
        return expand(out);
    }
    // KIND[:ARG][,key=value...]: KIND srv, cli (to a listener of the test; :down where none
    // listens, :N to port N), udp (sends to its own number) or comN; keys those of SETTINGS, and
    // data= (generator bytes) and host=. Without KIND the port keeps what it had.
    PortConfig makePort(int l, int p, const std::string& settings, PortConfig c) {
        std::istringstream items(settings);
        for (std::string item; std::getline(items, item, ',');) {
            const std::size_t eq = item.find('='), colon = item.find(':');
            const std::string key = item.substr(0, std::min(eq, colon)),
                              arg = colon == item.npos ? "" : item.substr(colon + 1);
            const std::string value = eq == item.npos ? "" : expand(item.substr(eq + 1));
            const auto setting =
                static_cast<std::size_t>(std::find(SETTINGS, std::end(SETTINGS), key) - SETTINGS);
            const bool serial = key.rfind("com", 0) == 0;
            if (eq == item.npos) {
                const std::string kind =
                    serial ? "index=" + std::to_string(std::stoi(key.substr(3)) - 1)
                           : "host=127.0.0.1,type=1,role=" + std::to_string(key == "srv") +
                                 ",proto=" + std::to_string(key == "udp");
                c = makePort(l, p, DEFAULTS + kind, {});
                listeners[l][p] = key == "cli" && arg.empty() ? tcp_listen(0) : Fd();
                c.ipPort = listeners[l][p].valid()     ? local_port(listeners[l][p].get())
                           : std::isdigit(arg[0]) != 0 ? static_cast<std::uint32_t>(std::stoul(arg))
                           : key == "udp"              ? free_udp_port()
                                                       : free_tcp_port();
                (serial ? comPorts[key] : comPorts[""]) = {l, p};
                num[l][p] = serial ? num[l][p] : static_cast<std::uint16_t>(c.ipPort);
                udp[l][p] = serial ? udp[l][p] : key == "udp";
            } else if (key == "data" || key == "host") {
                char* field = key == "data" ? reinterpret_cast<char*>(c.genData) : c.remoteHost;
                const std::size_t size = key == "data" ? sizeof c.genData : sizeof c.remoteHost;
                std::memset(field, 0, size);
                std::memcpy(field, value.data(), std::min(value.size(), size));
                c.genLength =
                    key == "data" ? static_cast<std::uint32_t>(value.size()) : c.genLength;
            } else if (setting < std::size(SETTINGS)) {
                const auto v = static_cast<std::uint32_t>(std::stoul(value, nullptr, 0));
                std::memcpy(reinterpret_cast<char*>(&c) + offsetOf(setting), &v, sizeof v);
            } else {
                ADD_FAILURE() << "no port setting " << key;
            }
        }
        return c;
    }
    PortStats stats(int l, int p) {
        PortStats s{};
        EXPECT_EQ(WeaveGetPortStats(l, p, &s, nullptr), 1u);
        return s;
    }
    std::size_t count(const std::string& line) {
        std::lock_guard<std::mutex> lock(g_mutex);
        return static_cast<std::size_t>(std::count(g_log.begin(), g_log.end(), line));
    }
    bool step(const std::string& line);
};

// One step: a command, its first word `a` and the rest of the line `b`.
bool Scenario::step(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, a, b;
    std::getline(in >> cmd >> a >> std::ws, b);
    int l = 0, p = 0;
    std::sscanf(a.c_str(), "%d.%d", &l, &p);
    const std::string data = expand(b);
    PtyPair* device = a.rfind("com", 0) == 0 ? ptys.at(std::atoi(a.c_str() + 3)).get() : nullptr;
    Peer& peer = peers[a];
    const int fd = device != nullptr ? device->master() : peer.fd.get();
    char errText[ERR_TEXT_SIZE] = "untouched";
    bool ok = true;
    std::string why;
    const auto need = [&](bool cond, const std::string& what) {
        why = ok && !cond ? what : why;
        return ok = ok && cond;
    };
    const auto await = [&](const std::function<bool()>& pred, const std::string& what) {
        return need(wait_until(pred, std::chrono::duration_cast<milliseconds>(WAIT)), what);
    };
    const std::string macro = line.substr(0, line.find('*')); // MACRO[*TIMES]
    if (macros.count(macro) != 0) {
        for (int n = macro == line ? 1 : std::stoi(line.substr(macro.size() + 1)); n > 0 && ok;
             --n) {
            for (std::size_t s = 0; s < macros[macro].size() && ok; ++s) {
                ok = step(macros[macro][s]);
            }
        }
        return ok;
    } else if (cmd == "def") { // def NAME | STEPS
        macros[a] = split(b.substr(std::min(b.size(), b.find('|') + 2)));
    } else if (cmd == ">") { // the next line of the log
        const std::string want = placeholders(line.substr(2));
        std::unique_lock<std::mutex> lock(g_mutex);
        if (need(g_changed.wait_for(lock, WAIT, [&] { return g_log.size() > cursor; }),
                 "nothing came") &&
            need(g_log[cursor] == want, "expected " + PrintToString(want))) {
            ++cursor;
        }
    } else if (cmd == "quiet" || cmd == "settle" || cmd == "clear") { // nothing new; forget it
        std::this_thread::sleep_for(milliseconds(cmd == "settle" ? 150 : 0));
        barrier();
        std::lock_guard<std::mutex> lock(g_mutex);
        need(cmd == "clear" || cursor == g_log.size(), "more came");
        cursor = ok ? g_log.size() : cursor;
    } else if (cmd == "start") { // start [paused|nocb]
        need(WeaveInit(a == "nocb" ? &NO_CALLBACKS : &CALLBACKS, errText) == 1, errText);
        WeaveSetPaused(a == "paused" ? 1 : 0);
    } else if (cmd == "stop" || cmd == "pause" || cmd == "unpause" || cmd == "free") {
        cmd == "stop"   ? WeaveShutdown()
        : cmd == "free" ? WeaveFreeLink(l)
                        : WeaveSetPaused(cmd == "pause");
    } else if (cmd == "link" || cmd == "set") { // link L NAME P1 P2; set L.P SETTINGS
        std::istringstream words(b);
        std::string name, p1, p2;
        words >> name >> p1 >> p2;
        if (cmd == "link") {
            std::strncpy(cfg[l].name, expand(name).c_str(), sizeof cfg[l].name);
            cfg[l].port[0] = makePort(l, 0, p1, {});
            cfg[l].port[1] = makePort(l, 1, p2, {});
        }
        cfg[l].port[p] = cmd == "set" ? makePort(l, p, b, cfg[l].port[p]) : cfg[l].port[p];
        need(WeaveAllocLink(l) == 1 && WeaveSetLinkConfig(l, &cfg[l], errText) == 1, errText);
    } else if (cmd == "act" || cmd == "deact") { // act L.P...
        for (std::istringstream ports(a + " " + b); ports >> a && ok;) {
            std::sscanf(a.c_str(), "%d.%d", &l, &p);
            const auto op = cmd == "act" ? WeaveActivatePort : WeaveDeactivatePort;
            // However long a lookup or a device takes, the call itself returns at once.
            need(timed([&] { need(op(l, p, errText) == 1, errText); }) < std::chrono::seconds(1),
                 "the call took a second or more");
        }
    } else if (cmd == "call" || cmd == "calls") { // call OP L P RC [TEXT]; calls L P RC TEXT
        std::istringstream words(cmd == "call" ? b : a + " " + b);
        unsigned rc = 0;
        std::string want;
        std::getline(words >> l >> p >> rc >> std::ws, want);
        std::istringstream ops(cmd == "call" ? a : "cfg dlink act deact send stats clear");
        for (std::string op; ops >> op;) {
            char e[ERR_TEXT_SIZE] = "untouched";
            const std::uint32_t got = call(op, l, p, e, &cfg[l & 31]);
            need(got == rc && e == (want.empty() ? "untouched" : want),
                 op + ": " + std::to_string(got) + " " + e);
        }
    } else if (cmd == "sendbuf") { // sendbuf L.P DATA: a test buffer
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
        need(WeaveSendBuffer(l, p, bytes, static_cast<std::uint32_t>(data.size()), errText) == 1,
             errText);
    } else if (cmd == "stats") { // stats L.P TX RX [ACTIVATED CONNECTED], awaited
        std::vector<unsigned> want = {0, 0, 2, 2};
        std::sscanf(b.c_str(), "%u %u %u %u", &want[0], &want[1], &want[2], &want[3]);
        const auto now = [&] {
            const PortStats s = stats(l, p);
            return std::vector{s.txBytes, s.rxBytes, want[2] > 1 ? 2 : s.activated,
                               want[2] > 1 ? 2 : s.connected};
        };
        await([&] { return now() == want; }, PrintToString(now()));
    } else if (cmd == "due") { // due MS|-, awaited
        const auto want = a == "-" ? WEAVE_NO_TIMER : static_cast<std::uint32_t>(std::stoul(a));
        await([&] { return WeaveNextTimerDue() == want; }, std::to_string(WeaveNextTimerDue()));
    } else if (cmd == "tick" || cmd == "clock") { // the clock moves on (=MS: to MS); tick: a pass
        const auto ms = static_cast<std::uint32_t>(std::stoul(a.substr(a[0] == '='), nullptr, 0));
        g_clock = a[0] == '=' ? ms : g_clock + ms;
        cmd == "tick" ? WeaveProcess() : void();
    } else if (cmd == "wake") { // wake N: the engine told of N timers started since the last
        wait_until([&] { return g_wakes >= std::stoi(a); });
        need(g_wakes.exchange(0) == std::stoi(a), "wakes");
    } else if (std::strstr(" conn dial accept udp ", (" " + cmd + " ").c_str()) != nullptr) {
        // conn NAME L.P: a client of a server port, once accepted (dial: at once); accept: the
        // connection of a client port; udp: a datagram sender
        std::sscanf(b.c_str(), "%d.%d", &l, &p);
        std::tie(peer.link, peer.port, peer.udpTarget) =
            std::tuple(l, p, cmd == "udp" ? num[l][p] : 0);
        peer.fd = cmd == "accept" ? tcp_accept(listeners[l][p].get(), 10000)
                  : cmd == "udp"  ? udp_bind(0)
                                  : tcp_connect(num[l][p], 16384); // a small window fills soon
        const std::string event = placeholders(
            "@" + b + (cmd == "accept" ? " TCP connected." : " TCP connection accepted."));
        joined[l][p] += cmd == "conn" || cmd == "accept" ? 1 : 0;
        (void)(need(peer.fd.valid(), "no socket") &&
               await([&] { return count(event) >= joined[l][p]; }, event));
        barrier();
    } else if (cmd == "send" || cmd == "put") { // send NAME DATA, and its counting is awaited
        const auto [pl, pp] =
            comPorts.count(a) != 0 ? comPorts[a] : std::pair(peer.link, peer.port);
        const bool counted = cmd == "send" && pl >= 0;
        const std::uint32_t rx = counted ? stats(pl, pp).rxBytes : 0;
        need(device != nullptr     ? device->write(data)
             : peer.udpTarget != 0 ? udp_send(fd, peer.udpTarget, data.data(), data.size())
                                   : write_all(fd, data.data(), data.size()),
             "not sent");
        need(ok && (!counted ||
                    wait_until([&] { return stats(pl, pp).rxBytes == rx + data.size(); })),
             "not counted");
    } else if (cmd == "read" || cmd == "owed" || cmd == "none") {
        // read NAME DATA: what arrives, all of it; owed: what arrives (passes running meanwhile)
        // up to DATA, which ends it; none NAME: nothing arrives for a while
        std::string got;
        const auto until =
            std::chrono::steady_clock::now() + (cmd == "none" ? milliseconds(100) : WAIT * 3);
        const auto done = [&] {
            return cmd == "read" ? got.size() >= data.size() : cmd == "owed" && got.ends_with(data);
        };
        while (!done() && std::chrono::steady_clock::now() < until) {
            const std::size_t n = cmd == "read" ? data.size() - got.size() : 65536;
            const Bytes part =
                device != nullptr ? device->read(n, milliseconds(5)) : read_for(fd, 5, n);
            got.append(part.begin(), part.end());
            g_clock += cmd == "owed" ? 1 : 0;
            cmd == "owed" ? WeaveProcess() : void();
        }
        need(cmd == "owed" ? done() : got == data, "read " + PrintToString(got));
    } else if (cmd == "dns") { // host names are asked of a name server that never answers
        silentDns = udp_bind(53);
        std::ofstream(dir.path() + "/resolv.conf")
            << "nameserver 127.0.0.1\noptions timeout:2 attempts:1\n";
        resolvConf = std::make_unique<BindMount>(dir.path() + "/resolv.conf", "/etc/resolv.conf");
        skipped = !silentDns.valid() || !resolvConf->mounted();
        return !skipped;
    } else if (cmd == "sleep") {
        std::this_thread::sleep_for(milliseconds(std::stoi(a)));
    } else if (cmd == "close" || cmd == "reset") {
        cmd == "reset" ? tcp_reset(peer.fd) : peer.fd.reset();
    } else if (cmd == "drained") { // drained NAME L.P: it reads, up to the end, what L.P counted
        std::sscanf(b.c_str(), "%d.%d", &l, &p);
        std::size_t n = 0;
        for (Bytes part; !(part = read_for(fd, 5000, 1 << 20)).empty();) {
            n += part.size();
        }
        need(n == stats(l, p).txBytes, "read " + std::to_string(n) + " of " +
                                           std::to_string(stats(l, p).txBytes) + " counted");
    } else if (cmd == "closed") { // the engine closed the peer's connection
        need(wait_peer_closed(fd), "still open");
    } else if (cmd == "gone") { // gone L.P: nothing holds the number the port had
        const std::uint16_t n = num[l][p];
        await([&] { return udp[l][p] ? udp_bind(n).valid() : !tcp_connect(n).valid(); }, "held");
    } else if (cmd == "hangup" || cmd == "unplug" || cmd == "plug") { // of the device comN
        cmd == "plug" ? (void)plug(a) : device->hangUp();
        std::error_code e; // (a Windows port's name goes with its device)
        (void)(POSIX && cmd == "unplug" && std::filesystem::remove(a, e));
    } else {
        need(false, "no such step");
    }
    return ok || fail(why);
}

struct Script {
    std::string name, steps, posixOnly; // posixOnly: why only a POSIX system can play it
};
void PrintTo(const Script& script, std::ostream* out) { // its failed step is shown anyway
    *out << script.name;
}

// "== Name" begins a scenario ("== Name | posix: WHY" one that only a POSIX system can play), lines
// of steps follow; lines that begin with '#' are comments.
std::vector<Script> load() {
    std::ifstream in(PW_ENGINE_SCENARIOS);
    std::vector<Script> out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("== ", 0) == 0) {
            const std::size_t tag = std::min(line.find(" | posix: "), line.size());
            out.push_back(
                {line.substr(3, tag - 3), "", line.substr(std::min(tag + 10, line.size()))});
        } else if (!out.empty() && line[0] != '#') {
            out.back().steps += line + "\n";
        }
    }
    return out;
}

class Engine : public testing::TestWithParam<Script> {};

TEST_P(Engine, Scenario) {
    if (!POSIX && !GetParam().posixOnly.empty()) {
        GTEST_SKIP() << GetParam().posixOnly;
    }
    Scenario(GetParam().steps).run();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Engine, testing::ValuesIn(load()),
                         [](const auto& info) { return info.param.name; });

// A stream through a link while test buffers on its destination take whatever room there is:
// the stream's bytes, let in when there was room, wait for room again rather than being lost.
TEST(EngineRace, BytesLetInAreNeverLostToRoomAnotherSenderTookMeanwhile) {
    Scenario race("link 0 race srv srv | act 0.0 0.1 | conn a 0.0 | conn d 0.1 | clear");
    race.run();
    Bytes stream = pattern(1 << 20);
    std::for_each(stream.begin(), stream.end(), [](std::uint8_t& b) { b &= 0x7F; });
    const Bytes extra(RECEIVE_BUFFER_SIZE, 0xFF); // 0xFF only in test buffers
    Bytes got;
    std::atomic<std::size_t> received{0};
    std::atomic<bool> done{false};
    std::thread writer([&] { write_all(race.peers["a"].fd.get(), stream.data(), stream.size()); });
    std::thread reader([&, fd = race.peers["d"].fd.get()] { // slowly: the destination stays full
        while (!done) {
            for (const std::uint8_t b : read_for(fd, 2, 4096)) {
                (void)(b != 0xFF ? got.push_back(b) : void());
            }
            received = got.size();
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    // Until the stream is through, or nothing came for 10 s (it lost bytes).
    auto moved = std::chrono::steady_clock::now();
    for (std::size_t seen = 0;
         received < stream.size() &&
         std::chrono::steady_clock::now() - moved < std::chrono::seconds(10);) {
        WeaveSendBuffer(0, 1, extra.data(), static_cast<std::uint32_t>(extra.size()), nullptr);
        g_clock += 1; // and the engine's timers run, as the application has them run
        WeaveProcess();
        std::this_thread::yield(); // a sender that never paused would starve the stream
        moved = received != seen ? std::chrono::steady_clock::now() : moved;
        seen = received;
    }
    done = true;
    writer.join();
    reader.join();
    EXPECT_TRUE(got == stream) << got.size() << " of " << stream.size() << " bytes, or changed";
}

} // namespace
