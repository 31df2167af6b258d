#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <utility>

#include "fake_process_control.h"
#include "test_support.h"
#include "testbed.h"
#include "ui/main_logic.h"

namespace tervane {
namespace {

using testing::FakeProcessControl;
using testing::TempDir;

// Answers the confirmations from a queue (Yes when empty) and records every box.
class ScriptedBoxes : public IMessageBoxes {
 public:
  bool Show(BoxOwner owner, BoxKind kind, const std::u16string& text) override {
    shown.push_back({owner, kind, text});
    if (whileShown) std::exchange(whileShown, nullptr)();
    if (answers.empty()) return true;
    bool a = answers.front();
    answers.pop_front();
    return a;
  }
  struct Box {
    BoxOwner owner;
    BoxKind kind;
    std::u16string text;
  };
  std::vector<Box> shown;
  std::deque<bool> answers;
  // What the other doors do while the next box is up (its modal loop runs them).
  std::function<void()> whileShown;
};

// An editor that fills its controls from a script each time OK is "pressed".
class ScriptedEditor : public IServerEditorDialog {
 public:
  std::vector<std::function<void(ServerEditorState&)>> attempts;  // one per OK press
  bool cancel = false;
  ServerEditorState seen{1};  // the state as the dialog opened
  int okPresses = 0;
  bool ShowModal(ServerEditorState& state, const std::function<bool()>& okPressed) override {
    seen = state;
    if (cancel) return false;
    for (auto& fill : attempts) {
      fill(state);
      ++okPresses;
      if (okPressed()) return true;
    }
    return false;
  }
};

class MainLogicTest : public ::testing::Test {
 protected:
  MainLogicTest() {
    exe.push_back(MakeExe(u"a"));
    exe.push_back(MakeExe(u"b"));
    exe.push_back(MakeExe(u"c"));
  }
  Path MakeExe(const std::u16string& name) {
    const Path p = dir.File(name + u".exe");
    testing::WriteBytes(p, {'M', 'Z'});
    return p;
  }
  ServerEntry& Add(const std::u16string& name, int port, bool paused = false, bool hidden = false,
                   const Path& file = {}) {
    auto e = std::make_unique<Server>(NewServerEntry());
    e->Name.assign(name);
    e->FileName.assign(file.empty() ? dir.File(name + u".exe") : file);
    e->Params.assign(u"+ip 127.0.0.1 -port " + ToU16(port));
    e->IPAddress.assign("127.0.0.1");
    e->Port = static_cast<std::uint16_t>(port);
    e->Paused = paused;
    e->HideServer = hidden;
    e->Affinity = 1;
    rig.States().Add(std::move(e));
    return *list.back();
  }
  void Select(std::initializer_list<int> rows) {
    for (int i = 0; i < view.RowCount(); ++i) view.SetSelected(i, false);
    for (int r : rows) view.SetSelected(r, true);
  }
  std::vector<std::u16string> Names() const {
    std::vector<std::u16string> out;
    for (const auto& e : list) out.push_back(e->Name.str());
    return out;
  }
  std::vector<std::u16string> RowNames() const {
    std::vector<std::u16string> out;
    for (int i = 0; i < view.RowCount(); ++i) out.push_back(view.Cell(i, ColServerName));
    return out;
  }
  // The records in the saved file.
  std::vector<ServerEntry> Saved() const {
    const auto bytes = testing::ReadBytes(path);
    std::vector<ServerEntry> out(bytes.size() / kServerEntrySize);
    for (std::size_t i = 0; i < out.size(); ++i) std::memcpy(&out[i], bytes.data() + i * kServerEntrySize, kServerEntrySize);
    return out;
  }
  bool FileSaved() const { return FileExists(path); }
  const MenuItemState& Item(int i) { return logic.ListViewMenu().items[static_cast<std::size_t>(i)]; }

  MonitorOptions Options() {
    MonitorOptions o;
    o.localAddress = [] { return std::string("192.0.2.7"); };
    return o;
  }

