#include "core/graceful_stop.h"

#include <algorithm>

namespace tervane {

void GracefulStop::Begin(Clock::time_point now, int stopSeconds, Then then, RestartReason reason) {
  active_ = true;
  failed_ = false;
  deadline_ = now + std::chrono::seconds(std::max(0, stopSeconds));
  then_ = then;
  reason_ = reason;
}

GracefulStop::Step GracefulStop::Check(Clock::time_point now, const Look& process) {
  if (!active_) return Step::None;
  // A look that failed is no sign of an end: the server keeps its time, and past it the end
  // is tried as without the command (which then finds out again, as it does today).
  if (process.Known() && !process.IsRunning()) {
    active_ = false;
    return Step::Ended;
  }
  if (failed_ || now >= deadline_) {
    active_ = false;
    return Step::EndNow;
  }
  return Step::Wait;
}

}  // namespace tervane
