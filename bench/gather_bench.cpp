// Micro-benchmarks of the per-byte gathering path: how fast received chunks are gathered under
// each forwarding condition, with transmissions counted but not sent.
#include "engine/gather.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

std::vector<std::uint8_t> Chunk(std::uint8_t frameEnd, std::size_t every) {
    std::vector<std::uint8_t> chunk(RECEIVE_BUFFER_SIZE);
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = (i + 1) % every == 0 ? frameEnd : static_cast<std::uint8_t>('a' + i % 26);
    }
    return chunk;
}

void Run(benchmark::State& state, const PortConfig& config, const std::vector<std::uint8_t>& in) {
    std::vector<std::uint8_t> buffer(RECEIVE_BUFFER_SIZE);
    std::uint32_t count = 0;
    std::uint64_t passedOn = 0;
    const GatherRule rule = GatherRuleOf(config);
    for (auto _ : state) {
        const GatherTimer timer = GatherChunk(
            rule, buffer.data(), count, in.data(), static_cast<std::uint32_t>(in.size()),
            [&passedOn](const std::uint8_t*, std::uint32_t n) { passedOn += n; });
        benchmark::DoNotOptimize(timer);
        benchmark::DoNotOptimize(passedOn);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.size()));
}

void FrameEndEvery64(benchmark::State& state) {
    PortConfig config{};
    config.fwdFrameEnd = 1;
    config.frameEndChar = '\r';
    Run(state, config, Chunk('\r', 64));
}

void BufferFull16(benchmark::State& state) {
    PortConfig config{};
    config.fwdBufferFull = 1;
    config.bufferSize = 16;
    Run(state, config, Chunk('x', RECEIVE_BUFFER_SIZE + 1));
}

void InterCharOnly(benchmark::State& state) {
    PortConfig config{};
    config.fwdInterChar = 1;
    config.interCharMs = 10;
    Run(state, config, Chunk('x', RECEIVE_BUFFER_SIZE + 1));
}

void AllConditions(benchmark::State& state) {
    PortConfig config{};
    config.fwdFrameEnd = 1;
    config.fwdBufferFull = 1;
    config.fwdInterChar = 1;
    config.frameEndChar = '\n';
    config.bufferSize = 256;
    Run(state, config, Chunk('\n', 100));
}

BENCHMARK(FrameEndEvery64);
BENCHMARK(BufferFull16);
BENCHMARK(InterCharOnly);
BENCHMARK(AllConditions);

} // namespace

BENCHMARK_MAIN();
