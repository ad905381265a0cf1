// POSIX backend of the platform helpers.
#include "base/platform.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <time.h>

namespace pw {

namespace {
std::atomic<DiagSink> g_sink{nullptr};
std::mutex g_diagMutex;
} // namespace

std::uint32_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void diag(const char* text) {
    if (text == nullptr) {
        return;
    }
    std::size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) {
        --len;
    }
    const std::string line(text, len);
    std::lock_guard<std::mutex> lock(g_diagMutex);
    if (DiagSink sink = g_sink.load()) {
        sink(line.c_str());
        return;
    }
    std::fprintf(stderr, "portweave: %s\n", line.c_str());
}

void set_diag_sink(DiagSink sink) {
    g_sink.store(sink);
}

} // namespace pw
