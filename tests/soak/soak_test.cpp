// The soak: 32 links of every kind for PW_SOAK_SECONDS (default 60) under churn of the far ends
// and of the engine's calls; links 0 to 3 carry checked streams each way, which must arrive whole
// and in order, and descriptors, threads and memory must come back. PW_SOAK_SEED replays a run.
#include "base/platform.h"
#include "engine/weave.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int LOSSLESS = 4;
const bool POSIX = std::filesystem::path::preferred_separator == '/';
// P1 and P2 of each link: s a TCP server, l a TCP client, u a UDP port, c a COM port. At most one
// UDP port per link: an engine UDP port sends to its own number, so two would pass datagrams back
// and forth for ever (and a UDP port keeps its echo setting, or it could end up echoing itself).
constexpr char KINDS[] = "ss sc cc ll cs su ls cu ss ll us lc uc sl cc lu sc us sl ll cs lu su ls "
                         "cl us ss ul sc lc ls uc";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t RSS_GROWTH_KIB = 384 << 10; // the sanitizers' own memory grows for a while
#else
constexpr std::size_t RSS_GROWTH_KIB = 64 << 10;
#endif

std::atomic<int> g_problems{0}; // reported so far: the first few are enough
std::atomic<std::uint64_t> g_closed{0}, g_traced{0};
std::atomic<bool> g_guard{false}; // reports about the lossless links are problems now

// The callbacks run on the engine's threads; gtest's failures may be added from any thread.
void report(bool sound, unsigned link, const std::string& what) {
    g_closed += what.find(" IP interface closed.") != std::string::npos;
    if ((!sound || (g_guard && link < LOSSLESS)) && ++g_problems <= 20) {
        ADD_FAILURE() << what << " (link " << link << ")";
    }
}
const WeaveInitStruct CALLBACKS{
    [](const char* text) {
        unsigned l = MAX_LINKS;
        report(std::sscanf(text, "Link %u (", &l) == 1 && std::strlen(text) < 300, l, text);
    },
    [](std::uint32_t, std::uint32_t, std::uint32_t, const std::uint8_t*, std::uint32_t n) {
        ++g_traced; // tracing changes on all links, the lossless ones too
        report(n > 0 && n <= RECEIVE_BUFFER_SIZE, MAX_LINKS, "a trace");
    },
    [](const LinkStatus* s) { report(true, s->linkId, "a status report"); },
    nullptr}; // the real clock

std::uint8_t streamByte(std::size_t stream, std::uint64_t at) { // never repeats at a buffer size
    const std::uint64_t x = at * 0x9E3779B97F4A7C15ull + (std::uint64_t{stream} << 48);
    return static_cast<std::uint8_t>(((x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ull) >> 56);
}

// The far end of a port. Lossless: its stream goes out in bursts and pauses, the other comes in
// at once, slowly or not at all for a while. Chaotic: a client of the port as a server, or the
// connection the port made as a client; a datagram sender; the COM device; all up to mischief.
struct Side {
    char kind = 's';
    std::uint16_t own = 0, target = 0; // the engine's number (server, UDP), the test's listener
    int fd = -1;                       // the lossless far end, when a socket
    std::size_t reads = 0;             // lossless: bytes read at a time
    bool writing = false, reading = true;
    Clock::time_point readUntil{}, writeUntil{}, next{};
    Fd conn, listener;
    std::unique_ptr<PtyPair> pty;
    std::string path; // the name of its COM port, which the next device takes over
    long read(void* data, std::size_t n) const {
        return pty ? pty->readNow(data, n) : read_now(fd, data, n);
    }
    long write(const void* data, std::size_t n) const {
        return pty ? pty->writeNow(data, n) : write_now(fd, data, n);
    }
};

struct Soak {
    std::mt19937_64 gen;
    ScratchDir dir;
    Fd udp = udp_bind(0); // sends datagrams to the UDP ports
    LinkConfig cfg[MAX_LINKS]{};
    bool allocated[MAX_LINKS]{};
    Side sides[MAX_LINKS][2];
    // Stream s enters link s / 2 at port s % 2 and leaves at the other port.
    std::uint64_t sent[LOSSLESS * 2]{}, received[LOSSLESS * 2]{};
    bool corrupt[LOSSLESS * 2]{}, finishing = false;
    int contract = 0; // calls answered against their contract
    std::uint8_t buffer[65536]{};

    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(gen() % n); }
    bool chance(std::uint32_t percent) { return below(100) < percent; }
    void check(bool ok, const std::string& what) {
        EXPECT_TRUE(ok || ++contract > 20) << "answered against its contract: " << what;
    }
    void apply(int l) {
        char e[ERR_TEXT_SIZE] = {};
        check(WeaveSetLinkConfig(l, &cfg[l], e) == 1, e);
    }
    void setUp();
    void peers(Clock::time_point now);
    void mutate(int l, int p);
    void chaos();
};