  TempDir dir;
  std::vector<Path> exe;
  Path path = dir.File(u"serverlist.dat");
  EventLoop loop;
  FakeProcessControl process;
  ScriptedBoxes boxes;
  int processors = 4;
  testbed::MonitorRig rig{loop, process, dir.Dir(), Options()};
  MemoryListView& view = rig.view;
  Monitor& monitor = rig.monitor;
  ServerList& list = rig.List();
  MessageTexts& texts = monitor.Texts();
  BossKeyOptions& bossKey = monitor.BossKeySettings();
  MainWindowLogic logic{MainWindowContext{monitor, view, boxes, [this] { return processors; }, {}}};
};

TEST_F(MainLogicTest, MenuStatesForNoSelection) {
  Add(u"a", 1);
  Select({});
  logic.ListViewMenuPopup();
  EXPECT_FALSE(Item(menuPauseServer).enabled);
  EXPECT_TRUE(Item(menuPauseServer).visible);
  EXPECT_FALSE(Item(menuUnpauseServer).enabled);
  EXPECT_FALSE(Item(menuUnpauseServer).visible);
  for (int i : {menuEditServer, menuDeleteServer, menuShowServer, menuHideServer, menuRestartServer, menuCloseServer})
    EXPECT_FALSE(Item(i).enabled) << i;
  EXPECT_TRUE(Item(menuNewServer).enabled);
  EXPECT_EQ(logic.ListViewMenu().defaultItem, menuPauseServer);
}

TEST_F(MainLogicTest, MenuStatesForOneServer) {
  Add(u"a", 1, /*paused=*/true, /*hidden=*/false);
  Add(u"b", 2, false, true);
  Select({0});
  logic.ListViewMenuPopup();
  EXPECT_FALSE(Item(menuPauseServer).visible);
  EXPECT_TRUE(Item(menuUnpauseServer).enabled && Item(menuUnpauseServer).visible);
  EXPECT_EQ(logic.ListViewMenu().defaultItem, menuUnpauseServer);
  EXPECT_TRUE(Item(menuHideServer).visible && !Item(menuShowServer).visible) << "never both";
  EXPECT_FALSE(Item(menuCloseServer).enabled) << "its process does not run";
  EXPECT_TRUE(Item(menuEditServer).enabled && Item(menuDeleteServer).enabled && Item(menuRestartServer).enabled);

  process.running[FakeProcessControl::Key(list[1]->FileName.str())] = true;
  Select({1});
  logic.ListViewMenuPopup();
  EXPECT_TRUE(Item(menuPauseServer).enabled && Item(menuPauseServer).visible);
  EXPECT_FALSE(Item(menuUnpauseServer).visible);
  EXPECT_EQ(logic.ListViewMenu().defaultItem, menuPauseServer);
  EXPECT_TRUE(Item(menuShowServer).visible && !Item(menuHideServer).visible);
  EXPECT_TRUE(Item(menuCloseServer).enabled);

  process.running.clear();
  process.lookErrors[FakeProcessControl::Key(list[1]->FileName.str())] = 24;
  logic.ListViewMenuPopup();
  EXPECT_TRUE(Item(menuCloseServer).enabled) << "a refused look may hide a running process";
}

TEST_F(MainLogicTest, MenuStatesForSeveralServers) {
  Add(u"a", 1, true, true);
  Add(u"b", 2, false, false);
  Add(u"c", 3, true, true);
  Select({0, 1});
  logic.ListViewMenuPopup();
  EXPECT_EQ(logic.SelectedPausedState(), SelectionFlag::Mixed);
  EXPECT_TRUE(Item(menuPauseServer).visible) << "mixed pause: Pause Monitor, bold";
  EXPECT_EQ(logic.ListViewMenu().defaultItem, menuPauseServer);
  EXPECT_TRUE(Item(menuShowServer).visible && Item(menuHideServer).visible) << "mixed hide: both";
  EXPECT_FALSE(Item(menuEditServer).enabled);
  EXPECT_TRUE(Item(menuCloseServer).enabled) << "no process check for several";
  Select({0, 2});
  logic.ListViewMenuPopup();
  EXPECT_EQ(logic.SelectedPausedState(), SelectionFlag::AllSet);
  EXPECT_EQ(logic.ListViewMenu().defaultItem, menuUnpauseServer);
  EXPECT_FALSE(Item(menuPauseServer).visible);
  EXPECT_TRUE(Item(menuShowServer).visible && !Item(menuHideServer).visible);
  // Choosing Pause on a mixed selection pauses both.
  Select({0, 1});
  logic.menuPauseServerClick(menuPauseServer);
  EXPECT_TRUE(list[0]->Paused && list[1]->Paused);
}

TEST_F(MainLogicTest, PauseAndUnpauseSetCellsCountersAndSave) {
  ServerEntry& a = Add(u"a", 1);
  a.TimeoutCount = 5;
  a.LostCount = 2;
  a.WaitReply = 1;
  a.Restarts = 3;
  list[0]->Status.hasReply = true;
  list[0]->Status.map = "de_dust2";
  rig.States().Edited(0);
  ASSERT_EQ(view.Row(0)[ColMap], u"de_dust2");
  Select({0});
  logic.menuPauseServerClick(menuPauseServer);
  EXPECT_EQ(a.Paused, 1);
  EXPECT_EQ(a.TimeoutCount, 0);
  EXPECT_EQ(a.LostCount, 0);
  EXPECT_EQ(a.WaitReply, 1) << "not changed";
  EXPECT_EQ(view.Row(0)[ColProcessStatus], u"Paused Monitor");
  EXPECT_EQ(view.Row(0)[ColNetworkStatus], u"Paused Monitor");
  EXPECT_EQ(view.Row(0)[ColMap], u"-");
  EXPECT_EQ(view.Row(0)[ColRestarts], u"3");
  ASSERT_EQ(Saved().size(), 1u);
  EXPECT_EQ(Saved()[0].Paused, 1);
  logic.menuPauseServerClick(menuUnpauseServer);
  EXPECT_EQ(a.Paused, 0);
  EXPECT_EQ(view.Row(0)[ColProcessStatus], u"-");
  EXPECT_EQ(Saved()[0].Paused, 0);
  EXPECT_TRUE(process.calls.empty()) << "the process is neither ended nor started";
}

TEST_F(MainLogicTest, DoubleClickTogglesOnlyTheFirstSelected) {
  Add(u"a", 1);
  Add(u"b", 2, true);
  Add(u"c", 3);
  Select({1, 0, 2});
  logic.LVDblClick();
  EXPECT_EQ(list[0]->Paused, 1);
  EXPECT_EQ(list[1]->Paused, 1);
  EXPECT_EQ(list[2]->Paused, 0);
  logic.LVDblClick();
  EXPECT_EQ(list[0]->Paused, 0);
  EXPECT_TRUE(FileSaved());
  Select({});
  logic.LVDblClick();
  EXPECT_EQ(list[0]->Paused, 0);
}

TEST_F(MainLogicTest, DeleteOneOrSeveralWithConfirmation) {
  Add(u"1# Server", 1);
  Add(u"b", 2);
  Add(u"c", 3);
  Add(u"d", 4);
  process.running[FakeProcessControl::Key(list[0]->FileName.str())] = true;
  Select({0});
  boxes.answers = {false};
  logic.menuDeleteServerClick();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, u"Are you sure to Delete \"1# Server\"?");
  EXPECT_EQ(boxes.shown[0].kind, BoxKind::Confirm);
  EXPECT_EQ(list.size(), 4u) << "No changes nothing";
  EXPECT_FALSE(FileSaved());
  logic.menuDeleteServerClick();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"b", u"c", u"d"}));
  EXPECT_EQ(RowNames(), Names());
  EXPECT_EQ(Saved().size(), 3u);
  EXPECT_TRUE(process.calls.empty()) << "the deleted server keeps running";
  Select({0, 2});
  logic.menuDeleteServerClick();
  EXPECT_EQ(boxes.shown.back().text, u"Are you sure to Delete selected servers?");
  EXPECT_EQ(Names(), std::vector<std::u16string>{u"c"});
  EXPECT_EQ(RowNames(), Names());
  EXPECT_EQ(Saved().size(), 1u);
}

