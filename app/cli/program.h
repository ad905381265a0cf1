// The `portweave` program: main() hands its arguments to RunProgram, which runs the mode the
// command line names. Only the desktop mode needs the window system; it is one function that the
// Qt build provides (app/ui/desktop.cpp) and a build without Qt replaces with a stand-in, so
// every other mode runs the same in every build.
#pragma once

#include "app/cli/command_line.h"

#include <string>

namespace pw::app {

// Parses the command line and runs its mode; returns the exit status.
[[nodiscard]] int RunProgram(int argc, char** argv);

// The desktop application: the window, its single-instance rule and its working directory
// (`line.dir`, or the default rules). `program` is argv[0].
[[nodiscard]] int RunDesktop(const char* program, const CommandLine& line);

// Creates `dir` when missing and makes it the current directory. False, with the reason in
// `error`, when that fails.
[[nodiscard]] bool EnterGivenDirectory(const std::string& dir, std::string& error);

} // namespace pw::app