void Soak::setUp() {
    std::map<unsigned, std::string> names{{90, dir.path() + "/absent"}}; // COM90: no device
    std::set<std::uint16_t> used;
    for (int l = 0; l < static_cast<int>(MAX_LINKS); ++l) {
        std::snprintf(cfg[l].name, sizeof cfg[l].name, "%s %d", l < LOSSLESS ? "kept" : "chaos", l);
        for (int p = 0; p < 2; ++p) {
            Side& side = sides[l][p];
            PortConfig& c = cfg[l].port[p];
            const unsigned com = static_cast<unsigned>(l * 2 + p + 1);
            side.kind = KINDS[l * 3 + p];
            // Numbers below those the other tests pick; a chaotic TCP port may change roles.
            for (std::uint16_t* n : {&side.own, &side.target}) {
                while (*n == 0 || !used.insert(*n).second || !tcp_listen(*n).valid()) {
                    *n = static_cast<std::uint16_t>(10000 + below(10000));
                }
            }
            if (side.kind == 'c') { // on POSIX systems the name is a link to the device
                side.pty =
                    POSIX ? std::make_unique<PtyPair>(dir.path() + "/com" + std::to_string(com))
                          : std::make_unique<PtyPair>();
                side.path = names[com] = side.pty->slavePath();
            }
            const bool listens = side.kind == 'l' || (l >= LOSSLESS && side.kind == 's');
            side.listener = listens ? tcp_listen(side.target) : Fd();
            // Instant forwarding, no reconnect, nothing traced; half the UDP ports echo, for good.
            c.portType = side.kind == 'c' ? PORT_TYPE_SERIAL : PORT_TYPE_IP;
            c.comIndex = com - 1; // at 115200 bits/s, 8N1
            c.baudIndex = 12;
            c.dataBitsIndex = 3;
            c.parityIndex = 2;
            c.ipProtocol = side.kind == 'u' ? IP_PROTO_UDP : IP_PROTO_TCP;
            c.tcpRole = side.kind == 's' ? TCP_ROLE_SERVER : TCP_ROLE_CLIENT;
            c.ipPort = side.kind == 'l' ? side.target : side.own;
            std::memcpy(c.remoteHost, "127.0.0.1", 10);
            c.fwdInstant = 1;
            c.bufferSize = RECEIVE_BUFFER_SIZE;
            c.reconnectSecs = 1;
            c.loopback = side.kind == 'u' && l % 2 == 0;
        }
    }
    dir.writePorts(names);
    pw::set_diag_sink([](const char*) {}); // devices that hang up are talked about
    char e[ERR_TEXT_SIZE] = {};
    ASSERT_EQ(WeaveInit(&CALLBACKS, e), 1u) << e;
    WeaveSetPaused(0);
    for (int l = 0; l < static_cast<int>(MAX_LINKS); ++l) {
        allocated[l] = WeaveAllocLink(l) == 1;
        l >= LOSSLESS ? mutate(l, static_cast<int>(below(2))) : void();
        apply(l);
        for (int p = 0; p < 2; ++p) {
            (l < LOSSLESS || chance(70)) ? check(WeaveActivatePort(l, p, e) == 1, e) : void();
        }
    }
    // The streams begin once every lossless port is connected: before, the engine drops by design.
    for (int s = 0; s < LOSSLESS * 2; ++s) {
        Side& side = sides[s / 2][s % 2];
        side.conn = side.kind == 's'   ? tcp_connect(side.own)
                    : side.kind == 'l' ? tcp_accept(side.listener.get(), 10000)
                                       : Fd();
        side.fd = side.conn.get();
        ASSERT_TRUE(side.pty || side.fd >= 0) << "lossless port " << s << " did not connect";
        side.pty ? void() : set_nonblocking(side.fd);
    }
    ASSERT_TRUE(wait_until([&] {
        bool up = true;
        for (int s = 0; s < LOSSLESS * 2; ++s) {
            PortStats st{};
            WeaveGetPortStats(s / 2, s % 2, &st, nullptr);
            up = up && st.activated == 1 && (st.connected == 1 || sides[s / 2][s % 2].kind == 'c');
        }
        return up;
    })) << "the lossless links did not connect";
    g_guard = true;
}

