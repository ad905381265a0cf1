// The configuration as JSON: every setting of the data file with readable names and values, for
// --export and --import. Port kinds, parity and stop bits are words, baud rates and COM numbers
// numbers, switches booleans, the generator's data text (hex digit pairs when its "Hex" is on).
// Importing an export gives back the same data file byte for byte for every link in use: bytes
// a text field holds after its end (a longer name overwritten by a shorter one) and a stored
// remoteAddr are carried too, in keys that appear only when they are not zero. Plain functions,
// any thread. The format is shown in README.md.
#pragma once

#include "app/core/com_devices.h"
#include "store/datafile.h"

#include <string>

namespace pw::app {

// The JSON text (ending in a newline) of the four switches and the links in use, in id order.
[[nodiscard]] std::string ExportConfigJson(const SettingsBlock& settings, const LinkTable& table);

struct ImportResult {
    bool ok = false;
    std::string error; // when !ok: one line naming the link, the port and the field
};

// Reads `text` into `settings` and `table`. The table starts as `base` (the data file's present
// table, whose free entries keep their bytes) with every entry free and its linkId its index;
// each link of the text takes the entry of its "id", or without one the lowest free entry. A key
// left out takes the value a new link has in the link dialog. Every value is checked as the link
// dialog checks it (the fields of the port's kind, the forwarding values only without "forward
// instantly", the generator's only when it runs), and each link as its Save is checked against
// the others (names, COM ports, TCP server and UDP port numbers, with `devices` as the COM names).
// Stops at the first failure; `settings` and `table` then hold a part of the text.
[[nodiscard]] ImportResult ImportConfigJson(const std::string& text, const LinkTable& base,
                                            const ComDevices& devices, SettingsBlock& settings,
                                            LinkTable& table);

} // namespace pw::app
