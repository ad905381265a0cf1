// Reading the COM-to-device mapping file.
#include "app/core/com_devices.h"

#include "serial/serio.h"

#include <fstream>
#include <sstream>

namespace pw::app {

ComDevices ParseComDevices(const std::string& text) {
    ComDevices devices;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::uint32_t index = 0;
        std::string path;
        // COM33 to COM100 are valid but not offered by the dialog.
        if (serio_parse_name_line(line, &index, &path) && index < COM_NAME_COUNT) {
            devices[index] = path; // a later line wins, as in the serial layer
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