// One round of every far end.
void Soak::peers(Clock::time_point now) {
    for (std::size_t s = 0; s < LOSSLESS * 2; ++s) {
        Side& side = sides[s / 2][s % 2];
        if (now >= side.readUntil) { // all it can, a little, or nothing at all for a while
            const std::uint32_t pick = finishing ? 0 : below(3);
            side.reads = pick == 0 ? sizeof buffer : pick == 1 ? 256 : 0;
            side.readUntil = now + milliseconds(20 + below(500));
        }
        if (now >= side.writeUntil) {
            side.writing = !side.writing && !finishing;
            side.writeUntil = now + milliseconds(side.writing ? 20 + below(400) : below(300));
        }
        const std::size_t n = side.writing ? 1 + below(2048) : 0;
        std::generate_n(buffer, n, [&, at = sent[s]]() mutable { return streamByte(s, at++); });
        sent[s] += static_cast<std::size_t>(std::max(n > 0 ? side.write(buffer, n) : 0, 0L));
        // It reads the stream that enters at the other port.
        const long got = side.reads > 0 ? side.read(buffer, side.reads) : 0;
        for (long i = 0; i < got; ++i) {
            corrupt[s ^ 1] |= buffer[i] != streamByte(s ^ 1, received[s ^ 1]++);
        }
    }
    for (int l = LOSSLESS; l < static_cast<int>(MAX_LINKS); ++l) {
        for (Side& side : sides[l]) {
            side.fd = side.conn.get();
            const bool there = side.pty || side.fd >= 0;
            if (there && side.reading && side.read(buffer, sizeof buffer) == 0 && !side.pty) {
                side.conn.reset(); // the engine ended it
            }
            const std::uint32_t move = now < side.next ? 7 : below(7);
            side.next = move == 7 ? side.next : now + milliseconds(5 + below(100));
            if (move == 0 && side.kind == 'c') { // the device hangs up, another takes its name
                side.pty.reset();
                side.pty = std::make_unique<PtyPair>(side.path);
            } else if (move == 0 && side.kind != 'u') { // takes the port's connection, or connects
                Fd in = side.listener.valid() ? tcp_accept(side.listener.get(), 0) : Fd();
                side.conn = in.valid() ? std::move(in) : tcp_connect(side.own);
                side.conn.valid() ? set_nonblocking(side.conn.get()) : void();
            } else if (move < 3 && there) { // it streams
                (void)side.write(buffer, 1 + below(side.kind == 'c' ? 4096 : sizeof buffer));
            } else if (move == 3) { // it stops reading, or reads again
                side.reading = !side.reading;
            } else if (move == 4) { // it leaves: closes, resets, or vanishes unread
                chance(50) ? tcp_reset(side.conn) : side.conn.reset();
            } else if (move == 5 && side.kind == 'u') {
                (void)udp_send(udp.get(), side.own, buffer, 1 + below(4096));
            }
        }
    }
}

