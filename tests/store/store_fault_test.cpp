// The logs and the data file in a directory that fills up or turns read-only: a real tmpfs of a
// few pages (where the system lets the test mount one), or files that refuse every write. Rows
// keep reaching the lists, events that nothing else can show reach standard error, no log line
// is ever left torn in a file, the previous data file stays whole, and once the space or the
// write access is back, the files take lines and saves again.
#include "base/platform.h"
#include "store/datafile.h"
#include "tests/store/store_test_util.h"
#include "tests/support/mounts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pw_test::FixedClockOptions;
using pw_test::ModelSink;
using pw_test::ReadFile;
using pw_test::TempDir;
using pw_test::WriteFile;
using testsupport::SmallTmpfs;

const std::string kStamp = "05/12/2026 14:03:09.045 ";
constexpr std::size_t kTmpfsBytes = 64 * 1024;
constexpr std::size_t kSlack = 20; // bytes left free in the last block of each log file

std::vector<std::string> g_diags;
void CaptureDiag(const char* text) {
    g_diags.emplace_back(text);
}

// Standard error as the store uses it, captured for the object's lifetime.
struct DiagCapture {
    DiagCapture() {
        g_diags.clear();
        pw::set_diag_sink(CaptureDiag);
    }
    ~DiagCapture() { pw::set_diag_sink(nullptr); }
};

std::string ImageOf(const SettingsBlock& settings, const LinkTable& table) {
    std::string image(reinterpret_cast<const char*>(&settings), sizeof(settings));
    image.append(reinterpret_cast<const char*>(&table), sizeof(table));
    return image;
}

LinkTable TableWith(const char* name) {
    LinkTable table{};
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        table.entry[i].linkId = i;
    }
    table.entry[4].inUse = 1;
    std::snprintf(table.entry[4].config.name, sizeof(table.entry[4].config.name), "%s", name);
    table.entry[4].config.port[0].portType = PORT_TYPE_IP;
    table.entry[4].config.port[0].ipPort = 4001;
    return table;
}

pw::DataFileOptions In(const std::string& dir) {
    pw::DataFileOptions options;
    options.directory = dir;
    return options;
}

// A log file of whole lines that leaves exactly `slack` bytes free in its last block.
std::string LogHead(std::size_t slack) {
    return std::string(testsupport::tmpfs_block_size() - slack - 2, 'x') + "\r\n";
}

// What the file holds after `head`; a marker when the head itself is not there.
std::string AfterHead(const fs::path& path, const std::string& head) {
    const std::string file = ReadFile(path);
    if (file.compare(0, head.size(), head) != 0) {
        return "<the lines before the failure changed>";
    }
    return file.substr(head.size());
}

#define REQUIRE_TMPFS(fs)                                                                          \
    if (!(fs).mounted()) {                                                                         \
        GTEST_SKIP() << "no tmpfs can be mounted here (needs root); the simulated failures below " \
                        "cover the lists and standard error";                                      \
    }

TEST(StoreFullDirectory, LogLinesAreNeverLeftTornAndTheListsGoOn) {
    SmallTmpfs tmpfs(kTmpfsBytes);
    REQUIRE_TMPFS(tmpfs);
    const fs::path dir = tmpfs.path();
    const std::string head = LogHead(kSlack);
    WriteFile(dir / "event.log", head);
    WriteFile(dir / "trace.log", head);
    ASSERT_TRUE(tmpfs.fill());

    pw::LogStore log(FixedClockOptions(dir.string()));
    ModelSink sink;
    log.setSink(&sink);
    log.setEventsToFile(true);
    log.setTraceToFile(true);
    // Each line is longer than the slack: its first bytes fit, the rest needs a block there is
    // none of.
    log.logEvent("an event longer than the space that is left");
    const std::vector<std::uint8_t> chunk(16, 0xab);
    log.traceData(0, 0, TRACE_DIR_RX, chunk.data(), static_cast<std::uint32_t>(chunk.size()));
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0][1], "an event longer than the space that is left");
    ASSERT_EQ(sink.traces.size(), 1u);
    EXPECT_EQ(sink.traces[0][3], "16");
    EXPECT_EQ(AfterHead(dir / "event.log", head), "") << "a torn line was left in event.log";
    EXPECT_EQ(AfterHead(dir / "trace.log", head), "") << "a torn line was left in trace.log";

    {
        // Without a list the event has nowhere to go but standard error.
        DiagCapture diags;
        log.setSink(nullptr);
        EXPECT_FALSE(log.logEventOrDiag("seen on standard error only"));
        EXPECT_EQ(g_diags, std::vector<std::string>{"seen on standard error only"});
        log.setSink(&sink);
    }

    tmpfs.release();
    log.logEvent("space is back");
    log.traceData(1, 1, TRACE_DIR_TX, chunk.data(), 2);
    EXPECT_EQ(AfterHead(dir / "event.log", head), kStamp + "space is back\r\n");
    EXPECT_EQ(AfterHead(dir / "trace.log", head), kStamp + ", L2 P2 (COM1), Tx, 2, ab ab \r\n");
    log.shutdown();
}

