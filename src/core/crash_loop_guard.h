// The crash-loop guard of kesp.ini (MaxRestarts within RestartWindowMinutes), in the spirit of
// systemd's StartLimitBurst: the restart that would be the MaxRestarts-th within the window is
// not made; the server is paused instead, as the Pause command pauses it.
#pragma once

#include <vector>

#include "core/server_status.h"

namespace tervane {

// Restarts that count: the supervision's own (fatal error, lost process, no response). The
// first start since load and the operator's restarts do not.
bool CountsAsCrash(RestartReason reason);

class CrashLoopGuard {
 public:
  // maxRestarts 0: off, admits every restart.
  CrashLoopGuard(int maxRestarts = 0, int windowMinutes = 10)
      : max_(maxRestarts), windowMinutes_(windowMinutes), windowSeconds_(windowMinutes * 60LL) {}
  bool Enabled() const { return max_ > 0; }
  int MaxRestarts() const { return max_; }
  int WindowMinutes() const { return windowMinutes_; }

  // Whether a restart at `now` is refused, given the server's history of restarts (times
  // outside the window forgotten): the one that would reach the limit is, and the history then
  // starts afresh. A restart may still not happen after the question, so one that was made is
  // noted apart.
  bool Refuses(std::vector<WallTime>& history, WallTime now) const;
  void Note(std::vector<WallTime>& history, WallTime now) const;

 private:
  int max_;
  int windowMinutes_;
  long long windowSeconds_;
};

}  // namespace tervane
