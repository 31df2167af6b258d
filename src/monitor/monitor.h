// The monitor: everything one running Tervane is made of, put together once by each program's
// entry point and handed to its front ends. It owns the server list with the live statuses,
// the message texts, the event log, the process control, the endpoint and the supervision,
// and offers the list's commands as the one layer that every door calls: the main window, the
// command line (directly or through the control socket) and the HTTP API. Commands address
// servers by their position in the list and ask nobody: each door decides at its own door
// whether they were confirmed. A door that waits between naming a server and the command (a
// confirmation, a hop to the loop's thread) keeps the server's identity and finds its row
// again on the loop's thread right before the command.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/servers.h"
#include "core/supervisor.h"
#include "monitor/commands.h"
#include "monitor/server_checks.h"
#include "support/event_log.h"
#include "support/event_loop.h"
#include "support/message_texts.h"

namespace tervane {

struct MonitorOptions {
  Path programDir;                            // logs/ lies here; empty: in the data folder
  Path savePath;                              // empty: serverlist.dat in the data folder
  SupervisionTiming timing;
  std::function<std::string()> localAddress;  // empty: the host's own address
  IClock* clock = nullptr;                    // the log's clock; none: the system's
  WallClock wallClock;                        // the statuses' clock; empty: the system's
  DatagramPortMaker datagramPort;             // the supervision's UDP port; empty: a socket
};

// A server whose process a command could not end (the look or the end was refused): it may
// still run, so it was not started again.
struct EndRefused {
  std::size_t row = 0;
  std::uint32_t error = 0;
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

  ServerList& List() { return list_; }
  Servers& States() { return servers_; }
  Supervisor& Supervision() { return supervisor_; }
  MessageTexts& Texts() { return texts_; }
  EventLog& Log() { return log_; }
  IProcessControl& Process() { return process_; }
  IListView& View() { return view_; }
  BossKeyOptions& BossKeySettings() { return bossKey_; }
  const std::function<std::string()>& LocalAddress() const { return options_.localAddress; }

  // While boss-hidden, every console is kept hidden (see Servers::SetConsolesHidden).
  void SetConsolesHidden(bool hidden) { servers_.SetConsolesHidden(hidden); }
  bool ConsolesHidden() const { return servers_.ConsolesHidden(); }

  // Saves the list with the boss-key options. A save that fails is counted, said once (the log
  // view) with the system's reason, and made again after every cycle until it succeeds; a list
  // that could not be read is never saved over.
  bool Save();
  bool LastSaveSucceeded() const { return lastSaveSucceeded_; }
  // Why the last save failed (0 when it was made).
  std::uint32_t LastSaveError() const { return servers_.Health().saveError; }
  // Why the list file could not be read at load (0 when it could, or was missing).
  std::uint32_t ListError() const { return loaded_.error; }
  // What the load found (unread, damaged), and where the damaged file's copy is once made.
  const ListLoadResult& LoadResult() const { return loaded_; }
  const Path& DamagedListCopy() const { return damagedCopy_; }
  // The damage in words, one line (empty when none).
  std::u16string DamageText() const;
  Path ListPath() const { return options_.savePath.empty() ? ServerListPath() : options_.savePath; }
  // The servers the last Restart or Close could not end.
  const std::vector<EndRefused>& LastEndsRefused() const { return endsRefused_; }

  // ---- servers by identity: the doors keep it across a wait (a confirmation, a hop to the
  // loop's thread) and find the row again, on the loop's thread, right before the command.
  ServerId IdOf(std::size_t row) const { return servers_.IdAt(row); }
  std::optional<std::size_t> RowOf(ServerId id) const { return servers_.RowOf(id); }
  // The row of the server named as `number` and known as `id` when it still has that number;
  // else none and why says what became of it (see Servers::Resolve).
  std::optional<std::size_t> Resolve(ServerId id, std::size_t number, std::string* why = nullptr) const {
    return servers_.Resolve(id, number, why);
  }

  // ---- the list's commands; rows in ascending order, each below List().size()
  // A command on servers (those that ActsOnServers): pause and unpause, remove, restart and
  // close, show and hide, as below. Nothing is asked: the door that took it asked already.
  void Run(Command command, const std::vector<std::size_t>& rows);
  // The question a door asks before a command that AsksFirst: the server's name for one,
  // "the selected servers" for several.
  std::u16string ConfirmationText(Command command, const std::vector<std::size_t>& rows) const;
  // Pause Monitor / Unpause Monitor, and the double-click's toggle of one server. Saved.
  void Pause(const std::vector<std::size_t>& rows, bool pause);
  void TogglePause(std::size_t row);
  // Delete Server(s), Restart Server(s) (not saved: no setting changes), Close Server(s).
  void Delete(const std::vector<std::size_t>& rows);
  void Restart(const std::vector<std::size_t>& rows);
  void Close(const std::vector<std::size_t>& rows);
  // Show Server(s) / Hide Server(s): the setting and the console window. Saved.
  void Show(const std::vector<std::size_t>& rows, bool show);
  // The boss key's sweeps over every console.
  void HideAllConsoles();
  void ShowVisibleConsoles();
  // Moves server s to position t. Saved.
  void Move(std::size_t s, std::size_t t);
  // The servers whose last Restart or Close began with their StopCommand: they are restarted or
  // left closed once their process ends (at the latest after StopSeconds).
  const std::vector<std::size_t>& LastStopsBegun() const { return stopsBegun_; }

  // ---- planned restarts and RCON (live state: nothing is saved)
  // kesp.ini's [Restarts] and [Server <name>] sections, given to the servers by name.
  void SetRestartOptions(RestartOptions options) { servers_.SetRestartOptions(std::move(options)); }
  // A warned one-off restart of a server `minutes` from now (0..1440); answers when it is due,
  // or 0 for minutes out of range.
  WallTime PlanRestart(std::size_t row, int minutes);
  // Whether a one-off restart of the server was planned; it is not any more.
  bool CancelRestart(std::size_t row) { return servers_.CancelRestart(row); }
  // Sends one command to the server through RCON; done comes on the loop's thread. While the
  // server's dialect is not known yet (no answer to the query, no RconProtocol), a Source
  // connection refused is tried again as GoldSrc. Meant for the server's process of now, and to
  // begin within kRconDoorBeginWithin: otherwise answered "not sent" and never sent, so done
  // comes within kRconDoorAnswerWithin with the whole truth.
  void Rcon(std::size_t row, std::string command, IRcon::Done done);
  EventLoop& Loop() { return loop_; }
  // New Server: appends a server made from the editor's checked result. Saved.
  void AddServer(const ServerEntry& entry);
  // Edit Server: applies the editor's checked result to a server, and the new priority,
  // affinity, title and show state to its running process. Saved.
  void EditServer(std::size_t row, std::u16string_view name, const EditorResult& result,
                  std::uint8_t priority, bool hide);

 private:
  bool KeepDamagedList(std::uint32_t& error);
  std::vector<std::size_t> BeginStops(const std::vector<std::size_t>& rows, GracefulStop::Then then);
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
  bool lastSaveSucceeded_ = true;
  bool supervising_ = false;
  ListLoadResult loaded_;
  Path damagedCopy_;
  Path failedCopy_;  // the copy the last save could not write, or empty
  std::vector<EndRefused> endsRefused_;
  std::vector<std::size_t> stopsBegun_;
};

}  // namespace tervane
