// Windows backend of the platform helpers.
#include "base/platform.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mmsystem.h>
#include <mutex>
#include <string>

namespace pw {

namespace {
std::atomic<DiagSink> g_sink{nullptr};
std::mutex g_diagMutex;
} // namespace

std::uint32_t now_ms() {
    // The multimedia timer's count: milliseconds since Windows started, wrapping at 32 bits.
    return static_cast<std::uint32_t>(timeGetTime());
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
    // The debugger's view (DebugView and the like) and, for a console run, standard error.
    const std::string full = "portweave: " + line + "\n";
    OutputDebugStringA(full.c_str());
    std::fputs(full.c_str(), stderr);
}

void set_diag_sink(DiagSink sink) {
    g_sink.store(sink);
}

} // namespace pw
