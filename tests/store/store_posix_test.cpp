// The store on POSIX only: a save keeps the data file's link, mode and owner, and a log file that
// blocks (a FIFO nobody reads) never holds up a burst.
#include "tests/store/store_util.h"

#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace st;

TEST(DataFilePosix, ASaveKeepsTheLinkTheModeAndTheOwner) {
    testsupport::ScratchDir here;
    fs::create_directory("real");
    fs::create_symlink("real/data.dta", DATA_FILE_NAME); // a relative link, which stays
    Write("real/data.dta", ImageOf({}, LinkTable{}) + "tail");
    ASSERT_EQ(::chmod("real/data.dta", 0640), 0);
    const bool root = ::geteuid() == 0; // then the file is another user's, as a save must keep it
    const unsigned owner = root ? 4321 : ::geteuid(), group = root ? 4321 : ::getegid();
    ASSERT_EQ(::chown("real/data.dta", owner, group), 0);
    pw::LogStore log(Fixed(""));
    const LinkTable table{};
    pw::SaveDataFileTo({}, {0, 0, 7, 0}, table, log);
    struct stat kept {};
    EXPECT_TRUE(fs::is_symlink(DATA_FILE_NAME) && !fs::exists("real/data.dta.tmp") &&
                fs::status(DATA_FILE_NAME).permissions() == fs::perms(0640) &&
                ::stat(DATA_FILE_NAME, &kept) == 0 && kept.st_uid == owner && kept.st_gid == group);
    EXPECT_EQ(Read("real/data.dta"), ImageOf({0, 0, 7, 0}, table) + "tail");
}

TEST(LogsPosix, ABurstNeverWaitsForTheDiskAndTheFileKeepsWholeLinesInOrderWithTheDropsTold) {
    TempDir dir; // trace.log a FIFO that nobody reads yet: the writer waits in its open
    ASSERT_EQ(::mkfifo((dir / "trace.log").c_str(), 0600), 0);
    pw::LogStore log(Fixed(dir.str()));
    Sink sink;
    log.setSink(&sink);
    log.setEventsToFile(true), log.setTraceToFile(true);
    std::atomic<int> done{0};
    std::vector<std::jthread> threads; // more lines than the queue holds
    for (std::uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 6000; ++i) {
                log.traceData(t, 0, TRACE_DIR_RX, reinterpret_cast<std::uint8_t*>(&i), 4);
            }
            ++done;
        });
    }
    EXPECT_TRUE(testsupport::wait_until([&] { return done == 4; }, std::chrono::seconds(60)));
    std::string file;
    std::jthread reader([&] { file = Read(dir / "trace.log"); }); // up to the writer's close
    threads.clear();
    log.logEvent("after the burst");
    log.shutdown(); // everything queued is written before the files close
    reader.join();
    std::size_t at = 0, lines = 0; // the file: whole lines of the rows, in the rows' order
    for (const std::regex bar("\\|"); const std::string& row : sink.traces) {
        const std::string line = std::regex_replace(row, bar, ", ") + "\r\n";
        at += file.compare(at, line.size(), line) == 0 ? (++lines, line.size()) : 0;
    }
    const std::size_t dropped = sink.traces.size() - lines;
    EXPECT_TRUE(at == file.size() && dropped > 0);
    EXPECT_EQ(Read(dir / "event.log"), kStamp + std::to_string(dropped) +
                                           " trace lines dropped: trace.log could not keep up\r\n" +
                                           kStamp + "after the burst\r\n");
}

} // namespace
