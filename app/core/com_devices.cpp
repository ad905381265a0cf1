// Reading the COM-to-device mapping file, the COM list items and the device picker.
#include "app/core/com_devices.h"

#include "serial/serio.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pw::app {

ComDevices ParseComDevices(const std::string& text) {
    ComDevices devices;
    for (std::uint32_t i = 0; i < COM_NAME_COUNT; ++i) {
        devices[i] = serio_default_device(i);
    }
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
    std::ostringstream text;
    if (in) {
        text << in.rdbuf();
    }
    return ParseComDevices(text.str());
}

std::string ComItemText(std::uint32_t comIndex, const ComDevices& devices, bool present) {
    std::string text = Format("COM%u", comIndex + 1);
    if (comIndex < devices.size() && !devices[comIndex].empty()) {
        text += " (" + devices[comIndex] + ")";
        if (!present) {
            text += COM_DEVICE_ABSENT_MARK;
        }
    }
    return text;
}

std::string ComPortDevice(std::uint32_t comIndex, const ComDevices& devices) {
    if (comIndex >= devices.size()) {
        return {};
    }
    // The serial layer knows the device of an open port; before it starts, the file does.
    const std::string used = serio_port_device(comIndex);
    return used.empty() ? devices[comIndex] : used;
}

std::vector<std::string> ComListItems(const ComDevices& devices) {
    std::vector<std::string> items;
    for (std::uint32_t i = 0; i < devices.size(); ++i) {
        items.push_back(ComItemText(i, devices, serio_device_present(devices[i])));
    }
    return items;
}

std::vector<DeviceChoice> DeviceChoices(const std::string& devDir) {
    std::vector<DeviceChoice> choices;
    for (const SerioDevice& d : serio_find_devices(devDir)) {
        const std::size_t slash = d.path.rfind('/');
        choices.push_back(DeviceChoice{
            d.path == d.node ? d.path : d.path.substr(slash + 1) + " (" + d.node + ")", d.path});
    }
    return choices;
}

std::string AssignComDevice(ComDevices& devices, std::uint32_t comIndex, const std::string& path) {
    const std::uint32_t err = comIndex < devices.size() ? serio_assign_device(comIndex, path)
                                                        : static_cast<std::uint32_t>(EINVAL);
    if (err != 0) {
        return Format(COM_DEVICE_ASSIGN_FAILED_FORMAT, comIndex + 1, path.c_str(),
                      std::strerror(static_cast<int>(err)));
    }
    devices[comIndex] = path;
    return Format(COM_DEVICE_ASSIGNED_FORMAT, comIndex + 1, path.c_str());
}

} // namespace pw::app
