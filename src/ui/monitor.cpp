#include "ui/monitor.h"

#include <cstdio>

#include "support/text.h"

namespace tervane {

Monitor::Monitor(EventLoop& loop, IListView& view, IProcessControl& process, MonitorOptions options)
    : options_(std::move(options)),
      process_(process),
      view_(view),
      log_(options_.programDir.empty() ? DataDir() : options_.programDir,
           options_.clock ? *options_.clock : systemClock_,
           [&view](const std::u16string& line) { view.AppendLogLine(line); }),
      servers_(list_, view_, texts_, process_, log_, options_.timing, options_.wallClock),
      supervisor_(loop, servers_) {}

Monitor::Monitor(EventLoop& loop, IListView& view, std::unique_ptr<IProcessControl> process,
                 MonitorOptions options)
    : Monitor(loop, view, *process, std::move(options)) {
  ownedProcess_ = std::move(process);  // the object stays where process_ refers to it
}

void Monitor::Load() {
  const Path path = ListPath();
  damagedSize_ = 0;
  if (File file = File::OpenForRead(path); file.IsOpen())
    if (const auto size = file.Size(); size && *size % kServerEntrySize > 3) damagedSize_ = *size;
  LoadServerList(list_, bossKey_, LoadContext{view_, texts_, options_.localAddress}, options_.savePath);
  if (!list_.empty()) view_.SetSelected(0, true);
}

bool Monitor::KeepDamagedList() {
  if (!options_.keepDamagedList || damagedSize_ == 0 || !damagedCopy_.empty()) return true;
  const Path path = ListPath();
  File file = File::OpenForRead(path);
  const auto size = file.Size();
  if (!file.IsOpen() || !size) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*size));
  bytes.resize(file.Read(bytes.data(), bytes.size()));
  file.Close();
  const LocalTime t = (options_.clock ? *options_.clock : systemClock_).Now();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  const Path copy = path + u".bad-" + Utf8ToUtf16(stamp);
  if (!ReplaceFileAtomically(copy, bytes)) return false;
  damagedCopy_ = copy;
  return true;
}

void Monitor::Start(const std::function<void()>& loaded) {
  Load();
  if (loaded) loaded();
  supervisor_.timerCircleCheckTimer();
}

bool Monitor::Save() {
  // A damaged file is overwritten only once its copy is safe.
  lastSaveSucceeded_ = KeepDamagedList() && SaveServerList(list_, bossKey_, options_.savePath);
  return lastSaveSucceeded_;
}

// ------------------------------------------------------------------ commands

void Monitor::Pause(const std::vector<std::size_t>& rows, bool pause) {
  for (std::size_t i : rows) servers_.SetPaused(i, pause);
  Save();
}

void Monitor::TogglePause(std::size_t row) {
  if (row >= list_.size()) return;
  servers_.SetPaused(row, list_[row]->Paused == 0);
  Save();
}

bool Monitor::Confirm(Msg single, Msg several, const std::vector<std::size_t>& rows, IMessageBoxes& boxes) {
  if (rows.empty()) return false;
  const std::u16string text = rows.size() < 2 ? FormatText(texts_.Get(single), {list_.at(rows.front())->Name.str()})
                                              : texts_.Get(several);
  return boxes.Show(BoxOwner::MainWindow, BoxKind::Confirm, text);
}

bool Monitor::Delete(const std::vector<std::size_t>& rows, IMessageBoxes& boxes) {
  if (!Confirm(Msg::MsgTextDelServer, Msg::MsgTextDelSelServers, rows, boxes)) return false;
  // Repainting waits for the whole batch; from the last row up, so the others keep their places.
  const bool batch = rows.size() > 1;
  if (batch) view_.BeginUpdate();
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) servers_.Erase(*it);
  if (batch) view_.EndUpdate();
  Save();
  return true;
}

bool Monitor::Restart(const std::vector<std::size_t>& rows, IMessageBoxes& boxes) {
  if (!Confirm(Msg::MsgTextRestartServer, Msg::MsgTextRestartSelServers, rows, boxes)) return false;
  servers_.RestartByCommand(rows);
  return true;  // a restart changes no setting: nothing to save
}

bool Monitor::Close(const std::vector<std::size_t>& rows, IMessageBoxes& boxes) {
  if (!Confirm(Msg::MsgTextCloseServer, Msg::MsgTextCloseSelServers, rows, boxes)) return false;
  for (std::size_t i : rows) servers_.Close(i);
  Save();
  return true;
}

void Monitor::ShowConsole(const ServerEntry& e) {
  if (const WindowHandle w = process_.FindServerConsoleWindow(e.FileName.str())) ShowConsoleWindow(process_, w, true);
}

void Monitor::HideConsole(const ServerEntry& e) {
  if (const WindowHandle w = process_.FindServerConsoleWindow(e.FileName.str())) ShowConsoleWindow(process_, w, false);
}

void Monitor::Show(const std::vector<std::size_t>& rows, bool show) {
  for (std::size_t i : rows) {
    Server& r = *list_.at(i);
    r.HideServer = show ? 0 : 1;
    if (show)
      ShowConsole(r);
    else
      HideConsole(r);
  }
  Save();
}

void Monitor::HideAllConsoles() {
  for (const auto& e : list_) HideConsole(*e);
}

void Monitor::ShowVisibleConsoles() {
  for (const auto& e : list_)
    if (!e->HideServer) ShowConsole(*e);
}

void Monitor::Move(std::size_t s, std::size_t t) {
  servers_.Move(s, t);
  Save();
}

void Monitor::AddServer(const ServerEntry& entry) {
  servers_.Add(std::make_unique<Server>(entry));
  Save();
}

void Monitor::EditServer(std::size_t row, std::u16string_view name, const EditorResult& result,
                         std::uint8_t priority, bool hide) {
  Server& r = *list_.at(row);
  const bool priorityChanged = UpdateEntry(r, name, result, priority, hide);
  const Path fileName = r.FileName.str();
  if (priorityChanged) process_.SetServerPriority(fileName, r.Priority);
  if (const WindowHandle w = process_.FindServerConsoleWindow(fileName)) {
    process_.SetWindowTitle(w, r.Name.str());
    ShowConsoleWindow(process_, w, r.HideServer == 0);
  }
  process_.SetServerAffinity(fileName, r.Affinity);
  servers_.NoteApplyErrors(row, process_.LastApplyErrors(fileName));
  servers_.Render(row);
  Save();
}

}  // namespace tervane
