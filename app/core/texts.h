// The application's own texts (captions, titles, list headers, event texts) and the functions
// that build the texts of the links list, the statistics list and the activate buttons from the
// link records. Plain functions of their arguments: no window system, no engine. Any thread.
#pragma once

#include "engine/records.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pw::app {

// Product and notification area.
constexpr char PRODUCT_TITLE[] = "Portweave v2.0.5"; // the main window's title
constexpr char PRODUCT_VERSION[] = "2.0.5";
// The vendor's notice line: the About dialog and the second line of the maximized banner.
constexpr char PRODUCT_NOTICE[] = "Serial to IP bridge by the Portweave developers";
constexpr char TRAY_TIP[] = "Portweave Serial to IP Bridge";
constexpr char BACKGROUND_NOTICE[] = "Portweave is running in the background";
constexpr char TRAY_MENU_SHOW[] = "Show"; // the icon's menu: "Show", then Exit as in Tools
constexpr int BALLOON_TIMEOUT_MS = 3000;
constexpr char WEAVE_INIT_FAILED_CAPTION[] = "WeaveInit failed";

// Menus. The toolbar names two of the commands differently ("Delete Link", "Online Help").
constexpr char MENU_TOOLS[] = "Tools";
constexpr char MENU_ABOUT[] = "About";
constexpr char CMD_NEW_LINK[] = "New Link";
constexpr char CMD_EDIT_LINK[] = "Edit Link";
constexpr char CMD_REMOVE_LINK[] = "Remove Link";
constexpr char CMD_SEND_BUFFER[] = "Send Buffer";
constexpr char CMD_EXIT[] = "Exit";
constexpr char CMD_HELP[] = "Help";
constexpr char CMD_ABOUT[] = "About";
constexpr char CMD_PRODUCT_WEB[] = "Product on the web";
constexpr char TOOL_DELETE_LINK[] = "Delete Link";
constexpr char TOOL_ONLINE_HELP[] = "Online Help";

// Controls of the main dialog.
constexpr char LABEL_CONFIGURED_LINKS[] = "Configured Links";
constexpr char LABEL_SELECTED_LINK_STATS[] = "Selected Link Stats";
constexpr char LABEL_LINK_TRACE[] = "Link Trace";
constexpr char BUTTON_CLEAR_STATS[] = "Clear Stats";
constexpr char BUTTON_CLEAR_TRACE[] = "Clear Trace";
constexpr char CHECK_ENABLE_TRACING[] = "Enable Tracing";
constexpr char CHECK_LOG_TRACE[] = "Log Trace to File";
constexpr char CHECK_LOG_EVENTS[] = "Log Events to File";
constexpr char CHECK_HEX[] = "Hex";
constexpr char CHECK_ASCII[] = "ASCII";

// One list column: its header text and its width in percent of the list's client width.
struct ColumnSpec {
    const char* caption; // header text
    int percent;         // percent of the list's client width at creation
};
constexpr ColumnSpec LINKS_COLUMNS[] = {
    {"Link Name", 26}, {"Port 1", 22}, {"Port 2", 22}, {"Status", 30}};
constexpr ColumnSpec STATS_COLUMNS[] = {{"Attributes / Ports", 32}, {"Port 1", 34}, {"Port 2", 34}};
// The event list hides its header; its second column fills the rest of the list.
constexpr ColumnSpec EVENT_COLUMNS[] = {{" ", 30}, {" ", 70}};
// The last column ("Data") fills the rest of the list.
constexpr ColumnSpec TRACE_COLUMNS[] = {
    {"Timestamp", 20}, {"Link/Port", 15}, {"RX/TX", 7}, {"Len", 7}, {"Data", 29}};
constexpr int LINKS_COLUMN_STATUS = 3; // index of the "Status" column of the links list

// The statistics list's five fixed rows, in order.
enum StatsRow : int {
    STATS_ROW_PORT_TYPE = 0,
    STATS_ROW_PORT_DETAILS = 1,
    STATS_ROW_PORT_STATUS = 2,
    STATS_ROW_TX_BYTES = 3,
    STATS_ROW_RX_BYTES = 4,
    STATS_ROW_COUNT = 5,
};
constexpr const char* STATS_ROW_LABELS[STATS_ROW_COUNT] = {
    "Port Type", "Port Details", "Port Status", "Transmitted Bytes", "Received Bytes"};

