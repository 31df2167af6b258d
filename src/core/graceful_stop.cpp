#include "core/graceful_stop.h"

#include <algorithm>

namespace tervane {

void GracefulStop::Begin(Clock::time_point now, int stopSeconds, RestartReason reason) {
  failed_ = false;
  sent_ = false;
  notSent_ = false;
  why_.clear();
  stopSeconds_ = std::max(0, stopSeconds);
  // RCON drops the command at StopSeconds if it has not begun by then, and an exchange begun in
  // time reports within kResultGrace: no result by then means nothing went out.
  deadline_ = now + std::chrono::seconds(stopSeconds_) + kResultGrace;
  reason_ = reason;
}

void GracefulStop::CommandSent(Clock::time_point at) {
  if (sent_) return;
  sent_ = true;
  deadline_ = at + std::chrono::seconds(stopSeconds_);
}

void GracefulStop::CommandNotSent(std::string why) {
  if (sent_) return;
  failed_ = true;
  notSent_ = true;
  why_ = std::move(why);
}

GracefulStop::Step GracefulStop::Check(Clock::time_point now, const Look& process) const {
  // A look that failed is no sign of an end: the server keeps its time, and past it the end
  // is tried as without the command (which then finds out again, as it does today).
  if (process.Known() && !process.IsRunning()) return Step::Ended;
  if (failed_ || now >= deadline_) return Step::EndNow;
  return Step::Wait;
}

}  // namespace tervane
