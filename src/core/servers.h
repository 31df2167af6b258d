// The servers with their live states, and the one place where each outcome changes them: a
// restart for a reason, a start after a loss, a reply or a missed one, pause, unpause, close, and
// adding, removing and moving servers. Each function changes the record's counters, the live
// state and the log together and ends by telling its change on one list (Changes), which the
// rows of the doors, the snapshot, the alerts and the save follow. The functions are written by
// concern: the outcomes of the supervision and the commands on a server (servers.cpp), the list's
// editing and identities (servers_list.cpp), graceful stops and the plans' steps
// (servers_stops.cpp); the plans and RCON requests themselves are ServerPlans'.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/crash_loop_guard.h"
#include "core/rcon_port.h"
#include "core/server_change.h"
#include "core/server_list.h"
#include "core/server_plans.h"
#include "core/server_updates.h"
#include "net/query.h"
#include "process/process_control.h"
#include "support/event_log.h"
#include "support/message_texts.h"
#include "support/observers.h"

namespace tervane {

// The shipped timings; tests shorten them, nothing else differs.
struct SupervisionTiming {
  unsigned checkDelayMs = 500;    // from the end of a cycle to the timeout check
  unsigned cycleDelayMs = 3500;   // from the end of the check to the next cycle
  unsigned pauseMs = 10;          // between closing or ending a process and the next step
};

inline constexpr char16_t kLogStarting[] = u"Starting server.";
inline constexpr char16_t kLogProcessLost[] = u"Restarting. Reason: Process lost.";
inline constexpr char16_t kLogFatalError[] = u"Restarting. Reason: Fatal error - ";
inline constexpr char16_t kLogNoResponse[] = u"Restarting. Reason: No network response.";

// The wall clock of the live statuses; tests pin it.
using WallClock = std::function<WallTime()>;
WallTime SystemWallTime();

// What went wrong with the monitor's own work, for the metrics and the status: looks at the
// processes the system refused, saves of the list that failed (and whether one is waiting to
// be made again).
struct SupervisionHealth {
  std::uint64_t lookFailures = 0;
  std::uint64_t saveFailures = 0;
  bool savePending = false;
  std::uint32_t saveError = 0;  // of the last save, 0 when it was made
};

class Servers {
 public:
  Servers(ServerList& list, const MessageTexts& texts, IProcessControl& process, EventLog& log,
          SupervisionTiming timing, WallClock clock = {});

  ServerList& List() { return list_; }
  const ServerList& List() const { return list_; }
  std::size_t size() const { return list_.size(); }
  Server& at(std::size_t i) { return *list_.at(i); }
  const Server& at(std::size_t i) const { return *list_.at(i); }
  const SupervisionTiming& Timing() const { return timing_; }
  IProcessControl& Process() { return process_; }
  const MessageTexts& Texts() const { return texts_; }

  // While the program is boss-hidden every console stays hidden: the servers it starts start
  // hidden and the cycle hides the consoles it would show. The servers' own HideServer
  // settings are not touched.
  bool ConsolesHidden() const { return consolesHidden_; }
  void SetConsolesHidden(bool hidden) { consolesHidden_ = hidden; }
  // Whether a server's console is to be hidden now.
  bool HideConsole(const ServerEntry& e) const { return e.HideServer != 0 || consolesHidden_; }

  // ---- outcomes of the supervision (servers.cpp)
  // The server's process was found: no longer lost; a server seen for the first time since
  // load counts no restarts yet.
  void FoundRunning(std::size_t i);
  // The server's process was not found: lost n of 3, and started again past that.
  void FoundMissing(std::size_t i);
  // The look for the server's process was refused by the system: nothing is decided on it in
  // this cycle, and no query goes out. The first failure and the recovery are said once.
  void LookFailed(std::size_t i, std::uint32_t error);
  void ReplyReceived(std::size_t i, const ParsedDatagram& reply);
  // The check found no answer since the last query: timeout n of 20, restarted past that.
  void ReplyMissed(std::size_t i);
  // What the system refused of the server's priority and affinity, as last applied: logged
  // when it changes to a refusal, so once and not every cycle; kept in the status.
  void NoteApplyErrors(std::size_t i, const ApplyErrors& errors);

  // Ends the process of exe, waits the pause, starts it again and records the restart. Only the
  // supervision's restarts count in Restarts; a restart by command is not logged. Nothing
  // is started when the end could not be made or confirmed (the look failed), nor when the
  // crash-loop guard refuses the restart (the server is then paused as it is).
  void Restart(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail = {});
  // Restart Server(s) of several servers: every process ended, one pause, every start; answers
  // the rows that were not started because their end could not be confirmed.
  std::vector<std::size_t> RestartByCommand(const std::vector<std::size_t>& rows);

  // ---- commands on a server
  void SetPaused(std::size_t i, bool paused);
  // Pause or Unpause asked by the operator: a server already paused (or not) is left as it is;
  // answers whether it changed.
  bool PauseAsAsked(std::size_t i, bool paused);
  // Ends the server's process and pauses it, which keeps the supervision from starting it
  // again; answers what the end found (Unknown: the process may still run).
  Look Close(std::size_t i);