// Event texts of the application.
constexpr char SYSTEM_STARTUP_TEXT[] = "System startup";
constexpr char SYSTEM_SHUTDOWN_TEXT[] = "System shutdown";
constexpr char ADDED_LINK_VERB[] = "Added link";
constexpr char UPDATED_LINK_VERB[] = "Updated link";
constexpr char REMOVED_LINK_VERB[] = "Removed link";
constexpr char OPEN_LINK_FAILED_FORMAT[] = "Failed to open link %d";
constexpr char LINK_CONFIG_FAILED_FORMAT[] = "Link %d config failed: %s";
constexpr char ACTIVATION_ERROR_FORMAT[] = "Link %d Port %d activation error: %s";
constexpr char DEACTIVATION_ERROR_FORMAT[] = "Link %d Port %d deactivation error: %s";

// Lookup tables built at start-up: COM1 to COM32 for the COM port lists and the links list, and
// "00" to "ff" for the frame end character lists. Each has a trailing null entry, so that a list
// can be filled by walking it.
constexpr std::uint32_t COM_NAME_COUNT = 32;
constexpr std::uint32_t BYTE_HEX_COUNT = 256;
struct NameTables {
    char comSlots[COM_NAME_COUNT][6];             // "COM1" to "COM32"
    const char* comPortNames[COM_NAME_COUNT + 1]; // into comSlots, then null
    char hexSlots[BYTE_HEX_COUNT][4];             // "00" to "ff", lower case
    const char* byteHexTexts[BYTE_HEX_COUNT + 1]; // into hexSlots, then null
};
// Fills the tables (idempotent). Main thread, at start-up.
void BuildNameTables();
// The process's tables; empty (all null) until BuildNameTables has run.
[[nodiscard]] const NameTables& Names();

// A link name as text: at most LINK_NAME_MAX characters even when the field lost its zero.
[[nodiscard]] std::string NameOf(const LinkConfig& config);

// The word of the "Status" column for one port: Down, Waiting, Up, Listening or Connecting.
[[nodiscard]] const char* PortStateText(const PortConfig& config, std::uint32_t activated,
                                        std::uint32_t connected);

// "P1 (<word>) P2 (<word>)" for the "Status" column.
[[nodiscard]] std::string StatusColumnText(const char* port1Word, const char* port2Word);

// The "Port 1"/"Port 2" column text: the COM name ("COM3"), "TCP Client", "TCP Server" or
// "UDP port <n>". A COM index past the name table still reads "COM<n>".
[[nodiscard]] std::string PortColumnText(const PortConfig& config);

// "<verb> <id> (<name>) Port 0 (<port 1 text>) Port 1 (<port 2 text>)", the event of adding or
// updating a link (verb ADDED_LINK_VERB or UPDATED_LINK_VERB).
[[nodiscard]] std::string LinkEventText(const char* verb, std::uint32_t linkId,
                                        const LinkConfig& config);
// "Removed link <id> (<name>)".
[[nodiscard]] std::string RemovedLinkText(std::uint32_t linkId, const LinkConfig& config);

// printf into a std::string (the application's event texts are all short).
[[nodiscard]] std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The statistics cells of one port, P1 in column 1 and P2 in column 2 of the list.
struct PortStatsTexts {
    std::string cell[STATS_ROW_COUNT]; // by StatsRow
};
// The cells of one port from its configuration and the counters the engine gave. A serial port's
// "Port Details" names its `device` too, "COM3 (/dev/ttyUSB0)", when one is given.
[[nodiscard]] PortStatsTexts StatsTexts(const PortConfig& config, const PortStats& stats,
                                        const std::string& device = {});

// "Activate Port 1" / "Deactivate Port 1" (portId 0), "... Port 2" (portId 1).
[[nodiscard]] const char* ActivateCaption(std::uint32_t portId, bool activated);

} // namespace pw::app