// A list that could not be read (a folder in its place) is said in the status bar with the
// system's reason, and every change is refused over the main window with that reason.
TEST_F(MainLogicTest, AnUnreadListRefusesEveryChangeWithTheReason) {
  std::filesystem::create_directory(testing::Fs(path));
  ASSERT_FALSE(monitor.Load());
  const std::u16string reason = u"Cannot read " + path + u": " + SystemErrorText(monitor.ListError());
  logic.ShowListState();
  EXPECT_EQ(view.Status(), reason + u"; nothing is supervised");
  ServerEntry& a = Add(u"a", 1, false, true);  // a server to act on, so that only the list refuses
  Select({0});
  ScriptedEditor editor;
  editor.attempts = {[](ServerEditorState&) {}};
  const std::vector<std::function<void()>> commands = {
      [&] { logic.menuNewServerClick(editor); }, [&] { logic.menuEditServerClick(editor); },
      [&] { logic.menuDeleteServerClick(); },    [&] { logic.menuPauseServerClick(menuPauseServer); },
      [&] { logic.LVDblClick(); },               [&] { logic.menuRestartServerClick(); },
      [&] { logic.menuCloseServerClick(); },     [&] { logic.menuShowServerClick(menuShowServer); }};
  for (std::size_t i = 0; i < commands.size(); ++i) {
    boxes.shown.clear();
    commands[i]();
    ASSERT_EQ(boxes.shown.size(), 1u) << i;
    EXPECT_EQ(boxes.shown[0].kind, BoxKind::Error) << i;
    EXPECT_EQ(boxes.shown[0].text, reason + u"; nothing is changed until it can be read and Tervane is started again.");
  }
  EXPECT_EQ(editor.okPresses, 0) << "the editor never opened";
  EXPECT_EQ(Names(), std::vector<std::u16string>{u"a"});
  EXPECT_TRUE(a.Paused == 0 && a.HideServer == 1 && process.calls.empty());
}

