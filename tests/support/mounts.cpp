#include "tests/support/mounts.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

namespace {

constexpr char FILLER_NAME[] = ".filler";

std::string MakeTempDir(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return std::string();
    }
    return pattern;
}

// Writes `size`-byte blocks to `fd` until the file system refuses one; the last errno.
int WriteUntilRefused(int fd, std::size_t size) {
    const std::vector<char> block(size, 'f');
    for (;;) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return ENOSPC;
        }
    }
}

// Enters a private mount namespace at the first call, so that no mount is seen outside.
bool mounts_available() {
    static const bool available = [] {
        if (::unshare(CLONE_NEWNS) != 0) {
            return false;
        }
        // Private from here on: nothing mounted below propagates back to the system.
        return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }();
    return available;
}

} // namespace

std::size_t tmpfs_block_size() {
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

SmallTmpfs::SmallTmpfs(std::size_t bytes) {
    if (!mounts_available()) {
        return;
    }
    path_ = MakeTempDir("pw-tmpfs-");
    if (path_.empty()) {
        return;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

SmallTmpfs::~SmallTmpfs() {
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
    }
    if (!path_.empty()) {
        ::rmdir(path_.c_str());
    }
}

bool SmallTmpfs::fill() {
    const std::string filler = path_ + "/" + FILLER_NAME;
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    // Large blocks first, then single bytes for the rest of the last page.
    int error = WriteUntilRefused(fd, 64 * 1024);
    if (error == ENOSPC) {
        error = WriteUntilRefused(fd, 1);
    }
    ::close(fd);
    return error == ENOSPC;
}

void SmallTmpfs::release() {
    ::unlink((path_ + "/" + FILLER_NAME).c_str());
}

bool SmallTmpfs::setReadOnly(bool readOnly) {
    const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    return ::mount("tmpfs", path_.c_str(), "tmpfs", flags, nullptr) == 0;
}

} // namespace testsupport
