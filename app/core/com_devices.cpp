// Reading the COM-to-device mapping file.
#include "app/core/com_devices.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace pw::app {

namespace {

constexpr std::uint32_t LAYER_PORT_COUNT = 100; // COM numbers the serial layer can address

std::string Trim(const std::string& s) {
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

// "COMn" (any case) to n, or 0 when the key is not one.
std::uint32_t ComNumber(const std::string& key) {
    if (key.size() < 4 || key.size() > 6) {
        return 0;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(key[i])) != "COM"[i]) {
            return 0;
        }
    }
    std::uint32_t n = 0;
    for (std::size_t i = 3; i < key.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(key[i])) == 0) {
            return 0;
        }
        n = n * 10 + static_cast<std::uint32_t>(key[i] - '0');
    }
    return n <= LAYER_PORT_COUNT ? n : 0;
}

} // namespace

ComDevices ParseComDevices(const std::string& text) {
    ComDevices devices;
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        const std::string line = Trim(raw);
        const std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        const std::uint32_t n = ComNumber(Trim(line.substr(0, eq)));
        const std::string path = Trim(line.substr(eq + 1));
        if (n == 0 || path.empty() || path.size() > COM_DEVICE_PATH_MAX) {
            continue;
        }
        if (n <= COM_NAME_COUNT) {
            devices[n - 1] = path; // COM33 to COM100 are valid but not offered by the dialog
        }
    }
    return devices;
}

ComDevices LoadComDevices(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return ComDevices{};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseComDevices(text.str());
}

std::string ComItemText(std::uint32_t comIndex, const ComDevices& devices) {
    std::string text = Format("COM%u", comIndex + 1);
    if (comIndex < devices.size() && !devices[comIndex].empty()) {
        text += " (" + devices[comIndex] + ")";
    }
    return text;
}

} // namespace pw::app