TEST_F(MainLogicTest, RestartEndsThenStartsAndResetsTheRowWithoutSaving) {
  Add(u"a", 1);
  ServerEntry& b = Add(u"b", 2, /*paused=*/true);
  Add(u"c", 3);
  b.TimeoutCount = 7;
  view.SetCell(1, ColProcessStatus, u"Paused Monitor");
  Select({1});
  boxes.answers = {false};
  logic.menuRestartServerClick();
  EXPECT_TRUE(process.calls.empty());
  EXPECT_EQ(b.TimeoutCount, 7) << "No changes not even the counters";
  logic.menuRestartServerClick();
  EXPECT_EQ(boxes.shown.back().text, u"Are you sure to Restart \"b\"?");
  ASSERT_EQ(process.calls.size(), 3u);
  EXPECT_EQ(process.calls[0].rfind("terminate", 0), 0u);
  EXPECT_EQ(process.calls[1], "sleep 10");
  EXPECT_EQ(process.calls[2].rfind("start", 0), 0u);
  EXPECT_EQ(view.Row(1)[ColProcessStatus], u"Paused Monitor") << "a paused server stays paused";
  EXPECT_EQ(b.Paused, 1);
  EXPECT_EQ(b.TimeoutCount, 0);
  EXPECT_EQ(b.Restarts, -1) << "not counted";
  EXPECT_FALSE(FileSaved());

  process.calls.clear();
  Select({0, 2});
  logic.menuRestartServerClick();
  EXPECT_EQ(boxes.shown.back().text, u"Are you sure to Restart selected servers?");
  ASSERT_EQ(process.calls.size(), 5u);
  EXPECT_EQ(process.calls[0].rfind("terminate", 0), 0u);
  EXPECT_EQ(process.calls[1].rfind("terminate", 0), 0u);
  EXPECT_EQ(process.calls[2], "sleep 10") << "all ended, one pause, all started";
  EXPECT_EQ(view.Row(0)[ColProcessStatus], u"Restarting");
  EXPECT_EQ(view.Row(2)[ColNetworkStatus], u"-");
}

// The window says in its log view what a command could not do: a process it could not end.
TEST_F(MainLogicTest, AnEndTheSystemRefusesIsSaidInTheLogView) {
  ServerEntry& a = Add(u"a", 1);
  process.lookErrors[FakeProcessControl::Key(a.FileName.str())] = 5;
  const std::pair<void (MainWindowLogic::*)(), const char16_t*> cases[] = {
      {&MainWindowLogic::menuRestartServerClick, u"; not started again"},
      {&MainWindowLogic::menuCloseServerClick, u"; paused, but it may still run"}};
  for (const auto& [click, then] : cases) {
    Select({0});
    (logic.*click)();
    ASSERT_FALSE(view.LogLines().empty());
    const std::u16string& line = view.LogLines().back();
    EXPECT_NE(line.find(u"a: cannot end its process: "), std::u16string::npos) << Utf16ToUtf8(line);
    EXPECT_TRUE(line.ends_with(then)) << Utf16ToUtf8(line);
  }
}

