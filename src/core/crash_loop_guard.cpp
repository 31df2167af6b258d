#include "observe/crash_loop_guard.h"

#include <algorithm>

namespace tervane {

bool CountsAsCrash(RestartReason reason) {
  return reason == RestartReason::FatalError || reason == RestartReason::ProcessLost ||
         reason == RestartReason::NoResponse;
}

bool CrashLoopGuard::RecordRestart(std::vector<WallTime>& history, WallTime now) const {
  if (!Enabled()) return false;
  // A clock set back makes older entries look recent: those after now are dropped too.
  std::erase_if(history, [&](WallTime t) { return t <= now - windowSeconds_ || t > now; });
  history.push_back(now);
  if (static_cast<int>(history.size()) < max_) return false;
  history.clear();
  return true;
}

}  // namespace tervane
