// The temporary and working directories of pty.h that need no platform call.
#include "tests/support/pty.h"

#include <fstream>

namespace testsupport {

namespace fs = std::filesystem;

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ScratchDir::ScratchDir() : oldCwd_(fs::current_path()) {
    fs::current_path(dir_.str());
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::current_path(oldCwd_, ignored);
}

void ScratchDir::writePorts(const std::map<unsigned, std::string>& map, const std::string& extra) {
    std::ofstream out(dir_ / "portweave.ports", std::ios::binary); // the same bytes everywhere
    for (const auto& [com, path] : map) {
        out << "COM" << com << '=' << path << '\n';
    }
    out << extra;
}

} // namespace testsupport
