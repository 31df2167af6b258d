// The descriptor limit on Linux: RLIMIT_NOFILE, and the lowest free descriptor found by
// duplicating a descriptor kept for the purpose (and closing the copy at once).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "support/descriptors.h"
#include "support/unique_handle_posix.h"

namespace tervane {

std::uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<std::uint64_t>(limit.rlim_cur);
}

std::uint64_t DescriptorLimitNow() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

bool LowestFreeDescriptorBelow(std::uint64_t line) {
  // A descriptor that names nothing to read or write, opened once, only to be duplicated.
  static const int anchor = ::open("/", O_PATH | O_CLOEXEC);
  if (anchor < 0) return false;
  const int lowest = UniqueFd(::fcntl(anchor, F_DUPFD_CLOEXEC, 0)).get();  // the copy is closed at once
  return lowest >= 0 && static_cast<std::uint64_t>(lowest) < line;
}

}  // namespace tervane
