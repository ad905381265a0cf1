// Small file systems for the tests of full and read-only directories: a tmpfs of a few pages
// mounted on a fresh directory, which a test fills to the last block or turns read-only.
//
// Every mount is made in a private mount namespace that the process enters at the first mount
// (the calling thread and every thread or process it starts later see the mounts; nothing outside
// the test ever does), so a test that crashes leaves no mount behind. Mounting needs root
// (CAP_SYS_ADMIN); where the system refuses, nothing is mounted and the tests fall back to
// simulated write failures or skip.
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

    // Takes every free block with a filler file, so that any write needing a new block fails
    // with ENOSPC; bytes still free in the last block of another file stay writable. True when
    // the file system is full.
    bool fill();
    // Removes the filler: the space is back.
    void release();
    // Remounts read-only (true) or read-write (false); true on success.
    bool setReadOnly(bool readOnly);

private:
    std::string path_;
    bool mounted_ = false;
};

// Size of a file system block of the tmpfs (a page).
std::size_t tmpfs_block_size();

} // namespace testsupport
