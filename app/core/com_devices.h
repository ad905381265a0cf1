// Which device each COM choice of the link dialog opens, so that the dialog can show it beside
// the COM name. The serial layer maps COMn to a device path through the optional text file
// "portweave.ports" in the working directory (lines "COM3=/dev/ttyUSB0", blank lines and "#"
// comments allowed, the "COM" prefix in any letter case, later lines winning); each line is read
// by the serial layer's own line reader, so the dialog shows what the layer opens. Only what the
// file maps is recorded: an unmapped COMn stays empty (the layer then opens /dev/ttyS<n-1>).
#pragma once

#include "app/core/texts.h"

#include <array>
#include <string>

namespace pw::app {

constexpr char COM_DEVICE_FILE_NAME[] = "portweave.ports";

// Device path of COM1 to COM32 by COM index; empty where the file maps nothing.
using ComDevices = std::array<std::string, COM_NAME_COUNT>;

// Parses the text of a mapping file. Lines that are not "COMn=path" with n from 1 to 100 and a
// path of 1 to 255 bytes are ignored, as the serial layer ignores them.
[[nodiscard]] ComDevices ParseComDevices(const std::string& text);

// Reads and parses the file at `path`; all empty when it cannot be read.
[[nodiscard]] ComDevices LoadComDevices(const std::string& path);

// The text of a COM list item: "COM3" or, when mapped, "COM3 (/dev/ttyUSB0)".
[[nodiscard]] std::string ComItemText(std::uint32_t comIndex, const ComDevices& devices);

} // namespace pw::app
