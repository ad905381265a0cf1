// The desktop entry of a build without the window system.
#include "app/cli/program.h"
#include "base/platform.h"

namespace pw::app {

int RunDesktop(const char* /*program*/, const CommandLine& /*line*/) {
    diag("this build has no desktop application; use --headless (see --help)");
    return EXIT_REFUSED;
}

} // namespace pw::app
