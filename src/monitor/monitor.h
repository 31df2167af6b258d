// The monitor: everything one running Tervane is made of, put together once by each program's
// entry point and handed to its front ends. It owns the server list with the live statuses,
// the message texts, the event log, the process control, the endpoint and the supervision,
// and offers the list's commands as the one layer that every door calls: the main window, the
// command line (directly or through the control socket) and the HTTP API. Commands address
// servers by their identities, found again on the loop's thread right before the command (a
// door may wait between naming a server and the command: a confirmation, a hop to the loop's
// thread), ask nobody (each door decides at its own door whether they were confirmed), and
// answer what they did. The doors ask the monitor what they show; they get none of its parts.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/servers.h"
#include "core/supervisor.h"
#include "monitor/command_result.h"
#include "monitor/commands.h"
#include "monitor/server_checks.h"
#include "support/event_log.h"
#include "support/event_loop.h"
#include "support/message_texts.h"

namespace tervane {

namespace testbed {
class MonitorRig;
template <typename View>
class BasicRig;
}  // namespace testbed

struct MonitorOptions {
  Path programDir;                            // logs/ lies here; empty: in the data folder
  Path savePath;                              // empty: serverlist.dat in the data folder
  SupervisionTiming timing;
  std::function<std::string()> localAddress;  // empty: the host's own address
  IClock* clock = nullptr;                    // the log's clock; none: the system's
  WallClock wallClock;                        // the statuses' clock; empty: the system's
  DatagramPortMaker datagramPort;             // the supervision's UDP port; empty: a socket
};

class Monitor {
 public:
  // The process control is the caller's (tests hand in a fake) or, in the second form, the
  // monitor's own. Log lines are shown in the view's log.
  Monitor(EventLoop& loop, IListView& view, IProcessControl& process, MonitorOptions options = {});
  Monitor(EventLoop& loop, IListView& view, std::unique_ptr<IProcessControl> process,
          MonitorOptions options = {});
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // VelUDP1 on a port of the system's choice, with the supervision's handlers.
  void CreateEndpoint() { supervisor_.CreateEndpoint(); }
  // Start-up: loads serverlist.dat, selects the first row and runs the first cycle, which
  // starts the timer chain. A list file that cannot be read starts no supervision.
  void Start();
  // Only the loading: the list and its rows from serverlist.dat (read once), the first row
  // selected. A list file that exists but cannot be read is said (the log view), leaves the
  // list empty and is never saved over; a damaged one is said and copied aside before the first
  // save over it. Answers false when the file could not be read.
  bool Load();
  // The first cycle, which starts the timer chain; nothing when the list could not be read.
  void BeginSupervision();
  bool Supervising() const { return supervising_; }