TEST_F(MainLogicTest, CloseEndsAndPausesThenSaves) {
  ServerEntry& a = Add(u"a", 1);
  Add(u"b", 2);
  Add(u"c", 3);
  process.running[FakeProcessControl::Key(a.FileName.str())] = true;
  a.WaitReply = 1;
  Select({0});
  logic.menuCloseServerClick();
  EXPECT_EQ(boxes.shown.back().text, u"Are you sure to Close \"a\"?");
  EXPECT_FALSE(process.running[FakeProcessControl::Key(a.FileName.str())]);
  EXPECT_EQ(a.Paused, 1);
  EXPECT_EQ(a.WaitReply, 0);
  EXPECT_EQ(view.Row(0)[ColProcessStatus], u"Paused Monitor");
  EXPECT_EQ(view.Row(0)[ColNetworkStatus], u"Paused Monitor");
  EXPECT_EQ(Saved()[0].Paused, 1) << "still paused after a restart of the program";
  Select({1, 2});
  logic.menuCloseServerClick();
  EXPECT_EQ(boxes.shown.back().text, u"Are you sure to Close selected servers?");
  EXPECT_EQ(process.Count("terminate"), 3);
  EXPECT_EQ(Saved()[2].Paused, 1);
}

// The confirmation's box lets other doors move or remove servers before Yes: the command goes
// to the server asked about, wherever it is by then, and never to another.
TEST_F(MainLogicTest, AConfirmedCommandReachesOnlyTheServerAskedAbout) {
  const std::pair<std::function<void()>, std::vector<std::uint8_t>> cases[] = {
      {[&] { monitor.Run(Command::Move, monitor.Targets({1}), CommandArgs::MoveTo(0)); }, {1, 0, 0}},  // b a c: b closed
      {[&] { monitor.Run(Command::Remove, monitor.Targets({1})); }, {0, 0}},    // a c: nothing closed
  };
  for (const auto& [meanwhile, paused] : cases) {
    while (!list.empty()) monitor.Run(Command::Remove, monitor.Targets({0}));
    for (const char16_t* name : {u"a", u"b", u"c"}) Add(name, static_cast<int>(list.size()) + 1);
    Select({1});
    boxes.whileShown = meanwhile;
    logic.menuCloseServerClick();
    std::vector<std::uint8_t> now;
    for (const auto& e : list) now.push_back(e->Paused);
    EXPECT_EQ(now, paused);
  }
}

TEST_F(MainLogicTest, ShowAndHideSetTheFlagAndTheConsole) {
  Add(u"a", 1, false, true);
  Add(u"b", 2, false, false);
  for (int i = 0; i < 2; ++i) {
    process.running[FakeProcessControl::Key(list[static_cast<std::size_t>(i)]->FileName.str())] = true;
    process.AddConsole(list[static_cast<std::size_t>(i)]->FileName.str(), static_cast<WindowHandle>(i + 1));
  }
  process.ByHandle(1)->iconic = true;
  Select({0});
  logic.menuShowServerClick(menuShowServer);
  EXPECT_EQ(list[0]->HideServer, 0);
  EXPECT_EQ(process.ByHandle(1)->show, kShowMinNoActivate);
  Select({0, 1});
  logic.menuShowServerClick(menuHideServer);
  EXPECT_EQ(list[0]->HideServer, 1);
  EXPECT_EQ(list[1]->HideServer, 1);
  EXPECT_EQ(process.ByHandle(2)->show, kShowHide);
  EXPECT_EQ(Saved()[1].HideServer, 1);
  EXPECT_TRUE(boxes.shown.empty()) << "no confirmation";
}

TEST_F(MainLogicTest, ConsoleSweepsOfTheBossKeyLeaveRecordsAlone) {
  Add(u"a", 1, false, true);
  Add(u"b", 2, false, false);
  for (int i = 0; i < 2; ++i) {
    process.running[FakeProcessControl::Key(list[static_cast<std::size_t>(i)]->FileName.str())] = true;
    process.AddConsole(list[static_cast<std::size_t>(i)]->FileName.str(), static_cast<WindowHandle>(i + 1));
  }
  logic.HideAllConsoles();
  EXPECT_EQ(process.ByHandle(1)->show, kShowHide);
  EXPECT_EQ(process.ByHandle(2)->show, kShowHide);
  process.ByHandle(1)->show = -1;
  logic.ShowVisibleConsoles();
  EXPECT_EQ(process.ByHandle(1)->show, -1) << "a console set to hidden stays hidden";
  EXPECT_EQ(process.ByHandle(2)->show, kShowNoActivate);
  EXPECT_EQ(list[0]->HideServer, 1);
  EXPECT_FALSE(FileSaved());
}

