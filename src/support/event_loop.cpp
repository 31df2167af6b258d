// What the two loops share: a timer's settings and the call of its handler.
#include "support/event_loop.h"

namespace tervane {

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
