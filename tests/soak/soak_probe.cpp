#include "tests/soak/soak_probe.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace soak {

namespace {

std::size_t count_entries(const char* path) {
    std::size_t count = 0;
    if (DIR* dir = ::opendir(path)) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        ::closedir(dir);
    }
    return count;
}

struct KindText {
    EventKind kind;
    const char* text; // a part of the event text that only this kind carries
};

// Checked in order: "deactivated" before "activated", which it contains.
constexpr KindText KIND_TEXTS[] = {
    {EventKind::Deactivated, " deactivated"},
    {EventKind::Activated, " activated"},
    {EventKind::Accepted, " TCP connection accepted."},
    {EventKind::Rejected, " new connection rejected"},
    {EventKind::InterfaceClosed, " IP interface closed."},
    {EventKind::Connected, " TCP connected."},
    {EventKind::ConnectFailed, " TCP connect failed."},
    {EventKind::ActivationFailed, " IP port activation failed"},
    {EventKind::ActivationFailed, " Serial port open fail"},
};

EventKind classify(const char* text) {
    for (const KindText& k : KIND_TEXTS) {
        if (std::strstr(text, k.text) != nullptr) {
            return k.kind;
        }
    }
    return EventKind::Other;
}

} // namespace

std::size_t fd_count() {
    // The directory stream holds a descriptor of its own while it is read.
    const std::size_t n = count_entries("/proc/self/fd");
    return n > 0 ? n - 1 : 0;
}

std::size_t thread_count() {
    return count_entries("/proc/self/task");
}

std::size_t resident_kib() {
    unsigned long pages = 0;
    unsigned long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lu %lu", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

std::string describe_fds() {
    std::string out;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            char target[256] = {};
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
            out += std::string(entry->d_name) + " -> " + (n > 0 ? target : "?") + "\n";
        }
        ::closedir(dir);
    }
    return out;
}

std::string kind_name(EventKind kind) {
    static const char* const NAMES[EVENT_KIND_COUNT] = {
        "activated", "deactivated",    "accepted",          "rejected", "interface closed",
        "connected", "connect failed", "activation failed", "other"};
    return NAMES[static_cast<std::size_t>(kind)];
}

Recorder& Recorder::instance() {
    static Recorder recorder;
    return recorder;
}

void Recorder::reset(std::uint32_t guardedLinks) {
    std::lock_guard<std::mutex> lock(mutex_);
    s_ = Summary{};
    for (std::string& r : recent_) {
        r.clear();
    }
    recentNext_ = 0;
    eventCount_ = 0;
    guardedLinks_ = guardedLinks;
    guardOn_ = false;
}

void Recorder::setGuard(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    guardOn_ = on;
}

void Recorder::onEvent(const char* text) {
    instance().event(text);
}

void Recorder::onTrace(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
                       const std::uint8_t* data, std::uint32_t length) {
    instance().trace(linkId, portId, direction, data, length);
}

void Recorder::onStatus(const LinkStatus* status) {
    instance().status(status);
}

void Recorder::onDiag(const char* /*text*/) {
    Recorder& r = instance();
    std::lock_guard<std::mutex> lock(r.mutex_);
    ++r.s_.diagLines;
}

void Recorder::violation(std::string text) {
    ++s_.violationCount;
    if (s_.violations.size() < KEPT_PROBLEMS) {
        s_.violations.push_back(std::move(text));
    }
}

void Recorder::event(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text == nullptr) {
        violation("event callback without text");
        return;
    }
    const std::size_t length = std::strlen(text);
    unsigned linkId = MAX_LINKS;
    if (length >= EVENT_TEXT_SIZE || std::sscanf(text, "Link %u (", &linkId) != 1 ||
        linkId >= MAX_LINKS) {
        violation("malformed event: " + std::string(text, std::min<std::size_t>(length, 200)));
    }
    ++s_.events[static_cast<std::size_t>(classify(text))];
    if (guardOn_ && linkId < guardedLinks_ && s_.guardHits.size() < KEPT_PROBLEMS) {
        s_.guardHits.emplace_back(text);
    }
    recent_[recentNext_] = text;
    recentNext_ = (recentNext_ + 1) % RECENT;
    ++eventCount_;
}

void Recorder::trace(std::uint32_t linkId, std::uint32_t portId, std::uint32_t direction,
                     const std::uint8_t* data, std::uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++s_.traceCalls;
    s_.traceBytes += length;
    if (linkId >= MAX_LINKS || portId >= PORTS_PER_LINK ||
        (direction != TRACE_DIR_TX && direction != TRACE_DIR_RX) || data == nullptr ||
        length == 0 || length > RECEIVE_BUFFER_SIZE) {
        char text[128];
        std::snprintf(text, sizeof text, "trace link %u port %u direction %u length %u%s", linkId,
                      portId, direction, length, data == nullptr ? " without data" : "");
        violation(text);
    }
}

void Recorder::status(const LinkStatus* status) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++s_.statusCalls;
    if (status == nullptr) {
        violation("status callback without a record");
        return;
    }
    bool sound = status->linkId < MAX_LINKS;
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        const PortStatus& port = status->port[p];
        // (activated, connected) = (0, 1) is no state of any port, and a COM port never connects.
        sound = sound && port.portId == p && port.activated <= 1 && port.connected <= 1 &&
                (port.connected == 0 || port.activated == 1) &&
                (port.portType == PORT_TYPE_IP || port.connected == 0);
    }
    if (!sound) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "status link %u: P1 type %u (%u,%u) id %u, P2 type %u (%u,%u) id %u",
                      status->linkId, status->port[0].portType, status->port[0].activated,
                      status->port[0].connected, status->port[0].portId, status->port[1].portType,
                      status->port[1].activated, status->port[1].connected, status->port[1].portId);
        violation(text);
    }
    if (guardOn_ && status->linkId < guardedLinks_ && s_.guardHits.size() < KEPT_PROBLEMS) {
        s_.guardHits.push_back("status report of link " + std::to_string(status->linkId));
    }
}

Recorder::Summary Recorder::summary() {
    std::lock_guard<std::mutex> lock(mutex_);
    Summary out = s_;
    const std::size_t kept = eventCount_ < RECENT ? static_cast<std::size_t>(eventCount_) : RECENT;
    for (std::size_t i = 0; i < kept; ++i) {
        out.recent.push_back(recent_[(recentNext_ + RECENT - kept + i) % RECENT]);
    }
    return out;
}

} // namespace soak
