// The monitor: everything one running Tervane is made of, put together once. It owns the server
// list with the live statuses, the message texts, the event log, the process control, the
// endpoint and the supervision, and offers the list's commands as one layer that every front
// end calls: the main window, the console program, and any later door to a running monitor.
// Commands address servers by their position in the list.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/servers.h"
#include "core/supervisor.h"
#include "support/event_log.h"
#include "support/event_loop.h"
#include "support/message_texts.h"
#include "ui/server_editor.h"

namespace tervane {

// Message boxes, always captioned "Tervane": confirmations with a warning icon and Yes/No,
// errors with an error icon and OK, results with an information or a warning icon.
enum class BoxOwner { MainWindow, ServerEditor, BossKeyDialog };
enum class BoxKind { Confirm, Error, Information, Warning };

class IMessageBoxes {
 public:
  virtual ~IMessageBoxes() = default;
  // Answers true for Yes (a confirmation) and for OK (the other kinds).
  virtual bool Show(BoxOwner owner, BoxKind kind, const std::u16string& text) = 0;
};

struct MonitorOptions {
  Path programDir;                            // logs/ lies here; empty: in the data folder
  Path savePath;                              // empty: serverlist.dat in the data folder
  SupervisionTiming timing;
  std::function<std::string()> localAddress;  // empty: the host's own address
  IClock* clock = nullptr;                    // the log's clock; none: the system's
  WallClock wallClock;                        // the statuses' clock; empty: the system's
  // A list file that is not whole records plus at most the three option bytes is copied to
  // "serverlist.dat.bad-<time>" before the first save over it (the Linux program's choice).
  bool keepDamagedList = false;
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
  // starts the timer chain. `loaded` runs after loading, before the cycle.
  void Start(const std::function<void()>& loaded = {});
  // Only the loading: the list and its rows from serverlist.dat, the first row selected.
  void Load();

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

  // Saves the list with the boss-key options; a failed save is silent, the next one tries again.
  bool Save();
  bool LastSaveSucceeded() const { return lastSaveSucceeded_; }
  // The size of the list file last loaded when it was damaged, else 0; and where its copy is.
  std::uint64_t DamagedListSize() const { return damagedSize_; }
  const Path& DamagedListCopy() const { return damagedCopy_; }
  Path ListPath() const { return options_.savePath.empty() ? ServerListPath() : options_.savePath; }

  // ---- the list's commands; rows in ascending order, each below List().size()
  // Pause Monitor / Unpause Monitor, and the double-click's toggle of one server. Saved.
  void Pause(const std::vector<std::size_t>& rows, bool pause);
  void TogglePause(std::size_t row);
  // Delete Server(s), Restart Server(s), Close Server(s): each asks first (by the server's name
  // for one, as "the selected servers" for several) and answers whether it was done.
  bool Delete(const std::vector<std::size_t>& rows, IMessageBoxes& boxes);
  bool Restart(const std::vector<std::size_t>& rows, IMessageBoxes& boxes);
  bool Close(const std::vector<std::size_t>& rows, IMessageBoxes& boxes);
  // Show Server(s) / Hide Server(s): the setting and the console window. Saved.
  void Show(const std::vector<std::size_t>& rows, bool show);
  // The boss key's sweeps over every console.
  void HideAllConsoles();
  void ShowVisibleConsoles();
  // Moves server s to position t. Saved.
  void Move(std::size_t s, std::size_t t);
  // New Server: appends a server made from the editor's checked result. Saved.
  void AddServer(const ServerEntry& entry);
  // Edit Server: applies the editor's checked result to a server, and the new priority,
  // affinity, title and show state to its running process. Saved.
  void EditServer(std::size_t row, std::u16string_view name, const EditorResult& result,
                  std::uint8_t priority, bool hide);

 private:
  bool KeepDamagedList();
  bool Confirm(Msg single, Msg several, const std::vector<std::size_t>& rows, IMessageBoxes& boxes);
  void ShowConsole(const ServerEntry& e);
  void HideConsole(const ServerEntry& e);

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
  bool lastSaveSucceeded_ = true;
  std::uint64_t damagedSize_ = 0;
  Path damagedCopy_;
};

}  // namespace tervane
