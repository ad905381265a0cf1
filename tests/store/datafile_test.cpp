#include "base/platform.h"
#include "store/datafile.h"
#include "tests/store/store_test_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pw_test::FixedClockOptions;
using pw_test::ModelSink;
using pw_test::ReadFile;
using pw_test::TempDir;
using pw_test::WriteFile;

const std::string kStamp = "05/12/2026 14:03:09.045 ";

std::uint32_t U32At(const std::string& bytes, std::size_t offset) {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + offset, sizeof(v));
    return v;
}

std::size_t EntryOffset(std::size_t index) {
    return sizeof(SettingsBlock) + sizeof(LinkEntry) * index;
}

// A table with every byte of every entry set, names and hosts terminated.
LinkTable PatternTable() {
    LinkTable table{};
    auto* bytes = reinterpret_cast<std::uint8_t*>(&table);
    for (std::size_t i = 0; i < sizeof(table); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 13 + 7);
    }
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        LinkEntry& e = table.entry[i];
        e.linkId = i;
        e.inUse = i % 2;
        std::snprintf(e.config.name, sizeof(e.config.name), "Link %u", i);
        for (PortConfig& p : e.config.port) {
            std::snprintf(p.remoteHost, sizeof(p.remoteHost), "host%u.example", i);
        }
    }
    table.entry[3].config.port[1].portType = PORT_TYPE_IP;
    table.entry[3].config.port[1].genPeriodMs = 0x01020304;
    return table;
}

std::string ImageOf(const SettingsBlock& settings, const LinkTable& table) {
    std::string image(reinterpret_cast<const char*>(&settings), sizeof(settings));
    image.append(reinterpret_cast<const char*>(&table), sizeof(table));
    return image;
}

pw::DataFileOptions In(const TempDir& dir) {
    pw::DataFileOptions options;
    options.directory = dir.str();
    return options;
}

std::vector<std::string> g_diags;
void CaptureDiag(const char* text) {
    g_diags.emplace_back(text);
}

TEST(DataFile, RoundTripByteForByte) {
    TempDir dir;
    const LinkTable table = PatternTable();
    const SettingsBlock settings{1, 0, 7, 1};
    pw::LogStore saver(FixedClockOptions(dir.str()));
    saver.setEventsToFile(true);
    saver.setTraceAscii(true);
    pw::SaveDataFileTo(In(dir), settings, table, saver);

    const std::string file = ReadFile(dir / "portweave.dta");
    ASSERT_EQ(file.size(), 14576u);
    EXPECT_EQ(file, ImageOf(settings, table));
    EXPECT_EQ(U32At(file, EntryOffset(3) + 8 + 244), PORT_TYPE_IP);
    EXPECT_EQ(U32At(file, EntryOffset(3) + 8 + 443), 0x01020304u);
    EXPECT_EQ(U32At(file, EntryOffset(31)), 31u);
    EXPECT_FALSE(fs::exists(dir / "portweave.dta.tmp"));

    pw::LogStore loader(FixedClockOptions(dir.str()));
    SettingsBlock loadedSettings{};
    LinkTable loaded{};
    EXPECT_TRUE(pw::LoadDataFileFrom(In(dir), loadedSettings, loaded, loader));
    EXPECT_EQ(ImageOf(loadedSettings, loaded), file);
    EXPECT_TRUE(loader.eventsToFile());
    EXPECT_FALSE(loader.traceToFile());
    EXPECT_TRUE(loader.traceAscii());

    // The switches saved are the log's running ones, not the stale copy in the settings.
    saver.setTraceToFile(true);
    saver.setTraceAscii(false);
    pw::SaveDataFileTo(In(dir), settings, table, saver);
    const std::string again = ReadFile(dir / "portweave.dta");
    EXPECT_EQ(U32At(again, 4), 1u);
    EXPECT_EQ(U32At(again, 12), 0u);
}

