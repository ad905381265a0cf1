// The program's modes, chosen by the command line.
#include "app/cli/program.h"

#include "app/cli/config_json.h"
#include "app/cli/headless.h"
#include "app/core/app_platform.h"
#include "app/core/texts.h"
#include "base/platform.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace pw::app {

namespace {

bool Refuse(const std::string& message) {
    diag(message.c_str());
    return false;
}

// The data file of the current directory. A directory without one holds no links; a file that
// is there but cannot be read whole is an error, told in `problem` (nothing is logged: these
// modes leave the directory's logs alone).
bool ReadDataFile(const std::string& dir, SettingsBlock& settings, LinkTable& table,
                  std::string& problem) {
    settings = SettingsBlock{};
    table = LinkTable{};
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        table.entry[i].linkId = i;
    }
    const std::string path = dir + "/" + DATA_FILE_NAME;
    std::error_code error;
    if (!std::filesystem::exists(DATA_FILE_NAME, error) && !error) {
        return true;
    }
    const auto size = std::filesystem::file_size(DATA_FILE_NAME, error);
    if (error || size < DATA_FILE_SIZE) {
        problem = path + ": " + (error ? error.message() : "shorter than a data file");
        return false;
    }
    LogStore log;
    if (!LoadDataFileFrom(DataFileOptions{}, settings, table, log)) {
        problem = path + ": cannot be read";
        return false;
    }
    return true;
}

// The data file for --list and --export; false, told, when it cannot be read.
bool ReadDataFileOrSay(const std::string& dir, SettingsBlock& settings, LinkTable& table) {
    std::string problem;
    return ReadDataFile(dir, settings, table, problem) || Refuse(problem);
}

// One port of --list: what it is and where it goes.
std::string PortLine(const PortConfig& port, const ComDevices& devices) {
    std::string text = port.portType == PORT_TYPE_SERIAL ? ComItemText(port.comIndex, devices)
                                                         : PortColumnText(port);
    if (port.portType == PORT_TYPE_IP) {
        const std::string host(port.remoteHost, strnlen(port.remoteHost, REMOTE_HOST_MAX));
        if (port.ipProtocol == IP_PROTO_UDP) {
            text += " to " + host;
        } else if (port.tcpRole == TCP_ROLE_CLIENT) {
            text += " to " + host + ":" + std::to_string(port.ipPort);
        } else {
            text += " on port " + std::to_string(port.ipPort);
        }
    }
    return text + (port.active == 1 ? " (active)" : "");
}

int RunList(const std::string& dir) {
    SettingsBlock settings{};
    LinkTable table{};
    if (!ReadDataFileOrSay(dir, settings, table)) {
        return EXIT_REFUSED;
    }
    const ComDevices devices = LoadComDevices(COM_DEVICE_FILE_NAME);
    for (const LinkEntry& entry : table.entry) {
        if (entry.inUse == 1) {
            std::printf("%u %s: P1 %s, P2 %s\n", entry.linkId, NameOf(entry.config).c_str(),
                        PortLine(entry.config.port[0], devices).c_str(),
                        PortLine(entry.config.port[1], devices).c_str());
        }
    }
    return EXIT_DONE;
}

