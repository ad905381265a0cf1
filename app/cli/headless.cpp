// The headless service and its loop.
#include "app/cli/headless.h"

#include "app/cli/command_line.h"
#include "app/cli/reload.h"
#include "app/core/app_platform.h"
#include "app/core/texts.h"
#include "base/platform.h"
#include "engine/weave.h"

#include <cstdio>

namespace pw::app {

HeadlessService::HeadlessService(std::function<void()> wake, SessionOptions options)
    : session_(options), logic_(session_.state(), session_.log(), options.engine), rows_(wake),
      scheduler_(ProcessScheduler::Hooks{WeaveProcess, WeaveNextTimerDue,
                                         [this](std::uint32_t delayMs) {
                                             armed_ = true;
                                             armedAt_ = now_ms();
                                             delay_ = delayMs;
                                         },
                                         [this] { armed_ = false; }, wake, now_ms}) {}

HeadlessService::~HeadlessService() {
    stop();
}

bool HeadlessService::start(std::string& error) {
    session_.log().setSink(&rows_);
    InstallTimerWake(&scheduler_);
    char errText[ERR_TEXT_SIZE] = {};
    if (!session_.start(errText)) {
        InstallTimerWake(nullptr);
        session_.log().setSink(nullptr);
        error = std::string(WEAVE_INIT_FAILED_CAPTION) + ": " + errText;
        return false;
    }
    started_ = true;
    logic_.initialise();
    scheduler_.rearm();
    echoEvents();
    return true;
}

int HeadlessService::timeoutMs() const {
    if (!armed_) {
        return -1;
    }
    const std::uint32_t elapsed = now_ms() - armedAt_;
    return elapsed >= delay_ ? 0 : static_cast<int>(delay_ - elapsed);
}

void HeadlessService::woken() {
    scheduler_.wakeArrived();
    echoEvents();
}

void HeadlessService::runDue() {
    if (armed_ && now_ms() - armedAt_ >= delay_) {
        scheduler_.timerFired();
    }
}

void HeadlessService::echoEvents() {
    // Trace rows are for a window's list; the journal gets the events only.
    const RowBatch batch = rows_.take();
    for (const QueuedEventRow& row : batch.events.rows) {
        const std::string line = row.timestamp + row.text + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    std::fflush(stderr);
}

void HeadlessService::reload() {
    LogStore& log = session_.log();
    AppState& state = session_.state();
    const bool events = log.eventsToFile(), trace = log.traceToFile(), ascii = log.traceAscii();
    SettingsBlock settings{};
    LinkTable table{};
    if (!LoadDataFileFrom(DataFileOptions{}, settings, table, log)) {
        log.setEventsToFile(events);
        log.setTraceToFile(trace);
        log.setTraceAscii(ascii);
        for (std::uint32_t id = 0; id < MAX_LINKS; ++id) {
            log.setLinkConfig(id, state.table.entry[id].config);
        }
        diag("the data file cannot be read; the running configuration stays");
        return;
    }
    ApplyLinkTable(state, logic_, session_.engine(), log, table);
    state.settings = settings;
    scheduler_.rearm();
    echoEvents();
}

void HeadlessService::stop() {
    if (!started_) {
        return;
    }
    started_ = false;
    session_.log().logEvent(SYSTEM_SHUTDOWN_TEXT);
    echoEvents();
    session_.log().setSink(nullptr);
    InstallTimerWake(nullptr);
    session_.stop();
}

int RunHeadless(const std::string& dir) {
    InstanceLock lock;
    switch (AcquireDirectoryLock(lock, DIRECTORY_LOCK_NAME, InstanceRole::Headless)) {
    case LockResult::Acquired:
        break;
    case LockResult::HeldByOther:
        diag(("an instance is already running in " + dir).c_str());
        return EXIT_REFUSED;
    case LockResult::Unavailable:
        diag("the directory's instance lock cannot be taken; running without it");
        break;
    }
    // Before any thread starts, so that every thread inherits the handlers' disposition.
    SignalBridge bridge;
    LoopWaker waker;
    if (!bridge.install() || !waker.valid()) {
        diag("signals cannot be caught; a service could neither stop in order nor reload");
        return EXIT_REFUSED;
    }
    HeadlessService service([&waker] { waker.wake(); });
    if (std::string error; !service.start(error)) {
        diag(error.c_str());
        return EXIT_REFUSED;
    }
    for (;;) {
        WaitForWork(bridge.readFd(), waker, service.timeoutMs());
        if (waker.takeWake()) {
            service.woken();
        }
        service.runDue();
        for (int signo; (signo = bridge.takeSignal()) != 0;) {
            switch (RequestOf(signo)) {
            case SignalRequest::Stop:
                service.stop();
                return EXIT_DONE;
            case SignalRequest::Reload:
                service.reload();
                break;
            case SignalRequest::None:
                break;
            }
        }
    }
}

} // namespace pw::app
