#include "base/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_linesMutex;
std::vector<std::string> g_lines;

void captureLine(const char* text) {
    std::lock_guard<std::mutex> lock(g_linesMutex);
    g_lines.emplace_back(text);
}

TEST(Clock, AdvancesWithRealTime) {
    const std::uint32_t before = pw::now_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::uint32_t elapsed = pw::now_ms() - before;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(Diag, StripsTrailingNewlinesAndKeepsLinesWhole) {
    g_lines.clear();
    pw::set_diag_sink(captureLine);
    pw::diag("Threads did not exit\n");
    pw::diag("plain");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([] {
            for (int i = 0; i < 100; ++i) {
                pw::diag("0123456789abcdef\r\n");
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    pw::set_diag_sink(nullptr);
    ASSERT_EQ(g_lines.size(), 402u);
    EXPECT_EQ(g_lines[0], "Threads did not exit");
    EXPECT_EQ(g_lines[1], "plain");
    for (std::size_t i = 2; i < g_lines.size(); ++i) {
        EXPECT_EQ(g_lines[i], "0123456789abcdef");
    }
}

} // namespace
