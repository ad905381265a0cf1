// Start-up and orderly exit around the engine and the store.
#include "app/core/session.h"

#include "app/core/texts.h"
#include "base/platform.h"

#include <atomic>

namespace pw::app {

namespace {

// The targets of the engine's callbacks. They are read on the engine's threads.
std::atomic<LogStore*> g_log{nullptr};
std::atomic<StatusQueue*> g_status{nullptr};

void OnEvent(const char* text) {
    if (LogStore* log = g_log.load()) {
        log->logEvent(text);
    }
}

void OnTrace(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
             const std::uint8_t* data, std::uint32_t length) {
    if (LogStore* log = g_log.load()) {
        log->traceData(linkId, portId, direction, data, length);
    }
}

void OnStatus(const LinkStatus* status) {
    StatusQueue* queue = g_status.load();
    if (queue != nullptr && status != nullptr) {
        queue->push(*status);
    }
}

std::uint32_t OnTime() {
    return now_ms();
}

} // namespace

Session::Session(SessionOptions options)
    : options_(std::move(options)), log_(options_.log != nullptr ? *options_.log : ProcessLog()) {}

Session::~Session() {
    if (running_) {
        stop();
    }
}

void Session::setStatusQueue(StatusQueue* queue) {
    g_status.store(queue);
}

bool Session::start(char (&errText)[ERR_TEXT_SIZE]) {
    BuildNameTables();
    (void)LoadDataFileFrom(DataFileOptions{options_.directory, {}}, state_.settings, state_.table,
                           log_);
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        state_.table.entry[i].linkId = i;
    }
    // The serial layer reads its device names from the working directory as the engine starts
    // it; the link dialog shows the same mapping.
    state_.comDevices = LoadComDevices(COM_DEVICE_FILE_NAME);
    g_log.store(&log_);
    WeaveInitStruct init{};
    init.eventCallback = OnEvent;
    init.traceCallback = OnTrace;
    init.statusCallback = OnStatus;
    init.timeCallback = OnTime;
    if (options_.engine.init(&init, errText) == 0) {
        g_log.store(nullptr);
        return false;
    }
    options_.engine.setPaused(0);
    running_ = true;
    return true;
}

std::string Session::save() {
    if (!running_) {
        return {};
    }
    std::string failure = SaveDataFileTo(DataFileOptions{options_.directory, {}}, state_.settings,
                                         state_.table, log_);
    if (failure == lastFailure_) {
        return {};
    }
    lastFailure_ = failure;
    return failure;
}

void Session::stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    options_.engine.shutdown();
    // The engine's threads have ended: no callback arrives any more.
    g_status.store(nullptr);
    g_log.store(nullptr);
    log_.shutdown();
    (void)SaveDataFileTo(DataFileOptions{options_.directory, {}}, state_.settings, state_.table,
                         log_);
}

} // namespace pw::app
