// The observers that kesp.ini turns on, put together and hooked into the supervision: the
// snapshot of the live statuses published after each cycle, the HTTP endpoint and the webhook
// alerts. Made only when the options file asks for something; without it the supervision runs
// with no hook set. They only read: the crash-loop guard that pauses servers is the live-state
// model's (Servers).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "core/servers.h"
#include "core/supervisor.h"
#include "observe/http_api.h"
#include "observe/metrics.h"
#include "observe/options.h"
#include "support/event_log.h"
#include "support/event_loop.h"

namespace tervane {

enum class AlertKind;

// What the observers need of the monitor beyond the statuses: its list commands (run on the
// loop's thread), a line for the operator that is not the log file's, and the descriptor reserve.
struct ObservatoryHooks {
  // verb: "pause", "unpause", "restart" or "close"; row below the list's size. Answers whether
  // the list was saved afterwards.
  std::function<bool(const std::string& verb, std::size_t row)> command;
  // Who did what through the HTTP API ("pause row 0 (alpha) from 127.0.0.1:50312: done"): the
  // console (the journal under systemd) or the log view.
  std::function<void(const std::u16string& line)> tell;
  // Whether a front door may take one more descriptor now; none: always.
  std::function<bool()> mayTakeDescriptor;
};

class Observatory {
 public:
  // Hooks itself into the servers and the supervision and starts what the options ask for;
  // what cannot start is logged.
  Observatory(EventLoop& loop, Servers& servers, Supervisor& supervisor, EventLog& log, ObserveOptions options,
              ObservatoryHooks hooks);
  ~Observatory();
  Observatory(const Observatory&) = delete;
  Observatory& operator=(const Observatory&) = delete;

  const ObserveOptions& Options() const { return options_; }
  // The HTTP endpoint's port, 0 when it is off or does not listen (yet).
  int HttpPort() const;

  // Tells the observers of one start, or of a pause by the crash-loop guard.
  void OnStart(const StartRecord& start);
  // After each cycle (Supervisor::onCycleEnd): publishes the snapshot, sends the alerts that
  // are due, and tries again to listen when the address was taken.
  void OnCycleEnd();
  void Publish();

 private:
  void StartEndpoint();
  void Listen();
  void RunCommand(const std::string& verb, std::size_t row, const std::string& origin, const HttpAnswer& answer);
  void Alert(std::size_t row, AlertKind kind, const StartRecord& start);
  // Called from the HTTP threads: only atomics.
  ObserverCounts Counts() const;

  struct Parts;
  EventLoop& loop_;
  Servers& servers_;
  Supervisor& supervisor_;
  EventLog& log_;
  ObserveOptions options_;
  ObservatoryHooks hooks_;
  int startObserver_ = 0;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tervane
