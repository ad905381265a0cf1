// One run of Portweave between the single-instance lock and the end of main(): the session
// (data file, engine, logs), the queues that carry the engine's reports to the main thread, the
// scheduler that drives WeaveProcess, the main window and the notification-area icon, the save
// of the data file after each change, and the orderly exit that Tools > Exit and the termination
// signals share.
//
//   Application app(options);
//   if (!app.start()) return 0;      // "WeaveInit failed" was shown
//   app.watchSignals(bridge.readFd(), ...);
//   qApp->exec();                    // until requestExit()
//   app.finish();                    // engine stopped, logs closed, data file written
#pragma once

#include "app/core/link_dialog_logic.h"
#include "app/core/main_dialog_logic.h"
#include "app/core/process_scheduler.h"
#include "app/core/row_queue.h"
#include "app/core/send_buffer.h"
#include "app/core/session.h"
#include "app/core/status_queue.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace pw::app {

class DialogHost;
class MainWindow;
class Tray;

class Application : public QObject {
    Q_OBJECT
public:
    explicit Application(SessionOptions options = {}, QObject* parent = nullptr);
    ~Application() override;

    // Starts the session and, when the engine runs, creates and shows the main window (which
    // opens the stored links) and the notification-area icon. False when the engine did not
    // start: the message box "WeaveInit failed" was shown and nothing is left to stop.
    [[nodiscard]] bool start();

    // Calls `takeSignal` and then requestExit() whenever `fd` becomes readable (the signal
    // bridge's pipe).
    void watchSignals(int fd, std::function<void()> takeSignal);

    // Calls `takeRequests` whenever `fd` becomes readable (the instance channel) and, when it
    // took a request of a second start, brings the window to the front.
    void watchShowRequests(int fd, std::function<int()> takeRequests);

    // After the event loop: the engine stopped, the log files closed, the data file written.
    void finish();

    [[nodiscard]] MainWindow* window() const { return window_.get(); }
    [[nodiscard]] Tray* tray() const { return tray_; }
    [[nodiscard]] AppState& state() { return session_.state(); }
    [[nodiscard]] MainDialogLogic& logic() { return logic_; }
    [[nodiscard]] LinkDialogLogic& linkDialogs() { return linkDialogs_; }
    [[nodiscard]] SendBufferLogic& sendBuffer() { return sendBuffer_; }
    // The dialog commands of the window; null without a window.
    [[nodiscard]] DialogHost* dialogs() const { return dialogs_; }
    [[nodiscard]] LogStore& log() { return session_.log(); }
    [[nodiscard]] const ProcessScheduler& scheduler() const { return scheduler_; }
    [[nodiscard]] bool exiting() const { return exiting_; }

public slots:
    // The orderly exit: "System shutdown", the icon removed, the window destroyed, the event
    // loop told to end. Later calls do nothing.
    void requestExit();

private:
    void drainRows();
    void drainStatus();
    // Saves the data file after a change; a failure the user has not been told yet is shown in
    // a box once the handler that made the change has returned.
    void saveChange();

    const std::string placeFile_; // where the window's place is kept between runs
    Session session_;
    MainDialogLogic logic_;
    LinkDialogLogic linkDialogs_;
    SendBufferLogic sendBuffer_;
    RowQueue rows_;
    StatusQueue status_;
    QTimer processTimer_;
    QTimer rowsTimer_;         // the next list update, when the last was too recent
    std::uint32_t rowsAt_ = 0; // clock reading of the last list update, ms
    ProcessScheduler scheduler_;
    std::unique_ptr<MainWindow> window_;
    DialogHost* dialogs_ = nullptr; // a child of the window
    Tray* tray_ = nullptr;
    QSocketNotifier* signalNotifier_ = nullptr;
    std::function<void()> takeSignal_;
    QSocketNotifier* showNotifier_ = nullptr;
    std::function<int()> takeShowRequests_;
    bool started_ = false;
    bool exiting_ = false;
    bool finished_ = false;
};

} // namespace pw::app
