// The device name table: which device path each COM number opens.
#include "base/platform.h"
#include "serial/serio_internal.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace pw::serio {

namespace {

std::string trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])) != 0) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])) != 0) {
        --e;
    }
    return s.substr(b, e - b);
}

bool is_blank_or_comment(const std::string& trimmed) {
    return trimmed.empty() || trimmed[0] == '#';
}

// Parses "COMn=path" (the prefix in any case). Gives the index n-1 and the path, or false.
bool parse_line(const std::string& line, std::uint32_t* index, std::string* path) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
        return false;
    }
    const std::string key = trim(line.substr(0, eq));
    *path = trim(line.substr(eq + 1));
    if (key.size() < 4 || key.size() > 6 || path->empty() || path->size() >= DEVICE_PATH_SIZE) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(key[i])) != "COM"[i]) {
            return false;
        }
    }
    std::uint32_t number = 0;
    for (std::size_t i = 3; i < key.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(key[i])) == 0) {
            return false;
        }
        number = number * 10 + static_cast<std::uint32_t>(key[i] - '0');
    }
    if (number < 1 || number > SERIO_PORT_COUNT) {
        return false;
    }
    *index = number - 1;
    return true;
}

} // namespace

void load_device_names(char (*names)[DEVICE_PATH_SIZE], const char* mapFile) {
    for (std::uint32_t i = 0; i < SERIO_PORT_COUNT; ++i) {
        os::default_device_path(i, names[i], DEVICE_PATH_SIZE);
    }
    std::ifstream in(mapFile);
    std::string raw;
    unsigned lineNo = 0;
    while (in && std::getline(in, raw)) {
        ++lineNo;
        const std::string line = trim(raw);
        if (is_blank_or_comment(line)) {
            continue;
        }
        std::uint32_t index = 0;
        std::string path;
        if (!parse_line(line, &index, &path)) {
            char text[128];
            std::snprintf(text, sizeof text, "SERIO: %s line %u ignored", mapFile, lineNo);
            pw::diag(text);
            continue;
        }
        std::memcpy(names[index], path.c_str(), path.size() + 1);
    }
}

int read_text_file(const char* path, std::string* text) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return errno;
    }
    text->clear();
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        text->append(buf, n);
    }
    const int err = std::ferror(f) != 0 ? EIO : 0;
    std::fclose(f);
    return err;
}

std::string assign_name_line(const std::string& text, std::uint32_t index,
                             const std::string& path) {
    const std::string line = "COM" + std::to_string(index + 1) + "=" + path;
    std::string out;
    bool placed = false;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string raw = text.substr(at, end - at);
        at = end;
        std::uint32_t i = 0;
        std::string p;
        const std::string trimmed = trim(raw);
        if (is_blank_or_comment(trimmed) || !parse_line(trimmed, &i, &p) || i != index) {
            out += raw;
        } else if (!placed) {
            // The line keeps its own ending ("\n", "\r\n" or none at the very end).
            const std::size_t body = raw.find_last_not_of("\r\n") + 1;
            out += line + raw.substr(body);
            placed = true;
        }
    }
    if (!placed) {
        if (!out.empty() && out.back() != '\n') {
            out += '\n';
        }
        out += line + "\n";
    }
    return out;
}

} // namespace pw::serio

std::string serio_default_device(std::uint32_t portIndex) {
    char name[pw::serio::DEVICE_PATH_SIZE];
    pw::serio::os::default_device_path(portIndex, name, sizeof name);
    return name;
}

bool serio_parse_name_line(const std::string& line, std::uint32_t* index, std::string* path) {
    const std::string trimmed = pw::serio::trim(line);
    return !pw::serio::is_blank_or_comment(trimmed) && pw::serio::parse_line(trimmed, index, path);
}
