// The HTML pages shipped with the program (help, product page) and where they are looked for:
// the working directory (the program's own directory in portable use), the directory of the
// executable, then the installed documentation directory. Main thread.
#pragma once

#include <string>
#include <vector>

namespace pw::app {

// The directories searched, in order: the current directory, the executable's directory (when
// known) and `docDir` (when not empty).
[[nodiscard]] std::vector<std::string> ShippedPageDirectories(const std::string& docDir);

// "<dir>/<fileName>" of the first directory that holds a regular file of that name; empty when
// none does.
[[nodiscard]] std::string FindShippedPage(const std::string& fileName,
                                          const std::vector<std::string>& dirs);

} // namespace pw::app
