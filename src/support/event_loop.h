// The one thread's event loop: the Win32 message loop on Windows, a small poll() loop on
// Linux. The portable code sees timers and the loop's run and quit, nothing else; the UDP
// endpoint's platform half attaches its socket news to the loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tervane {

class EventLoop;

// A timer of the loop's thread, like a window timer: while enabled it fires every Interval
// milliseconds; enabling it, or changing the interval while enabled, starts the count anew.
// The supervision uses two of them as a chain of one-shot timers (each handler disables its
// own timer first).
class Timer {
 public:
  explicit Timer(EventLoop& loop);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  unsigned Interval() const { return interval_; }
  void SetInterval(unsigned milliseconds);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  std::function<void()> OnTimer;

 private:
  friend class EventLoop;
  void Rearm();
  void Fire();
  EventLoop& loop_;
  unsigned interval_ = 1000;
  bool enabled_ = false;
  std::uintptr_t id_ = 0;  // the loop's handle for this timer
};

// Belongs to the thread that creates it; timers, endpoints and watches made on it must be
// destroyed before it. An exception that leaves a handler comes out of Run or RunUntil, and
// the loop can be run again afterwards.
class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Runs until Quit; answers the code given to Quit.
  int Run();
  // May be called from any thread (the service's stop event). A quit that a RunUntil comes
  // across ends that RunUntil and is kept for the next Run, which then ends at once.
  void Quit(int code = 0);

  // Runs task on the loop's thread, soon, in the order posted. May be called from any thread;
  // tasks still waiting when the loop is destroyed are dropped without running.
  void Post(std::function<void()> task);

  // Handles events until done() answers true or the time is up; answers done()'s last answer.
  // For tests and start-up steps that wait with a deadline.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

  // The platform's state (the hidden window on Windows, the poll set on Linux).
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  friend class Timer;
  // Takes the posted tasks and runs them (the platform halves call it on the loop's thread).
  void RunPosted();
  // Wakes the loop's thread (the platform's half of Post).
  void Wake();
  struct PostQueue {
    std::mutex mutex;
    std::vector<std::function<void()>> tasks;
  };
  std::unique_ptr<PostQueue> posted_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tervane
