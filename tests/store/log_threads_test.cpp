// Many threads logging at once: every line whole, in each thread's order, and the list rows in
// the same order as the file lines.
#include "store/logs.h"
#include "tests/store/store_test_util.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using pw_test::ModelSink;
using pw_test::ReadFile;
using pw_test::TempDir;

constexpr int kThreads = 3; // as the main, socket event and serial delivery threads
constexpr int kPerThread = 300;
constexpr std::uint32_t kChunkMax = pw::TRACE_CHUNK_MAX;

std::uint32_t ChunkLength(int thread, int seq) {
    return 1 + static_cast<std::uint32_t>(seq * 131 + thread * 17) % kChunkMax;
}
std::uint8_t ChunkByte(int thread, int seq, std::size_t i) {
    return static_cast<std::uint8_t>(thread * 50 + seq + static_cast<int>(i));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    return lines;
}

// "dd/mm/yyyy hh:mm:ss.mmm " at the start of `line`.
bool HasTimestamp(const std::string& line) {
    const std::string shape = "dd/dd/dddd dd:dd:dd.ddd ";
    if (line.size() < shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                        : line[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

TEST(LogThreads, ConcurrentCallersNeverTearALine) {
    TempDir dir;
    pw::LogOptions options;
    options.directory = dir.str(); // and the system clock
    pw::LogStore log(options);
    ModelSink sink;
    log.setSink(&sink);
    log.setEventsToFile(true);
    log.setTraceToFile(true);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            std::vector<std::uint8_t> chunk(kChunkMax);
            char text[64];
            for (int seq = 0; seq < kPerThread; ++seq) {
                std::snprintf(text, sizeof(text), "thread %d event %d", t, seq);
                log.logEvent(text);
                const std::uint32_t len = ChunkLength(t, seq);
                for (std::size_t i = 0; i < len; ++i) {
                    chunk[i] = ChunkByte(t, seq, i);
                }
                log.traceData(static_cast<std::uint32_t>(t), seq % 2, seq % 2, chunk.data(), len);
            }
        });
    }
    // Meanwhile the main thread works the switches and the lists.
    LinkConfig config{};
    config.port[1].portType = PORT_TYPE_IP;
    for (int turns = 0; turns < 200; ++turns) {
        log.setTraceAscii(turns % 2 == 1);
        log.setLinkConfig(static_cast<std::uint32_t>(turns % kThreads), config);
        if (turns % 50 == 0) {
            log.clearTrace();
        }
        EXPECT_TRUE(log.eventsToFile());
        std::this_thread::yield();
    }
    for (auto& t : threads) {
        t.join();
    }

    const std::vector<std::string> events = Lines(ReadFile(dir / "event.log"));
    ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kPerThread));
    ASSERT_EQ(sink.events.size(), events.size());
    int next[kThreads] = {};
    for (std::size_t i = 0; i < events.size(); ++i) {
        ASSERT_TRUE(HasTimestamp(events[i])) << events[i];
        const std::string text = events[i].substr(24);
        EXPECT_EQ(sink.events[i][1], text);
        int t = -1;
        int seq = -1;
        ASSERT_EQ(std::sscanf(text.c_str(), "thread %d event %d", &t, &seq), 2) << text;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(seq, next[t]++);
    }

    const std::vector<std::string> traces = Lines(ReadFile(dir / "trace.log"));
    ASSERT_EQ(traces.size(), static_cast<std::size_t>(kThreads * kPerThread));
    int traced[kThreads] = {};
    for (const std::string& line : traces) {
        ASSERT_TRUE(HasTimestamp(line));
        unsigned link = 0;
        unsigned port = 0;
        unsigned length = 0;
        int headEnd = 0;
        // The port text's kind may change under way; link, port, direction and length may not.
        const std::size_t comma = line.find(", ", 26);
        ASSERT_NE(comma, std::string::npos);
        ASSERT_EQ(std::sscanf(line.c_str() + 24, ", L%u P%u", &link, &port), 2) << line;
        char dir2[3] = {};
        ASSERT_EQ(std::sscanf(line.c_str() + comma, ", %2[RTxX], %u, %n", dir2, &length, &headEnd),
                  2);
        ASSERT_GE(link, 1u);
        ASSERT_LE(link, static_cast<unsigned>(kThreads));
        const int t = static_cast<int>(link) - 1;
        const int seq = traced[t]++;
        EXPECT_EQ(port, static_cast<unsigned>(seq % 2 + 1));
        EXPECT_EQ(std::string(dir2), seq % 2 == 1 ? "Rx" : "Tx");
        ASSERT_EQ(length, ChunkLength(t, seq));
        const std::string bytes = line.substr(comma + static_cast<std::size_t>(headEnd));
        ASSERT_EQ(bytes.size(), length * 3u);
        for (std::size_t i = 0; i < length; ++i) {
            unsigned value = 0;
            ASSERT_EQ(std::sscanf(bytes.c_str() + i * 3, "%2x", &value), 1);
            ASSERT_EQ(value, ChunkByte(t, seq, i)) << "thread " << t << " chunk " << seq;
        }
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(traced[t], kPerThread);
    }
}

} // namespace
