// Internal to the store: the file and clock calls of the platform, implemented once per platform
// (store_posix.cpp, store_win.cpp). Not part of the store's contract. Files are C runtime
// descriptors on every platform.
#pragma once

#include "store/datafile.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pw::store_backend {

constexpr int NO_FILE = -1;

// `name` inside `directory` (the current directory when empty).
[[nodiscard]] std::string JoinPath(const std::string& directory, const char* name);

// Log files: opens `path` for appending (created when missing, kept when present, others may
// read it). Returns the descriptor, or NO_FILE.
[[nodiscard]] int OpenForAppend(const std::string& path);
// Writes all `size` bytes; false on an error. `written`, when given, receives how many of them
// reached the file (all of them on success, possibly some on failure).
[[nodiscard]] bool WriteAll(int fd, const char* data, std::size_t size,
                            std::size_t* written = nullptr);
// Takes the last `count` bytes off the end of a file that only this process appends to: the part
// of a line that a failed write (a full disk) left behind.
void DropTail(int fd, std::size_t count);
void CloseFile(int fd);
// The size of the regular file open as `fd`; false for anything else (a FIFO, a device), which
// the logs never rotate.
[[nodiscard]] bool RegularFileSize(int fd, std::uint64_t* size);
// Renames the closed file `path` to `oldPath`, replacing what is there; `oldPath` may be missing
// for a moment meanwhile, but is never half written. False when the rename failed (`path` is
// unchanged; what was at `oldPath` may be gone).
[[nodiscard]] bool RotateFile(const std::string& path, const std::string& oldPath);
// Puts the calling thread behind the process's other threads when processor time is short: for
// the log writer, whose lines may wait (a trace line may even be dropped, and counted) while the
// data path may not.
void LowerThreadPriority();

// Data file load.
enum class OpenOutcome { Opened, Missing, Failed };
struct OpenResult {
    OpenOutcome outcome;
    int fd;    // the descriptor when Opened, else NO_FILE
    int error; // the system's error number when Failed
};
[[nodiscard]] OpenResult OpenForRead(const std::string& path);
// Reads up to `size` bytes, stopping early only at the end of the file or at an error.
struct ReadResult {
    std::size_t count; // bytes read
    bool failed;       // a read error ended it
};
[[nodiscard]] ReadResult ReadUpTo(int fd, void* out, std::size_t size);

// Data file save: replaces `path` with `image` followed by the existing file's bytes beyond
// `image`'s size, through a temporary file next to it (see SaveDataFileTo).
enum class SaveStep { Done, Open, Write };
struct SaveResult {
    SaveStep failedStep; // Done on success, else the step that failed
    int error;           // the system's error number of the failure
};
[[nodiscard]] SaveResult ReplaceFile(const std::string& path, const void* image, std::size_t size,
                                     DataFileWriteStep write);

} // namespace pw::store_backend
