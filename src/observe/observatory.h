// The observers that kesp.ini turns on, put together and hooked into the supervision: the
// crash-loop guard, the snapshot of the live statuses published after each cycle, the HTTP
// endpoint and the webhook alerts. Made only when the options file asks for something; without
// it the supervision runs with no hook set.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "core/servers.h"
#include "core/supervisor.h"
#include "observe/crash_loop_guard.h"
#include "observe/options.h"
#include "support/event_log.h"
#include "support/event_loop.h"

namespace tervane {

// A command's answer to the HTTP client.
struct CommandReply {
  int status = 200;
  std::string body;
};

// What the observers need of the monitor beyond the statuses: its save (after a crash-loop
// pause, as the Pause command saves) and its list commands (run on the loop's thread).
struct ObservatoryHooks {
  std::function<void()> save;
  // verb: "pause", "unpause", "restart" or "close"; row below the list's size.
  std::function<void(const std::string& verb, std::size_t row)> command;
};

class Observatory {
 public:
  Observatory(EventLoop& loop, Servers& servers, Supervisor& supervisor, EventLog& log, ObserveOptions options,
              ObservatoryHooks hooks);
  ~Observatory();
  Observatory(const Observatory&) = delete;
  Observatory& operator=(const Observatory&) = delete;

  const ObserveOptions& Options() const { return options_; }

  // Tells the observers of one start (Servers::onStart).
  void OnStart(const StartRecord& start);
  // After each cycle (Supervisor::onCycleEnd).
  void OnCycleEnd();

 private:
  struct Parts;
  EventLoop& loop_;
  Servers& servers_;
  Supervisor& supervisor_;
  EventLog& log_;
  ObserveOptions options_;
  ObservatoryHooks hooks_;
  CrashLoopGuard guard_;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tervane
