// Start-up after the lock, the reports' road to the main thread, and the orderly exit.
#include "app/ui/application.h"

#include "app/core/texts.h"
#include "app/ui/dialog_host.h"
#include "app/ui/main_dialog.h"
#include "app/ui/main_window.h"
#include "app/ui/message_box.h"
#include "app/ui/tray.h"
#include "base/platform.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fstream>
#include <iterator>
#include <optional>

namespace pw::app {

Application::Application(SessionOptions options, QObject* parent)
    : QObject(parent),
      placeFile_((options.directory.empty() ? std::string() : options.directory + "/") +
                 WINDOW_PLACE_FILE_NAME),
      session_(options), logic_(session_.state(), session_.log(), options.engine),
      linkDialogs_(session_.state(), logic_, session_.log(), options.engine),
      sendBuffer_(session_.state(), session_.log(), options.engine), rows_([this] {
          QMetaObject::invokeMethod(this, &Application::drainRows, Qt::QueuedConnection);
      }),
      status_([this] {
          QMetaObject::invokeMethod(this, &Application::drainStatus, Qt::QueuedConnection);
      }),
      scheduler_(ProcessScheduler::Hooks{
          WeaveProcess, WeaveNextTimerDue,
          [this](std::uint32_t delayMs) { processTimer_.start(static_cast<int>(delayMs)); },
          [this] { processTimer_.stop(); },
          [this] {
              QMetaObject::invokeMethod(
                  this, [this] { scheduler_.wakeArrived(); }, Qt::QueuedConnection);
          },
          now_ms}) {
    rowsTimer_.setSingleShot(true);
    connect(&rowsTimer_, &QTimer::timeout, this, &Application::drainRows);
    processTimer_.setSingleShot(true);
    processTimer_.setTimerType(Qt::PreciseTimer);
    connect(&processTimer_, &QTimer::timeout, this, [this] { scheduler_.timerFired(); });
    session_.setStatusQueue(&status_);
}

Application::~Application() {
    finish();
}

bool Application::start() {
    InstallTimerWake(&scheduler_);
    char errText[ERR_TEXT_SIZE] = {};
    if (!session_.start(errText)) {
        InstallTimerWake(nullptr);
        (void)AskUser(nullptr, MessageRequest{MessageKind::Failure,
                                              QString::fromUtf8(WEAVE_INIT_FAILED_CAPTION),
                                              QString::fromUtf8(errText)});
        finished_ = true;
        return false;
    }
    started_ = true;

    window_ = std::make_unique<MainWindow>(state(), logic_);
    MainWindow* window = window_.get();
    // Exit runs from the event loop, never inside the menu's own handler, so the window it
    // destroys is not on the stack.
    connect(window, &MainWindow::exitRequested, this, &Application::requestExit,
            Qt::QueuedConnection);
    log().setSink(&rows_);
    logic_.initialise();
    // Where the window was at the last exit, when that is still on a screen.
    std::ifstream saved(placeFile_);
    const std::string line((std::istreambuf_iterator<char>(saved)),
                           std::istreambuf_iterator<char>());
    const std::optional<WindowPlace> place = ParseWindowPlace(line);
    if (place && window->moveTo(*place) && place->maximized) {
        window->showMaximized();
    } else {
        window->show();
    }

    tray_ = new Tray(this);
    tray_->add();
    window->setTrayAvailable(tray_->available());
    connect(tray_, &Tray::showWindowRequested, window, &MainWindow::bringToFront);
    connect(tray_, &Tray::exitRequested, window, [window] { window->trigger(Command::Exit); });
    connect(window, &MainWindow::hiddenToTray, tray_, &Tray::showBackgroundNotice);
    connect(window->mainDialog(), &MainDialog::userActed, this, [this] { scheduler_.rearm(); });
    state().onChange = [this] { saveChange(); };
    dialogs_ = new DialogHost(window, state(), linkDialogs_, sendBuffer_);
    connect(dialogs_, &DialogHost::engineTouched, this, [this] { scheduler_.rearm(); });
    scheduler_.rearm();
    return true;
}

void Application::watchSignals(int fd, std::function<void()> takeSignal) {
    takeSignal_ = std::move(takeSignal);
    signalNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(signalNotifier_, &QSocketNotifier::activated, this, [this] {
        if (takeSignal_) {
            takeSignal_();
        }
        requestExit();
    });
}

void Application::watchShowRequests(int fd, std::function<int()> takeRequests) {
    takeShowRequests_ = std::move(takeRequests);
    showNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(showNotifier_, &QSocketNotifier::activated, this, [this] {
        if (takeShowRequests_ && takeShowRequests_() > 0 && window_ != nullptr) {
            window_->bringToFront();
        }
    });
}

// Every update of the lists lays their visible rows out again; a link traced at full speed would
// keep the main thread (and a processor the data path wants) busy with nothing else. So the rows
// are taken at most every ROWS_INTERVAL_MS, and those that come meanwhile wait in the queue.
constexpr std::uint32_t ROWS_INTERVAL_MS = 40;

void Application::drainRows() {
    const std::uint32_t now = now_ms();
    if (now - rowsAt_ < ROWS_INTERVAL_MS) {
        if (!rowsTimer_.isActive()) {
            rowsTimer_.start(static_cast<int>(ROWS_INTERVAL_MS - (now - rowsAt_)));
        }
        return;
    }
    rowsAt_ = now;
    RowBatch batch = rows_.take();
    if (window_ != nullptr && !batch.empty()) {
        std::vector<QueuedTraceRow> dropped = window_->mainDialog()->applyRows(std::move(batch));
        rows_.recycle(dropped);
    }
}

void Application::drainStatus() {
    for (const LinkStatus& status : status_.take()) {
        if (window_ != nullptr) {
            logic_.showLinkStatus(status);
        }
    }
}

void Application::saveChange() {
    const std::string failure = session_.save();
    if (failure.empty()) {
        return;
    }
    // Not inside the click that made the change: the box runs an event loop of its own, in which
    // the dialog or the window behind that click may go away.
    QMetaObject::invokeMethod(
        this,
        [this, failure] {
            if (window_ != nullptr) {
                (void)AskUser(window_.get(), MessageRequest{MessageKind::Failure, QString(),
                                                            QString::fromStdString(failure)});
            }
        },
        Qt::QueuedConnection);
}

void Application::requestExit() {
    if (exiting_ || !started_) {
        return;
    }
    exiting_ = true;
    state().exitRequested = true;
    state().onChange = nullptr; // the exit's own save comes after the engine has stopped
    log().logEvent(SYSTEM_SHUTDOWN_TEXT);
    if (tray_ != nullptr) {
        tray_->remove();
    }
    // The lists go with the window; later events reach only event.log.
    log().setSink(nullptr);
    dialogs_ = nullptr; // goes with the window
    std::ofstream(placeFile_, std::ios::trunc) << FormatWindowPlace(window_->place());
    window_.reset();
    QCoreApplication::exit(0);
}

void Application::finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    if (started_ && !exiting_) {
        requestExit();
    }
    processTimer_.stop();
    InstallTimerWake(nullptr);
    session_.stop();
    session_.setStatusQueue(nullptr);
}

} // namespace pw::app
