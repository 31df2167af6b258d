#include "ui/main_logic.h"

#include "support/text.h"

namespace tervane {

// ------------------------------------------------------------------ the editor's state

ServerEditorState::ServerEditorState(int processorCount) {
  const int p = processorCount > kMaxProcessors ? kMaxProcessors : processorCount;
  for (int n = 0; n < 32; ++n) {
    cpuEnabled[n] = n < p;
    cpuChecked[n] = n < p;
  }
}

void ServerEditorState::OnShow(int processorCount) {
  if (!EditMode) return;  // a new server keeps the boxes as they were left
  const int p = processorCount > kMaxProcessors ? kMaxProcessors : processorCount;
  for (int n = 0; n < 32; ++n) {
    cpuEnabled[n] = n < p;
    cpuChecked[n] = n < p && ((result.ResultAffinity >> n) & 1u) != 0;
  }
}

void ServerEditorState::btnProcessAffinityClick() { AffinityShown = !AffinityShown; }

std::optional<Msg> ServerEditorState::btnOKClick(const ServerList& list, int skipIndex,
                                                 IProcessControl& process, int processorCount,
                                                 const std::function<std::string()>& localAddress) {
  const EditorInput input{edtFileName, edtParams, CheckedBoxes(), processorCount};
  return CheckServerInput(input, list, skipIndex, process, result, localAddress);
}

void ServerEditorState::ResetForNextUse() {
  edtName = kDefaultServerName;
  cbbPriority = 1;
  edtFileName.clear();
  edtParams = kDefaultParams;
}

std::u16string ServerEditorState::AffinityButtonCaption() const {
  return AffinityShown ? u"\u00AB " + affinityBase : affinityBase + u" \u00BB";
}

std::uint32_t ServerEditorState::CheckedBoxes() const {
  std::uint32_t mask = 0;
  for (int n = 0; n < 32; ++n)
    if (cpuChecked[n]) mask |= 1u << n;
  return mask;
}

// ------------------------------------------------------------------ the main window

MainWindowLogic::MainWindowLogic(MainWindowContext context)
    : c_(std::move(context)), editor_(c_.processorCount ? c_.processorCount() : 1) {}

void MainWindowLogic::SaveServerList() { tervane::SaveServerList(c_.list, c_.bossKey, c_.savePath); }

namespace {

// 1 when every selected server has the flag, -1 when none has it, 0 when mixed or none selected.
int SelectedFlagState(const IListView& view, const ServerList& list,
                      std::uint8_t (*flag)(const ServerEntry&)) {
  bool any = false, all = true, none = true;
  for (int i = 0; i < view.RowCount() && i < static_cast<int>(list.size()); ++i) {
    if (!view.IsSelected(i)) continue;
    any = true;
    const bool set = flag(*list[static_cast<std::size_t>(i)]) != 0;
    all = all && set;
    none = none && !set;
  }
  if (!any) return 0;
  return all ? 1 : none ? -1 : 0;
}

}  // namespace

int MainWindowLogic::SelectedPausedState() const {
  return SelectedFlagState(c_.view, c_.list, [](const ServerEntry& e) { return e.Paused; });
}

int MainWindowLogic::SelectedHiddenState() const {
  return SelectedFlagState(c_.view, c_.list, [](const ServerEntry& e) { return e.HideServer; });
}

void MainWindowLogic::ListViewMenuPopup() {
  auto& it = menu_.items;
  auto set = [&](int item, bool enabled, bool visible) {
    it[static_cast<std::size_t>(item)].enabled = enabled;
    it[static_cast<std::size_t>(item)].visible = visible;
  };
  auto enable = [&](int item, bool enabled) { it[static_cast<std::size_t>(item)].enabled = enabled; };
  const int n = c_.view.SelectedCount();
  if (n == 0) {
    set(menuPauseServer, false, true);
    set(menuUnpauseServer, false, false);
    for (int item : {menuEditServer, menuDeleteServer, menuShowServer, menuHideServer,
                     menuRestartServer, menuCloseServer})
      enable(item, false);
    return;
  }
  // Only one of Pause and Unpause is offered, and it is the default item.
  auto offerPause = [&](bool unpause) {
    set(menuPauseServer, !unpause, !unpause);
    set(menuUnpauseServer, unpause, unpause);
    menu_.defaultItem = unpause ? menuUnpauseServer : menuPauseServer;
  };
  if (n == 1) {
    const int s = c_.view.FirstSelected();
    const ServerEntry& r = *c_.list.at(static_cast<std::size_t>(s));
    offerPause(r.Paused != 0);
    enable(menuEditServer, true);
    enable(menuDeleteServer, true);
    set(menuShowServer, r.HideServer != 0, r.HideServer != 0);
    set(menuHideServer, r.HideServer == 0, r.HideServer == 0);
    enable(menuRestartServer, true);
    enable(menuCloseServer, c_.process.IsServerRunning(r.FileName.str()));
    return;
  }
  offerPause(SelectedPausedState() == 1);
  enable(menuEditServer, false);
  enable(menuDeleteServer, true);
  switch (SelectedHiddenState()) {
    case -1:
      set(menuHideServer, true, true);
      set(menuShowServer, false, false);
      break;
    case 0:
      set(menuHideServer, true, true);
      set(menuShowServer, true, true);
      break;
    default:
      set(menuHideServer, false, false);
      set(menuShowServer, true, true);
      break;
  }
  enable(menuRestartServer, true);
  enable(menuCloseServer, true);
}

void MainWindowLogic::PauseRow(int row, bool pause) {
  ServerEntry& r = *c_.list.at(static_cast<std::size_t>(row));
  r.Paused = pause ? 1 : 0;
  r.TimeoutCount = 0;
  r.LostCount = 0;
  const std::u16string state = pause ? c_.texts.Get(Msg::PausedMonitor) : std::u16string(kNoValue);
  c_.view.SetCell(row, ColProcessStatus, state);
  c_.view.SetCell(row, ColNetworkStatus, state);
  c_.view.SetCell(row, ColMap, kNoValue);
  c_.view.SetCell(row, ColPlayers, kNoValue);
}

void MainWindowLogic::menuPauseServerClick(ListMenuItem sender) {
  const bool pause = sender == menuPauseServer;
  for (int i = 0; i < c_.view.RowCount() && i < static_cast<int>(c_.list.size()); ++i)
    if (c_.view.IsSelected(i)) PauseRow(i, pause);
  SaveServerList();
}

void MainWindowLogic::LVDblClick() {
  const int s = c_.view.FirstSelected();
  if (s < 0) return;
  PauseRow(s, c_.list.at(static_cast<std::size_t>(s))->Paused == 0);
  SaveServerList();
}

bool MainWindowLogic::Confirm(Msg single, Msg several, int selected, const std::u16string& name) {
  const std::u16string text = selected < 2 ? FormatText(c_.texts.Get(single), {name})
                                           : c_.texts.Get(several);
  return c_.boxes.Show(BoxOwner::MainWindow, BoxKind::Confirm, text);
}

void MainWindowLogic::menuDeleteServerClick() {
  const int s = c_.view.FirstSelected();
  if (s < 0) return;
  const int n = c_.view.SelectedCount();
  if (!Confirm(Msg::MsgTextDelServer, Msg::MsgTextDelSelServers, n, c_.view.Cell(s, ColServerName)))
    return;
  if (n < 2) {
    c_.view.DeleteServerRow(s);
    c_.list.erase(c_.list.begin() + s);
  } else {
    c_.view.BeginUpdate();
    for (int i = c_.view.RowCount() - 1; i >= 0; --i) {
      if (!c_.view.IsSelected(i)) continue;
      c_.view.DeleteServerRow(i);
      if (i < static_cast<int>(c_.list.size())) c_.list.erase(c_.list.begin() + i);
    }
    c_.view.EndUpdate();
  }
  SaveServerList();
}

void MainWindowLogic::ResetRestartedRow(int row) {
  ServerEntry& r = *c_.list.at(static_cast<std::size_t>(row));
  r.TimeoutCount = 0;
  r.LostCount = 0;
  r.WaitReply = 0;
  if (r.Paused) {
    c_.view.SetCell(row, ColProcessStatus, c_.texts.Get(Msg::PausedMonitor));
    c_.view.SetCell(row, ColNetworkStatus, c_.texts.Get(Msg::PausedMonitor));
  } else {
    c_.view.SetCell(row, ColProcessStatus, c_.texts.Get(Msg::Restarting));
    c_.view.SetCell(row, ColNetworkStatus, kNoValue);
  }
  c_.view.SetCell(row, ColMap, kNoValue);
  c_.view.SetCell(row, ColPlayers, kNoValue);
}

bool MainWindowLogic::ConfirmSelected(Msg single, Msg several) {
  const int n = c_.view.SelectedCount();
  const int s = c_.view.FirstSelected();
  if (n == 0 || s < 0) return false;
  return Confirm(single, several, n, c_.list.at(static_cast<std::size_t>(s))->Name.str());
}

void MainWindowLogic::menuRestartServerClick() {
  if (!ConfirmSelected(Msg::MsgTextRestartServer, Msg::MsgTextRestartSelServers)) return;
  const int n = c_.view.SelectedCount();
  const int s = c_.view.FirstSelected();
  auto start = [&](int row) {
    const ServerEntry& r = *c_.list[static_cast<std::size_t>(row)];
    c_.process.StartServerProcess(r.FileName.str(), r.Params.str(), r.Priority, r.HideServer != 0,
                                  r.Affinity);
    ResetRestartedRow(row);
  };
  if (n == 1) {
    c_.process.TerminateServerProcess(c_.list[static_cast<std::size_t>(s)]->FileName.str());
    c_.process.Sleep(10);
    start(s);
    return;
  }
  const int count = static_cast<int>(c_.list.size());
  for (int i = 0; i < count; ++i)
    if (c_.view.IsSelected(i)) c_.process.TerminateServerProcess(c_.list[static_cast<std::size_t>(i)]->FileName.str());
  c_.process.Sleep(10);
  for (int i = 0; i < count; ++i)
    if (c_.view.IsSelected(i)) start(i);
}

void MainWindowLogic::CloseRow(int row) {
  ServerEntry& r = *c_.list.at(static_cast<std::size_t>(row));
  c_.process.TerminateServerProcess(r.FileName.str());
  // Pausing is what keeps the supervision from starting it again.
  r.Paused = 1;
  r.LostCount = 0;
  r.TimeoutCount = 0;
  r.WaitReply = 0;
  c_.view.SetCell(row, ColProcessStatus, c_.texts.Get(Msg::PausedMonitor));
  c_.view.SetCell(row, ColNetworkStatus, c_.texts.Get(Msg::PausedMonitor));
  c_.view.SetCell(row, ColMap, kNoValue);
  c_.view.SetCell(row, ColPlayers, kNoValue);
}

void MainWindowLogic::menuCloseServerClick() {
  if (!ConfirmSelected(Msg::MsgTextCloseServer, Msg::MsgTextCloseSelServers)) return;
  for (int i = 0; i < static_cast<int>(c_.list.size()); ++i)
    if (c_.view.IsSelected(i)) CloseRow(i);
  SaveServerList();
}

void MainWindowLogic::ShowConsole(const ServerEntry& e) {
  const WindowHandle w = c_.process.FindServerConsoleWindow(e.FileName.str());
  if (w) c_.process.ShowWindow(w, c_.process.IsIconic(w) ? kShowMinNoActivate : kShowNoActivate);
}

void MainWindowLogic::HideConsole(const ServerEntry& e) {
  const WindowHandle w = c_.process.FindServerConsoleWindow(e.FileName.str());
  if (w) c_.process.ShowWindow(w, kShowHide);
}

void MainWindowLogic::menuShowServerClick(ListMenuItem sender) {
  const bool show = sender == menuShowServer;
  for (int i = 0; i < static_cast<int>(c_.list.size()); ++i) {
    if (!c_.view.IsSelected(i)) continue;
    ServerEntry& r = *c_.list[static_cast<std::size_t>(i)];
    r.HideServer = show ? 0 : 1;
    if (show)
      ShowConsole(r);
    else
      HideConsole(r);
  }
  SaveServerList();
}

void MainWindowLogic::HideAllConsoles() {
  for (const auto& e : c_.list) HideConsole(*e);
}

void MainWindowLogic::ShowVisibleConsoles() {
  for (const auto& e : c_.list)
    if (!e->HideServer) ShowConsole(*e);
}

bool MainWindowLogic::LVDragOver(bool fromListView, int targetRow) const {
  return fromListView && targetRow >= 0 && targetRow < c_.view.RowCount() &&
         targetRow != c_.view.FirstSelected();
}

void MainWindowLogic::LVDragDrop(int targetRow) {
  if (targetRow < 0 || targetRow >= c_.view.RowCount()) return;
  const int s = c_.view.FirstSelected();
  if (s < 0 || targetRow == s) return;
  MoveServer(s, targetRow);
  SaveServerList();
}

void MainWindowLogic::MoveServer(int s, int t) {
  const int count = static_cast<int>(c_.list.size());
  if (s < 0 || t < 0 || s >= count || t >= count || s == t) return;
  RowTexts texts;
  for (int col = 0; col < kColumnCount; ++col) texts[static_cast<std::size_t>(col)] = c_.view.Cell(s, col);
  // The record itself moves, live state and all; it is neither copied nor reset.
  std::unique_ptr<ServerEntry> record = std::move(c_.list[static_cast<std::size_t>(s)]);
  if (t > s) {
    c_.view.InsertRow(t + 1, texts);
    c_.view.DeleteServerRow(s);
    c_.list.insert(c_.list.begin() + t + 1, std::move(record));
    c_.list.erase(c_.list.begin() + s);
  } else {
    c_.view.InsertRow(t, texts);
    c_.view.DeleteServerRow(s + 1);
    c_.list.insert(c_.list.begin() + t, std::move(record));
    c_.list.erase(c_.list.begin() + s + 1);
  }
}

void MainWindowLogic::menuNewServerClick(IServerEditorDialog& dialog) {
  editor_.EditMode = false;
  if (c_.currentLanguageText)
    if (auto caption = c_.currentLanguageText(u"frmAddServer.Caption", editor_.Caption))
      editor_.Caption = *caption;
  const int s = c_.view.FirstSelected();
  if (s < 0) {
    editor_.edtName = kDefaultServerName;
    editor_.cbbPriority = 1;
    editor_.cbbHideServer = false;
    editor_.edtFileName.clear();
    editor_.edtParams = kDefaultParams;
  } else {
    const ServerEntry& r = *c_.list.at(static_cast<std::size_t>(s));
    editor_.edtName = r.Name.str();
    editor_.cbbPriority = r.Priority > 2 ? 2 : r.Priority;
    editor_.cbbHideServer = r.HideServer != 0;
    editor_.edtFileName = r.FileName.str();
    editor_.edtParams = r.Params.str();
  }
  const int processors = c_.processorCount ? c_.processorCount() : 1;
  editor_.OnShow(processors);
  const bool ok = dialog.ShowModal(editor_, [&] {
    const auto refusal = editor_.btnOKClick(c_.list, -1, c_.process,
                                            c_.processorCount ? c_.processorCount() : 1, c_.localAddress);
    if (refusal) c_.boxes.Show(BoxOwner::ServerEditor, BoxKind::Error, c_.texts.Get(*refusal));
    return !refusal;
  });
  if (!ok) return;
  const ServerEntry e = MakeNewEntry(editor_.edtName, editor_.result,
                                     static_cast<std::uint8_t>(editor_.cbbPriority), editor_.cbbHideServer);
  c_.list.push_back(std::make_unique<ServerEntry>(e));
  RowTexts row = RowTextsFor(e, c_.texts);
  row[ColPriority] = c_.texts.PriorityName(editor_.cbbPriority);
  c_.view.InsertRow(c_.view.RowCount(), row);
  editor_.ResetForNextUse();
  SaveServerList();
}

void MainWindowLogic::menuEditServerClick(IServerEditorDialog& dialog) {
  const int s = c_.view.FirstSelected();
  if (s < 0) return;
  ServerEntry& r = *c_.list.at(static_cast<std::size_t>(s));
  editor_.edtName = r.Name.str();
  editor_.cbbPriority = r.Priority == 1 || r.Priority == 2 ? r.Priority : 0;
  editor_.edtFileName = r.FileName.str();
  editor_.edtParams = r.Params.str();
  editor_.EditMode = true;
  if (c_.currentLanguageText)
    if (auto caption = c_.currentLanguageText(u"frmEditServer.Caption", editor_.Caption))
      editor_.Caption = *caption;
  editor_.cbbHideServer = r.HideServer != 0;
  editor_.result.ResultAffinity = r.Affinity;
  editor_.OnShow(c_.processorCount ? c_.processorCount() : 1);
  const bool ok = dialog.ShowModal(editor_, [&] {
    // The server being edited is the first selected row at the moment OK is pressed.
    const auto refusal = editor_.btnOKClick(c_.list, c_.view.FirstSelected(), c_.process,
                                            c_.processorCount ? c_.processorCount() : 1, c_.localAddress);
    if (refusal) c_.boxes.Show(BoxOwner::ServerEditor, BoxKind::Error, c_.texts.Get(*refusal));
    return !refusal;
  });
  if (!ok) return;
  // The list may have changed while the dialog was open: edit the record that was chosen.
  int row = -1;
  for (std::size_t i = 0; i < c_.list.size(); ++i)
    if (c_.list[i].get() == &r) row = static_cast<int>(i);
  if (row < 0) return;
  const bool priorityChanged = UpdateEntry(r, editor_.edtName, editor_.result,
                                           static_cast<std::uint8_t>(editor_.cbbPriority), editor_.cbbHideServer);
  const Path fileName = r.FileName.str();
  if (priorityChanged) c_.process.SetServerPriority(fileName, r.Priority);
  if (const WindowHandle w = c_.process.FindServerConsoleWindow(fileName)) {
    c_.process.SetWindowTitle(w, r.Name.str());
    if (r.HideServer)
      c_.process.ShowWindow(w, kShowHide);
    else
      c_.process.ShowWindow(w, c_.process.IsIconic(w) ? kShowMinNoActivate : kShowNoActivate);
  }
  c_.process.SetServerAffinity(fileName, r.Affinity);
  UpdateServerIdentity(c_.view, row, r.Name.str(), editor_.result.ResultAddress, editor_.result.ResultPort & 0xFFFF,
                       fileName, c_.texts.PriorityName(editor_.cbbPriority));
  editor_.ResetForNextUse();
  SaveServerList();
}

}  // namespace tervane