TEST_F(MainLogicTest, DragAndDropMovesTheFirstSelectedRecordWithItsState) {
  for (const char16_t* n : {u"A", u"B", u"C", u"D", u"E"}) Add(n, 10 + static_cast<int>(list.size()));
  list[0]->Restarts = 9;
  rig.States().Edited(0);
  ServerEntry* a = list[0].get();
  Select({0});
  EXPECT_FALSE(logic.LVDragOver(true, 0)) << "not on the dragged row";
  EXPECT_FALSE(logic.LVDragOver(false, 3)) << "only from the list view";
  EXPECT_FALSE(logic.LVDragOver(true, -1)) << "not on empty space";
  EXPECT_TRUE(logic.LVDragOver(true, 3));
  logic.LVDragDrop(3);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"B", u"C", u"D", u"A", u"E"}));
  EXPECT_EQ(RowNames(), Names());
  EXPECT_EQ(list[3].get(), a) << "the record itself moves";
  EXPECT_EQ(view.Row(3)[ColRestarts], u"9");
  EXPECT_EQ(view.SelectedCount(), 0) << "the selection is not carried";
  const auto saved = Saved();
  EXPECT_EQ(saved[3].Name.str(), u"A");
  EXPECT_EQ(saved[3].Restarts, 9);

  // Back: D dropped on A's old place gives D first.
  Select({2});
  logic.LVDragDrop(0);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"D", u"B", u"C", u"A", u"E"}));
  EXPECT_EQ(RowNames(), Names());
  // Two selected: only the first selected moves.
  Select({1, 4});
  logic.LVDragDrop(3);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"D", u"C", u"A", u"B", u"E"}));
  // Drops that change nothing save nothing.
  testing::WriteBytes(path, {});
  Select({1});
  logic.LVDragDrop(1);
  logic.LVDragDrop(-1);
  EXPECT_TRUE(testing::ReadBytes(path).empty());
}

TEST_F(MainLogicTest, DragDropFromTheEditCaseOfFiveServers) {
  for (const char16_t* n : {u"A", u"B", u"C", u"D", u"E"}) Add(n, 10 + static_cast<int>(list.size()));
  Select({3});
  logic.LVDragDrop(0);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"D", u"A", u"B", u"C", u"E"}));
}

TEST_F(MainLogicTest, EditorChecksInOrder) {
  Add(u"a", 27015, false, false, exe[0]);
  ServerEditorState& ed = logic.Editor();
  ScriptedEditor dialog;
  auto fill = [&](std::u16string file, std::u16string params, std::uint32_t boxesMask) {
    return [=](ServerEditorState& s) {
      s.edtFileName = file;
      s.edtParams = params;
      for (int n = 0; n < 32; ++n) s.cpuChecked[n] = (boxesMask >> n) & 1u;
    };
  };
  Select({});
  dialog.attempts = {
      fill(u"   ", u"-port 1", 0),                                  // empty file first, whatever the boxes
      fill(dir.File(u"missing.exe"), u"-port 1", 1),
      fill(dir.Dir(), u"-port 1", 1),                               // a folder is no file
      fill(u" " + exe[1] + u" ", u"-port 1", 0x10),                // only a box the machine lacks
      fill(exe[1], u"+port abc", 1),
      fill(dir.Dir() + u"." + PathSeparator() + u"a.exe", u"-port 2", 1),  // same file, other path
      fill(exe[1], u"+ip 127.0.0.1", 1),                           // 127.0.0.1:27015 is taken
      fill(exe[1], u"-game x\r\n+port 27016\t-console", 1),
  };
  logic.menuNewServerClick(dialog);
  std::vector<std::u16string> messages;
  for (const auto& b : boxes.shown) {
    EXPECT_EQ(b.owner, BoxOwner::ServerEditor);
    EXPECT_EQ(b.kind, BoxKind::Error);
    messages.push_back(b.text);
  }
  const std::vector<std::u16string> expected = {
      u"Please select a executable file!",       u"The selected executable file isn't exists!",
      u"The selected executable file isn't exists!", u"Must select at least one CPU!",
      u"Can't get Port from parameters!",        u"The selected executable file has in the list!",
      u"The IP:Port is already in the list!"};
  EXPECT_EQ(messages, expected);
  ASSERT_EQ(list.size(), 2u);
  const ServerEntry& e = *list[1];
  EXPECT_EQ(e.Params.str(), u"-game x+port 27016 -console") << "line breaks removed, tab a blank";
  EXPECT_EQ(e.Port, 27016);
  EXPECT_EQ(e.IPAddress.str(), "192.0.2.7");
  EXPECT_EQ(e.FileName.str(), exe[1]);
  EXPECT_EQ(e.Restarts, -1);
  EXPECT_EQ(e.Affinity, 1u);
  EXPECT_EQ(view.Row(1), (RowTexts{u"n# Server", u"192.0.2.7", u"27016", exe[1], u"High", u"-", u"-", u"-", u"-", u"-"}));
  EXPECT_EQ(Saved().size(), 2u);
  EXPECT_EQ(ed.edtFileName, u"") << "reset for the next use";
  EXPECT_EQ(ed.edtParams, kDefaultParams);
  EXPECT_TRUE(process.calls.empty()) << "a new server is not started here";
}

