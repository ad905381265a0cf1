// Pseudo-terminals as serial devices for tests, and a scratch working directory that holds the
// serial layer's name file ("portweave.ports", read when the serial layer starts).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A pseudo-terminal: the slave path is what the serial layer opens, the master is the far device.
class PtyPair {
public:
    using Bytes = std::vector<std::uint8_t>;

    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    [[nodiscard]] int master() const { return master_; }
    [[nodiscard]] const std::string& slavePath() const { return slave_; }
    // Closes the master: the slave side hangs up.
    void hangUp();
    // Writes everything, waiting while the pty is full, up to `limit`. True when all went.
    bool write(const Bytes& data, std::chrono::milliseconds limit = std::chrono::seconds(20));
    bool write(const std::string& text) { return write(Bytes(text.begin(), text.end())); }
    // Reads until `count` bytes arrived or `limit` passed; returns what arrived.
    Bytes read(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Reads whatever arrives within `window`.
    Bytes drain(std::chrono::milliseconds window);

private:
    int master_ = -1;
    std::string slave_;
};

// A fresh temporary directory made the current directory for the object's lifetime; removed
// with the files and links made in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    // Writes the serial layer's name file: COM number (1-based) to device path, plus any extra
    // raw lines.
    void writePorts(const std::map<unsigned, std::string>& map, const std::string& extra = "");
    [[nodiscard]] const std::string& path() const { return dir_; }

private:
    std::string dir_;
    std::string oldCwd_;
};

// A fresh temporary directory (the current directory stays), removed with all it holds.
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

} // namespace testsupport
