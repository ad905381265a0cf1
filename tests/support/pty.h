// Pseudo-terminals as serial devices, and temporary directories (one as the current directory,
// where the serial layer reads its name file "portweave.ports").
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// The slave path is what the serial layer opens; the master is the far device.
class PtyPair {
public:
    using Bytes = std::vector<std::uint8_t>;

    PtyPair();
    // A new device under `name`, which an earlier pair of this process gave up (hung up): on
    // POSIX systems a link there points to the new slave (in one swap); on Windows `name` is that
    // pair's COM port, which this one takes over. slavePath() is `name`.
    explicit PtyPair(const std::string& name);
    ~PtyPair() { hangUp(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    [[nodiscard]] int master() const { return master_; }
    [[nodiscard]] const std::string& slavePath() const { return slave_; }
    // Closes the master: the slave side hangs up.
    void hangUp();
    // Writes everything, waiting while the pty is full, within `limit`.
    bool write(const Bytes& data, std::chrono::milliseconds limit = std::chrono::seconds(20));
    bool write(const std::string& text) { return write(Bytes(text.begin(), text.end())); }
    // What arrived once `count` bytes did or `limit` passed.
    Bytes read(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Whatever arrives within `window`.
    Bytes drain(std::chrono::milliseconds window) { return read(SIZE_MAX, window); }
    // Without waiting: writes what fits now, reads what is there; the count, or <= 0 for none.
    long writeNow(const void* data, std::size_t length);
    long readNow(void* data, std::size_t length);

private:
    int master_ = -1;
    std::string slave_;
};

// True in the Windows build under Wine, whose COM ports over pseudo-terminals differ from
// Windows's own ports in a few ways the tests keep apart.
bool under_wine();

// A fresh temporary directory, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] std::string str() const { return path_.string(); }
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const {
        return path_ / name;
    }

private:
    std::filesystem::path path_;
};

// A TempDir made the current directory for the object's lifetime.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    // Writes the name file: COM number (1-based) to device path, then any raw lines.
    void writePorts(const std::map<unsigned, std::string>& map, const std::string& extra = "");
    [[nodiscard]] std::string path() const { return dir_.str(); }

private:
    std::filesystem::path oldCwd_;
    TempDir dir_;
};

} // namespace testsupport
