#include "tests/support/pty.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = name;
}

PtyPair::PtyPair(const std::string& name) : PtyPair() {
    std::error_code e;
    fs::create_symlink(slave_, name + ".new", e);
    fs::rename(name + ".new", name, e);
    slave_ = name;
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
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || Clock::now() >= deadline) {
            return false;
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }
    return true;
}

PtyPair::Bytes PtyPair::read(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    Bytes out;
    std::uint8_t buf[4096];
    while (out.size() < count && Clock::now() < deadline) {
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 10);
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        }
    }
    return out;
}

long PtyPair::writeNow(const void* data, std::size_t length) {
    return ::write(master_, data, length);
}

long PtyPair::readNow(void* data, std::size_t length) {
    return ::read(master_, data, length);
}

bool under_wine() {
    return false;
}

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "pw-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("no temporary directory");
    }
    path_ = tmpl;
}

} // namespace testsupport