TEST_F(MainLogicTest, NewServerWithATemplateClashesWithItsTemplate) {
  ServerEntry& a = Add(u"tmpl", 27015, false, true, exe[0]);
  a.Priority = 2;
  Select({0});
  ScriptedEditor dialog;
  dialog.attempts = {[](ServerEditorState&) {}};
  logic.menuNewServerClick(dialog);
  EXPECT_EQ(dialog.seen.edtName, u"tmpl");
  EXPECT_EQ(dialog.seen.cbbPriority, 2);
  EXPECT_TRUE(dialog.seen.cbbHideServer);
  EXPECT_EQ(dialog.seen.edtFileName, exe[0]);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, u"The selected executable file has in the list!");
  EXPECT_EQ(list.size(), 1u);
}

TEST_F(MainLogicTest, TwoServersWithoutPortsClashOnTheHostAddress) {
  ServerEntry& a = Add(u"a", 27015, false, false, exe[0]);
  a.IPAddress.assign("192.0.2.7");
  a.Params.assign(u"-game cstrike");
  Select({});
  ScriptedEditor dialog;
  dialog.attempts = {[&](ServerEditorState& s) {
    s.edtFileName = exe[1];
    s.edtParams = u"+ip 0.0.0.0 -game cstrike";
  }};
  logic.menuNewServerClick(dialog);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, u"The IP:Port is already in the list!");
}

TEST_F(MainLogicTest, EditServerWithoutChangesPassesAndReachesTheRunningProcess) {
  ServerEntry& a = Add(u"a", 27015, false, false, exe[0]);
  Add(u"b", 27016, false, false, exe[1]);
  a.Affinity = 0x21;  // bit 5: a processor this machine lacks
  a.Priority = 1;
  a.Restarts = 4;
  a.Paused = 0;
  a.ReplyKind = 3;
  a.TimeoutCount = 2;
  process.running[FakeProcessControl::Key(exe[0])] = true;
  process.AddConsole(exe[0], 7);
  Select({0});
  ScriptedEditor dialog;
  dialog.attempts = {[](ServerEditorState& s) {
    s.edtName = u"  renamed  ";
    s.cbbPriority = 2;
    s.cbbHideServer = true;
  }};
  logic.menuEditServerClick(dialog);
  EXPECT_TRUE(boxes.shown.empty()) << "the edited server itself is skipped";
  EXPECT_TRUE(dialog.seen.EditMode);
  EXPECT_FALSE(dialog.seen.cpuEnabled[5]);
  EXPECT_FALSE(dialog.seen.cpuChecked[5]) << "box 5 is disabled and cleared";
  EXPECT_TRUE(dialog.seen.cpuChecked[0]);
  EXPECT_EQ(a.Name.str(), u"renamed");
  EXPECT_EQ(a.Affinity, 1u) << "the bit of the missing processor is dropped";
  EXPECT_EQ(a.Priority, 2);
  EXPECT_EQ(a.Restarts, 4);
  EXPECT_EQ(a.ReplyKind, 0);
  EXPECT_EQ(a.TimeoutCount, 0);
  EXPECT_EQ(process.Count("priority"), 1);
  EXPECT_EQ(process.ByHandle(7)->title, u"renamed");
  EXPECT_EQ(process.ByHandle(7)->show, kShowHide);
  EXPECT_EQ(process.Count("affinity"), 1);
  EXPECT_EQ(view.Row(0)[ColServerName], u"renamed");
  EXPECT_EQ(view.Row(0)[ColPriority], u"Real Time");
  EXPECT_EQ(Saved()[0].Name.str(), u"renamed");
}

