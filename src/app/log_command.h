// kesp log [-f] [-n N]: the month's log file (logs/YYYY-MM.log, UTF-16LE as the Windows program
// writes it too) printed as UTF-8 lines, control characters escaped; -n N prints only its last
// N lines, -f then follows the file as lines are added (and the next month's file when the
// month changes), as tail -f does.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/event_log.h"

namespace tervane {

struct LogFollowing {
  // Asked before each look for new lines; following ends when it answers false (or when the
  // output cannot be written any more).
  std::function<bool()> goOn;
  unsigned pollMs = 500;
};

// follow: -f; last: -n N. logFolder: the data folder's logs, without a trailing separator
// (EventLog::LogFolder). Answers the exit code.
int RunLogCommand(bool follow, std::optional<std::size_t> last, const Path& logFolder, IClock& clock, std::ostream& out,
                  std::ostream& err, const LogFollowing& following = {});

}  // namespace tervane
