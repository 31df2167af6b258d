// The crash-loop guard of kesp.ini (MaxRestarts within RestartWindowMinutes), in the spirit of
// systemd's StartLimitBurst: a server restarted that often within the window is paused, as the
// Pause command does, instead of being started again and again.
#pragma once

#include <vector>

#include "core/server_status.h"

namespace tervane {

// Restarts that count: the supervision's own (fatal error, lost process, no response). The
// first start since load and the operator's restarts do not.
bool CountsAsCrash(RestartReason reason);

class CrashLoopGuard {
 public:
  // maxRestarts 0: off, never trips.
  CrashLoopGuard(int maxRestarts, int windowMinutes) : max_(maxRestarts), windowSeconds_(windowMinutes * 60LL) {}
  bool Enabled() const { return max_ > 0; }

  // Notes a restart at `now` in the server's history (times outside the window forgotten);
  // answers true when the history reaches the limit, which then starts afresh.
  bool RecordRestart(std::vector<WallTime>& history, WallTime now) const;

 private:
  int max_;
  long long windowSeconds_;
};

}  // namespace tervane
