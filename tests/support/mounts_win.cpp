// Windows has no mounts: nothing is ever mounted there, and the cases that need a mount skip.
#include "tests/support/mounts.h"

namespace testsupport {

BindMount::BindMount(const std::string& /*source*/, const std::string& /*target*/) {}

BindMount::~BindMount() = default;

} // namespace testsupport
