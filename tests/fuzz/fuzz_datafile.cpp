// Fuzz target: a data file of any content is loaded, and every link it holds is handed to the
// engine and freed again, without a crash or a sanitizer report.
#include "engine/weave.h"
#include "store/datafile.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    static const std::string dir =
        (fs::temp_directory_path() / ("portweave-fuzz-" + std::to_string(std::random_device{}())))
            .string();
    static const bool started = [] {
        WeaveInitStruct init{[](const char*) {}, nullptr, nullptr, [] { return 0u; }};
        char err[ERR_TEXT_SIZE];
        return fs::create_directory(dir) && WeaveInit(&init, err) != 0 &&
               std::atexit([] { WeaveShutdown(), fs::remove_all(dir); }) == 0;
    }();
    static pw::LogStore log(pw::LogOptions{dir, {}, {}});
    std::ofstream(dir + "/" + DATA_FILE_NAME, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    SettingsBlock settings;
    static LinkTable table; // large: kept off the stack
    pw::LoadDataFileFrom({dir, {}}, settings, table, log);
    char err[ERR_TEXT_SIZE];
    for (std::int32_t id = 0; started && id < static_cast<std::int32_t>(MAX_LINKS); ++id) {
        if (table.entry[id].inUse != 0 && WeaveAllocLink(id) != 0) {
            WeaveSetLinkConfig(id, &table.entry[id].config, err);
            WeaveFreeLink(id);
        }
    }
    return 0;
}
