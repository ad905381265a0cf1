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

// Enters a private mount namespace at the first call, so that no mount is seen outside.
bool mounts_available() {
    static const bool available = ::unshare(CLONE_NEWNS) == 0 &&
                                  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return available;
}

// Appends `size`-byte blocks until the file system refuses one: true when it is full.
bool write_until_full(int fd, std::size_t size) {
    const std::vector<char> block(size, 'f');
    ssize_t n = 0;
    while ((n = ::write(fd, block.data(), block.size())) > 0 || (n < 0 && errno == EINTR)) {
    }
    return n == 0 || errno == ENOSPC;
}

} // namespace

std::size_t tmpfs_block_size() {
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

SmallTmpfs::SmallTmpfs(std::size_t bytes) {
    std::string dir = (std::filesystem::temp_directory_path() / "pw-tmpfs-XXXXXX").string();
    if (!mounts_available() || ::mkdtemp(dir.data()) == nullptr) {
        return;
    }
    path_ = dir;
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

BindMount::BindMount(const std::string& source, const std::string& target) : target_(target) {
    mounted_ = mounts_available() &&
               ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

BindMount::~BindMount() {
    if (mounted_) {
        ::umount2(target_.c_str(), MNT_DETACH);
    }
}

bool SmallTmpfs::fill() {
    const std::string filler = path_ + "/.filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    // Large blocks first, then single bytes for the rest of the last page.
    const bool full = fd >= 0 && write_until_full(fd, 64 * 1024) && write_until_full(fd, 1);
    if (fd >= 0) {
        ::close(fd);
    }
    return full;
}

void SmallTmpfs::release() {
    ::unlink((path_ + "/.filler").c_str());
}

bool SmallTmpfs::setReadOnly(bool readOnly) {
    const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    return ::mount("tmpfs", path_.c_str(), "tmpfs", flags, nullptr) == 0;
}

} // namespace testsupport
