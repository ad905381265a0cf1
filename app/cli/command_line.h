// The command line of `portweave`: which mode runs, in which working directory, on which file.
// A plain function of the arguments; no window system and no platform calls, so every build (the
// one without Qt too) parses it the same way.
#pragma once

#include <string>
#include <vector>

namespace pw::app {

// Exit status of every mode.
constexpr int EXIT_DONE = 0;        // success
constexpr int EXIT_REFUSED = 1;     // a failure the message names
constexpr int EXIT_USAGE_ERROR = 2; // the command line itself is wrong

enum class Mode {
    Desktop,  // no mode flag: the window
    Headless, // --headless: the engine, links, data file and logs without a window
    List,     // --list: the configured links, one line each
    Export,   // --export [FILE]: the configuration as JSON
    Import,   // --import FILE: check FILE and make it the configuration
    Version,  // --version
    Help,     // --help
};

struct CommandLine {
    Mode mode = Mode::Desktop;
    std::string dir;  // --dir DIR; empty: the default rules choose the working directory
    std::string file; // the FILE of --export (empty: standard output) or --import
    // Arguments left to the desktop's toolkit ("-style fusion"), after the program's name.
    std::vector<std::string> desktopArgs;
    std::string error; // not empty: a usage error, one line without the "portweave: " prefix
};

// Reads argv[1] to argv[argc - 1]. Options: --headless, --list, --export [FILE], --import FILE,
// --version, --help (at most one of these) and --dir DIR (also --dir=DIR). An --export
// followed by an argument that does not begin with "-" takes it as its FILE. Without a mode
// flag, arguments that begin with a single "-" (and the one after each, when that does not
// begin with "-") are the desktop toolkit's own.
[[nodiscard]] CommandLine ParseCommandLine(int argc, const char* const* argv);

// The text of --help, ending in a newline.
[[nodiscard]] std::string UsageText();

} // namespace pw::app
