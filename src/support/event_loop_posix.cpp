// The Linux loop: one poll() over the watched descriptors and a wake-up pipe, with the timers'
// deadlines on the steady clock as its time-out. Everything runs on the thread that calls Run
// or RunUntil; only Quit may come from another thread (a signal handler's thread, the service).
#include "support/event_loop_posix.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "support/unique_handle_posix.h"

namespace tervane {

namespace {
using Clock = std::chrono::steady_clock;

// Milliseconds from now to when, rounded up so that the loop never wakes just before a
// deadline and spins until it passes.
int MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
  return ms > 24 * 3600 * 1000 ? 24 * 3600 * 1000 : static_cast<int>(ms);
}
}  // namespace

struct EventLoop::Impl {
  struct TimerSlot {
    Timer* timer = nullptr;
    bool armed = false;
    Clock::time_point due;
  };
  struct Watch {
    int fd = -1;
    short events = 0;
    std::function<void(short)> onReady;
    bool removed = false;
  };

  std::map<std::uintptr_t, TimerSlot> timers;
  std::uintptr_t nextTimerId = 0;
  std::map<std::uint64_t, std::shared_ptr<Watch>> watches;
  std::uint64_t nextWatchId = 0;
  UniqueFd wakeRead;
  UniqueFd wakeWrite;
  std::atomic<bool> quitPending{false};
  std::atomic<int> quitCode{0};
  std::function<void()> runPosted;  // the loop's posted tasks, run after each wake-up
  // A pass's lists, kept for the next pass so that waiting costs no allocation; a pass run
  // from inside a callback finds them taken and makes its own.
  std::vector<pollfd> spareSet;
  std::vector<std::uint64_t> spareIds;
  std::vector<std::uintptr_t> spareDue;

  // One pass: waits for a descriptor, a timer or the wake-up, at most until limit, then
  // delivers descriptor news first and due timers after (as a message queue serves posted
  // messages before timer ticks).
  void Step(std::optional<Clock::time_point> limit);
};

EventLoop::EventLoop() : posted_(std::make_unique<PostQueue>()), impl_(std::make_unique<Impl>()) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("event loop: no wake-up pipe");
  impl_->wakeRead.reset(fds[0]);
  impl_->wakeWrite.reset(fds[1]);
  SetNonBlockingCloseOnExec(fds[0]);
  SetNonBlockingCloseOnExec(fds[1]);
  impl_->runPosted = [this] { RunPosted(); };
}

EventLoop::~EventLoop() = default;

void EventLoop::Impl::Step(std::optional<Clock::time_point> limit) {
  Clock::time_point now = Clock::now();
  int timeout = -1;
  if (limit) timeout = MillisecondsUntil(*limit, now);
  for (const auto& [id, slot] : timers) {
    if (!slot.armed) continue;
    int ms = MillisecondsUntil(slot.due, now);
    if (timeout < 0 || ms < timeout) timeout = ms;
  }

  std::vector<pollfd> set = std::move(spareSet);
  std::vector<std::uint64_t> ids = std::move(spareIds);
  set.clear();
  ids.clear();
  set.push_back(pollfd{wakeRead.get(), POLLIN, 0});
  ids.push_back(0);
  for (const auto& [id, watch] : watches) {
    set.push_back(pollfd{watch->fd, watch->events, 0});
    ids.push_back(id);
  }

  int ready = ::poll(set.data(), set.size(), timeout);
  if (ready < 0) {
    spareSet = std::move(set);
    spareIds = std::move(ids);
    return;  // EINTR: the caller loops and computes the deadlines anew
  }

  if (set[0].revents != 0) {
    char drain[64];
    while (::read(wakeRead.get(), drain, sizeof drain) > 0) {
    }
    if (runPosted) runPosted();
  }
  for (std::size_t i = 1; i < set.size() && ready > 0; ++i) {
    if (set[i].revents == 0) continue;
    auto found = watches.find(ids[i]);
    if (found == watches.end()) continue;  // removed by an earlier callback of this pass
    std::shared_ptr<Watch> watch = found->second;
    // Only what is still asked for: an earlier callback may have changed the interest.
    short revents = set[i].revents & (watch->events | POLLERR | POLLHUP | POLLNVAL);
    if (revents == 0 || watch->removed) continue;
    // Called in place: the pass holds the watch, and its handler is never replaced, so a
    // callback that ends its own watch still runs to its end.
    watch->onReady(revents);
  }

  spareSet = std::move(set);
  spareIds = std::move(ids);

  now = Clock::now();
  std::vector<std::uintptr_t> due = std::move(spareDue);
  due.clear();
  for (const auto& [id, slot] : timers) {
    if (slot.armed && slot.due <= now) due.push_back(id);
  }
  for (std::uintptr_t id : due) {
    auto found = timers.find(id);
    // Gone, disabled or re-armed by an earlier handler of this pass: not due any more.
    if (found == timers.end() || !found->second.armed || found->second.due > now) continue;
    TimerSlot& slot = found->second;
    // Like a window timer: missed ticks are not caught up, one tick is delivered.
    auto interval = std::chrono::milliseconds(slot.timer->Interval());
    slot.due += interval;
    if (slot.due <= now) slot.due = now + interval;
    slot.timer->Fire();  // may destroy the timer or others; slot is not used afterwards
  }
  spareDue = std::move(due);
}

int EventLoop::Run() {
  while (!impl_->quitPending.load()) impl_->Step(std::nullopt);
  impl_->quitPending = false;
  return impl_->quitCode.load();
}

void EventLoop::Quit(int code) {
  impl_->quitCode = code;
  impl_->quitPending = true;
  char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(impl_->wakeWrite.get(), &byte, 1);
}

void EventLoop::Wake() {
  char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(impl_->wakeWrite.get(), &byte, 1);
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    // A pending quit is left for Run to take.
    if (impl_->quitPending.load() || Clock::now() >= deadline) return done();
    impl_->Step(deadline);
  }
}

Timer::Timer(EventLoop& loop) : loop_(loop) {
  EventLoop::Impl& impl = loop_.impl();
  id_ = ++impl.nextTimerId;
  impl.timers[id_].timer = this;
}

Timer::~Timer() { loop_.impl().timers.erase(id_); }

void Timer::Rearm() {
  EventLoop::Impl::TimerSlot& slot = loop_.impl().timers[id_];
  slot.armed = enabled_ && interval_ > 0;
  if (slot.armed) slot.due = Clock::now() + std::chrono::milliseconds(interval_);
}

DescriptorWatch::DescriptorWatch(EventLoop& loop, int fd, short events,
                                 std::function<void(short revents)> onReady)
    : loop_(loop) {
  EventLoop::Impl& impl = loop_.impl();
  id_ = ++impl.nextWatchId;
  auto watch = std::make_shared<EventLoop::Impl::Watch>();
  watch->fd = fd;
  watch->events = events;
  watch->onReady = std::move(onReady);
  impl.watches[id_] = std::move(watch);
}

DescriptorWatch::~DescriptorWatch() {
  EventLoop::Impl& impl = loop_.impl();
  auto found = impl.watches.find(id_);
  if (found == impl.watches.end()) return;
  found->second->removed = true;  // a pass holding it skips it from now on
  impl.watches.erase(found);
}

void DescriptorWatch::SetEvents(short events) { loop_.impl().watches.at(id_)->events = events; }

short DescriptorWatch::Events() const { return loop_.impl().watches.at(id_)->events; }

}  // namespace tervane