  // ---- what the doors ask
  // What changed among the servers (see Servers::Changes): the doors' rows follow it.
  ObserverList<const ServerChange&>& Changes() const { return servers_.Changes(); }
  // The servers' count, and a server's record with its live status, for rendering (row below
  // Count()).
  std::size_t Count() const { return list_.size(); }
  const Server& At(std::size_t row) const { return *list_.at(row); }
  // The servers in list order, for the rows that draw them.
  const ServerList& Listed() const { return list_; }
  // Its settings of kesp.ini's [Restarts] and [Server <name>] sections.
  const RestartSettings& SettingsOf(std::size_t row) const { return servers_.Plans().SettingsOf(row); }
  // The next restart planned for the server (0: none), and the crash-loop guard's pause in words.
  WallTime NextPlannedRestart(std::size_t row) const { return servers_.Plans().NextPlannedRestart(row); }
  std::u16string CrashLoopText() const { return servers_.CrashLoopText(); }
  // The statuses' clock.
  WallTime Now() const { return servers_.Now(); }
  // A look for the server's process now: running, absent, or unknown with the system's error.
  Look LookForServer(const Path& fileName) const { return process_.LookForServer(fileName); }
  // The editor's checks of a new server's settings (skipRow -1) or of the server at skipRow:
  // the first refusal, or none with result computed.
  std::optional<InputRefusal> CheckServer(const EditorInput& input, int skipRow, EditorResult& result) const {
    return CheckServerInput(input, list_, skipRow, process_, result, options_.localAddress);
  }
  // Told after each cycle of the supervision.
  ObserverList<>& CycleEnds() const { return supervisor_.CycleEndObservers(); }
  // The observers' read-only view of the live state and the supervision (observe/: the
  // snapshot reads them whole; their observer lists tell the changes).
  const Servers& LiveState() const { return servers_; }
  const Supervisor& Supervision() const { return supervisor_; }
  // The language's texts; the window's language menu changes them.
  MessageTexts& Texts() { return texts_; }
  const MessageTexts& Texts() const { return texts_; }
  // The window's boss-key settings, saved with the list.
  BossKeyOptions& BossKeySettings() { return bossKey_; }
  // The window's own way to the list, nothing else's: a changed language re-renders its rows,
  // and the boss key looks at its consoles' settings.
  ServerList& WindowRows() { return list_; }
  // A line of the event log, shown and written to the log file; one in the same form only
  // shown (what the monitor says about itself); and a line the door made whole, only shown
  // (the log view, the console on Linux).
  void AddLog(std::u16string_view source, std::u16string_view line) { log_.AddLog(source, line); }
  void Notice(std::u16string_view source, std::u16string_view line) { log_.Notice(source, line); }
  void Tell(const std::u16string& line) { view_.AppendLogLine(line); }
  // Whether every command on the servers adds the operator's line to the log (off: the log holds
  // only what the supervision says). The line goes after whatever the command itself logged.
  void SetLogCommands(bool on) { logCommands_ = on; }
  bool LogsCommands() const { return logCommands_; }
  // The crash-loop guard (kesp.ini's MaxRestarts in RestartWindowMinutes).
  void SetCrashLoopGuard(CrashLoopGuard guard) { servers_.SetCrashLoopGuard(std::move(guard)); }
  // The loop the monitor runs on (the caller's).
  EventLoop& Loop() { return loop_; }

  // While boss-hidden, every console is kept hidden (see Servers::SetConsolesHidden).
  void SetConsolesHidden(bool hidden) { servers_.SetConsolesHidden(hidden); }
  bool ConsolesHidden() const { return servers_.ConsolesHidden(); }

  // Saves the list with the boss-key options. A save that fails is counted, said once (the log
  // view) with the system's reason, and made again after every cycle until it succeeds; a list
  // that could not be read is never saved over.
  bool Save();
  // Why the list file could not be read at load (0 when it could, or was missing).
  std::uint32_t ListError() const { return loaded_.error; }
  // What the load found (unread, damaged), and where the damaged file's copy is once made.
  const ListLoadResult& LoadResult() const { return loaded_; }
  const Path& DamagedListCopy() const { return damagedCopy_; }
  // The damage in words, one line (empty when none).
  std::u16string DamageText() const;
  Path ListPath() const { return options_.savePath.empty() ? ServerListPath() : options_.savePath; }

  // ---- servers by identity: the doors keep it across a wait (a confirmation, a hop to the
  // loop's thread) and find the row again, on the loop's thread, right before the command.
  ServerId IdOf(std::size_t row) const { return servers_.IdAt(row); }
  std::optional<std::size_t> RowOf(ServerId id) const { return servers_.RowOf(id); }
  // The row of the server named as `number` and known as `id` when it still has that number;
  // else none and why says what became of it (see Servers::Resolve).
  std::optional<std::size_t> Resolve(ServerId id, std::size_t number, std::string* why = nullptr) const {
    return servers_.Resolve(id, number, why);
  }

  // The targets of rows a door holds right now (nothing between naming and running them).
  std::vector<CommandTarget> Targets(const std::vector<std::size_t>& rows) const;

  // ---- the commands, one layer for every door; each answers what it did
  // The command on the servers named (those gone or moved meanwhile as CommandTarget says),
  // with its arguments. Nothing is asked: the door that took it asked already. Pause and
  // unpause, remove, show and hide, close, move, add and edit are saved; restart (now or
  // planned), cancel and rcon change no setting. An rcon's answer comes later, to
  // args.rconDone, on the loop's thread.
  CommandResult Run(Command command, const std::vector<CommandTarget>& servers, CommandArgs args = {});
  // The question a door asks before a command that AsksFirst: the server's name for one,
  // "the selected servers" for several (rows below Count()).
  std::u16string ConfirmationText(Command command, const std::vector<std::size_t>& rows) const;
  // The boss key's sweeps over every console.
  void HideAllConsoles();
  void ShowVisibleConsoles();

