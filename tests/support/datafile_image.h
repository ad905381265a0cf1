// Link entries and data file images for the tests that start the application on a stored
// configuration and read back what it saved. Plain byte images, independent of the store's own
// loader, so that a test sees the file as the next start would.
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

// Writes the image of `settings` and `table` as `dir`/portweave.dta.
void write_data_file(const std::string& dir, const SettingsBlock& settings, const LinkTable& table);
// Reads it back; false unless the file is exactly DATA_FILE_SIZE bytes long.
bool read_data_file(const std::string& dir, SettingsBlock& settings, LinkTable& table);
// A whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

} // namespace testsupport