TEST(DataFile, ShortFilesKeepWhatArrived) {
    TempDir dir;
    SettingsBlock settings{};
    LinkTable table{};
    const LinkTable pattern = PatternTable();
    g_diags.clear();
    pw::set_diag_sink(CaptureDiag);

    // 10 bytes with logEventsToFile 1: the event reaches event.log, there being no list yet.
    const SettingsBlock head{1, 0, 0x05060708, 1};
    WriteFile(dir / "portweave.dta", ImageOf(head, pattern).substr(0, 10));
    pw::LogStore log(FixedClockOptions(dir.str()));
    EXPECT_FALSE(pw::LoadDataFileFrom(In(dir), settings, table, log));
    EXPECT_EQ(std::uint32_t{settings.logEventsToFile}, 1u);
    EXPECT_EQ(std::uint32_t{settings.selectedLinkRow}, 0x0708u);
    EXPECT_EQ(std::uint32_t{settings.traceAscii}, 0u);
    EXPECT_EQ(std::uint32_t{table.entry[0].inUse}, 0u);
    EXPECT_EQ(ReadFile(dir / "event.log"), kStamp + "Failed to read data file\r\n");
    EXPECT_TRUE(g_diags.empty());

    // 16 + 455 bytes with logEventsToFile 0: settings and entry 0 arrive; no list and no file
    // can show the event, so it goes to standard error.
    const SettingsBlock off{0, 0, 2, 0};
    WriteFile(dir / "portweave.dta", ImageOf(off, pattern).substr(0, 16 + 455));
    pw::LogStore quiet(FixedClockOptions((dir / "none").string()));
    EXPECT_FALSE(pw::LoadDataFileFrom(In(dir), settings, table, quiet));
    pw::set_diag_sink(nullptr);
    EXPECT_EQ(std::uint32_t{settings.selectedLinkRow}, 2u);
    EXPECT_EQ(std::memcmp(&table.entry[0], &pattern.entry[0], sizeof(LinkEntry)), 0);
    for (std::uint32_t i = 1; i < MAX_LINKS; ++i) {
        EXPECT_EQ(std::uint32_t{table.entry[i].linkId}, i);
        EXPECT_EQ(std::uint32_t{table.entry[i].inUse}, 0u);
        EXPECT_EQ(table.entry[i].config.name[0], '\0');
    }
    EXPECT_EQ(g_diags, std::vector<std::string>{"Failed to read data file"});
}

TEST(DataFile, LoadIgnoresStoredIdsAndBoundsTexts) {
    TempDir dir;
    LinkTable stored = PatternTable();
    stored.entry[5].linkId = 9;
    stored.entry[6].inUse = 0xFFFFFFFF;
    stored.entry[8].inUse = 2;
    stored.entry[3].config.port[1].ipProtocol = IP_PROTO_UDP;
    std::memset(stored.entry[2].config.name, 'N', sizeof(stored.entry[2].config.name));
    std::memset(stored.entry[2].config.port[1].remoteHost, 'H', REMOTE_HOST_MAX + 1);
    WriteFile(dir / "portweave.dta", ImageOf(SettingsBlock{}, stored));

    SettingsBlock settings{};
    LinkTable table{};
    pw::LogStore log(FixedClockOptions(dir.str()));
    EXPECT_TRUE(pw::LoadDataFileFrom(In(dir), settings, table, log));
    EXPECT_EQ(std::uint32_t{table.entry[5].linkId}, 5u);
    // An entry neither in use nor free is free.
    EXPECT_EQ(std::uint32_t{table.entry[6].inUse}, 0u);
    EXPECT_EQ(std::uint32_t{table.entry[8].inUse}, 0u);
    EXPECT_EQ(std::uint32_t{table.entry[7].inUse}, 1u);
    EXPECT_EQ(std::memcmp(&table.entry[6].config, &stored.entry[6].config, sizeof(LinkConfig)), 0);
    EXPECT_EQ(std::string(table.entry[2].config.name), std::string(40, 'N'));
    EXPECT_EQ(std::string(table.entry[2].config.port[1].remoteHost), std::string(40, 'H'));
    // Terminated texts keep the bytes after their zero.
    EXPECT_EQ(std::memcmp(&table.entry[3], &stored.entry[3], sizeof(LinkEntry)), 0);

    // The loaded port kinds feed the trace port texts.
    ModelSink sink;
    log.setSink(&sink);
    const std::uint8_t one[] = {1};
    log.traceData(3, 1, TRACE_DIR_RX, one, 1);
    EXPECT_EQ(sink.traces[0][1], "L4 P2 UDP");
}

