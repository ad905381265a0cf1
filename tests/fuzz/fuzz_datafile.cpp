// Fuzz target: a data file of any content is loaded, and every link it holds is handed to the
// engine, activated, run for a few passes and freed again. Nothing may crash, read or write out
// of bounds, or leave a sanitizer report.
//
// The run is hermetic: host names are never looked up (getaddrinfo below answers every name with
// "not found"), connections and datagrams reach only the loopback network (connect and sendto
// below refuse other addresses), and every COM port maps to a device path that does not exist,
// except COM1, a pseudo-terminal, so that the serial settings reach a real device.
#include "engine/weave.h"
#include "store/datafile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool Loopback(const sockaddr* sa) {
    if (sa == nullptr || sa->sa_family != AF_INET) {
        return true;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
}

} // namespace

extern "C" int getaddrinfo(const char*, const char*, const struct addrinfo*, struct addrinfo**) {
    return EAI_NONAME;
}

extern "C" int connect(int fd, const sockaddr* sa, socklen_t len) {
    if (!Loopback(sa)) {
        errno = ENETUNREACH;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_connect, fd, sa, len));
}

extern "C" ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* sa,
                          socklen_t len) {
    if (!Loopback(sa)) {
        errno = ENETUNREACH;
        return -1;
    }
    return ::syscall(SYS_sendto, fd, data, size, flags, sa, len);
}

namespace {

std::uint32_t g_now = 0;
std::uint32_t FakeClock() {
    return g_now;
}
void Ignore(const char*) {}

struct Setup {
    std::string dir;
    int ptyMaster = -1;
    Setup() {
        char pattern[] = "/tmp/portweave-fuzz-XXXXXX";
        dir = ::mkdtemp(pattern);
        ptyMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(ptyMaster);
        ::unlockpt(ptyMaster);
        if (FILE* ports = std::fopen((dir + "/portweave.ports").c_str(), "w")) {
            std::fprintf(ports, "COM1=%s\n", ::ptsname(ptyMaster));
            for (int com = 2; com <= 100; ++com) {
                std::fprintf(ports, "COM%d=%s/no-such-device-%d\n", com, dir.c_str(), com);
            }
            std::fclose(ports);
        }
        // The serial layer reads the name file from the current directory when the engine starts
        // it; the fuzzer keeps its own (its corpus paths may be relative).
        char here[4096];
        if (::getcwd(here, sizeof here) == nullptr || ::chdir(dir.c_str()) != 0) {
            std::abort();
        }
        WeaveInitStruct init{Ignore, nullptr, nullptr, FakeClock};
        char err[ERR_TEXT_SIZE];
        WeaveInit(&init, err);
        WeaveSetPaused(0);
        if (::chdir(here) != 0) {
            std::abort();
        }
    }
    ~Setup() { WeaveShutdown(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (FILE* f = std::fopen((setup.dir + "/" + DATA_FILE_NAME).c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    static pw::LogStore log(pw::LogOptions{setup.dir, {}, {}});
    SettingsBlock settings{};
    static LinkTable table; // large: kept off the stack
    pw::LoadDataFileFrom(pw::DataFileOptions{setup.dir, {}}, settings, table, log);
    char err[ERR_TEXT_SIZE];
    for (std::int32_t id = 0; id < static_cast<std::int32_t>(MAX_LINKS); ++id) {
        if (table.entry[id].inUse == 0) {
            continue;
        }
        WeaveAllocLink(id);
        WeaveSetLinkConfig(id, &table.entry[id].config, err);
        WeaveActivatePort(id, 0, err);
        WeaveActivatePort(id, 1, err);
        const std::uint8_t probe[] = {0x0d, 0xff, 0x00, 'x'};
        WeaveSendBuffer(id, 0, probe, sizeof probe, err);
        for (int pass = 0; pass < 3; ++pass) {
            g_now += 1000;
            WeaveProcess();
        }
        WeaveFreeLink(id);
    }
    return 0;
}
