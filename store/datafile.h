// The data file "portweave.dta": all that the application remembers between runs.
//
// The file is the byte image of the SettingsBlock (four switches of the main window) followed by
// the LinkTable (32 link entries): 14576 bytes, unsigned 32-bit little-endian integers, no
// signature, version or checksum; the layout is fixed by position. It is read once at start-up,
// before the engine starts, and written after every change the user makes while the program runs
// and once more at orderly exit. Both calls run on the main thread and read or write only the
// records they are given, which the main thread owns, and the LogStore's switches, which are
// safe from any thread.
//
// Load and save report their failures as events (through a LogStore), never by a dialog. An event
// that neither a list nor event.log can show (no list yet at start-up, none left at exit) goes to
// standard error as a diagnostic instead.
#pragma once

#include "engine/records.h"
#include "store/logs.h"

#include <cstddef>
#include <cstdint>
#include <string>

constexpr char DATA_FILE_NAME[] = "portweave.dta";
constexpr std::uint32_t SELECTED_ROW_NONE = 0xFFFFFFFFu; // selectedLinkRow: no row selected

// Event texts of the data file. The error code is the system's error number, in lower-case
// hexadecimal without leading zeros.
constexpr char DATA_FILE_READ_FAILED_TEXT[] = "Failed to read data file";
constexpr char DATA_FILE_OPEN_FAILED_FORMAT[] = "Failed to open data file for writing err=0x%x";
constexpr char DATA_FILE_WRITE_FAILED_FORMAT[] = "Failed to write data file err=0x%x";

#pragma pack(push, 1)

// The main window's switches (16 bytes, file offset 0).
struct SettingsBlock {
    std::uint32_t logEventsToFile; // 1 while "Log Events to File" is checked, else 0
    std::uint32_t logTraceToFile;  // 1 while "Log Trace to File" is checked, else 0
    std::uint32_t selectedLinkRow; // row index of the links list; SELECTED_ROW_NONE for none
    std::uint32_t traceAscii;      // 1: the trace Data column shows ASCII; 0: hex
};

// One link entry (455 bytes, file offset 16 + 455 x index).
struct LinkEntry {
    std::uint32_t linkId; // the entry's index 0 to 31; rewritten from the index at every load
    std::uint32_t inUse;  // 1 while the entry holds a configured link, 0 for a free entry
    LinkConfig config;    // the link, byte for byte; a free entry keeps its last link's bytes
};

// The application's table of links (14560 bytes, file offset 16).
struct LinkTable {
    LinkEntry entry[MAX_LINKS];
};

#pragma pack(pop)

static_assert(sizeof(SettingsBlock) == 16);
static_assert(sizeof(LinkEntry) == 455);
static_assert(sizeof(LinkTable) == 14560);

constexpr std::size_t DATA_FILE_SIZE = sizeof(SettingsBlock) + sizeof(LinkTable); // 14576 bytes
static_assert(DATA_FILE_SIZE == 14576);

// Reads "portweave.dta" from the current directory into `settings` and `table`, reporting
// through ProcessLog(). See pw::LoadDataFileFrom. Main thread, before the engine starts.
bool LoadDataFile(SettingsBlock& settings, LinkTable& table);

// Writes `settings` and `table` to "portweave.dta" in the current directory, reporting through
// ProcessLog(). See pw::SaveDataFileTo. Main thread, whether or not the engine runs.
void SaveDataFile(const SettingsBlock& settings, const LinkTable& table);

namespace pw {

// One write step of the save: as POSIX write(), a count of bytes written or -1 with errno set.
// Tests hand one that fails part way, as a full disk or a crash would.
using DataFileWriteStep = long (*)(int fd, const void* data, std::size_t size);

struct DataFileOptions {
    std::string directory;        // where "portweave.dta" lives; empty: the current directory
    DataFileWriteStep write = {}; // null: the system's write
};

// Load. Both records are zeroed first, then filled from the file's start: 16 bytes of settings,
// then 14560 bytes of table; bytes past 14576 are not read. Returns true when both parts were
// read in full. A file that does not exist or cannot be opened: false, and nothing is said. A
// short file or a read error: DATA_FILE_READ_FAILED_TEXT is logged and false returned; the bytes
// that did arrive stay, the rest stays zero. Whatever the outcome:
//   - every entry's linkId is set to its index (a stored value is never trusted);
//   - an inUse other than 1 becomes 0 (only a damaged file holds one): the entry is free, since
//     the application lists and opens only entries whose inUse is 1 and reuses only those whose
//     inUse is 0;
//   - a link name or remote host text without a zero inside its 41-byte field is cut to its
//     first 40 characters (its last byte becomes zero), so no reader runs past the field;
//   - `log` takes the loaded switches (logEventsToFile, logTraceToFile, traceAscii, each on when
//     it is 1) before anything is logged, so a failure reaches event.log only when the switch
//     just read is 1; and it takes every entry's port kinds for its trace port texts.
// No other validation is done.
bool LoadDataFileFrom(const DataFileOptions& options, SettingsBlock& settings, LinkTable& table,
                      LogStore& log);

// Save. Writes the 14576-byte image (the three log switches as `log` holds them now, 1 or 0;
// selectedLinkRow from `settings`; then `table`) without ever leaving a damaged file: the image
// goes to "portweave.dta.tmp" in the same directory, followed by the bytes that a longer existing
// file holds beyond offset 14575, is flushed to disk and then renamed over "portweave.dta". The
// file's permissions, owner and group are kept (the owner and group as far as the system lets
// this process give them). Until the rename, a crash or a failure leaves the previous file as it
// was; a failed save removes its temporary file.
// Failures, logged through `log` (to standard error when no list or file shows them):
//   - the existing file cannot be opened for writing, or the temporary file cannot be created:
//     DATA_FILE_OPEN_FAILED_FORMAT with the error number;
//   - writing, flushing, reading the old file's tail or renaming fails:
//     DATA_FILE_WRITE_FAILED_FORMAT with the error number.
// Nothing is retried. Returns the failure's event text as logged, or an empty text when the file
// was saved.
std::string SaveDataFileTo(const DataFileOptions& options, const SettingsBlock& settings,
                           const LinkTable& table, LogStore& log);

} // namespace pw
