// The send buffer dialog without its widgets: the texts of its link line and port list, turning
// the typed text into the bytes to send, and Send with its outcome events. The dialog works on
// the links list's selected entry at the moment of each action. Main thread only, except the
// plain functions, which any thread may call.
#pragma once

#include "app/core/app_state.h"
#include "app/core/engine_calls.h"
#include "store/logs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pw::app {

constexpr std::size_t SEND_TEXT_MAX = 198; // characters of the buffer text that are used
constexpr std::uint8_t SEND_CR = 0x0D;     // "Append CR (0x0D)"

// "Link (<id>) name: <name>".
[[nodiscard]] std::string SendLinkLine(std::uint32_t linkId, const LinkConfig& config);
// A port list entry, "P%u %s %s": "P1 Serial COM3", "P2 IP TCP Server 1001", "P1 IP UDP 502".
[[nodiscard]] std::string SendPortEntry(std::uint32_t portId, const PortConfig& port);

// The bytes one Send hands to the engine, or the event that ends it instead.
struct SendPlan {
    bool ok = false;
    std::vector<std::uint8_t> bytes; // at most 99 (hex) or 198 (ASCII) bytes, plus the CR
    std::string failureEvent;        // when !ok: NO_PORT_SELECTED_TEXT or the hex failure
};
// `portIndex` is the port list's position (0 P1, 1 P2; anything else is no selection). The text
// ends at its first zero byte and only its first SEND_TEXT_MAX characters count. Hex: the hex
// pair conversion, separators skipped; a character that is neither a digit nor a separator, or
// an odd digit count, fails with HEX_CONVERSION_FAILED_FORMAT naming the position or the odd
// count, and nothing is sent. ASCII: the characters' bytes as they are (the widget gives one
// byte per character). A CR is appended when asked, also to an empty text.
[[nodiscard]] SendPlan PlanSend(int portIndex, const std::string& text, bool ascii, bool appendCr);

class SendBufferLogic {
public:
    SendBufferLogic(AppState& state, LogStore& log, EngineCalls engine = {});

    // Send Buffer. Nothing while a dialog is open. Without a selected entry the dialog closes as
    // soon as it opens: false, `dialogOpen` clear. True when the dialog is to open, with
    // `dialogOpen` set and the link line and port entries of the selected entry.
    bool open();
    [[nodiscard]] bool isOpen() const { return open_; }
    [[nodiscard]] const std::string& linkLine() const { return linkLine_; }
    [[nodiscard]] const std::string& portEntry(std::uint32_t portId) const {
        return portEntries_[portId % PORTS_PER_LINK];
    }

    // Send on the link selected now (which may differ from the one the link line names), then
    // close. No selected entry: close silently. Otherwise one event: the failure of the plan,
    // "Test buffer sent on Link (%u) %s P%u", or "Buffer tx Link (%u) P%u failed: %s" with the
    // engine's reason.
    void send(int portIndex, const std::string& text, bool ascii, bool appendCr);

    // Cancel, or the dialog went away: `dialogOpen` is cleared. Nothing when not open.
    void close();

private:
    AppState& state_;
    LogStore& log_;
    EngineCalls engine_;
    bool open_ = false;
    std::string linkLine_;
    std::string portEntries_[PORTS_PER_LINK];
};

} // namespace pw::app
