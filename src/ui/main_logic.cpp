#include "ui/main_logic.h"

#include <algorithm>

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
  if (const auto refusal = CheckServerInput(input, list, skipIndex, process, result, localAddress))
    return refusal->message;
  return std::nullopt;
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
    : c_(std::move(context)),
      list_(c_.monitor.List()),
      view_(c_.monitor.View()),
      texts_(c_.monitor.Texts()),
      editor_(ProcessorCount()) {}

std::vector<std::size_t> MainWindowLogic::SelectedRows() const {
  std::vector<std::size_t> rows;
  for (int i = 0; i < view_.RowCount() && i < static_cast<int>(list_.size()); ++i)
    if (view_.IsSelected(i)) rows.push_back(static_cast<std::size_t>(i));
  return rows;
}

namespace {

SelectionFlag SelectedFlagState(const std::vector<std::size_t>& rows, const ServerList& list,
                                std::uint8_t (*flag)(const ServerEntry&)) {
  bool all = true, none = true;
  for (std::size_t i : rows) {
    const bool set = flag(*list[i]) != 0;
    all = all && set;
    none = none && !set;
  }
  if (rows.empty()) return SelectionFlag::Mixed;
  return all ? SelectionFlag::AllSet : none ? SelectionFlag::NoneSet : SelectionFlag::Mixed;
}

}  // namespace

SelectionFlag MainWindowLogic::SelectedPausedState() const {
  return SelectedFlagState(SelectedRows(), list_, [](const ServerEntry& e) { return e.Paused; });
}

SelectionFlag MainWindowLogic::SelectedHiddenState() const {
  return SelectedFlagState(SelectedRows(), list_, [](const ServerEntry& e) { return e.HideServer; });
}

void MainWindowLogic::ListViewMenuPopup() {
  auto& it = menu_.items;
  auto set = [&](int item, bool enabled, bool visible) {
    it[static_cast<std::size_t>(item)].enabled = enabled;
    it[static_cast<std::size_t>(item)].visible = visible;
  };
  auto enable = [&](int item, bool enabled) { it[static_cast<std::size_t>(item)].enabled = enabled; };
  const int n = view_.SelectedCount();
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
    const int s = view_.FirstSelected();
    const ServerEntry& r = *list_.at(static_cast<std::size_t>(s));
    offerPause(r.Paused != 0);
    enable(menuEditServer, true);
    enable(menuDeleteServer, true);
    set(menuShowServer, r.HideServer != 0, r.HideServer != 0);
    set(menuHideServer, r.HideServer == 0, r.HideServer == 0);
    enable(menuRestartServer, true);
    // A look the system refused may hide a running process: Close is offered, and says so.
    enable(menuCloseServer, c_.monitor.Process().LookForServer(r.FileName.str()).presence != Presence::Absent);
    return;
  }
  offerPause(SelectedPausedState() == SelectionFlag::AllSet);
  enable(menuEditServer, false);
  enable(menuDeleteServer, true);
  const SelectionFlag hidden = SelectedHiddenState();
  set(menuHideServer, hidden != SelectionFlag::AllSet, hidden != SelectionFlag::AllSet);
  set(menuShowServer, hidden != SelectionFlag::NoneSet, hidden != SelectionFlag::NoneSet);
  enable(menuRestartServer, true);
  enable(menuCloseServer, true);
}

void MainWindowLogic::ShowListState() {
  if (c_.monitor.ListError() != 0)
    view_.ShowSelfTestStatus(u"Cannot read " + c_.monitor.ListPath() + u": " +
                             SystemErrorText(c_.monitor.ListError()) + u"; nothing is supervised");
}

std::optional<std::u16string> MainWindowLogic::ListRefusal() const {
  if (c_.monitor.ListError() == 0) return std::nullopt;
  return u"Cannot read " + c_.monitor.ListPath() + u": " + SystemErrorText(c_.monitor.ListError()) +
         u"; nothing is changed until it can be read and Tervane is started again.";
}

bool MainWindowLogic::ListAccepted() {
  const auto refusal = ListRefusal();
  if (refusal) c_.boxes.Show(BoxOwner::MainWindow, BoxKind::Error, *refusal);
  return !refusal;
}

void MainWindowLogic::menuPauseServerClick(ListMenuItem sender) {
  if (!ListAccepted()) return;
  c_.monitor.Run(sender == menuPauseServer ? Command::Pause : Command::Unpause, SelectedRows());
}

void MainWindowLogic::LVDblClick() {
  const int s = view_.FirstSelected();
  if (s >= 0 && ListAccepted()) c_.monitor.TogglePause(static_cast<std::size_t>(s));
}

