// Windows backend of the serial layer's device names: the name file's atomic replacement and the
// COM ports the system knows. Windows has no device directory to scan: the ports are the "COMn"
// names of the DOS device namespace, and the directory argument is not used.
#include "serial/serio_internal.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pw::serio::os {

namespace {

constexpr char TEMP_SUFFIX[] = ".tmp";
constexpr char DEVICE_PREFIX[] = "\\\\.\\";   // the device form of a name
constexpr DWORD DOS_NAMES_BYTES = 256 * 1024; // every DOS device name of the system

int last_error() {
    return static_cast<int>(GetLastError());
}

// "COM3" of "COM3" or "\\.\COM3".
std::string dos_name(const std::string& path) {
    return path.rfind(DEVICE_PREFIX, 0) == 0 ? path.substr(std::strlen(DEVICE_PREFIX)) : path;
}

unsigned long com_number(const std::string& name) {
    return std::strtoul(name.c_str() + 3, nullptr, 10);
}

} // namespace

int replace_text_file(const char* path, const std::string& text) {
    const std::string temp = std::string(path) + TEMP_SUFFIX;
    const HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    DWORD written = 0;
    int err = 0;
    if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(h)) {
        err = last_error();
    }
    CloseHandle(h);
    if (err == 0 &&
        !MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        err = last_error();
    }
    if (err != 0) {
        DeleteFileA(temp.c_str());
    }
    return err;
}

bool device_present(const std::string& path) {
    char target[1024];
    return QueryDosDeviceA(dos_name(path).c_str(), target, sizeof target) != 0;
}

std::vector<SerioDevice> find_devices(const std::string& /*devDir*/) {
    std::vector<char> names(DOS_NAMES_BYTES);
    const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::vector<std::string> ports;
    for (DWORD at = 0; at < n && names[at] != '\0';
         at += static_cast<DWORD>(std::strlen(&names[at])) + 1) {
        const std::string name = &names[at];
        if (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
            std::all_of(name.begin() + 3, name.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            ports.push_back(name);
        }
    }
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return com_number(a) < com_number(b);
    });
    std::vector<SerioDevice> found;
    for (const std::string& port : ports) {
        const std::string path = com_number(port) < 10 ? port : DEVICE_PREFIX + port;
        found.push_back(SerioDevice{path, path});
    }
    return found;
}

} // namespace pw::serio::os
