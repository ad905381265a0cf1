// POSIX (Linux) backend of the serial layer's device names: the name file's atomic replacement
// and the search for the serial devices of the machine.
#include "serial/serio_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace pw::serio::os {

namespace {

constexpr mode_t NEW_FILE_MODE = 0666; // narrowed by the process's umask
constexpr char TEMP_SUFFIX[] = ".tmp";
constexpr char BY_ID_DIR[] = "/serial/by-id";
// Node names searched when no stable link leads to a device, in the order they are offered.
constexpr std::string_view NODE_PREFIXES[] = {"ttyUSB", "ttyACM", "ttyS"};
// The node kind whose nodes exist without hardware, and so must answer to count.
constexpr std::string_view PROBED_PREFIX = "ttyS";

int write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : ENOSPC;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path finally leads to, or empty when a link on the way is broken.
std::string real_path(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return {};
    }
    std::string out(real);
    std::free(real);
    return out;
}

// What a link points at, as a path from `dir` (the by-id links are relative: "../../ttyUSB0"),
// with "dir/.." steps taken out; the path itself when it is no link.
std::string link_target(const std::string& dir, const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return path;
    }
    std::string t(target, static_cast<std::size_t>(n));
    std::string base = t[0] == '/' ? std::string() : dir;
    while (!base.empty() && t.starts_with("../")) {
        t.erase(0, 3);
        base.erase(base.rfind('/') == std::string::npos ? 0 : base.rfind('/'));
    }
    return base.empty() ? t : base + "/" + t;
}

// Entries of a directory, without "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// The position of a node name among the offered ones: its prefix's rank, then its number, so
// that ttyS2 comes before ttyS10. Names of no searched kind rank last.
std::pair<std::size_t, unsigned long> node_rank(const std::string& name) {
    for (std::size_t k = 0; k < std::size(NODE_PREFIXES); ++k) {
        const std::string_view prefix = NODE_PREFIXES[k];
        if (name.starts_with(prefix) && name.size() > prefix.size() &&
            std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            return {k, std::strtoul(name.c_str() + prefix.size(), nullptr, 10)};
        }
    }
    return {std::size(NODE_PREFIXES), 0};
}

// Whether the terminal at `path` answers: it opens (without becoming the controlling terminal
// and without waiting for a carrier) and gives its settings, or another program holds it.
bool answers(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return terminal;
}

} // namespace

int replace_text_file(const char* path, const std::string& text) {
    const std::string temp = std::string(path) + TEMP_SUFFIX;
    struct stat old {};
    const bool hadOld = ::stat(path, &old) == 0;
    ::unlink(temp.c_str()); // left over from a write that crashed
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NEW_FILE_MODE);
    if (fd < 0) {
        return errno;
    }
    if (hadOld) {
        (void)::fchmod(fd, old.st_mode & 07777);
    }
    int err = write_all(fd, text);
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && ::rename(temp.c_str(), path) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
    }
    return err;
}

bool device_present(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const bool probed = base_name(path).starts_with(PROBED_PREFIX) ||
                        base_name(real_path(path)).starts_with(PROBED_PREFIX);
    return !probed || answers(path);
}

std::vector<SerioDevice> find_devices(const std::string& devDir) {
    std::vector<SerioDevice> found;
    std::vector<std::string> taken; // the real nodes the stable links lead to
    const std::string byId = devDir + BY_ID_DIR;
    for (const std::string& name : entries(byId)) {
        const std::string path = byId + "/" + name;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
            found.push_back(SerioDevice{path, link_target(byId, path)});
            taken.push_back(real_path(path));
        }
    }
    std::vector<std::string> nodes = entries(devDir);
    std::erase_if(
        nodes, [](const std::string& n) { return node_rank(n).first == std::size(NODE_PREFIXES); });
    std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
        return node_rank(a) < node_rank(b);
    });
    for (const std::string& name : nodes) {
        const std::string path = devDir + "/" + name;
        if (std::find(taken.begin(), taken.end(), real_path(path)) == taken.end() &&
            device_present(path)) {
            found.push_back(SerioDevice{path, path});
        }
    }
    return found;
}

} // namespace pw::serio::os
