// What the two loops share: a timer's settings and the call of its handler.
#include "support/event_loop.h"

#include <mutex>
#include <vector>

namespace tervane {

void EventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(posted_->mutex);
    posted_->tasks.push_back(std::move(task));
  }
  Wake();
}

void EventLoop::RunPosted() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(posted_->mutex);
    tasks.swap(posted_->tasks);
  }
  // Outside the lock: a task may post again, which then runs in a later pass.
  for (auto& task : tasks) task();
}

void Timer::SetInterval(unsigned milliseconds) {
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  Rearm();
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Rearm();
}

void Timer::Fire() {
  // The handler may disable, re-arm or destroy this very timer: it runs from a copy and
  // nothing of the timer is touched after it returns.
  std::function<void()> handler = OnTimer;
  if (handler) handler();
}

}  // namespace tervane
