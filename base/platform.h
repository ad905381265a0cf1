// Platform helpers shared by every layer: the millisecond clock and the diagnostic output.
// Both may be called from any thread.
#pragma once

#include <cstdint>

namespace pw {

// Milliseconds of a monotonic clock, truncated to 32 bits. It wraps after about 49.7 days;
// callers compare two readings by unsigned subtraction, which stays right across the wrap.
[[nodiscard]] std::uint32_t now_ms();

// Writes one diagnostic line, "portweave: <text>", to standard error (on Windows also to the
// debugger's output). A trailing newline in `text` is dropped so that every diagnostic is exactly
// one line. Lines of concurrent callers are never interleaved. Diagnostics are for developers;
// users see event texts instead.
void diag(const char* text);

// Redirects diagnostics to `sink` (given the text without prefix or trailing newline), or back
// to standard error when `sink` is null. Meant for tests that check a diagnostic was written.
using DiagSink = void (*)(const char* text);
void set_diag_sink(DiagSink sink);

} // namespace pw
