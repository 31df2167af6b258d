// The observers that kesp.ini turns on, put together and added to the monitor's lists of
// observers: the snapshot of the live statuses published after each cycle, the HTTP endpoint
// and the webhook alerts. Made only when the options file asks for something; without it no
// observer of theirs is added. They read the live state (the crash-loop guard that pauses
// servers is the live-state model's), and the HTTP API's commands go straight to the monitor's
// command layer on the loop's thread, whose result is the answer.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "monitor/monitor.h"
#include "observe/http_api.h"
#include "observe/metrics.h"
#include "support/descriptors.h"
#include "options/settings.h"
#include "support/event_loop.h"

namespace tervane {

enum class AlertKind;

// A descriptor of the doors' share for a new connection, or none with why in words
// (support/descriptors.h).
using DescriptorTaker = std::function<DoorDescriptor(std::string& why)>;

class Observatory {
 public:
  // Adds itself to the observers of the servers' starts and of the supervision's cycles and
  // starts what the options ask for; what cannot start is logged.
  // Who did what through the HTTP API ("pause server 1 (alpha) from 127.0.0.1:50312: done") is
  // told to the operator (Monitor::Tell), never written to the log file. takeDescriptor: none
  // takes a connection always.
  Observatory(EventLoop& loop, Monitor& monitor, ObserveOptions options, DescriptorTaker takeDescriptor = {});
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
  // The update command of the server's installation ended: one alert when it failed, timed out
  // or could not be started (the server is started on the files it has).
  void OnUpdateEnded(std::size_t row);
  // After each cycle: publishes the snapshot, sends the alerts that are due, and tries again to
  // listen when the address was taken.
  void OnCycleEnd();
  void Publish();

 private:
  void StartEndpoint();
  void Listen();
  // On the loop's thread: the command on the server the request named, and its answer.
  HttpResponse RunCommand(Command command, std::size_t number, ServerId id, std::optional<int> inMinutes,
                          const std::string& origin);
  void Alert(std::size_t row, AlertKind kind, const StartRecord& start);
  // Called from the HTTP threads: only atomics.
  ObserverCounts Counts() const;

  struct Parts;
  EventLoop& loop_;
  Monitor& monitor_;
  const Servers& servers_;
  const Supervisor& supervisor_;
  ObserveOptions options_;
  DescriptorTaker takeDescriptor_;
  int changeObserver_ = 0;
  int cycleObserver_ = 0;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tervane
