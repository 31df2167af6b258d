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

std::optional<Msg> ServerEditorState::btnOKClick(const Monitor& monitor, int skipIndex, int processorCount) {
  const EditorInput input{edtFileName, edtParams, CheckedBoxes(), processorCount};
  if (const auto refusal = monitor.CheckServer(input, skipIndex, result))
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
      view_(c_.view),
      editor_(ProcessorCount()) {}

std::vector<std::size_t> MainWindowLogic::SelectedRows() const {
  std::vector<std::size_t> rows;
  for (int i = 0; i < view_.RowCount() && i < static_cast<int>(c_.monitor.Count()); ++i)
    if (view_.IsSelected(i)) rows.push_back(static_cast<std::size_t>(i));
  return rows;
}

namespace {

SelectionFlag SelectedFlagState(const std::vector<std::size_t>& rows, const Monitor& monitor,
                                std::uint8_t (*flag)(const ServerEntry&)) {
  bool all = true, none = true;
  for (std::size_t i : rows) {
    const bool set = flag(monitor.At(i)) != 0;
    all = all && set;
    none = none && !set;
  }
  if (rows.empty()) return SelectionFlag::Mixed;
  return all ? SelectionFlag::AllSet : none ? SelectionFlag::NoneSet : SelectionFlag::Mixed;
}

}  // namespace

SelectionFlag MainWindowLogic::SelectedPausedState() const {
  return SelectedFlagState(SelectedRows(), c_.monitor, [](const ServerEntry& e) { return e.Paused; });
}

SelectionFlag MainWindowLogic::SelectedHiddenState() const {
  return SelectedFlagState(SelectedRows(), c_.monitor, [](const ServerEntry& e) { return e.HideServer; });
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
    const ServerEntry& r = c_.monitor.At(static_cast<std::size_t>(s));
    offerPause(r.Paused != 0);
    enable(menuEditServer, true);
    enable(menuDeleteServer, true);
    set(menuShowServer, r.HideServer != 0, r.HideServer != 0);
    set(menuHideServer, r.HideServer == 0, r.HideServer == 0);
    enable(menuRestartServer, true);
    // A look the system refused may hide a running process: Close is offered, and says so.
    enable(menuCloseServer, c_.monitor.LookForServer(r.FileName.str()).presence != Presence::Absent);
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
  const Command command = sender == menuPauseServer ? Command::Pause : Command::Unpause;
  Said(command, c_.monitor.Run(command, c_.monitor.Targets(SelectedRows())));
}

void MainWindowLogic::LVDblClick() {
  const int s = view_.FirstSelected();
  if (s < 0 || static_cast<std::size_t>(s) >= c_.monitor.Count() || !ListAccepted()) return;
  const std::size_t row = static_cast<std::size_t>(s);
  const Command command = c_.monitor.At(row).Paused ? Command::Unpause : Command::Pause;
  Said(command, c_.monitor.Run(command, c_.monitor.Targets({row})));
}

void MainWindowLogic::RunConfirmed(Command command) {
  if (!ListAccepted()) return;
  const std::vector<std::size_t> rows = SelectedRows();
  if (rows.empty()) return;
  // The box runs a modal loop: timers, HTTP and control-socket commands may move or remove
  // servers before the answer. The command goes to the servers that were asked about, where
  // they are by then; those removed meanwhile are left out.
  const std::vector<CommandTarget> targets = c_.monitor.Targets(rows);
  // Only Yes carries the command out; No or closing the box changes nothing at all.
  if (!c_.boxes.Show(BoxOwner::MainWindow, BoxKind::Confirm, c_.monitor.ConfirmationText(command, rows))) return;
  Said(command, c_.monitor.Run(command, targets));
}

// What a command could not do, in the log view. A save that failed is said by the monitor
// itself, with the retry it makes; the rest only the window can tell.
void MainWindowLogic::Said(Command command, const CommandResult& result) {
  if (!result.Done())
    c_.monitor.Notice(kMonitorName, Utf8ToUtf16(std::string(CommandWord(command)) + ": " + result.refused));
  for (const EndRefused& r : result.endsRefused)
    if (r.row < c_.monitor.Count())
      c_.monitor.Notice(c_.monitor.At(r.row).Name.str(),
                        u"cannot end its process: " + SystemErrorText(r.error) +
                            (command == Command::Close ? u"; paused, but it may still run" : u"; not started again"));
}

void MainWindowLogic::menuDeleteServerClick() { RunConfirmed(Command::Remove); }

void MainWindowLogic::menuRestartServerClick() { RunConfirmed(Command::Restart); }

void MainWindowLogic::menuCloseServerClick() { RunConfirmed(Command::Close); }

void MainWindowLogic::menuShowServerClick(ListMenuItem sender) {
  if (!ListAccepted()) return;
  const Command command = sender == menuShowServer ? Command::Show : Command::Hide;
  Said(command, c_.monitor.Run(command, c_.monitor.Targets(SelectedRows())));
}

void MainWindowLogic::HideAllConsoles() { c_.monitor.HideAllConsoles(); }

void MainWindowLogic::ShowVisibleConsoles() { c_.monitor.ShowVisibleConsoles(); }

bool MainWindowLogic::LVDragOver(bool fromListView, int targetRow) const {
  return fromListView && targetRow >= 0 && targetRow < view_.RowCount() && targetRow != view_.FirstSelected();
}

void MainWindowLogic::LVDragDrop(int targetRow) {
  if (targetRow < 0 || targetRow >= view_.RowCount()) return;
  const int s = view_.FirstSelected();
  if (s < 0 || targetRow == s || targetRow >= static_cast<int>(c_.monitor.Count()) || !ListAccepted()) return;
  Said(Command::Move, c_.monitor.Run(Command::Move, c_.monitor.Targets({static_cast<std::size_t>(s)}),
                                     CommandArgs::MoveTo(static_cast<std::size_t>(targetRow))));
}

bool MainWindowLogic::EditorAccepts(int skipIndex) {
  const auto refusal = editor_.btnOKClick(c_.monitor, skipIndex, ProcessorCount());
  if (refusal) c_.boxes.Show(BoxOwner::ServerEditor, BoxKind::Error, c_.monitor.Texts().Get(*refusal));
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
    const ServerEntry& r = c_.monitor.At(static_cast<std::size_t>(s));
    editor_.edtName = r.Name.str();
    editor_.cbbPriority = r.Priority > 2 ? 2 : r.Priority;
    editor_.cbbHideServer = r.HideServer != 0;
    editor_.edtFileName = r.FileName.str();
    editor_.edtParams = r.Params.str();
  }
  editor_.OnShow(ProcessorCount());
  if (!dialog.ShowModal(editor_, [&] { return EditorAccepts(-1); })) return;
  CommandArgs args;
  args.edit = ServerEdit{editor_.edtName, editor_.result, static_cast<std::uint8_t>(editor_.cbbPriority),
                         editor_.cbbHideServer, false};
  Said(Command::Add, c_.monitor.Run(Command::Add, {}, std::move(args)));
  editor_.ResetForNextUse();
}

void MainWindowLogic::menuEditServerClick(IServerEditorDialog& dialog) {
  const int s = view_.FirstSelected();
  if (s < 0 || !ListAccepted()) return;
  // The list may change while the dialog is open (its modal loop runs the timers and the
  // other doors): the server is kept by its identity and found again at OK.
  const ServerId chosen = c_.monitor.IdOf(static_cast<std::size_t>(s));
  const ServerEntry& r = c_.monitor.At(static_cast<std::size_t>(s));
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
  if (editedRow() < 0) return;
  CommandArgs args;
  args.edit = ServerEdit{editor_.edtName, editor_.result, static_cast<std::uint8_t>(editor_.cbbPriority),
                         editor_.cbbHideServer, false};
  Said(Command::Edit, c_.monitor.Run(Command::Edit, {{chosen, 0}}, std::move(args)));
  editor_.ResetForNextUse();
}

}  // namespace tervane
