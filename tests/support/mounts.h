// A tmpfs of a few pages mounted on a fresh directory, which a test fills to the last block or
// turns read-only, and files mounted over system files. Mounts are made in a private mount
// namespace that the process enters at the first one, so nothing outside the test ever sees
// them; without root nothing is mounted.
#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

// A tmpfs of `bytes` (rounded up to whole pages) mounted on a new temporary directory.
class SmallTmpfs {
public:
    explicit SmallTmpfs(std::size_t bytes);
    ~SmallTmpfs(); // unmounts and removes the directory
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    [[nodiscard]] bool mounted() const { return mounted_; }
    [[nodiscard]] const std::string& path() const { return path_; }

    // Takes every free block with a filler file (true when full): a write that needs a new block
    // fails with ENOSPC. release() removes the filler.
    bool fill();
    void release();
    // Remounts read-only (true) or read-write (false); true on success.
    bool setReadOnly(bool readOnly);

private:
    std::string path_;
    bool mounted_ = false;
};

// `source` mounted over the existing file or directory `target` (say, /etc/resolv.conf) while
// the object lives.
class BindMount {
public:
    BindMount(const std::string& source, const std::string& target);
    ~BindMount();
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    [[nodiscard]] bool mounted() const { return mounted_; }

private:
    std::string target_;
    bool mounted_ = false;
};

// Size of a file system block of the tmpfs (a page).
std::size_t tmpfs_block_size();

} // namespace testsupport
