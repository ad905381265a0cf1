// The start and the orderly end of one run, around the window: the name tables, the data file,
// the engine with the application's four callbacks, and at the end the engine's shutdown, the
// log files and the saved data file. The single-instance lock and the working directory come
// before it (app_platform.h); the window comes between start() and stop().
//
// The engine's callbacks are plain functions; a Session routes them to its LogStore (event texts
// and traced data) and to its StatusQueue (link status), so each of them only copies and queues.
// One Session runs at a time in a process (the engine is one per process). Main thread.
#pragma once

#include "app/core/app_state.h"
#include "app/core/engine_calls.h"
#include "app/core/status_queue.h"
#include "store/logs.h"

#include <string>

namespace pw::app {

struct SessionOptions {
    std::string directory;   // where portweave.dta lives; empty: the current directory
    LogStore* log = nullptr; // the log of this run; null: the process's log
    EngineCalls engine;      // the engine entry points
};

class Session {
public:
    explicit Session(SessionOptions options = {});
    ~Session(); // stop() if start() succeeded and stop() was not called
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Where the engine's status reports go; set before start(). Null drops them.
    void setStatusQueue(StatusQueue* queue);

    // In order: the name tables; the data file (its failures are events, and never stop the
    // start); every entry's linkId set to its index; the COM device names from
    // "portweave.ports" in the current directory; WeaveInit with the four callbacks; the
    // engine's pause lifted. False, with the engine's reason in `errText`, when WeaveInit fails:
    // then nothing runs and stop() will not write the data file.
    [[nodiscard]] bool start(char (&errText)[ERR_TEXT_SIZE]);

    // Writes the data file now, while the engine runs: after each change the user makes, so that
    // no crash, kill or power cut loses it. Reads only what the main thread owns (the state's
    // switches and link table) and the log's switches, which are safe from any thread. A
    // failure is an event as at exit. Returns the failure's text when the user is to see it in
    // a box: once per failure, so a save that fails as the one before did returns an empty text,
    // and one that goes through makes the next failure shown again. Empty also when the session
    // does not run.
    [[nodiscard]] std::string save();

    // In order: WeaveShutdown, the log files closed, the data file written. Only after a
    // successful start(), once.
    void stop();

    [[nodiscard]] bool running() const { return running_; }
    [[nodiscard]] AppState& state() { return state_; }
    [[nodiscard]] LogStore& log() { return log_; }
    [[nodiscard]] const EngineCalls& engine() const { return options_.engine; }

private:
    SessionOptions options_;
    LogStore& log_;
    AppState state_;
    bool running_ = false;
    std::string lastFailure_; // the text of the last save's failure; empty after a good save
};

} // namespace pw::app
