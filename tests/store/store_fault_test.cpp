// The logs and the data file in a tmpfs of a few pages (in a private mount namespace) that fills
// up and then turns read-only.
#include "tests/store/store_util.h"
#include "tests/support/mounts.h"

TEST(StoreFullDirectory, NoLogLineIsTornTheOldDataFileStaysAndReadOnlyHarmsNothing) {
    using namespace st;
    testsupport::SmallTmpfs tmpfs(64 * 1024);
    if (!tmpfs.mounted()) {
        GTEST_SKIP() << "no tmpfs can be mounted here (needs root)";
    }
    // Lines that leave 20 bytes of their last block free: a longer line fits only in part.
    const std::string dir = tmpfs.path(), head(testsupport::tmpfs_block_size() - 20, '\n');
    Write(dir + "/event.log", head);
    Write(dir + "/trace.log", head);
    LinkTable table{};
    Write(dir + "/portweave.dta", ImageOf({1, 1, 0, 0}, table));
    ASSERT_TRUE(tmpfs.fill());
    auto log = std::make_unique<pw::LogStore>(Fixed(dir));
    Sink sink;
    log->setSink(&sink);
    SettingsBlock settings;
    EXPECT_TRUE(pw::LoadDataFileFrom({dir, {}}, settings, table, *log)); // both files switched on
    log->logEvent("an event longer than the space that is left");
    log->traceData(0, 0, TRACE_DIR_RX, Bytes(head), 16);
    table.entry[4].inUse = 1;
    pw::SaveDataFileTo({dir, {}}, settings, table, *log);
    log->flush(); // the writer has tried every line
    EXPECT_EQ(sink.events.back(), "Failed to write data file err=0x1c");
    EXPECT_TRUE(Read(dir + "/event.log") == head && Read(dir + "/trace.log") == head &&
                Read(dir + "/portweave.dta") == ImageOf({1, 1, 0, 0}, LinkTable{}) &&
                !fs::exists(dir + "/portweave.dta.tmp"));
    tmpfs.release(); // the space is back: the next lines start clean and the save goes through
    log->logEvent("space is back");
    log->traceData(1, 1, TRACE_DIR_TX, Bytes(head), 2);
    pw::SaveDataFileTo({dir, {}}, settings, table, *log);
    log->flush();
    EXPECT_EQ(Read(dir + "/event.log"), head + kStamp + "space is back\r\n");
    EXPECT_EQ(Read(dir + "/trace.log"), head + kStamp + ", L2 P2 (COM1), Tx, 2, 0a 0a \r\n");
    EXPECT_EQ(Read(dir + "/portweave.dta"), ImageOf(settings, table));

    log = std::make_unique<pw::LogStore>(Fixed(dir)); // closes the files
    ASSERT_TRUE(tmpfs.setReadOnly(true)); // loading works; writes fail, are told and harm nothing
    log->setSink(&sink);
    EXPECT_TRUE(pw::LoadDataFileFrom({dir, {}}, settings, table, *log));
    pw::SaveDataFileTo({dir, {}}, {}, LinkTable{}, *log);
    EXPECT_EQ(sink.events.back(), "Failed to open data file for writing err=0x1e");
    EXPECT_EQ(Read(dir + "/event.log"), head + kStamp + "space is back\r\n");
    EXPECT_EQ(Read(dir + "/portweave.dta"), ImageOf(settings, table));
}
