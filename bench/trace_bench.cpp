// Micro-benchmark of what tracing a chunk costs the thread that moves the data: one traceData
// call with the application's row queue as the trace list's sink, a 2048-byte chunk in hex, with
// and without trace.log (whose writer runs on its own thread and drops what it cannot take).
#include "app/core/row_queue.h"
#include "store/logs.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

namespace {

void TraceChunk(benchmark::State& state) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "pw-trace-bench";
    fs::create_directories(dir);
    pw::LogOptions options;
    options.directory = dir.string();
    pw::LogStore log(options);
    pw::app::RowQueue rows([] {});
    log.setSink(&rows);
    log.setTraceToFile(state.range(0) != 0);
    std::vector<std::uint8_t> chunk(pw::TRACE_CHUNK_MAX);
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::uint32_t n = 0;
    for (auto _ : state) {
        log.traceData(0, n & 1, n & 1, chunk.data(), static_cast<std::uint32_t>(chunk.size()));
        if (++n % 1024 == 0) { // the main thread takes the rows every so often, on its time
            state.PauseTiming();
            benchmark::DoNotOptimize(rows.take());
            state.ResumeTiming();
        }
    }
    log.setSink(nullptr);
    log.shutdown();
    fs::remove_all(dir);
}
BENCHMARK(TraceChunk)->Arg(0)->Arg(1)->ArgName("toFile");

} // namespace

BENCHMARK_MAIN();