// A port's settings change. A lossless port only forwards at once or gathers in ways that pass
// every byte on (full buffers go, the quiet time sends the rest), and changes its tracing. A
// chaotic one takes damaged values too, may change its role as a TCP port (from its next
// activation) or its COM port (90 has no device, 150 is beyond the range), and more.
void Soak::mutate(int l, int p) {
    PortConfig& c = cfg[l].port[p];
    const Side& side = sides[l][p];
    const bool kept = l < LOSSLESS;
    c.fwdInstant = chance(40);
    c.fwdBufferFull = kept || chance(40);
    c.fwdInterChar = kept || chance(50);
    c.fwdFrameEnd = chance(30);
    c.bufferSize = kept || chance(95) ? 1 + below(RECEIVE_BUFFER_SIZE) : below(100000);
    c.interCharMs = kept + below(kept ? 20 : 50);
    c.frameEndChar = below(!kept && chance(5) ? 1000 : 256);
    c.trace = chance(30);
    if (!kept) {
        c.loopback = side.kind == 'u' ? c.loopback : chance(20);
        c.autoReconnect = chance(60);
        c.reconnectSecs = below(3);
        c.genTraffic = chance(20);
        c.genPeriodMs = below(chance(20) ? 1 : 500);
        c.genLength = below(chance(5) ? 1000 : GEN_DATA_SIZE + 1);
        c.tcpRole = side.kind == 's' || side.kind == 'l' ? below(2) : c.tcpRole;
        c.ipPort = c.tcpRole == TCP_ROLE_SERVER ? side.own : side.target;
        c.comIndex = chance(10) ? 89 : chance(10) ? 149 : static_cast<unsigned>(l * 2 + p);
    }
}

// One move on a chaotic link, and the contract of its call: on a free link every call fails
// with "link not allocated". Now and then the settings of a lossless port change instead.
void Soak::chaos() {
    if (chance(2)) {
        const int kept = static_cast<int>(below(LOSSLESS));
        mutate(kept, static_cast<int>(below(2)));
        return apply(kept);
    }
    const int l = LOSSLESS + static_cast<int>(below(MAX_LINKS - LOSSLESS));
    const int p = static_cast<int>(below(2));
    const std::uint32_t move = below(6);
    char e[ERR_TEXT_SIZE] = {};
    PortStats s{};
    std::uint32_t rc = 0;
    bool ok = true;
    if (move == 0 && !allocated[l] && chance(60)) {
        check(WeaveAllocLink(l) == 1, "alloc");
        allocated[l] = true;
        apply(l);
    }
    if (move == 0) {
        ok = (rc = WeaveActivatePort(l, p, e)) == 1;
    } else if (move == 1) {
        ok = (rc = chance(70) ? WeaveDeactivatePort(l, p, e) : WeaveDeactivateLink(l, e)) == 1;
    } else if (move == 2) { // some of the time; an id out of range frees nothing
        const bool freed = chance(30);
        WeaveFreeLink(freed ? l : -1);
        allocated[l] = allocated[l] && !freed;
        ok = (rc = WeaveClearPortStats(l, p, e)) == 1;
    } else if (move == 3) {
        mutate(l, p);
        allocated[l] ? apply(l) : void();
        return;
    } else { // of any length, 0 and one too many included; and the port's counters
        rc = WeaveSendBuffer(l, p, buffer, below(RECEIVE_BUFFER_SIZE + 2), e);
        ok = rc == 1 || (rc == 0 && std::strcmp(e, "port not activated") == 0);
        ok = ok && (rc = WeaveGetPortStats(l, p, &s, e)) == 1 && s.connected <= s.activated;
    }
    const bool refused = rc == 0 && std::strcmp(e, "link not allocated") == 0;
    check(allocated[l] ? ok : refused,
          "link " + std::to_string(l) + ": " + std::to_string(rc) + " " + e);
}