int RunExport(const std::string& dir, const std::string& file) {
    SettingsBlock settings{};
    LinkTable table{};
    if (!ReadDataFileOrSay(dir, settings, table)) {
        return EXIT_REFUSED;
    }
    const std::string text = ExportConfigJson(settings, table);
    if (file.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 ? EXIT_DONE : EXIT_REFUSED;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out ? EXIT_DONE : (Refuse("cannot write " + file), EXIT_REFUSED);
}

// The file's bytes as a save writes them: the switches as 1 or 0.
std::string DataFileImage(SettingsBlock settings, const LinkTable& table) {
    settings.logEventsToFile = settings.logEventsToFile == 1 ? 1 : 0;
    settings.logTraceToFile = settings.logTraceToFile == 1 ? 1 : 0;
    settings.traceAscii = settings.traceAscii == 1 ? 1 : 0;
    std::string image(DATA_FILE_SIZE, '\0');
    std::memcpy(image.data(), &settings, sizeof settings);
    std::memcpy(image.data() + sizeof settings, &table, sizeof table);
    return image;
}

int RunImport(const std::string& dir, const std::string& file) {
    // A desktop keeps the configuration in its window and writes it at exit, over the new file.
    const LockHolder holder = ProbeDirectoryLock(DIRECTORY_LOCK_NAME);
    const bool running = holder.state == LockResult::HeldByOther;
    if (running && holder.role != InstanceRole::Headless) {
        diag((holder.role == InstanceRole::Desktop
                  ? "the desktop application is running in " + dir +
                        " and would overwrite the configuration at exit; close it first"
                  : "another instance is starting in " + dir + "; try again")
                 .c_str());
        return EXIT_REFUSED;
    }
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        diag(("cannot read " + file).c_str());
        return EXIT_REFUSED;
    }
    SettingsBlock current{};
    LinkTable base{};
    if (std::string problem; !ReadDataFile(dir, current, base, problem)) {
        base = LinkTable{}; // a damaged file is replaced whole
    }
    SettingsBlock settings{};
    LinkTable table{};
    const ImportResult result =
        ImportConfigJson(text.str(), base, LoadComDevices(COM_DEVICE_FILE_NAME), settings, table);
    if (!result.ok) {
        diag((file + ": " + result.error).c_str());
        return EXIT_REFUSED;
    }
    LogStore log;
    log.setEventsToFile(settings.logEventsToFile == 1);
    log.setTraceToFile(settings.logTraceToFile == 1);
    log.setTraceAscii(settings.traceAscii == 1);
    SaveDataFileTo(DataFileOptions{}, settings, table, log);
    std::ifstream written(DATA_FILE_NAME, std::ios::binary);
    std::string bytes(DATA_FILE_SIZE, '\0');
    written.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!written || bytes != DataFileImage(settings, table)) {
        diag(("cannot write " + dir + "/" + DATA_FILE_NAME).c_str());
        return EXIT_REFUSED;
    }
    if (running && !RequestReload(holder.pid)) {
        diag(("the data file is written, but the instance running in " + dir +
              " cannot be told to reload it")
                 .c_str());
        return EXIT_REFUSED;
    }
    return EXIT_DONE;
}

} // namespace

bool EnterGivenDirectory(const std::string& dir, std::string& error) {
    std::error_code code;
    std::filesystem::create_directories(dir, code);
    if (!code) {
        std::filesystem::current_path(dir, code);
    }
    if (code) {
        error = "cannot use the directory " + dir + ": " + code.message();
        return false;
    }
    return true;
}

int RunProgram(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    if (!line.error.empty()) {
        diag(line.error.c_str());
        return EXIT_USAGE_ERROR;
    }
    switch (line.mode) {
    case Mode::Version:
        std::printf("portweave %s\n", PRODUCT_VERSION);
        return EXIT_DONE;
    case Mode::Help:
        std::fputs(UsageText().c_str(), stdout);
        return EXIT_DONE;
    case Mode::Desktop:
        return RunDesktop(argc > 0 ? argv[0] : "portweave", line);
    default:
        break;
    }
    // The other modes work in a directory: --dir, or the desktop's default rules. A FILE is
    // where the user named it, before that.
    std::string file = line.file;
    if (std::error_code error; !file.empty()) {
        file = std::filesystem::absolute(file, error).string();
    }
    if (std::string error; !line.dir.empty() && !EnterGivenDirectory(line.dir, error)) {
        diag(error.c_str());
        return EXIT_REFUSED;
    }
    if (line.dir.empty()) {
        (void)EnterWorkingDirectory();
    }
    std::error_code error;
    const std::string dir = std::filesystem::current_path(error).string();
    switch (line.mode) {
    case Mode::Headless:
        return RunHeadless(dir);
    case Mode::List:
        return RunList(dir);
    case Mode::Export:
        return RunExport(dir, file);
    default:
        return RunImport(dir, file);
    }
}

} // namespace pw::app
