// The graceful stop of one server: its StopCommand goes out through RCON, and the server has
// up to StopSeconds from the moment the command was sent to end its process by itself (saving
// what it holds) before it is ended as it is without the command. A command that could not be
// sent within StopSeconds of the stop's beginning ends the process as without it. The cycle goes
// on meanwhile; this only keeps the time and says what is due at each look. Whether a server is
// stopping, and what follows, are its phase and want.
#pragma once

#include <chrono>
#include <string>

#include "core/server_status.h"
#include "process/process_control.h"

namespace tervane {

class GracefulStop {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Step {
    Wait,    // the process still runs (or could not be looked for) and has time left
    Ended,   // the process ended by itself: go on with what follows, nothing to end
    EndNow,  // end the process as without the command, then go on
  };

  // The longest an exchange begun in time takes to report: without any result by StopSeconds
  // and this after the beginning, the command is taken as not sent.
  static constexpr std::chrono::seconds kResultGrace{6};

  // The command was handed to RCON at `now`, to be sent within stopSeconds.
  void Begin(Clock::time_point now, int stopSeconds, RestartReason reason = RestartReason::Command);
  // The command's bytes went out at `at` (or its exchange ended at `at` without telling): the
  // server has StopSeconds from then.
  void CommandSent(Clock::time_point at);
  // RCON could not deliver it (refused, closed port, wrong password, garbage): nothing waits.
  void CommandFailed() { failed_ = true; }
  // RCON never sent it (not begun within StopSeconds): nothing waits; why, for the one line
  // that says so when the process is ended.
  void CommandNotSent(std::string why);
  // Whether the process is to be ended (or was) without the command having gone out or failed
  // for a reason already said: the line the ending writes.
  bool NotSent() const { return notSent_ || (!sent_ && !failed_); }
  const std::string& NotSentWhy() const { return why_; }
  int StopSeconds() const { return stopSeconds_; }
  // A look at the process, while the stop is under way; Ended and EndNow finish it.
  Step Check(Clock::time_point now, const Look& process) const;
  RestartReason Reason() const { return reason_; }
  // When the process is ended without the command at the latest, as the stop knows it now
  // (StopSeconds from the command's sending, or from the beginning plus the grace until then).
  Clock::time_point Deadline() const { return deadline_; }
  // Whole seconds from now to that end, 0 past it.
  long long SecondsLeft(Clock::time_point now) const {
    if (now >= deadline_) return 0;
    return std::chrono::ceil<std::chrono::seconds>(deadline_ - now).count();
  }

 private:
  bool failed_ = false;
  bool sent_ = false;
  bool notSent_ = false;
  std::string why_;
  int stopSeconds_ = 0;
  Clock::time_point deadline_{};
  RestartReason reason_ = RestartReason::Command;
};

}  // namespace tervane
