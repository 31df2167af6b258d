// The graceful stop of one server: its StopCommand has gone out through RCON, and the server has
// up to StopSeconds to end its process by itself (saving what it holds) before it is ended as
// it is without the command. The cycle goes on meanwhile; this only keeps the time and says
// what is due at each look.
#pragma once

#include <chrono>

#include "core/server_status.h"
#include "process/process_control.h"

namespace tervane {

class GracefulStop {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Then { Restart, Close };  // what follows the stop
  enum class Step {
    None,    // no stop under way
    Wait,    // the process still runs (or could not be looked for) and has time left
    Ended,   // the process ended by itself: go on with what follows, nothing to end
    EndNow,  // end the process as without the command, then go on
  };

  // The command was handed to RCON at `now`.
  void Begin(Clock::time_point now, int stopSeconds, Then then, RestartReason reason = RestartReason::Command);
  // RCON could not deliver it (refused, closed port, wrong password, garbage): nothing waits.
  void CommandFailed() { failed_ = true; }
  // A look at the process; Ended and EndNow finish the stop.
  Step Check(Clock::time_point now, const Look& process);
  // Given up: the server was paused, deleted or its stop overtaken by another restart.
  void Abandon() { active_ = false; }

  bool Stopping() const { return active_; }
  Then What() const { return then_; }
  RestartReason Reason() const { return reason_; }

 private:
  bool active_ = false;
  bool failed_ = false;
  Clock::time_point deadline_{};
  Then then_ = Then::Restart;
  RestartReason reason_ = RestartReason::Command;
};

}  // namespace tervane
