// The texts of the link configuration, send buffer and About dialogs: captions, choice lists,
// check messages and event texts. Plain constants, any thread.
#pragma once

#include <cstdint>

namespace pw::app {

// ---- link configuration dialog ----
constexpr char TITLE_ADD_LINK[] = "Add New Link";
constexpr char TITLE_EDIT_LINK[] = "Edit Link";

constexpr char LABEL_LINK_NAME[] = "Descriptive Link Name:";
constexpr const char* PORT_GROUP_CAPTIONS[] = {"PORT 1 Configuration", "PORT 2 Configuration"};
constexpr char CHECK_ACTIVATE_ON_SAVE[] = "Activate on save";
constexpr char LABEL_PORT_TYPE[] = "Port Type:";
constexpr char LABEL_COM_PORT[] = "COM Port";
constexpr char LABEL_BAUD_RATE[] = "Baud Rate";
constexpr char LABEL_DATA_BITS[] = "Data Bits";
constexpr char LABEL_PARITY[] = "Parity";
constexpr char LABEL_STOP_BITS[] = "Stop Bits";
constexpr char CHECK_FLOW_CONTROL[] = "Hardware Flow Control (RTS/CTS)";
constexpr char LABEL_IP_PROTOCOL[] = "IP Protocol Type:";
constexpr char LABEL_TCP_ROLE[] = "Client or Server:";
constexpr char LABEL_IP_PORT[] = "IP Port Number:";
constexpr char LABEL_REMOTE_HOST[] = "Remote IP Address or Domain Name:";
// The forwarding heading of P1 names P2 and the other way round.
constexpr const char* FORWARD_HEADINGS[] = {"Forward to PORT 2 on these conditions:",
                                            "Forward to PORT 1 on these conditions:"};
constexpr char CHECK_FWD_INSTANT[] = "Forward instantly on data receive";
constexpr char CHECK_FWD_BUFFER_FULL[] = "On Buffer Full, Buf Size:";
constexpr char CHECK_FWD_INTER_CHAR[] = "Interchar Timeout (ms):";
constexpr char CHECK_FWD_FRAME_END[] = "Frame End Character:";
constexpr char HEADING_RECONNECT[] = "Automatic Port Re-connect Options";
constexpr char CHECK_AUTO_RECONNECT[] = "Auto Reconnect in (secs)";
constexpr char HEADING_DIAGNOSTICS[] = "Diagnostics Options";
constexpr char CHECK_LOOPBACK[] = "Port Loopback (Echo Received Data)";
constexpr char CHECK_GEN_TRAFFIC[] = "Generate Traffic (Send buffer)";
constexpr char RADIO_GEN_HEX[] = "Hex";
constexpr char RADIO_GEN_ASCII[] = "Ascii";
constexpr char LABEL_GEN_EVERY[] = "Send buffer every";
constexpr char LABEL_GEN_MILLISECONDS[] = "milliseconds";
constexpr char BUTTON_SAVE[] = "Save";
constexpr char BUTTON_CANCEL[] = "Cancel";

// Choice lists: the stored value is the item's position.
constexpr const char* PORT_TYPE_ITEMS[] = {"Serial/COM", "TCP/UDP"};
constexpr const char* BAUD_RATE_ITEMS[] = {"110",   "300",   "600",    "1200",   "2400",
                                           "4800",  "9600",  "14400",  "19200",  "38400",
                                           "56000", "57600", "115200", "128000", "256000"};
constexpr const char* DATA_BITS_ITEMS[] = {"5", "6", "7", "8"};
constexpr const char* PARITY_ITEMS[] = {"EVEN", "MARK", "NONE", "ODD", "SPACE"};
constexpr const char* STOP_BITS_ITEMS[] = {"1", "1.5", "2"};
constexpr const char* IP_PROTOCOL_ITEMS[] = {"TCP", "UDP"};
constexpr const char* TCP_ROLE_ITEMS[] = {"Client", "Server"};

// Check messages, shown in a box owned by the dialog; the dialog stays open.
constexpr char MSG_EMPTY_NAME[] = "Please enter non empty link name";
constexpr char MSG_NAME_USED_FORMAT[] =
    "Name %s already used by an existing link (# %d), please enter a different name";
constexpr char MSG_SAME_COM_FORMAT[] =
    "Same port COM%u cannot be configured on both ports of link %s";
constexpr char MSG_COM_USED_FORMAT[] = "port COM%u already used by link %s";
constexpr char MSG_BUFFER_SIZE_FORMAT[] = "Invalid buffer size. Please use buffer size 1 to %u";
constexpr char MSG_ZERO_INTER_CHAR[] = "Please enter a non zero interchar timeout value";
constexpr char MSG_ZERO_RECONNECT[] = "Please enter a non zero auto-reconnect interval";
constexpr char MSG_GEN_HEX_FORMAT[] = "Invalid traffic generator hex data of PORT %u: %s";
constexpr char MSG_ZERO_GEN_PERIOD[] = "Please enter a non zero traffic generator period";
constexpr char MSG_IP_PORT_RANGE_FORMAT[] =
    "Invalid IP port number. Please use IP port number 1 to %u";
constexpr char MSG_IP_PORT_USED_FORMAT[] = "%s port %u already used by link %s"; // TCP or UDP
constexpr char MSG_NO_REMOTE_HOST[] =
    "Please enter a remote IP address or domain name for the TCP client";

// Event texts of the link commands.
constexpr char MAX_LINKS_REACHED_TEXT[] = "Cannot create new link (max number of links reached)";
constexpr char NO_FREE_LINKS_TEXT[] = "No free links available: cannot add new link.";

// Remove Link's confirmation box.
constexpr char CONFIRM_DELETE_FORMAT[] = "Confirm Delete Link %s";
constexpr char CONFIRM_DELETE_CAPTION[] = "Delete Confirmation";

// ---- send buffer dialog ----
constexpr char TITLE_SEND_BUFFER[] = "Send Buffer";
constexpr char LABEL_SELECTED_LINK[] = "Selected Link:";
constexpr char LINK_LINE_FORMAT[] = "Link (%u) name: %s";
constexpr char LABEL_SELECT_PORT[] = "Please Select Port:";
constexpr char RADIO_SEND_HEX[] = "Hex";
constexpr char RADIO_SEND_ASCII[] = "ASCII";
constexpr char LABEL_BUFFER_TO_SEND[] = "Buffer to send:";
constexpr char CHECK_APPEND_CR[] = "Append CR (0x0D)";
constexpr char BUTTON_SEND[] = "Send";

constexpr char NO_PORT_SELECTED_TEXT[] = "cannot send buffer: no port selected";
constexpr char HEX_CONVERSION_FAILED_FORMAT[] =
    "cannot send buffer: error converting from hex (%s)";
// Why a hex text was refused, for the two messages above.
constexpr char HEX_NOT_A_DIGIT_FORMAT[] = "not a hex digit at position %zu";
constexpr char HEX_ODD_DIGITS_TEXT[] = "odd number of hex digits";
constexpr char BUFFER_SENT_FORMAT[] = "Test buffer sent on Link (%u) %s P%u";
constexpr char BUFFER_SEND_FAILED_FORMAT[] = "Buffer tx Link (%u) P%u failed: %s";

// ---- About dialog, help, product page ----
constexpr char TITLE_ABOUT[] = "About Portweave";
constexpr char LABEL_VERSION[] = "Version: ";
constexpr char BUTTON_PRODUCT_WEB[] = "Product Web";
constexpr char LABEL_CONTACT[] = "Contact Vendor: ";
constexpr char BUTTON_CLOSE[] = "Close";
constexpr char VENDOR_CONTACT[] = "The Portweave developers\n"
                                  "Questions, bug reports and ideas are welcome\n"
                                  "through the project's issue tracker";

// The pages shipped with the program, opened in the desktop's browser.
constexpr char HELP_PAGE_FILE_NAME[] = "portweave_help.html";
constexpr char PRODUCT_PAGE_FILE_NAME[] = "portweave_product.html";

} // namespace pw::app
