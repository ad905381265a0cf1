// One run of the application's logic without widgets: a session on a temporary directory with
// its own log, the queues the engine's reports travel through, and the main dialog's logic. The
// test plays the main thread: pump() takes what the queues hold and applies it.
#pragma once

#include "app/core/main_dialog_logic.h"
#include "app/core/row_queue.h"
#include "app/core/session.h"
#include "app/core/status_queue.h"
#include "tests/app/app_test_util.h"
#include "tests/support/loopback.h"

#include <chrono>

namespace apptest {

inline pw::LogOptions LogIn(const TempDir& dir) {
    pw::LogOptions options;
    options.directory = dir.str();
    return options;
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