TEST_F(MainLogicTest, CancelledEditorChangesNothing) {
  Add(u"a", 27015, false, false, exe[0]);
  Select({0});
  ScriptedEditor dialog;
  dialog.cancel = true;
  logic.menuEditServerClick(dialog);
  logic.menuNewServerClick(dialog);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_FALSE(FileSaved());
}

TEST_F(MainLogicTest, EditServerRefusesTheOtherServersExecutableAndAddress) {
  ServerEntry& a = Add(u"a", 27015, false, false, exe[0]);
  Add(u"b", 27016, false, false, exe[1]);
  Select({0});
  ScriptedEditor dialog;
  auto fill = [](Path file, std::u16string params) {
    return [=](ServerEditorState& s) {
      s.edtFileName = file;
      s.edtParams = params;
    };
  };
  dialog.attempts = {
      fill(exe[1], u"+ip 127.0.0.1 -port 27015"),  // b's executable
      fill(exe[0], u"+ip 127.0.0.1 -port 27016"),  // b's address and port
  };
  logic.menuEditServerClick(dialog);
  std::vector<std::u16string> messages;
  for (const auto& b : boxes.shown) messages.push_back(b.text);
  EXPECT_EQ(messages, (std::vector<std::u16string>{u"The selected executable file has in the list!",
                                                   u"The IP:Port is already in the list!"}));
  EXPECT_EQ(a.FileName.str(), exe[0]) << "unchanged";
  EXPECT_EQ(a.Port, 27015);
  EXPECT_FALSE(FileSaved());
}

TEST_F(MainLogicTest, DuplicateCheckComparesTheWholePortOfTheParameters) {
  Add(u"a", 27015, false, false, exe[0]);
  Select({});
  ScriptedEditor dialog;
  // 92551 is 27015 + 65536: the same 16 bits as a's port, but not the same port.
  dialog.attempts = {[&](ServerEditorState& s) {
    s.edtFileName = exe[1];
    s.edtParams = u"+ip 127.0.0.1 -port 92551";
  }};
  logic.menuNewServerClick(dialog);
  EXPECT_TRUE(boxes.shown.empty());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1]->Port, 27015) << "the record keeps 16 bits";
}

TEST(ServerEditorState, AffinityCaptionHeightAndBoxes) {
  ServerEditorState s(4);
  EXPECT_EQ(s.Height(), 243);
  EXPECT_EQ(s.AffinityButtonCaption(), u"Process &Affinity \u00BB");
  s.btnProcessAffinityClick();
  EXPECT_EQ(s.Height(), 433);
  EXPECT_EQ(s.AffinityButtonCaption(), u"\u00AB Process &Affinity");
  s.affinityBase = u"\u5904\u7406\u5668(&A)";
  EXPECT_EQ(s.AffinityButtonCaption(), u"\u00AB \u5904\u7406\u5668(&A)");
  EXPECT_EQ(s.CheckedBoxes(), 0xFu);
  EXPECT_TRUE(s.cpuEnabled[3]);
  EXPECT_FALSE(s.cpuEnabled[4]);
  ServerEditorState big(64);
  EXPECT_EQ(big.CheckedBoxes(), 0xFFFFFFFFu) << "only 32 processors can be offered";
}

TEST(ServerEditor, ParametersAreNormalised) {
  EXPECT_EQ(NormaliseParams(u"-game x\r\n+port 27016"), u"-game x+port 27016");
  EXPECT_EQ(NormaliseParams(u"\r\r\n\n a\tb \t"), u"a b");
  EXPECT_EQ(NormaliseParams(std::u16string(600, u'p')).size(), 511u);
  EXPECT_EQ(NormaliseParams(std::u16string(511, u'p')).size(), 511u);
}

}  // namespace
}  // namespace tervane
