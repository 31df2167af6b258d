#include "core/crash_loop_guard.h"

#include <algorithm>

namespace tervane {

bool CountsAsCrash(RestartReason reason) {
  return reason == RestartReason::FatalError || reason == RestartReason::ProcessLost ||
         reason == RestartReason::NoResponse;
}

bool CrashLoopGuard::Refuses(std::vector<WallTime>& history, WallTime now) const {
  if (!Enabled()) return false;
  // A clock set back makes older entries look recent: those after now are dropped too.
  std::erase_if(history, [&](WallTime t) { return t <= now - windowSeconds_ || t > now; });
  if (static_cast<int>(history.size()) + 1 < max_) return false;
  history.clear();
  return true;
}

void CrashLoopGuard::Note(std::vector<WallTime>& history, WallTime now) const {
  if (Enabled()) history.push_back(now);
}

}  // namespace tervane
