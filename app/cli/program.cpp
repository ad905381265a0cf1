// The program's modes, chosen by the command line.
#include "app/cli/program.h"

#include "app/core/app_platform.h"
#include "app/core/texts.h"
#include "base/platform.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace pw::app {

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
    diag("this mode is not available yet");
    return EXIT_REFUSED;
}

} // namespace pw::app