  // ---- planned restarts and RCON (live state: nothing is saved)
  // kesp.ini's [Restarts] and [Server <name>] sections, given to the servers by name.
  void SetRestartOptions(RestartOptions options) { servers_.Plans().SetRestartOptions(std::move(options)); }

  // ---- game updates (live state: nothing is saved)
  // kesp.ini's [Updates] and [Server <name>] sections, given to the servers by name.
  void SetUpdateOptions(UpdateOptions options) { servers_.Updates().SetOptions(std::move(options)); }
  // The runner of the update commands: the program's, living longer than the monitor (none: no
  // update can be made, which is said once when one is due).
  void SetCommandRunner(ICommandRunner* runner) { servers_.Updates().SetRunner(runner); }
  // The server's settings of game updates (off: no UpdateCommand).
  const UpdateSettings& UpdateSettingsOf(std::size_t row) const { return servers_.Updates().SettingsOf(row); }
  // An update of the server's game exists (on the loop's thread): it is made for the servers of
  // its installation, warned, at once when nobody plays, at the latest after UpdateWithinMinutes.
  // Nothing for a server whose settings are off, paused, held after an update, or pending or
  // updating already; a notice again right after a made update is logged once.
  void NoteUpdateAvailable(ServerId id, UpdateSource source, std::string detail) {
    servers_.Updates().NoteAvailable(id, source, std::move(detail));
  }

 private:
  // The tests' rigs set up and read the parts directly.
  friend class testbed::MonitorRig;
  template <typename View>
  friend class testbed::BasicRig;

  void Pause(const std::vector<std::size_t>& rows, bool pause, CommandResult& result);
  void Delete(const std::vector<std::size_t>& rows, CommandResult& result);
  void Restart(const std::vector<std::size_t>& rows, CommandResult& result);
  // The operator's update of the rows' installations, now or in args.inMinutes; result.rows
  // becomes the rows acted on.
  void Update(const CommandArgs& args, CommandResult& result);
  void Close(const std::vector<std::size_t>& rows, CommandResult& result);
  void Show(const std::vector<std::size_t>& rows, bool show, CommandResult& result);
  void Edit(std::size_t row, const ServerEdit& edit, CommandResult& result);
  // Saves the list, and says in result whether it was written.
  void SaveFor(CommandResult& result);
  // Sends one command to the server through RCON. While the server's dialect is not known yet
  // (no answer to the query, no RconProtocol), a Source connection refused is tried again as
  // GoldSrc. Meant for the server's process of now, and to begin within kRconDoorBeginWithin:
  // otherwise answered "not sent" and never sent, so done comes within kRconDoorAnswerWithin
  // with the whole truth.
  void Rcon(std::size_t row, std::string command, IRcon::Done done);
  bool KeepDamagedList(std::uint32_t& error);
  // The operator's line of a command for each server it named (row, and its name before the
  // command ran), with what became of it.
  void LogCommand(Command command, const CommandArgs& args,
                  const std::vector<std::pair<std::size_t, std::u16string>>& named, const CommandResult& result);
  std::vector<std::size_t> BeginStops(const std::vector<std::size_t>& rows, Want then, CommandResult& result);
  void ShowConsole(const ServerEntry& e);
  void HideConsole(const ServerEntry& e);

  EventLoop& loop_;
  MonitorOptions options_;
  std::unique_ptr<IProcessControl> ownedProcess_;
  IProcessControl& process_;
  IListView& view_;
  SystemClock systemClock_;
  MessageTexts texts_;
  ServerList list_;
  BossKeyOptions bossKey_;
  EventLog log_;
  Servers servers_;
  Supervisor supervisor_;
  // Its workers end with it (support/threads.h); an answer comes as a posted task only while it lives.
  std::unique_ptr<IRcon> rcon_;
  bool supervising_ = false;
  bool logCommands_ = false;
  ListLoadResult loaded_;
  Path damagedCopy_;
  Path failedCopy_;  // the copy the last save could not write, or empty
};

}  // namespace tervane