TEST(StoreFullDirectory, AFailedSaveKeepsThePreviousDataFileWhole) {
    SmallTmpfs tmpfs(kTmpfsBytes);
    REQUIRE_TMPFS(tmpfs);
    const fs::path dir = tmpfs.path();
    const std::string old = ImageOf(SettingsBlock{1, 0, 0, 0}, TableWith("old"));
    WriteFile(dir / DATA_FILE_NAME, old);
    ASSERT_TRUE(tmpfs.fill());

    pw::LogStore log(FixedClockOptions(dir.string()));
    ModelSink sink;
    log.setSink(&sink);
    const LinkTable changed = TableWith("new");
    pw::SaveDataFileTo(In(dir.string()), SettingsBlock{}, changed, log);
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0][1], "Failed to write data file err=0x1c"); // ENOSPC
    EXPECT_EQ(ReadFile(dir / DATA_FILE_NAME), old);
    EXPECT_FALSE(fs::exists(dir / "portweave.dta.tmp"));

    // At exit nothing shows events any more: the failure goes to standard error.
    {
        DiagCapture diags;
        log.setSink(nullptr);
        log.shutdown();
        pw::SaveDataFileTo(In(dir.string()), SettingsBlock{}, changed, log);
        EXPECT_EQ(g_diags, std::vector<std::string>{"Failed to write data file err=0x1c"});
    }
    EXPECT_EQ(ReadFile(dir / DATA_FILE_NAME), old);

    tmpfs.release();
    pw::SaveDataFileTo(In(dir.string()), SettingsBlock{}, changed, log);
    EXPECT_EQ(ReadFile(dir / DATA_FILE_NAME), ImageOf(SettingsBlock{}, changed));
}

TEST(StoreReadOnlyDirectory, LoadWorksAndWritesFailWithoutHarm) {
    SmallTmpfs tmpfs(kTmpfsBytes);
    REQUIRE_TMPFS(tmpfs);
    const fs::path dir = tmpfs.path();
    const LinkTable stored = TableWith("kept");
    const std::string image = ImageOf(SettingsBlock{1, 1, 0, 0}, stored);
    WriteFile(dir / DATA_FILE_NAME, image);
    ASSERT_TRUE(tmpfs.setReadOnly(true));

    pw::LogStore log(FixedClockOptions(dir.string()));
    SettingsBlock settings{};
    LinkTable table{};
    EXPECT_TRUE(pw::LoadDataFileFrom(In(dir.string()), settings, table, log));
    EXPECT_EQ(ImageOf(settings, table), image);
    EXPECT_TRUE(log.eventsToFile());

    ModelSink sink;
    log.setSink(&sink);
    log.logEvent("shown in the list");
    const std::uint8_t one[] = {0x31};
    log.traceData(4, 0, TRACE_DIR_RX, one, 1);
    EXPECT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.traces.size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "event.log"));
    EXPECT_FALSE(fs::exists(dir / "trace.log"));

    table.entry[4].inUse = 0;
    pw::SaveDataFileTo(In(dir.string()), settings, table, log);
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[1][1], "Failed to open data file for writing err=0x1e"); // EROFS
    EXPECT_EQ(ReadFile(dir / DATA_FILE_NAME), image);
    {
        DiagCapture diags;
        log.setSink(nullptr);
        EXPECT_FALSE(log.logEventOrDiag("nowhere to show it"));
        EXPECT_EQ(g_diags, std::vector<std::string>{"nowhere to show it"});
    }

    // Write access is back: the next event opens event.log, the next save replaces the file.
    ASSERT_TRUE(tmpfs.setReadOnly(false));
    log.logEvent("writable again");
    EXPECT_EQ(ReadFile(dir / "event.log"), kStamp + "writable again\r\n");
    pw::SaveDataFileTo(In(dir.string()), settings, table, log);
    EXPECT_EQ(ReadFile(dir / DATA_FILE_NAME), ImageOf(settings, table));
    log.shutdown();
}

TEST(StoreFullDirectory, RefusedLogWritesStillReachTheListOrStandardError) {
    // Works without mounting: both log files lead to a device that refuses every write.
    TempDir dir;
    fs::create_symlink("/dev/full", dir / "event.log");
    fs::create_symlink("/dev/full", dir / "trace.log");
    pw::LogStore log(FixedClockOptions(dir.str()));
    log.setEventsToFile(true);
    log.setTraceToFile(true);
    ModelSink sink;
    log.setSink(&sink);
    const std::uint8_t bytes[] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) {
        log.logEvent("event");
        log.traceData(0, 1, TRACE_DIR_TX, bytes, sizeof bytes);
    }
    EXPECT_EQ(sink.events.size(), 3u);
    EXPECT_EQ(sink.traces.size(), 3u);
    EXPECT_TRUE(log.traceToFile()) << "a failing file does not turn its switch off";

    DiagCapture diags;
    log.setSink(nullptr);
    EXPECT_FALSE(log.logEventOrDiag("Failed to write data file err=0x1c"));
    EXPECT_EQ(g_diags, std::vector<std::string>{"Failed to write data file err=0x1c"});
}

} // namespace