  // ---- the list's editing (servers_list.cpp) and the identities
  void Add(std::unique_ptr<Server> server);
  // The list and its rows become these servers (a list file just loaded), in their order.
  void Replace(ServerList servers);
  void Erase(std::size_t i);
  // Moves server s to position t, its row and status with it.
  void Move(std::size_t s, std::size_t t);
  // Told of every change, on the loop's thread, as the change is made whole (see ServerChange):
  // the rows of the doors, the snapshot's numbering, the alerts and the save follow it. An
  // observer only reads; adding one changes no server.
  ObserverList<const ServerChange&>& Changes() const { return changes_; }
  // Its record was edited (name, address, ...): told as such.
  void Edited(std::size_t i);
  ServerId IdAt(std::size_t i) const { return list_.at(i)->Id; }
  // A server's row by its identity (see core/server.h).
  std::optional<std::size_t> RowOf(ServerId id) const { return tervane::RowOf(list_, id); }
  std::optional<std::size_t> Resolve(ServerId id, std::size_t number, std::string* why = nullptr) const {
    return tervane::Resolve(list_, id, number, why);
  }

  WallTime Now() const { return clock_(); }
  // A log line of the monitor, under the server's name.
  void LogFor(std::size_t i, std::u16string_view message) { Log(at(i), message); }
  // A line that is only shown (console, log view), never written to the log file.
  void NoticeFor(std::size_t i, std::u16string_view message) { log_.Notice(at(i).Name.str(), message); }
  EventLog& Events() { return log_; }

  // ---- planned restarts and graceful stops (servers_stops.cpp): kesp.ini's [Restarts] and
  // [Server <name>], off without them; one-off restarts and RCON commands from the doors.
  // The plans and RCON requests of the servers (see ServerPlans).
  ServerPlans& Plans() { return plans_; }
  const ServerPlans& Plans() const { return plans_; }

  // Whether Restart and Close begin with the server's StopCommand: one is set, RCON is there, the
  // server is watched (not paused, not stopping already), can be looked for and answers.
  bool StopsGracefully(std::size_t i) const;
  // Sends the StopCommand (Close pauses the server first, as Close does) and makes the server
  // stopping with `then` (Want::Restart or Want::Close): the cycles look at it until its process
  // ends by itself, then restart it or leave it closed, or end it as without the command once
  // StopSeconds passed or RCON failed.
  void BeginStop(std::size_t i, Want then, RestartReason reason);
  // One cycle's look at a stopping server.
  void StepStop(std::size_t i);
  // One cycle's step of the server's plan: a warning sent, or the planned restart begun; true
  // when the restart began (the cycle does nothing else with the server then).
  bool StepPlan(std::size_t i);

  // ---- game updates (server_updates.cpp): kesp.ini's UpdateCommand, off without it.
  ServerUpdates& Updates() { return updates_; }
  const ServerUpdates& Updates() const { return updates_; }

  // The crash-loop guard of kesp.ini; off until set.
  void SetCrashLoopGuard(CrashLoopGuard guard) { guard_ = guard; }
  const CrashLoopGuard& Guard() const { return guard_; }
  // The text that says why the guard paused a server.
  std::u16string CrashLoopText() const;

  SupervisionHealth& Health() { return health_; }
  const SupervisionHealth& Health() const { return health_; }
  // Lines the log file did not take since the start.
  std::uint64_t LogWriteFailures() const { return log_.FileWriteFailures(); }

 private:
  // A look succeeded: a failure said before is said to be over.
  void LookedAt(std::size_t i);
  // Whether the crash-loop guard lets the supervision restart the server for reason; when it
  // does not, the server is paused as it is, logged and reported to the observers.
  bool GuardLets(std::size_t i, RestartReason reason);
  // Ends every change: tells it on the change list, the server's row and identity with it.
  void Changed(std::size_t i, ServerChange::What what, const StartRecord& start = {});
  // Leaves the stopping phase for the one the pause byte says.
  void EndStop(std::size_t i);
  // Starts the server's process (hidden as the rule says) and records it as started for
  // `reason`: counters reset, restart counted and logged, the row rendered. A start that fails
  // is logged with the same line, then with a line saying why, and counted as a failed start.
  void StartAndRecord(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail);
  void Log(const ServerEntry& e, std::u16string_view message);
  // The line of a start: the same whether or not the start then failed.
  void LogStart(const ServerEntry& e, RestartReason reason, std::u16string_view detail);
  // A stop whose process ended by itself (endNow false) or is to be ended now.
  void FinishStop(std::size_t i, bool endNow);
  void WithdrawRcon(std::size_t i) { plans_.Withdraw(i); }
  // The server's process ended for its installation's update: left alone until it ended.
  void EnterUpdating(std::size_t i);
  // Its installation's update ended: started again, unless paused meanwhile.
  void LeaveUpdating(std::size_t i);
  friend class ServerUpdates;

  ServerList& list_;
  const MessageTexts& texts_;
  IProcessControl& process_;
  EventLog& log_;
  SupervisionTiming timing_;
  WallClock clock_;
  bool consolesHidden_ = false;
  CrashLoopGuard guard_;
  SupervisionHealth health_;
  mutable ObserverList<const ServerChange&> changes_;
  ServerPlans plans_;
  ServerUpdates updates_{*this};
};

}  // namespace tervane
