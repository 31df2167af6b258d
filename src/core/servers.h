// The servers with their live statuses, and the one place where each outcome changes them:
// a restart for a reason, a start after a loss, a reply or a missed one, pause, unpause, close,
// and adding, removing and moving servers. Each function changes the record's counters, the
// live status, the log and the server's row together, so that the supervision, the window's
// commands and every other front end get the same result for the same outcome.
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
#include "core/list_view.h"
#include "core/server_list.h"
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

// One start that StartAndRecord made: which server, why, and what the system answered; or the
// restart the crash-loop guard refused, for which the server was paused instead.
struct StartRecord {
  std::size_t index = 0;
  RestartReason reason = RestartReason::FirstStart;
  std::uint32_t error = 0;
  WallTime time = 0;
  bool pausedByGuard = false;
};

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
  Servers(ServerList& list, IListView& view, const MessageTexts& texts, IProcessControl& process,
          EventLog& log, SupervisionTiming timing, WallClock clock = {});

  ServerList& List() { return list_; }
  const ServerList& List() const { return list_; }
  std::size_t size() const { return list_.size(); }
  Server& at(std::size_t i) { return *list_.at(i); }
  const Server& at(std::size_t i) const { return *list_.at(i); }
  const SupervisionTiming& Timing() const { return timing_; }
  IProcessControl& Process() { return process_; }
  const MessageTexts& Texts() const { return texts_; }
  IListView& View() { return view_; }

  // While the program is boss-hidden every console stays hidden: the servers it starts start
  // hidden and the cycle hides the consoles it would show. The servers' own HideServer
  // settings are not touched.
  bool ConsolesHidden() const { return consolesHidden_; }
  void SetConsolesHidden(bool hidden) { consolesHidden_ = hidden; }
  // Whether a server's console is to be hidden now.
  bool HideConsole(const ServerEntry& e) const { return e.HideServer != 0 || consolesHidden_; }

  // ---- outcomes of the supervision
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

  // Ends the process of exe, waits the pause, starts it again and records the restart. A
  // restart by command is neither counted in Restarts nor logged; the others are both. Nothing
  // is started when the end could not be made or confirmed (the look failed), nor when the
  // crash-loop guard refuses the restart (the server is then paused as it is).
  void Restart(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail = {});
  // Restart Server(s) of several servers: every process ended, one pause, every start; answers
  // the rows that were not started because their end could not be confirmed.
  std::vector<std::size_t> RestartByCommand(const std::vector<std::size_t>& rows);

  // ---- commands
  void SetPaused(std::size_t i, bool paused);
  // Ends the server's process and pauses it, which keeps the supervision from starting it
  // again; answers what the end found (Unknown: the process may still run).
  Look Close(std::size_t i);
  void Add(std::unique_ptr<Server> server);
  // The list and its rows become these servers (a list file just loaded), in their order.
  void Replace(ServerList servers);
  void Erase(std::size_t i);
  // Moves server s to position t, its row and status with it.
  void Move(std::size_t s, std::size_t t);
  // Told after every change of the list's order or size (add, remove, move, load), on the
  // loop's thread, so that a copy of the numbering (the HTTP door's snapshot) follows at once.
  ObserverList<>& ListObservers() const { return listObservers_; }

  // ---- identities
  ServerId IdAt(std::size_t i) const { return list_.at(i)->Id; }
  // Where the server of that identity is now; none when it was removed (or id is 0).
  std::optional<std::size_t> RowOf(ServerId id) const;
  // The row of the server a door named as `number` (from 1) and knew as `id`, when it still
  // has that number; otherwise none, and why says what became of it ("server 3 was deleted;
  // nothing done", "server 3 is now number 5; nothing done"). Never another server's row.
  std::optional<std::size_t> Resolve(ServerId id, std::size_t number, std::string* why = nullptr) const;
  // Renders a server's row after its record was edited.
  void Render(std::size_t i);
  // Renders every row anew (after the texts changed).
  void RenderAll();

  // Observers told of every start after it has been recorded, logged and rendered, and of
  // every pause by the crash-loop guard (the monitor saves the list; kesp.ini's alerts). An
  // observer only reads.
  ObserverList<const StartRecord&>& StartObservers() const { return startObservers_; }
  WallTime Now() const { return clock_(); }
  // A log line of the monitor, under the server's name.
  void LogFor(std::size_t i, std::u16string_view message) { Log(at(i), message); }
  // A line that is only shown (console, log view), never written to the log file.
  void NoticeFor(std::size_t i, std::u16string_view message) { log_.Notice(at(i).Name.str(), message); }
  EventLog& Events() { return log_; }

  // ---- planned restarts and graceful stops: kesp.ini's [Restarts] and [Server <name>], off
  // without them; one-off restarts and RCON commands from the doors
  // The RCON that warnings, stop commands and the doors' commands go through (the monitor's).
  void SetRcon(IRcon* rcon) { rcon_ = rcon; }
  // The sections as read, and the time zone of the daily times (the system's when none). Each
  // server gets its settings by its name, now and whenever the list changes.
  void SetRestartOptions(RestartOptions options, ZoneOffset zone = {});
  // After a server was renamed; adding, removing and loading servers do it themselves (a move
  // changes no name, and the plans move with their servers).
  void ReassignRestarts();
  // Logs the problems of the assignment (a name two servers share, one that no server has) that
  // were not logged last time; the cycle calls it, so that one change of the list is said once.
  void LogRestartProblems();
  // The settings of a server: its plan's, or the defaults.
  const RestartSettings& SettingsOf(std::size_t i) const;

  // A one-off restart `minutes` from now, warned beforehand, replacing one planned before;
  // answers when it is due, or 0 for minutes outside 0..1440.
  WallTime PlanRestart(std::size_t i, int minutes);
  // Whether a one-off restart was planned; it is not any more.
  bool CancelRestart(std::size_t i);
  // When the server's next planned restart is due, of either plan (0: none).
  WallTime NextPlannedRestart(std::size_t i) const;
  // The request that sends a command to the server's current process: withdrawn once that
  // process ends (or is ended, or another starts), so that it never reaches a newer one.
  RconRequest RconRequestOf(std::size_t i, std::string command);
  // Sends a command to the server, to begin by beginBy; done comes on the loop's thread.
  void SendRcon(std::size_t i, std::string command, std::chrono::steady_clock::time_point beginBy,
                IRcon::Done done);

  // Whether Restart and Close begin with the server's StopCommand: one is set, the server runs,
  // answers the query, is not paused and is not stopping already.
  bool StopsGracefully(std::size_t i) const;
  // Sends the StopCommand (Close pauses the server first, as Close does) and marks the server
  // stopping: the cycles look at it until its process ends by itself, then restart it or leave
  // it closed, or end it as without the command once StopSeconds passed or RCON failed.
  void BeginStop(std::size_t i, GracefulStop::Then then, RestartReason reason);
  // One cycle's look at a stopping server.
  void StepStop(std::size_t i);
  // One cycle's step of the server's plan: a warning sent, or the planned restart begun; true
  // when the restart began (the cycle does nothing else with the server then).
  bool StepPlan(std::size_t i);

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
  void Tell(const StartRecord& record);
  // Starts the server's process (hidden as the rule says) and records it as started for
  // `reason`: counters reset, restart counted and logged, the row rendered. A start that fails
  // is logged with the same line, then with a line saying why, and counted as a failed start.
  void StartAndRecord(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail);
  void Log(const ServerEntry& e, std::u16string_view message);
  // The line of a start: the same whether or not the start then failed.
  void LogStart(const ServerEntry& e, RestartReason reason, std::u16string_view detail);
  // The server's plan, made with the defaults when it has none.
  RestartPlan& PlanOf(std::size_t i);
  // A stop whose process ended by itself (endNow false) or is to be ended now.
  void FinishStop(std::size_t i, bool endNow);
  // An RCON exchange's outcome: a failure is said once (until an exchange succeeds again).
  void NoteRcon(std::size_t i, const RconResult& result, std::u16string_view what);
  // The server's process is about to be ended, has ended or is replaced: no request made for
  // it is sent any more. Always before the end, so that a worker never reaches the next one.
  void WithdrawRcon(std::size_t i);
  // The tie of requests to the server's current process, made when first asked for.
  RconWithdrawal RconForProcess(std::size_t i);

  ServerList& list_;
  IListView& view_;
  const MessageTexts& texts_;
  IProcessControl& process_;
  EventLog& log_;
  SupervisionTiming timing_;
  WallClock clock_;
  bool consolesHidden_ = false;
  CrashLoopGuard guard_;
  SupervisionHealth health_;
  // Told, not changed, by a start: adding an observer changes no server.
  mutable ObserverList<const StartRecord&> startObservers_;
  mutable ObserverList<> listObservers_;
  IRcon* rcon_ = nullptr;
  RestartOptions restartOptions_;
  ZoneOffset zone_;
  int minuteSeconds_ = 60;
  std::vector<std::string> restartProblems_;  // of the last assignment
  std::vector<std::string> loggedProblems_;   // as last logged
};

}  // namespace tervane
