// Start-up and orderly exit around the engine and the data file.
#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace apptest;

TEST(SessionTest, StartLoadsTheFileAndStopSavesWhatChanged) {
    AppHarness app;
    SettingsBlock settings{};
    settings.selectedLinkRow = 2;
    settings.traceAscii = 1;
    LinkTable table{};
    SetLink(table, 5, "five", TcpServerPort(1000, false), TcpServerPort(1001, true));
    table.entry[5].linkId = 9; // a stored id is never trusted
    ASSERT_TRUE(app.start(settings, table));
    EXPECT_EQ(+app.state().table.entry[5].linkId, 5u);
    EXPECT_STREQ(app.state().table.entry[5].config.name, "five");
    EXPECT_EQ(+app.state().settings.selectedLinkRow, 2u);
    EXPECT_TRUE(app.log.traceAscii());
    EXPECT_EQ(WeaveAllocLink(0), 1u); // the engine runs

    app.state().settings.selectedLinkRow = 7;
    app.state().table.entry[5].config.port[0].active = 1;
    app.log.setEventsToFile(true);
    app.stop();
    EXPECT_EQ(WeaveAllocLink(0), 0u); // the engine has stopped

    SettingsBlock saved{};
    LinkTable savedTable{};
    ASSERT_TRUE(ReadDataFile(app.dir.str(), saved, savedTable));
    EXPECT_EQ(+saved.selectedLinkRow, 7u);
    EXPECT_EQ(+saved.logEventsToFile, 1u);
    EXPECT_EQ(+saved.traceAscii, 1u);
    EXPECT_EQ(+savedTable.entry[5].linkId, 5u);
    EXPECT_EQ(+savedTable.entry[5].config.port[0].active, 1u);
    EXPECT_EQ(+savedTable.entry[5].config.port[1].active, 1u);
}

std::uint32_t RefusingInit(const WeaveInitStruct*, char* errText) {
    std::snprintf(errText, ERR_TEXT_SIZE, "no sockets today");
    return 0;
}

TEST(SessionTest, AFailedEngineStartLeavesTheDataFileAlone) {
    TempDir dir;
    SettingsBlock settings{};
    settings.selectedLinkRow = 4;
    LinkTable table{};
    SetLink(table, 0, "kept", TcpServerPort(1000, true), TcpServerPort(1001, false));
    WriteDataFile(dir.str(), settings, table);
    const std::string before = ReadText(dir / DATA_FILE_NAME);
    {
        pw::LogStore log(LogIn(dir));
        pw::app::EngineCalls calls;
        calls.init = RefusingInit;
        pw::app::Session session(pw::app::SessionOptions{dir.str(), &log, calls});
        char err[ERR_TEXT_SIZE] = {};
        EXPECT_FALSE(session.start(err));
        EXPECT_STREQ(err, "no sockets today");
        EXPECT_FALSE(session.running());
        session.stop(); // nothing to stop, nothing written
    }
    EXPECT_EQ(ReadText(dir / DATA_FILE_NAME), before);
}

} // namespace
