// The servers with their live statuses, and the one place where each outcome changes them:
// a restart for a reason, a start after a loss, a reply or a missed one, pause, unpause, close,
// and adding, removing and moving servers. Each function changes the record's counters, the
// live status, the log and the server's row together, so that the supervision, the window's
// commands and every other front end get the same result for the same outcome.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/list_view.h"
#include "core/server_list.h"
#include "net/query.h"
#include "process/process_control.h"
#include "support/event_log.h"
#include "support/message_texts.h"

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

// One start that StartAndRecord made: which server, why, and what the system answered.
struct StartRecord {
  std::size_t index = 0;
  RestartReason reason = RestartReason::FirstStart;
  std::uint32_t error = 0;
  WallTime time = 0;
};

class Servers {
 public:
  Servers(ServerList& list, IListView& view, const MessageTexts& texts, IProcessControl& process,
          EventLog& log, SupervisionTiming timing, WallClock clock = {});

  ServerList& List() { return list_; }
  const ServerList& List() const { return list_; }
  std::size_t size() const { return list_.size(); }
  Server& at(std::size_t i) { return *list_.at(i); }
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
  void ReplyReceived(std::size_t i, const ParsedDatagram& reply);
  // The check found no answer since the last query: timeout n of 20, restarted past that.
  void ReplyMissed(std::size_t i);
  // What the system refused of the server's priority and affinity, as last applied: logged
  // when it changes to a refusal, so once and not every cycle; kept in the status.
  void NoteApplyErrors(std::size_t i, const ApplyErrors& errors);

  // Ends the process of exe, waits the pause, starts it again and records the restart. A
  // restart by command is neither counted in Restarts nor logged; the others are both.
  void Restart(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail = {});
  // Restart Server(s) of several servers: every process ended, one pause, every start.
  void RestartByCommand(const std::vector<std::size_t>& rows);

  // ---- commands
  void SetPaused(std::size_t i, bool paused);
  // Ends the server's process and pauses it, which keeps the supervision from starting it again.
  void Close(std::size_t i);
  void Add(std::unique_ptr<Server> server);
  void Erase(std::size_t i);
  // Moves server s to position t, its row and status with it.
  void Move(std::size_t s, std::size_t t);
  // Renders a server's row after its record was edited.
  void Render(std::size_t i);
  // Renders every row anew (after the texts changed).
  void RenderAll();

  // Told of every start after it has been recorded, logged and rendered (the optional
  // observers of kesp.ini); it may pause the server. Unset, nothing else happens.
  std::function<void(const StartRecord&)> onStart;
  WallTime Now() const { return clock_(); }
  // A log line of the monitor, under the server's name.
  void LogFor(std::size_t i, std::u16string_view message) { Log(at(i), message); }

 private:
  // Starts the server's process (hidden as the rule says) and records it as started for
  // `reason`: counters reset, restart counted and logged, the row rendered. A start that fails
  // is logged with the same line, then with a line saying why, and counted as a failed start.
  void StartAndRecord(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail);
  void Log(const ServerEntry& e, std::u16string_view message);
  // The line of a start: the same whether or not the start then failed.
  void LogStart(const ServerEntry& e, RestartReason reason, std::u16string_view detail);

  ServerList& list_;
  IListView& view_;
  const MessageTexts& texts_;
  IProcessControl& process_;
  EventLog& log_;
  SupervisionTiming timing_;
  WallClock clock_;
  bool consolesHidden_ = false;
};

}  // namespace tervane
