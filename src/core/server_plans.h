// The servers' planned restarts and RCON requests: kesp.ini's [Restarts] and [Server <name>]
// sections given to the servers by name, one-off restarts, and the commands sent to a server's
// current process, each withdrawn once that process ends so that it never reaches a newer one.
// An RCON failure is said once, until an exchange succeeds again.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/planned_restarts.h"
#include "core/rcon_port.h"
#include "core/restart_assignment.h"
#include "core/server.h"
#include "core/zone_time.h"
#include "support/event_log.h"

namespace tervane {

class ServerPlans {
 public:
  using Clock = std::function<WallTime()>;
  ServerPlans(ServerList& list, EventLog& log, Clock clock, int minuteSeconds);

  // The RCON that warnings, stop commands and the doors' commands go through (the monitor's).
  void SetRcon(IRcon* rcon) { rcon_ = rcon; }
  bool HasRcon() const { return rcon_ != nullptr; }
  // The sections as read, and the time zone of the daily times (the system's when none). Each
  // server gets its settings by its name, now and whenever the list changes.
  void SetRestartOptions(RestartOptions options, ZoneOffset zone = {});
  // After a server was renamed, added, removed or the list loaded (a move changes no name, and
  // the plans move with their servers).
  void Reassign();
  // Logs the problems of the assignment (a name two servers share, one that no server has) that
  // were not logged last time; the cycle calls it, so that one change of the list is said once.
  void LogProblems();
  // The settings of a server: its plan's, or the defaults.
  const RestartSettings& SettingsOf(std::size_t i) const;
  // The server's plan, made with the defaults when it has none.
  RestartPlan& PlanOf(std::size_t i);
  int MinuteSeconds() const { return minuteSeconds_; }

  // A one-off restart `minutes` from now, warned beforehand, replacing one planned before;
  // answers when it is due, or 0 for minutes outside 0..1440.
  WallTime PlanRestart(std::size_t i, int minutes);
  // Whether a one-off restart was planned; it is not any more.
  bool CancelRestart(std::size_t i);
  // When the server's next planned restart is due, of either plan (0: none, and none while the
  // server is paused).
  WallTime NextPlannedRestart(std::size_t i) const;

  // The request that sends a command to the server's current process: withdrawn once that
  // process ends (or is ended, or another starts).
  RconRequest RequestOf(std::size_t i, std::string command);
  // Sends a command to the server, to begin by beginBy; done comes on the loop's thread.
  void Send(std::size_t i, std::string command, std::chrono::steady_clock::time_point beginBy, IRcon::Done done);
  // An RCON exchange's outcome: a failure is said once (until an exchange succeeds again).
  void Note(std::size_t i, const RconResult& result, std::u16string_view what);
  // The server's process is about to be ended, has ended or is replaced: no request made for
  // it is sent any more. Always before the end, so that a worker never reaches the next one.
  void Withdraw(std::size_t i);
  // The tie of requests to the server's current process, made when first asked for.
  RconWithdrawal ForProcess(std::size_t i);

 private:
  ServerList& list_;
  EventLog& log_;
  Clock clock_;
  IRcon* rcon_ = nullptr;
  RestartOptions options_;
  ZoneOffset zone_;
  int minuteSeconds_ = 60;
  std::vector<std::string> problems_;        // of the last assignment
  std::vector<std::string> loggedProblems_;  // as last logged
};

}  // namespace tervane
