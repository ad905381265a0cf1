// Which device each COM choice of the link dialog opens, and the choice of another one. The
// serial layer maps COMn to a device path through the optional text file "portweave.ports" in
// the working directory (lines "COM3=/dev/ttyUSB0", blank lines and "#" comments allowed, the
// "COM" prefix in any letter case, later lines winning), else to its default device; each line
// is read by the serial layer's own line reader, so the dialog shows what the layer opens. The
// COM lists show every COM number with its device and mark a device that is not there; the
// device picker offers the serial devices of the machine, and assigning one goes through the
// serial layer, which rewrites the file and opens the new device from the next activation on.
// Main thread.
#pragma once

#include "app/core/texts.h"

#include <array>
#include <string>
#include <vector>

namespace pw::app {

constexpr char COM_DEVICE_FILE_NAME[] = "portweave.ports";
// Appended to a COM list item whose device is not on the machine.
constexpr char COM_DEVICE_ABSENT_MARK[] = " - not present";
// The device picker's first item, which assigns nothing.
constexpr char DEVICE_PICKER_PROMPT[] = "Assign a device to this COM port...";
// Events of an assignment: the COM number, the device, and for a failure the system's reason.
constexpr char COM_DEVICE_ASSIGNED_FORMAT[] = "COM%u assigned to %s";
constexpr char COM_DEVICE_ASSIGN_FAILED_FORMAT[] = "COM%u could not be assigned to %s: %s";

// Device path of COM1 to COM32 by COM index: the file's mapping, else the layer's default.
using ComDevices = std::array<std::string, COM_NAME_COUNT>;

// Parses the text of a mapping file. Lines that are not "COMn=path" with n from 1 to 100 and a
// path of 1 to 255 bytes are ignored, as the serial layer ignores them.
[[nodiscard]] ComDevices ParseComDevices(const std::string& text);

// Reads and parses the file at `path`; every COM number has its default device when it cannot
// be read.
[[nodiscard]] ComDevices LoadComDevices(const std::string& path);

// The text of a COM list item: "COM3 (/dev/ttyUSB0)", with COM_DEVICE_ABSENT_MARK when the
// device is not `present`. An empty entry (no device known) gives "COM3" alone.
[[nodiscard]] std::string ComItemText(std::uint32_t comIndex, const ComDevices& devices,
                                      bool present = true);

// The device COM index `comIndex` uses, for "Port Details": while its port is open, the device
// it opened (an assignment since then waits for the next activation), else the one it opens next;
// empty past the COM lists.
[[nodiscard]] std::string ComPortDevice(std::uint32_t comIndex, const ComDevices& devices);

// The items of a COM list, COM1 to COM32, each marked as the serial layer finds its device.
[[nodiscard]] std::vector<std::string> ComListItems(const ComDevices& devices);

// One item of the device picker.
struct DeviceChoice {
    std::string text; // "usb-FTDI_FT232R_A1-if00-port0 (/dev/ttyUSB0)" or "/dev/ttyACM0"
    std::string path; // what the COM number is given: the stable link, else the node
};

// The serial devices present under `devDir`, as the picker offers them after its prompt.
[[nodiscard]] std::vector<DeviceChoice> DeviceChoices(const std::string& devDir = "/dev");

// Gives COM index `comIndex` the device `path`: the serial layer rewrites the mapping file in
// the working directory and opens `path` from the port's next activation on; `devices` follows.
// Returns the event text of the outcome (COM_DEVICE_ASSIGNED_FORMAT or, with `devices` as it
// was, COM_DEVICE_ASSIGN_FAILED_FORMAT).
[[nodiscard]] std::string AssignComDevice(ComDevices& devices, std::uint32_t comIndex,
                                          const std::string& path);

} // namespace pw::app
