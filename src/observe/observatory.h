// The observers that kesp.ini turns on, put together and added to the monitor's lists of
// observers: the snapshot of the live statuses published after each cycle, the HTTP endpoint
// and the webhook alerts. Made only when the options file asks for something; without it no
// observer of theirs is added. They only read (the servers and the supervision are const here):
// the crash-loop guard that pauses servers is the live-state model's (Servers), and the HTTP
// API's commands go to the monitor's command layer through the hook the program sets.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/servers.h"
#include "core/supervisor.h"
#include "monitor/commands.h"
#include "observe/http_api.h"
#include "observe/metrics.h"
#include "support/descriptors.h"
#include "options/settings.h"
#include "support/event_log.h"
#include "support/event_loop.h"

namespace tervane {

enum class AlertKind;

// What the observers need of the monitor beyond the statuses: its list commands (run on the
// loop's thread), a line for the operator that is not the log file's, and the descriptor reserve.
struct ObservatoryHooks {
  // A command the HTTP API serves (pause, unpause, restart, close) on the server in row `row`
  // (below the list's size; the server the request named, found again right before). Answers
  // whether the list was saved afterwards.
  std::function<bool(Command command, std::size_t row)> command;
  // restart?in=<minutes>: a warned one-off restart planned; answers when it is due. cancel: it
  // is cancelled; answers whether one was planned. Live state: nothing is saved.
  std::function<WallTime(std::size_t row, int minutes)> planRestart;
  std::function<bool(std::size_t row)> cancelRestart;
  // Who did what through the HTTP API ("pause server 1 (alpha) from 127.0.0.1:50312: done"):
  // the console (the journal under systemd) or the log view.
  std::function<void(const std::u16string& line)> tell;
  // A descriptor of the doors' share for a new connection, or none with why in words
  // (support/descriptors.h); none: always.
  std::function<DoorDescriptor(std::string& why)> takeDescriptor;
};

class Observatory {
 public:
  // Adds itself to the observers of the servers' starts and of the supervision's cycles and
  // starts what the options ask for; what cannot start is logged.
  Observatory(EventLoop& loop, const Servers& servers, const Supervisor& supervisor, EventLog& log,
              ObserveOptions options, ObservatoryHooks hooks);
  ~Observatory();
  Observatory(const Observatory&) = delete;
  Observatory& operator=(const Observatory&) = delete;

  const ObserveOptions& Options() const { return options_; }
  // The HTTP endpoint's port, 0 when it is off or does not listen (yet).
  int HttpPort() const;
  // The HTTP door's commands handed to the loop's thread that did not run yet (any thread).
  std::size_t CommandsWaiting() const;

  // Tells the observers of one start, or of a pause by the crash-loop guard.
  void OnStart(const StartRecord& start);
  // After each cycle: publishes the snapshot, sends the alerts that are due, and tries again to
  // listen when the address was taken.
  void OnCycleEnd();
  void Publish();

 private:
  void StartEndpoint();
  void Listen();
  void RunCommand(Command command, std::size_t number, ServerId id, std::optional<int> inMinutes,
                  const std::string& origin, const HttpAnswer& answer);
  void Alert(std::size_t row, AlertKind kind, const StartRecord& start);
  // Called from the HTTP threads: only atomics.
  ObserverCounts Counts() const;

  struct Parts;
  EventLoop& loop_;
  const Servers& servers_;
  const Supervisor& supervisor_;
  EventLog& log_;
  ObserveOptions options_;
  ObservatoryHooks hooks_;
  int startObserver_ = 0;
  int cycleObserver_ = 0;
  int listObserver_ = 0;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tervane
