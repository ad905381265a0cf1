#include "tests/support/pty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* PORTS_FILE = "portweave.ports";

} // namespace

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("no slave name");
    }
    slave_ = name;
}

PtyPair::~PtyPair() {
    hangUp();
}

void PtyPair::hangUp() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

bool PtyPair::write(const Bytes& data, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 50);
    }
    return true;
}

PtyPair::Bytes PtyPair::read(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    Bytes out;
    std::uint8_t buf[4096];
    while (out.size() < count && Clock::now() < deadline) {
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 20);
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        }
    }
    return out;
}

PtyPair::Bytes PtyPair::drain(std::chrono::milliseconds window) {
    const auto deadline = Clock::now() + window;
    Bytes out;
    std::uint8_t buf[4096];
    while (Clock::now() < deadline) {
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 10);
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        }
    }
    return out;
}

ScratchDir::ScratchDir() {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
        throw std::runtime_error("no working directory");
    }
    oldCwd_ = cwd;
    char tmpl[] = "/tmp/pw-test-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr || ::chdir(tmpl) != 0) {
        throw std::runtime_error("no scratch directory");
    }
    dir_ = tmpl;
}

ScratchDir::~ScratchDir() {
    (void)::chdir(oldCwd_.c_str());
    if (DIR* dir = ::opendir(dir_.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                (void)::unlink((dir_ + "/" + name).c_str());
            }
        }
        ::closedir(dir);
    }
    (void)::rmdir(dir_.c_str());
}

void ScratchDir::writePorts(const std::map<unsigned, std::string>& map, const std::string& extra) {
    FILE* f = std::fopen(PORTS_FILE, "w");
    if (f == nullptr) {
        throw std::runtime_error("cannot write the name file");
    }
    for (const auto& [com, path] : map) {
        std::fprintf(f, "COM%u=%s\n", com, path.c_str());
    }
    std::fputs(extra.c_str(), f);
    std::fclose(f);
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pw-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("no temporary directory");
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace testsupport