TEST(DataFile, MissingFileIsSilentAndLongFileKeepsItsTail) {
    TempDir dir;
    ModelSink sink;
    pw::LogStore log(FixedClockOptions(dir.str()));
    log.setSink(&sink);
    SettingsBlock settings{9, 9, 9, 9};
    LinkTable table = PatternTable();
    EXPECT_FALSE(pw::LoadDataFileFrom(In(dir), settings, table, log));
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(ImageOf(settings, table).substr(0, 20), std::string(20, '\0'));
    EXPECT_EQ(std::uint32_t{table.entry[7].linkId}, 7u);

    std::string tail; // longer than any one copy step
    for (int i = 0; i < 1000; ++i) {
        tail += "tail " + std::to_string(i) + ";";
    }
    WriteFile(dir / "portweave.dta", ImageOf(SettingsBlock{0, 0, 1, 0}, PatternTable()) + tail);
    EXPECT_TRUE(pw::LoadDataFileFrom(In(dir), settings, table, log));
    table.entry[0].inUse = 1;
    ASSERT_EQ(::chmod((dir / "portweave.dta").c_str(), 0640), 0);
    pw::SaveDataFileTo(In(dir), settings, table, log);
    EXPECT_EQ(ReadFile(dir / "portweave.dta"), ImageOf(settings, table) + tail);
    EXPECT_EQ(fs::status(dir / "portweave.dta").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_TRUE(sink.events.empty());
}

// Write step of a save that breaks part way: it checks at every call that the data file still
// holds the old image whole, takes at most 1000 bytes per call, and fails at its fifth call.
std::string g_oldImage;
std::string g_dataPath;
int g_calls = 0;
int g_failAtCall = 0;
int g_failErrno = 0;
bool g_oldFileIntactThroughout = true;

long BreakingWrite(int fd, const void* data, std::size_t size) {
    g_oldFileIntactThroughout = g_oldFileIntactThroughout && ReadFile(g_dataPath) == g_oldImage;
    if (++g_calls == g_failAtCall) {
        errno = g_failErrno;
        return -1;
    }
    return static_cast<long>(::write(fd, data, size < 1000 ? size : 1000));
}

TEST(DataFile, FailedSavesLeaveTheOldFile) {
    TempDir dir;
    const LinkTable table = PatternTable();
    g_oldImage = ImageOf(SettingsBlock{0, 0, 3, 0}, LinkTable{}) + "tail";
    g_dataPath = (dir / "portweave.dta").string();
    WriteFile(g_dataPath, g_oldImage);
    WriteFile(dir / "portweave.dta.tmp", "left by a save that crashed");
    ModelSink sink;
    pw::LogStore log(FixedClockOptions(dir.str()));
    log.setSink(&sink);

    pw::DataFileOptions options = In(dir);
    options.write = BreakingWrite;
    g_calls = 0;
    g_failAtCall = 5;
    g_failErrno = ENOSPC;
    pw::SaveDataFileTo(options, SettingsBlock{}, table, log);
    EXPECT_GE(g_calls, 5);
    EXPECT_TRUE(g_oldFileIntactThroughout);
    EXPECT_EQ(ReadFile(g_dataPath), g_oldImage);
    EXPECT_FALSE(fs::exists(dir / "portweave.dta.tmp"));
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0][1], "Failed to write data file err=0x1c");

    // The same steps without the failure complete the save, in 1000-byte pieces.
    g_calls = 0;
    g_failAtCall = -1;
    pw::SaveDataFileTo(options, SettingsBlock{}, table, log);
    EXPECT_EQ(ReadFile(g_dataPath), ImageOf(SettingsBlock{}, table) + "tail");
    EXPECT_GE(g_calls, 15);

    // A data file that cannot be opened for writing (here a directory) stays as it is.
    fs::remove(g_dataPath);
    fs::create_directory(g_dataPath);
    pw::SaveDataFileTo(In(dir), SettingsBlock{}, table, log);
    EXPECT_TRUE(fs::is_directory(g_dataPath));
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[1][1], "Failed to open data file for writing err=0x15");
}

TEST(DataFile, UnwritableDirectoryAtExitReportsOnStderr) {
    TempDir dir;
    pw::LogStore log(FixedClockOptions(dir.str()));
    log.setEventsToFile(true);
    log.shutdown(); // exit closes the logs before the save
    g_diags.clear();
    pw::set_diag_sink(CaptureDiag);
    // Tests run as root, which permission bits do not stop: a directory that does not exist
    // cannot be written either.
    pw::DataFileOptions options;
    options.directory = (dir / "gone").string();
    pw::SaveDataFileTo(options, SettingsBlock{}, LinkTable{}, log);
    pw::set_diag_sink(nullptr);
    EXPECT_EQ(g_diags, std::vector<std::string>{"Failed to open data file for writing err=0x2"});
    EXPECT_FALSE(fs::exists(dir / "event.log"));
}

TEST(DataFile, SaveThroughSymlinkAndInCurrentDirectory) {
    TempDir dir;
    fs::create_directory(dir / "real");
    fs::create_symlink(dir / "real" / "data.dta", dir / "portweave.dta");
    pw::LogStore log(FixedClockOptions(dir.str()));
    const LinkTable table = PatternTable();
    pw::SaveDataFileTo(In(dir), SettingsBlock{}, table, log);
    EXPECT_TRUE(fs::is_symlink(dir / "portweave.dta"));
    EXPECT_EQ(ReadFile(dir / "real" / "data.dta"), ImageOf(SettingsBlock{}, table));

    // The application's calls: the current directory and the process log.
    const fs::path before = fs::current_path();
    fs::current_path(dir / "real");
    SaveDataFile(SettingsBlock{0, 0, 4, 0}, table);
    SettingsBlock settings{};
    LinkTable loaded{};
    const bool complete = LoadDataFile(settings, loaded);
    fs::current_path(before);
    EXPECT_TRUE(complete);
    EXPECT_EQ(std::uint32_t{settings.selectedLinkRow}, 4u);
    EXPECT_EQ(ImageOf(settings, loaded), ReadFile(dir / "real" / "portweave.dta"));
    EXPECT_EQ(ImageOf(settings, loaded), ImageOf(SettingsBlock{0, 0, 4, 0}, table));
}

} // namespace