TEST(Soak, ThirtyTwoLinksUnderChurnLoseNothingAndLeaveNothingBehind) {
    const char* secondsText = std::getenv("PW_SOAK_SECONDS");
    const char* seedText = std::getenv("PW_SOAK_SEED");
    const int seconds = secondsText != nullptr ? std::max(1, std::atoi(secondsText)) : 60;
    const auto seed =
        seedText != nullptr ? std::strtoull(seedText, nullptr, 0) : std::random_device{}();
    std::printf("[ soak ] seed %llu, %d s\n", static_cast<unsigned long long>(seed), seconds);
    std::fflush(stdout);
    std::thread([] {}).join(); // a sanitizer's helper thread, if any, belongs to the baseline
    const std::size_t fdBase = open_fd_count(), threadBase = thread_count();
    auto soak = std::make_unique<Soak>();
    soak->gen.seed(seed);
    soak->setUp();
    // Every millisecond a pass of the periodic processing (as the application makes them) and a
    // round of the far ends, every few a move. Then the writers stop, the readers read all, and
    // a while for anything that comes twice.
    std::size_t rssWarm = 0;
    const auto start = Clock::now(),
               end = start + std::chrono::seconds(HasFatalFailure() ? 0 : seconds);
    auto nextChaos = start, until = end + std::chrono::seconds(60 + seconds / 10);
    for (auto now = start; now < until; now = Clock::now()) {
        WeaveProcess();
        soak->peers(now);
        soak->finishing = now >= end;
        if (now >= nextChaos && now < end) {
            const auto called = Clock::now(); // and no call waits, however stuck a far end
            soak->chaos();
            soak->check(Clock::now() - called < std::chrono::seconds(5), "a call took 5 s");
            nextChaos = now + milliseconds(1 + soak->below(15));
        }
        rssWarm = rssWarm == 0 && now - start >= (end - start) / 4 ? resident_kib() : rssWarm;
        bool settled = soak->finishing;
        for (std::size_t s = 0; s < LOSSLESS * 2; ++s) {
            settled = settled && (soak->received[s] >= soak->sent[s] || soak->corrupt[s]);
        }
        until = settled ? std::min(until, now + milliseconds(300)) : until;
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_LE(resident_kib(), rssWarm + std::max(RSS_GROWTH_KIB, rssWarm / 2))
        << "memory kept growing";
    for (int s = 0; s < LOSSLESS * 2 && !HasFatalFailure(); ++s) {
        PortStats in{}, out{};
        WeaveGetPortStats(s / 2, s % 2, &in, nullptr);
        WeaveGetPortStats(s / 2, 1 - s % 2, &out, nullptr);
        EXPECT_FALSE(soak->corrupt[s]) << "stream " << s << " arrived changed or reordered";
        EXPECT_GT(soak->sent[s], 0u) << "stream " << s;
        EXPECT_EQ(soak->received[s], soak->sent[s]) << "stream " << s;
        EXPECT_EQ(in.rxBytes, static_cast<std::uint32_t>(soak->sent[s])) << "stream " << s;
        EXPECT_EQ(out.txBytes, static_cast<std::uint32_t>(soak->received[s])) << "stream " << s;
    }
    WeaveShutdown();
    pw::set_diag_sink(nullptr);
    g_guard = false;
    soak.reset();
    EXPECT_TRUE(g_closed > 0 && g_traced > 0) << "the churn did not reach the engine";
    EXPECT_TRUE(wait_until([&] { return open_fd_count() == fdBase; }, std::chrono::seconds(15)))
        << open_fd_count() << " descriptors open, " << fdBase << " before";
    EXPECT_TRUE(wait_until([&] { return thread_count() == threadBase; }, std::chrono::seconds(15)))
        << thread_count() << " threads, " << threadBase << " before";
}

} // namespace
