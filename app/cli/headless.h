// The headless service: the engine, the stored links, the data file and the logs as the desktop
// has them, without any window or display. Every event line goes to standard error as well as to
// event.log (as its switch says), so a service manager's journal has them. SIGTERM and SIGINT end
// it in order (the data file is saved); SIGHUP reads the data file again and applies what
// changed (reload.h). Only one headless instance runs in a working directory.
#pragma once

#include "app/core/main_dialog_logic.h"
#include "app/core/process_scheduler.h"
#include "app/core/row_queue.h"
#include "app/core/session.h"

#include <cstdint>
#include <functional>
#include <string>

namespace pw::app {

// Runs the service in the current directory (`dir` names it in messages) until a stop signal;
// returns the exit status.
[[nodiscard]] int RunHeadless(const std::string& dir);

// One run of the service, driven by a loop that waits for signals and wake-ups. Main thread.
class HeadlessService {
public:
    // `wake` is called on any thread when the loop should call woken().
    explicit HeadlessService(std::function<void()> wake, SessionOptions options = {});
    ~HeadlessService(); // stop() if started
    HeadlessService(const HeadlessService&) = delete;
    HeadlessService& operator=(const HeadlessService&) = delete;

    // Starts the session and opens the stored links ("System startup", "Added link" ...). False,
    // with the reason in `error`, when the engine does not start.
    [[nodiscard]] bool start(std::string& error);
    // Milliseconds until the engine's next port timer is due; -1 when none runs.
    [[nodiscard]] int timeoutMs() const;
    // After a wake: new event lines to standard error, the engine's timer re-armed.
    void woken();
    // One pass of the engine's periodic processing when its timer is due.
    void runDue();
    // Reads the data file again and applies the difference; when the file cannot be read, the
    // running configuration stays.
    void reload();
    // "System shutdown", the engine stopped, the log files closed, the data file saved.
    void stop();

    [[nodiscard]] AppState& state() { return session_.state(); }

private:
    void echoEvents();

    Session session_;
    MainDialogLogic logic_;
    RowQueue rows_;
    ProcessScheduler scheduler_;
    bool armed_ = false;
    std::uint32_t armedAt_ = 0; // clock reading when the timer was armed, ms
    std::uint32_t delay_ = 0;   // ms after armedAt_
    bool started_ = false;
};

} // namespace pw::app
