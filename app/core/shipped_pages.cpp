// Finding the pages shipped with the program.
#include "app/core/shipped_pages.h"

#include "app/core/app_platform.h"

#include <filesystem>
#include <system_error>

namespace pw::app {

std::vector<std::string> ShippedPageDirectories(const std::string& docDir) {
    std::vector<std::string> dirs;
    std::error_code ec;
    const std::filesystem::path here = std::filesystem::current_path(ec);
    if (!ec) {
        dirs.push_back(here.string());
    }
    const std::string exeDir = ExecutableDirectory();
    if (!exeDir.empty()) {
        dirs.push_back(exeDir);
    }
    if (!docDir.empty()) {
        dirs.push_back(docDir);
    }
    return dirs;
}

std::string FindShippedPage(const std::string& fileName, const std::vector<std::string>& dirs) {
    for (const std::string& dir : dirs) {
        const std::filesystem::path candidate = std::filesystem::path(dir) / fileName;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) {
            return candidate.string();
        }
    }
    return {};
}

} // namespace pw::app
