// Parsing of the command line.
#include "app/cli/command_line.h"

#include <string_view>

namespace pw::app {

namespace {

struct ModeFlag {
    std::string_view flag;
    Mode mode;
};
constexpr ModeFlag MODE_FLAGS[] = {
    {"--headless", Mode::Headless}, {"--list", Mode::List},       {"--export", Mode::Export},
    {"--import", Mode::Import},     {"--version", Mode::Version}, {"--help", Mode::Help},
};

bool IsOption(std::string_view arg) {
    return arg.size() > 1 && arg[0] == '-';
}

} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    std::string_view modeFlag;
    bool dirGiven = false;
    std::vector<std::string> loose; // single-dash options and their values
    auto fail = [&line](std::string message) {
        if (line.error.empty()) {
            line.error = std::move(message);
        }
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
        const bool hasNext = i + 1 < argc && argv[i + 1] != nullptr;
        if (arg == "--dir" || arg.starts_with("--dir=")) {
            std::string_view value;
            if (arg == "--dir") {
                if (!hasNext) {
                    fail("--dir needs a directory");
                    break;
                }
                value = argv[++i];
            } else {
                value = arg.substr(6);
            }
            if (value.empty()) {
                fail("--dir needs a directory");
            } else if (dirGiven) {
                fail("--dir given twice");
            }
            dirGiven = true;
            line.dir = value;
            continue;
        }
        const ModeFlag* found = nullptr;
        for (const ModeFlag& m : MODE_FLAGS) {
            if (arg == m.flag) {
                found = &m;
            }
        }
        if (found != nullptr) {
            if (!modeFlag.empty()) {
                fail(std::string(modeFlag) + " and " + std::string(arg) + " cannot be combined");
            }
            modeFlag = found->flag;
            line.mode = found->mode;
            if (found->mode == Mode::Import) {
                if (!hasNext || IsOption(argv[i + 1])) {
                    fail("--import needs a FILE");
                } else {
                    line.file = argv[++i];
                }
            } else if (found->mode == Mode::Export && hasNext && !IsOption(argv[i + 1])) {
                line.file = argv[++i];
            }
            continue;
        }
        if (arg.starts_with("--") || !IsOption(arg)) {
            fail((IsOption(arg) ? "unknown option " : "unexpected argument ") + std::string(arg));
            continue;
        }
        loose.emplace_back(arg);
        if (hasNext && !IsOption(argv[i + 1])) {
            loose.emplace_back(argv[++i]);
        }
    }
    if (line.mode == Mode::Desktop) {
        line.desktopArgs = std::move(loose);
    } else if (!loose.empty()) {
        fail("unknown option " + loose.front());
    }
    if (!line.error.empty()) {
        line.error += " (see portweave --help)";
    }
    return line;
}

std::string UsageText() {
    return "usage:\n"
           "  portweave [--dir DIR]                  the desktop application\n"
           "  portweave --headless [--dir DIR]       the bridge without a window, as a service\n"
           "  portweave --list [--dir DIR]           the configured links, one line each\n"
           "  portweave --export [FILE] [--dir DIR]  the configuration as JSON (to standard\n"
           "                                         output without FILE)\n"
           "  portweave --import FILE [--dir DIR]    check FILE and make it the configuration\n"
           "  portweave --version                    the version\n"
           "  portweave --help                       this text\n"
           "--dir DIR works in DIR (the data file, the logs, portweave.ports) and creates it\n"
           "when missing. Exit status: 0 success, 1 failure, 2 usage error.\n"
           "Signals to --headless: SIGTERM or SIGINT end it (the data file is saved), SIGHUP\n"
           "reads the data file again and applies what changed.\n";
}

} // namespace pw::app
