// Data file images built apart from the store's own code, so that a test sees the file as the
// next start would.
#pragma once

#include "store/datafile.h"

#include <string>

namespace testsupport {

// A TCP server port on `ipPort` forwarding at once; `active` as stored.
PortConfig tcp_server_port(std::uint16_t ipPort, bool active);
// A serial port on COM index `comIndex` (0 is COM1) at 9600 bits/s, 8N1, forwarding at once.
PortConfig serial_port(std::uint32_t comIndex, bool active);
// Entry `id` in use, named `name`, with the two ports.
void set_link(LinkTable& table, std::uint32_t id, const char* name, const PortConfig& p1,
              const PortConfig& p2);

// The file's bytes for `settings` and `table`, and that image written as `dir`/portweave.dta.
std::string data_file_image(const SettingsBlock& settings, const LinkTable& table);
void write_data_file(const std::string& dir, const SettingsBlock& settings, const LinkTable& table);
// The link table of an image; what the image lacks stays zero.
LinkTable table_of(const std::string& image);
// A whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

} // namespace testsupport