void MainWindowLogic::RunConfirmed(Command command) {
  if (!ListAccepted()) return;
  const std::vector<std::size_t> rows = SelectedRows();
  if (rows.empty()) return;
  // The box runs a modal loop: timers, HTTP and control-socket commands may move or remove
  // servers before the answer. The command goes to the servers that were asked about, where
  // they are by then; those removed meanwhile are left out.
  std::vector<ServerId> ids;
  for (std::size_t row : rows) ids.push_back(c_.monitor.IdOf(row));
  // Only Yes carries the command out; No or closing the box changes nothing at all.
  if (!c_.boxes.Show(BoxOwner::MainWindow, BoxKind::Confirm, c_.monitor.ConfirmationText(command, rows))) return;
  std::vector<std::size_t> now;
  for (ServerId id : ids)
    if (const auto row = c_.monitor.RowOf(id)) now.push_back(*row);
  std::sort(now.begin(), now.end());
  if (!now.empty()) c_.monitor.Run(command, now);
}

void MainWindowLogic::menuDeleteServerClick() { RunConfirmed(Command::Remove); }

void MainWindowLogic::menuRestartServerClick() { RunConfirmed(Command::Restart); }

void MainWindowLogic::menuCloseServerClick() { RunConfirmed(Command::Close); }

void MainWindowLogic::menuShowServerClick(ListMenuItem sender) {
  if (!ListAccepted()) return;
  c_.monitor.Run(sender == menuShowServer ? Command::Show : Command::Hide, SelectedRows());
}

void MainWindowLogic::HideAllConsoles() { c_.monitor.HideAllConsoles(); }

void MainWindowLogic::ShowVisibleConsoles() { c_.monitor.ShowVisibleConsoles(); }

bool MainWindowLogic::LVDragOver(bool fromListView, int targetRow) const {
  return fromListView && targetRow >= 0 && targetRow < view_.RowCount() && targetRow != view_.FirstSelected();
}

void MainWindowLogic::LVDragDrop(int targetRow) {
  if (targetRow < 0 || targetRow >= view_.RowCount()) return;
  const int s = view_.FirstSelected();
  if (s < 0 || targetRow == s || targetRow >= static_cast<int>(list_.size()) || !ListAccepted()) return;
  c_.monitor.Move(static_cast<std::size_t>(s), static_cast<std::size_t>(targetRow));
}

bool MainWindowLogic::EditorAccepts(int skipIndex) {
  const auto refusal = editor_.btnOKClick(list_, skipIndex, c_.monitor.Process(), ProcessorCount(),
                                          c_.monitor.LocalAddress());
  if (refusal) c_.boxes.Show(BoxOwner::ServerEditor, BoxKind::Error, texts_.Get(*refusal));
  return !refusal;
}

void MainWindowLogic::menuNewServerClick(IServerEditorDialog& dialog) {
  if (!ListAccepted()) return;
  editor_.EditMode = false;
  if (c_.currentLanguageText)
    if (auto caption = c_.currentLanguageText(u"frmAddServer.Caption", editor_.Caption))
      editor_.Caption = *caption;
  const int s = view_.FirstSelected();
  if (s < 0) {
    editor_.edtName = kDefaultServerName;
    editor_.cbbPriority = 1;
    editor_.cbbHideServer = false;
    editor_.edtFileName.clear();
    editor_.edtParams = kDefaultParams;
  } else {
    const ServerEntry& r = *list_.at(static_cast<std::size_t>(s));
    editor_.edtName = r.Name.str();
    editor_.cbbPriority = r.Priority > 2 ? 2 : r.Priority;
    editor_.cbbHideServer = r.HideServer != 0;
    editor_.edtFileName = r.FileName.str();
    editor_.edtParams = r.Params.str();
  }
  editor_.OnShow(ProcessorCount());
  if (!dialog.ShowModal(editor_, [&] { return EditorAccepts(-1); })) return;
  c_.monitor.AddServer(MakeNewEntry(editor_.edtName, editor_.result, static_cast<std::uint8_t>(editor_.cbbPriority),
                                    editor_.cbbHideServer));
  editor_.ResetForNextUse();
}

void MainWindowLogic::menuEditServerClick(IServerEditorDialog& dialog) {
  const int s = view_.FirstSelected();
  if (s < 0 || !ListAccepted()) return;
  // The list may change while the dialog is open (its modal loop runs the timers and the
  // other doors): the server is kept by its identity and found again at OK.
  const ServerId chosen = c_.monitor.IdOf(static_cast<std::size_t>(s));
  const ServerEntry& r = *list_.at(static_cast<std::size_t>(s));
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
  editor_.OnShow(ProcessorCount());
  // The checks skip the server being edited, wherever it is when OK is pressed.
  auto editedRow = [&] {
    const auto row = c_.monitor.RowOf(chosen);
    return row ? static_cast<int>(*row) : -1;
  };
  if (!dialog.ShowModal(editor_, [&] { return EditorAccepts(editedRow()); })) return;
  // Removed meanwhile: there is nothing to edit, and no other server takes the changes.
  const int row = editedRow();
  if (row < 0) return;
  c_.monitor.EditServer(static_cast<std::size_t>(row), editor_.edtName, editor_.result,
                        static_cast<std::uint8_t>(editor_.cbbPriority), editor_.cbbHideServer);
  editor_.ResetForNextUse();
}

}  // namespace tervane
