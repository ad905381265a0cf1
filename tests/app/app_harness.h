// One run of the application's logic without widgets: a session on a temporary directory with
// its own log, the queues the engine's reports travel through, and the main dialog's logic. The
// test plays the main thread: pump() takes what the queues hold and applies it.
#pragma once

#include "app/core/link_form.h"
#include "app/core/main_dialog_logic.h"
#include "app/core/row_queue.h"
#include "app/core/session.h"
#include "app/core/status_queue.h"
#include "tests/app/app_test_util.h"
#include "tests/support/loopback.h"

#include <chrono>
#include <cstring>
#include <string>

namespace apptest {

inline pw::LogOptions LogIn(const TempDir& dir) {
    pw::LogOptions options;
    options.directory = dir.str();
    return options;
}

// A UDP port on `ipPort` sending to 127.0.0.1.
inline PortConfig UdpPort(std::uint16_t ipPort, bool active) {
    PortConfig p = TcpServerPort(ipPort, active);
    p.ipProtocol = IP_PROTO_UDP;
    std::strcpy(p.remoteHost, "127.0.0.1");
    return p;
}

inline testsupport::Fd ConnectWhenListening(std::uint16_t port) {
    testsupport::Fd fd;
    testsupport::wait_until([&] {
        fd = testsupport::tcp_connect(port);
        return fd.valid();
    });
    return fd;
}

// The socket layer closes a listening socket on its own thread, a moment after the call.
inline bool Closed(std::uint16_t port) {
    return testsupport::wait_until([&] { return !testsupport::tcp_connect(port).valid(); });
}

// A form for a link of two TCP servers, P1 activated on save, as the user fills in the dialog.
inline pw::app::LinkForm ServerForm(const LinkConfig& start, const char* name, std::uint16_t p1,
                                    std::uint16_t p2) {
    pw::app::LinkForm form = pw::app::FormOf(start);
    form.name = name;
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        form.port[p].portType = PORT_TYPE_IP;
        form.port[p].ipProtocol = IP_PROTO_TCP;
        form.port[p].tcpRole = TCP_ROLE_SERVER;
        form.port[p].ipPort = std::to_string(p == 0 ? p1 : p2);
    }
    form.port[0].activateOnSave = true;
    return form;
}

class AppHarness {
public:
    explicit AppHarness(pw::app::EngineCalls calls = {})
        : log(LogIn(dir)), rows([] {}), status([] {}),
          session(pw::app::SessionOptions{dir.str(), &log, calls}),
          logic(session.state(), log, calls) {
        session.setStatusQueue(&status);
    }
    ~AppHarness() { stop(); }
    AppHarness(const AppHarness&) = delete;
    AppHarness& operator=(const AppHarness&) = delete;

    // Writes the data file, starts the session and attaches the lists.
    bool start(const SettingsBlock& settings, const LinkTable& table) {
        WriteDataFile(dir.str(), settings, table);
        return start();
    }
    bool start() {
        char err[ERR_TEXT_SIZE] = {};
        const bool ok = session.start(err);
        log.setSink(&rows);
        return ok;
    }
    void stop() {
        log.setSink(nullptr);
        session.stop();
        session.setStatusQueue(nullptr);
    }
    // The main thread's turn: rows to the lists, status reports to the links list.
    void pump() {
        model.apply(rows.take());
        for (const LinkStatus& s : status.take()) {
            logic.showLinkStatus(s);
        }
    }
    template <class Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return testsupport::wait_until(
            [&] {
                pump();
                return pred();
            },
            limit);
    }
    pw::app::AppState& state() { return session.state(); }
    std::string statusText(int row) { return state().links.row(row).status; }

    TempDir dir;
    pw::LogStore log;
    pw::app::RowQueue rows;
    pw::app::StatusQueue status;
    pw::app::Session session;
    pw::app::MainDialogLogic logic;
    ListModel model;
};

} // namespace apptest
