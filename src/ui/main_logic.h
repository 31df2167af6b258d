// The main window's decisions, apart from its windows: the server list's context menu and
// its commands, the double-click, drag-and-drop reordering, the console sweeps of the boss
// key, and New Server and Edit Server with the editor's state. The Windows windows show,
// forward and read controls; every decision is made here, so it is tested natively.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/list_view.h"
#include "core/server_list.h"
#include "process/process_control.h"
#include "support/message_texts.h"
#include "monitor/monitor.h"
#include "monitor/server_checks.h"

namespace tervane {

// Message boxes, always captioned "Tervane": confirmations with a warning icon and Yes/No,
// errors with an error icon and OK, results with an information or a warning icon. The window
// asks its confirmations here before it hands a command to the monitor.
enum class BoxOwner { MainWindow, ServerEditor, BossKeyDialog };
enum class BoxKind { Confirm, Error, Information, Warning };

class IMessageBoxes {
 public:
  virtual ~IMessageBoxes() = default;
  // Answers true for Yes (a confirmation) and for OK (the other kinds).
  virtual bool Show(BoxOwner owner, BoxKind kind, const std::u16string& text) = 0;
};

// The items of ListViewMenu, in menu order.
enum ListMenuItem : int {
  menuPauseServer,
  menuUnpauseServer,
  Separator1,
  menuEditServer,
  menuNewServer,
  menuDeleteServer,
  Separator2,
  menuShowServer,
  menuHideServer,
  Separator3,
  menuRestartServer,
  menuCloseServer,
  kListMenuItemCount,
};

struct MenuItemState {
  bool enabled = true;
  bool visible = true;
};

struct ListViewMenuState {
  std::array<MenuItemState, kListMenuItemCount> items{};
  int defaultItem = menuPauseServer;  // drawn in bold; -1: none
};

// The server editor's state: its controls' values and its fields, kept between uses.
class ServerEditorState {
 public:
  static constexpr int kHeightHidden = 243;
  static constexpr int kHeightShown = 433;

  // The dialog's creation: defaults, boxes 0 to P-1 enabled and checked, the rest disabled.
  explicit ServerEditorState(int processorCount);

  // Each opening: in edit mode the available boxes follow ResultAffinity.
  void OnShow(int processorCount);
  void btnProcessAffinityClick();
  // The OK button's checks (the fields above hold the controls' values).
  // skipIndex: the server being edited (-1 for a new one).
  std::optional<Msg> btnOKClick(const Monitor& monitor, int skipIndex, int processorCount);
  // After a use: the text fields and the priority back to their defaults.
  void ResetForNextUse();

  int Height() const { return AffinityShown ? kHeightShown : kHeightHidden; }
  // The base text with the marker of the group's state: "« " in front when shown, " »" behind
  // when hidden.
  std::u16string AffinityButtonCaption() const;
  std::uint32_t CheckedBoxes() const;

  // Controls.
  std::u16string edtName = u"n# Server";
  int cbbPriority = 1;
  bool cbbHideServer = false;
  std::u16string edtFileName;
  std::u16string edtParams = kDefaultParams;
  std::array<bool, 32> cpuChecked{};
  std::array<bool, 32> cpuEnabled{};
  std::u16string Caption = u"New Server for Monitor";
  std::u16string affinityBase = u"Process &Affinity";

  // Fields.
  bool EditMode = false;
  bool AffinityShown = false;
  EditorResult result;  // ResultAddress, ResultPort, ResultParams, ResultAffinity
};

// The editor window: shows the state modally. On OK it copies its controls into the state and
// asks okPressed, which answers whether the dialog may close; it answers true when the dialog
// closed with OK.
class IServerEditorDialog {
 public:
  virtual ~IServerEditorDialog() = default;
  virtual bool ShowModal(ServerEditorState& state, const std::function<bool()>& okPressed) = 0;
};

// A flag (paused, hidden) over the selected servers: set on all of them, on none of them, or
// mixed (also when nothing is selected).
enum class SelectionFlag { AllSet, NoneSet, Mixed };

struct MainWindowContext {
  Monitor& monitor;                          // the servers and the commands on them
  IListView& view;                           // the list view the monitor renders into
  IMessageBoxes& boxes;
  std::function<int()> processorCount;       // the machine's processors, read anew each time
  // The language file applied last, for the editor's two captions: answers the value of a key
  // of section "KESP", or nothing while no language is applied.
  std::function<std::optional<std::u16string>(std::u16string_view key, std::u16string_view current)>
      currentLanguageText;
};

class MainWindowLogic {
 public:
  explicit MainWindowLogic(MainWindowContext context);

  ListViewMenuState& ListViewMenu() { return menu_; }
  ServerEditorState& Editor() { return editor_; }

  SelectionFlag SelectedPausedState() const;
  SelectionFlag SelectedHiddenState() const;
  // The selected rows, in list order.
  std::vector<std::size_t> SelectedRows() const;

  void ListViewMenuPopup();
  // Pause Monitor when the sender is menuPauseServer, Unpause Monitor for any other.
  void menuPauseServerClick(ListMenuItem sender);
  void LVDblClick();
  void menuDeleteServerClick();
  void menuRestartServerClick();
  void menuCloseServerClick();
  // Show Server(s) when the sender is menuShowServer, Hide Server(s) for any other.
  void menuShowServerClick(ListMenuItem sender);
  void HideAllConsoles();
  void ShowVisibleConsoles();

  // Drag and drop: whether a drop on a row is accepted, and the drop itself.
  bool LVDragOver(bool fromListView, int targetRow) const;
  void LVDragDrop(int targetRow);

  void menuNewServerClick(IServerEditorDialog& dialog);
  void menuEditServerClick(IServerEditorDialog& dialog);

  void SaveServerList() { c_.monitor.Save(); }

  // After the start: a list that could not be read is said in the status bar, with the
  // system's reason (the log view has it from the load).
  void ShowListState();
  // Why the list's commands are refused, or nothing: a list that could not be read is never
  // changed, since a change would live only in memory and a new server would never be
  // supervised.
  std::optional<std::u16string> ListRefusal() const;

 private:
  void Said(Command command, const CommandResult& result);
  // Says the refusal over the main window; true when the command may go on.
  bool ListAccepted();
  // The editor's OK: its checks, with the refusal shown over the editor.
  bool EditorAccepts(int skipIndex);
  // Delete, Restart and Close of the selected servers, once the operator said Yes.
  void RunConfirmed(Command command);
  int ProcessorCount() const { return c_.processorCount ? c_.processorCount() : 1; }

  MainWindowContext c_;
  IListView& view_;
  ListViewMenuState menu_;
  ServerEditorState editor_;
};

}  // namespace tervane
