// The data file: loads of files of every length and content, and saves that go whole or not at all.
#include "tests/store/store_util.h"

#include <cerrno>
#include <cstring>
#include <unistd.h> // write(), which MinGW declares too

namespace {

using namespace st;

LinkTable Pattern() { // every byte differs from its neighbours
    LinkTable table;
    for (std::size_t i = 0; i < sizeof table; ++i) {
        reinterpret_cast<std::uint8_t*>(&table)[i] = static_cast<std::uint8_t>(i * 13 + 7);
    }
    return table;
}

// What a load makes of `file`: its first 14576 bytes (zero past its end), every linkId its index,
// an inUse other than 1 free, and a text without a zero in its field cut to 40 characters.
std::string Loaded(std::string file) {
    file.resize(DATA_FILE_SIZE);
    static LinkTable t;
    std::memcpy(&t, file.data() + sizeof(SettingsBlock), sizeof t);
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        t.entry[i].linkId = i;
        t.entry[i].inUse = t.entry[i].inUse == 1 ? 1 : 0;
        for (char* s : {t.entry[i].config.name, t.entry[i].config.port[0].remoteHost,
                        t.entry[i].config.port[1].remoteHost}) {
            s[LINK_NAME_MAX] = std::memchr(s, 0, LINK_NAME_MAX + 1) ? s[LINK_NAME_MAX] : 0;
        }
    }
    return file.replace(sizeof(SettingsBlock), sizeof t, reinterpret_cast<char*>(&t), sizeof t);
}

TEST(DataFile, LoadKeepsWhatArrivedAndBoundsEveryField) {
    LinkTable some = Pattern();
    some.entry[0].inUse = some.entry[31].inUse = 1;
    const std::string on = ImageOf({1, 2, 7, 1}, some), off = ImageOf({0, 1, 2, 0}, some);
    const std::string fail = "Failed to read data file", diag = "portweave: " + fail + "\n";
    const struct {
        std::string what, file; // what "-": no file; "/": the directory named is the file
        bool complete;
        std::string told; // in event.log when its switch is on, else on standard error
    } cases[] = {
        {"-", "", false, ""},
        {"/", "", false, "portweave: data file cannot be opened err=0x14\n"},
        {"10 bytes", on.substr(0, 10), false, kStamp + fail + "\r\n"},
        {"settings and entry 0", off.substr(0, 16 + 455), false, diag},
        {"one byte short", off.substr(0, DATA_FILE_SIZE - 1), false, diag},
        {"whole", off, true, ""},
        {"longer", on + "tail", true, ""},
        {"all 0xFF", std::string(DATA_FILE_SIZE, '\xFF'), true, ""},
    };
    const std::size_t fds = testsupport::open_fd_count();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.what == "/" && !kPosix) {
            continue; // Windows tells no path, as for a missing directory: the file is missing
        }
        TempDir dir;
        if (c.what != "-") {
            Write(dir / DATA_FILE_NAME, c.file);
        }
        SettingsBlock settings;
        static LinkTable table;
        std::memset(&settings, 0xEE, sizeof settings);
        std::memset(&table, 0xEE, sizeof table);
        testing::internal::CaptureStderr();
        {
            pw::LogStore log(Fixed(dir.str()));
            errno = EINTR; // left by an earlier call: only a failed call's errno counts
            const fs::path from = c.what == "/" ? dir / DATA_FILE_NAME : dir / "";
            EXPECT_EQ(pw::LoadDataFileFrom({from.string(), {}}, settings, table, log), c.complete);
            EXPECT_EQ(ImageOf(settings, table), Loaded(c.file));
            EXPECT_EQ(log.eventsToFile(), settings.logEventsToFile == 1);
            EXPECT_EQ(log.traceToFile(), settings.logTraceToFile == 1);
            EXPECT_EQ(log.traceAscii(), settings.traceAscii == 1);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr() + Read(dir / "event.log"), c.told);
        EXPECT_EQ(testsupport::open_fd_count(), fds);
    }
}

// A write step that takes at most 1000 bytes a call, leaves errno as an interrupted call set it,
// checks at every call that the data file still holds the old image, and fails at call g_failAt.
std::string g_old;
int g_calls, g_failAt = 17; // while the old file's tail is copied
bool g_oldKept;
long PieceWrite(int fd, const void* data, std::size_t size) {
    g_oldKept = g_oldKept && Read(DATA_FILE_NAME) == g_old;
    const long n =
        ++g_calls == g_failAt ? -1 : ::write(fd, data, std::min<std::size_t>(size, 1000));
    errno = n < 0 ? ENOSPC : EINTR;
    return n;
}

TEST(DataFile, SavesReplaceTheFileWholeOrLeaveItAsItWas) {
    testsupport::ScratchDir here; // the application's calls use the current directory
    const std::string tail = ImageOf({}, Pattern()).substr(0, 9000), // longer than a copy step
        temp = std::string(DATA_FILE_NAME) + ".tmp";
    Write(DATA_FILE_NAME, g_old = ImageOf({}, LinkTable{}) + tail);
    Write(temp, "left by a save that crashed");
    pw::LogStore log(Fixed(""));
    Sink sink;
    log.setSink(&sink);
    log.setEventsToFile(true);
    LinkTable table = Pattern();
    g_calls = 0, g_oldKept = true;
    pw::SaveDataFileTo({"", PieceWrite}, {0, 1, 7, 0}, table, log);
    EXPECT_TRUE(g_calls == 17 && g_oldKept && !fs::exists(temp));
    EXPECT_EQ(Read(DATA_FILE_NAME), g_old);
    EXPECT_EQ(sink.events, Rows{"Failed to write data file err=0x1c"});
    pw::SaveDataFileTo({}, {0, 1, 7, 0}, table, log); // the switches saved are the log's
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(Read(DATA_FILE_NAME), ImageOf({1, 0, 7, 0}, table) + tail);

    // The application's calls, through the process log, which also serves the engine's callbacks.
    table.entry[3].config.port[1].portType = PORT_TYPE_IP;
    table.entry[3].config.port[1].ipProtocol = IP_PROTO_UDP;
    SaveDataFile({0, 0, 4, 0}, table);
    EXPECT_EQ(Read(DATA_FILE_NAME), ImageOf({0, 0, 4, 0}, table) + tail);
    SettingsBlock settings;
    EXPECT_TRUE(LoadDataFile(settings, table));
    EXPECT_EQ(ImageOf(settings, table), Loaded(Read(DATA_FILE_NAME)));
    Sink process;
    pw::ProcessLog().setSink(&process);
    TraceData(3, 1, TRACE_DIR_TX, Bytes("\x7f"), 1);
    pw::ProcessLog().setSink(nullptr);
    EXPECT_EQ(process.traces.at(0).substr(kStamp.size()), "|L4 P2 UDP|Tx|1|7f ");

    fs::remove(DATA_FILE_NAME); // one that cannot be opened for writing stays as it is
    fs::create_directory(DATA_FILE_NAME);
    pw::SaveDataFileTo({}, {}, table, log);
    EXPECT_EQ(sink.events.back(),
              "Failed to open data file for writing err=" + Errors("0x15", "0x5"));
    log.shutdown(); // at exit the logs are closed: a failed save is told on standard error
    log.setSink(nullptr);
    testing::internal::CaptureStderr();
    pw::SaveDataFileTo({"gone", {}}, {}, table, log);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "portweave: Failed to open data file for writing err=" + Errors("0x2", "0x3") + "\n");
}

} // namespace
