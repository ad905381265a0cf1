// The millisecond clock and the diagnostics.
#include "base/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

TEST(Clock, AdvancesWithRealTime) {
    const std::uint32_t before = pw::now_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::uint32_t elapsed = pw::now_ms() - before;
    EXPECT_TRUE(elapsed >= 30 && elapsed < 60000) << elapsed;
}

TEST(Diag, OneWholeLinePerCallWithoutItsLineEnd) {
    static std::vector<std::string> lines; // unguarded: diag never calls the sink twice at once
    lines.clear();
    pw::set_diag_sink([](const char* text) { lines.emplace_back(text); });
    std::thread other([] { pw::diag(std::string(100000, 'x').append("\n").c_str()); });
    pw::diag("Threads did not exit\r\n");
    pw::diag(nullptr);
    other.join();
    pw::set_diag_sink(nullptr);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"Threads did not exit", std::string(100000, 'x')}));
}
