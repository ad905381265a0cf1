// Texts, bytes and the outcome of the send buffer dialog.
#include "app/core/send_buffer.h"

#include "app/core/dialog_texts.h"
#include "app/core/hex_pairs.h"
#include "app/core/texts.h"

namespace pw::app {

std::string SendLinkLine(std::uint32_t linkId, const LinkConfig& config) {
    return Format(LINK_LINE_FORMAT, linkId, NameOf(config).c_str());
}

std::string SendPortEntry(std::uint32_t portId, const PortConfig& port) {
    std::string detail;
    const char* type = "IP";
    if (port.portType == PORT_TYPE_SERIAL) {
        type = "Serial";
        detail = Format("COM%u", port.comIndex + 1);
    } else if (port.ipProtocol == IP_PROTO_UDP) {
        detail = Format("UDP %u", port.ipPort);
    } else {
        detail =
            Format("TCP %s %u", port.tcpRole == TCP_ROLE_SERVER ? "Server" : "Client", port.ipPort);
    }
    return Format("P%u %s %s", portId + 1, type, detail.c_str());
}

SendPlan PlanSend(int portIndex, const std::string& text, bool ascii, bool appendCr) {
    SendPlan plan;
    if (portIndex < 0 || portIndex >= static_cast<int>(PORTS_PER_LINK)) {
        plan.failureEvent = NO_PORT_SELECTED_TEXT;
        return plan;
    }
    std::string used = text.substr(0, text.find('\0'));
    used = used.substr(0, SEND_TEXT_MAX);
    if (ascii) {
        plan.bytes.assign(used.begin(), used.end());
    } else {
        plan.bytes.resize(used.size() / 2);
        const HexResult hex = HexPairsToBytes(used.data(), used.size(), plan.bytes.data());
        if (!hex.ok) {
            plan.bytes.clear();
            plan.failureEvent = Format(HEX_CONVERSION_FAILED_FORMAT, HexProblemText(hex).c_str());
            return plan;
        }
        plan.bytes.resize(hex.bytes); // separators give no bytes
    }
    if (appendCr) {
        plan.bytes.push_back(SEND_CR);
    }
    plan.ok = true;
    return plan;
}

SendBufferLogic::SendBufferLogic(AppState& state, LogStore& log, EngineCalls engine)
    : state_(state), log_(log), engine_(engine) {}

bool SendBufferLogic::open() {
    if (state_.dialogOpen) {
        return false;
    }
    const LinkEntry* entry = state_.selectedEntry();
    if (entry == nullptr) {
        return false; // opened and closed at once: nothing to show
    }
    linkLine_ = SendLinkLine(entry->linkId, entry->config);
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        portEntries_[p] = SendPortEntry(p, entry->config.port[p]);
    }
    state_.dialogOpen = true;
    open_ = true;
    return true;
}

void SendBufferLogic::send(int portIndex, const std::string& text, bool ascii, bool appendCr) {
    if (!open_) {
        return;
    }
    const LinkEntry* entry = state_.selectedEntry();
    if (entry != nullptr) {
        const SendPlan plan = PlanSend(portIndex, text, ascii, appendCr);
        if (!plan.ok) {
            log_.logEvent(plan.failureEvent.c_str());
        } else {
            const auto id = static_cast<std::int32_t>(entry->linkId);
            const auto portNumber = static_cast<std::uint32_t>(portIndex) + 1;
            // The engine is never handed a null pointer, also for zero bytes.
            static const std::uint8_t none = 0;
            const std::uint8_t* data = plan.bytes.empty() ? &none : plan.bytes.data();
            char errText[ERR_TEXT_SIZE] = {};
            if (engine_.sendBuffer(id, portIndex, data,
                                   static_cast<std::uint32_t>(plan.bytes.size()), errText) != 0) {
                log_.logEvent(Format(BUFFER_SENT_FORMAT, entry->linkId,
                                     NameOf(entry->config).c_str(), portNumber)
                                  .c_str());
            } else {
                log_.logEvent(
                    Format(BUFFER_SEND_FAILED_FORMAT, entry->linkId, portNumber, errText).c_str());
            }
        }
    }
    close();
}

void SendBufferLogic::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    state_.dialogOpen = false;
}

} // namespace pw::app
