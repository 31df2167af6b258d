// kesp.exe as the operator meets it, under Wine: the program is started in a scratch folder
// with stand-in servers on 127.0.0.1, and its windows are driven from this process.
#include <gtest/gtest.h>

#include "gui_driver_win32.h"
#include <commctrl.h>
#include "support/text.h"
#include "support/text_win32.h"
#include "ui/win32/list_view_menu.h"
#include "ui/win32/resource_ids.h"

namespace tervane::gui {
namespace {

constexpr char16_t kPaused[] = u"Paused Monitor";
constexpr char16_t kNoValueText[] = u"-";
constexpr wchar_t kEditorCaption[] = L"New Server for Monitor";

class KespGui : public ::testing::Test {
 protected:
  void Start(int cycleMs = 300) {
    scene.SaveList();
    ASSERT_TRUE(scene.StartKesp(cycleMs)) << "no main window; kesp.exe "
                                          << (scene.WaitKespExit(0ms) ? "ended with " + std::to_string(*scene.WaitKespExit(0ms))
                                                                      : std::string("runs"));
    main.emplace(scene.MainWindow());
  }
  RemoteListView View() const { return main->View(); }
  DWORD Pid() const { return scene.KespProcessId(); }

  bool WaitCell(int row, int column, const std::u16string& text, std::chrono::milliseconds limit = 30s) {
    return WaitFor([&] { return View().Cell(row, column) == text; }, limit);
  }
  // The server's process runs and it has answered a query.
  bool WaitServing(int row) {
    return WaitCell(row, ColProcessStatus, u"Normal") && WaitCell(row, ColNetworkStatus, u"Normal");
  }
  // Posts a command that asks for confirmation; answers the box's text after pressing `answer`.
  std::u16string Confirm(int command, int answer) {
    main->PostCommand(command);
    const auto box = WaitForMessageBox(Pid(), main->Handle());
    if (!box) return u"(no box)";
    const std::u16string text = box->Text();
    EXPECT_TRUE(box->Press(answer));
    // The command has run once the main window answers again.
    main->Command(0);
    return text;
  }

  Scene scene;
  std::optional<MainWindow> main;
};

// ------------------------------------------------------------------ start-up

TEST_F(KespGui, StartsWithTheListBesideItselfAndSupervisesIt) {
  scene.AddServer("Alpha");
  scene.AddServer("Bravo", /*paused=*/true);
  Start();

  // The application's own hidden window carries the application title.
  HWND application = FindWindowW(L"Tervane.Application", L"Tervane");
  ASSERT_NE(application, nullptr);
  DWORD applicationPid = 0;
  GetWindowThreadProcessId(application, &applicationPid);
  EXPECT_EQ(applicationPid, Pid());
  EXPECT_FALSE(IsWindowVisible(application));

  const RECT r = [&] { RECT w{}; GetWindowRect(main->Handle(), &w); return w; }();
  EXPECT_EQ(r.right - r.left, 881);
  EXPECT_EQ(r.bottom - r.top, 517);
  EXPECT_NEAR((r.left + r.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1) << "centred on the screen";
  EXPECT_NEAR((r.top + r.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
  MINMAXINFO limits{};
  DWORD_PTR ignored = 0;
  ASSERT_TRUE(SendMessageTimeoutW(main->Handle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits),
                                  SMTO_NORMAL, 5000, &ignored));
  EXPECT_EQ(limits.ptMinTrackSize.x, 320);

  const auto view = View();
  const char16_t* captions[] = {u"Server Name", u"IP Address", u"Port", u"Executable File", u"Priority",
                                u"Process Status", u"Network Status", u"Map", u"Players", u"Restarts"};
  const int widths[] = {80, 95, 45, 175, 65, 90, 90, 80, 50, 60};
  for (int c = 0; c < kColumnCount; ++c) {
    EXPECT_EQ(view.ColumnCaption(c), captions[c]) << c;
    EXPECT_EQ(view.ColumnWidth(c), widths[c]) << c;
  }

  ASSERT_EQ(view.RowCount(), 2);
  const ServerEntry& alpha = *scene.Servers()[0];
  EXPECT_EQ(view.Cell(0, ColServerName), u"Alpha");
  EXPECT_EQ(view.Cell(0, ColIPAddress), u"127.0.0.1");
  EXPECT_EQ(view.Cell(0, ColPort), ToU16(alpha.Port));
  EXPECT_EQ(view.Cell(0, ColFileName), alpha.FileName.str());
  EXPECT_EQ(view.Cell(0, ColPriority), u"Normal");
  EXPECT_TRUE(view.IsSelected(0));
  EXPECT_EQ(view.SelectedCount(), 1);
  const RowTexts bravo = view.Row(1);
  EXPECT_EQ(bravo[ColProcessStatus], kPaused);
  EXPECT_EQ(bravo[ColNetworkStatus], kPaused);
  EXPECT_EQ(bravo[ColMap], kNoValueText);
  EXPECT_EQ(bravo[ColRestarts], kNoValueText);

  // The first cycle ran at once and the chain goes on: Alpha is started and answers.
  EXPECT_TRUE(WaitFor([&] { return main->StatusText() == u"Network Status Self Test: Normal"; }, 20s))
      << Narrow(main->StatusText());
  EXPECT_TRUE(SendMessageW(GetDlgItem(main->Handle(), IDC_stsbSelfTest), SB_ISSIMPLE, 0, 0)) << "one simple panel";
  ASSERT_TRUE(WaitServing(0));
  EXPECT_TRUE(WaitCell(0, ColMap, u"de_dust2"));
  EXPECT_EQ(view.Cell(0, ColPlayers), u"0/32");
  EXPECT_EQ(view.Cell(0, ColRestarts), u"0");
  EXPECT_NE(main->LogText().find(u"Alpha: Starting server."), std::u16string::npos) << Narrow(main->LogText());
  // The paused server is left alone.
  EXPECT_FALSE(scene.ServerRunning(*scene.Servers()[1]));
  EXPECT_EQ(view.Cell(1, ColProcessStatus), kPaused);
}

TEST_F(KespGui, SecondStartShowsTheRunningWindowAndEndsWithZero) {
  scene.AddServer("Alpha", true);
  Start();
  ShowWindow(main->Handle(), SW_HIDE);
  ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(main->Handle()); }, 5s));

  HANDLE second = scene.StartSecondKesp();
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(WaitForSingleObject(second, 20000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(second, &code);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(main->Handle()) != 0; }, 5s));
  EXPECT_EQ(FindWindowW(L"TfrmTervane.UnicodeClass", L"Tervane v2.3"), main->Handle());
  EXPECT_FALSE(scene.WaitKespExit(0ms).has_value()) << "the first instance keeps running";
}

TEST_F(KespGui, ExitEndsTheProgramWithZeroAndLeavesTheServersRunning) {
  scene.AddServer("Alpha");
  Start();
  ASSERT_TRUE(WaitServing(0));
  main->PostCommand(IDM_menuExit);
  const auto code = scene.WaitKespExit(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 0u);
  EXPECT_TRUE(scene.ServerRunning(*scene.Servers()[0]));
}

// ------------------------------------------------------------------ list commands

TEST_F(KespGui, PauseAndUnpauseTheSelectedServers) {
  scene.AddServer("Alpha");
  scene.AddServer("Bravo");
  scene.AddServer("Charlie");
  Start();
  ASSERT_TRUE(WaitServing(0));
  ASSERT_TRUE(WaitServing(2));

  View().Select({0, 2});
  ASSERT_TRUE(main->Command(IDM_menuPauseServer));
  for (int row : {0, 2}) {
    const RowTexts texts = View().Row(row);
    EXPECT_EQ(texts[ColProcessStatus], kPaused);
    EXPECT_EQ(texts[ColNetworkStatus], kPaused);
    EXPECT_EQ(texts[ColMap], kNoValueText);
    EXPECT_EQ(texts[ColPlayers], kNoValueText);
    EXPECT_EQ(texts[ColRestarts], u"0") << "the counter is not touched";
  }
  auto stored = scene.ReadList();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0].Paused, 1);
  EXPECT_EQ(stored[1].Paused, 0);
  EXPECT_EQ(stored[2].Paused, 1);
  // Paused servers keep running, and the supervision leaves their rows alone.
  EXPECT_TRUE(scene.ServerRunning(*scene.Servers()[0]));
  SleepEx(1000, FALSE);
  EXPECT_EQ(View().Cell(0, ColProcessStatus), kPaused);

  View().Select({0});
  ASSERT_TRUE(main->Command(IDM_menuUnpauseServer));
  stored = scene.ReadList();
  EXPECT_EQ(stored[0].Paused, 0);
  EXPECT_EQ(stored[2].Paused, 1);
  EXPECT_TRUE(WaitServing(0)) << "the next cycle takes the server up again";
  EXPECT_EQ(View().Cell(2, ColProcessStatus), kPaused);
}

TEST_F(KespGui, ConfirmationsAnsweredNoChangeNothing) {
  scene.AddServer("Alpha");
  scene.AddServer("Bravo");
  Start();
  ASSERT_TRUE(WaitServing(0));
  ASSERT_TRUE(WaitServing(1));
  const auto before = scene.ListBytes();
  const DWORD alphaPid = scene.ServerProcessId(*scene.Servers()[0]);
  ASSERT_NE(alphaPid, 0u);

  View().Select({0});
  EXPECT_EQ(Confirm(IDM_menuDeleteServer, IDNO), u"Are you sure to Delete \"Alpha\"?");
  EXPECT_EQ(Confirm(IDM_menuRestartServer, IDNO), u"Are you sure to Restart \"Alpha\"?");
  EXPECT_EQ(Confirm(IDM_menuCloseServer, IDNO), u"Are you sure to Close \"Alpha\"?");
  View().Select({0, 1});
  EXPECT_EQ(Confirm(IDM_menuDeleteServer, IDNO), u"Are you sure to Delete selected servers?");
  EXPECT_EQ(Confirm(IDM_menuRestartServer, IDNO), u"Are you sure to Restart selected servers?");
  EXPECT_EQ(Confirm(IDM_menuCloseServer, IDNO), u"Are you sure to Close selected servers?");

  EXPECT_EQ(View().RowCount(), 2);
  EXPECT_EQ(scene.ListBytes(), before);
  EXPECT_EQ(scene.ServerProcessId(*scene.Servers()[0]), alphaPid);
  EXPECT_EQ(View().Cell(0, ColProcessStatus), u"Normal");
  EXPECT_EQ(View().Cell(1, ColProcessStatus), u"Normal");
}

TEST_F(KespGui, CloseAnsweredYesEndsTheServerAndKeepsItPaused) {
  scene.AddServer("Alpha");
  scene.AddServer("Bravo");
  Start();
  ASSERT_TRUE(WaitServing(0));
  ASSERT_TRUE(WaitServing(1));

  View().Select({1});
  EXPECT_EQ(Confirm(IDM_menuCloseServer, IDYES), u"Are you sure to Close \"Bravo\"?");
  const ServerEntry& bravo = *scene.Servers()[1];
  EXPECT_TRUE(WaitFor([&] { return !scene.ServerRunning(bravo); }, 10s));
  EXPECT_EQ(View().Cell(1, ColProcessStatus), kPaused);
  EXPECT_EQ(View().Cell(1, ColNetworkStatus), kPaused);
  EXPECT_EQ(View().Cell(1, ColMap), kNoValueText);
  EXPECT_EQ(scene.ReadList().at(1).Paused, 1);
  // Several cycles later it is still not started again; Alpha was not touched.
  SleepEx(2000, FALSE);
  EXPECT_FALSE(scene.ServerRunning(bravo));
  EXPECT_TRUE(scene.ServerRunning(*scene.Servers()[0]));
  EXPECT_EQ(scene.ReadList().at(0).Paused, 0);
}

TEST_F(KespGui, RestartAnsweredYesStartsANewProcessWithoutCountingOrSaving) {
  scene.AddServer("Alpha");
  Start();
  ASSERT_TRUE(WaitServing(0));
  const DWORD first = scene.ServerProcessId(*scene.Servers()[0]);
  ASSERT_NE(first, 0u);
  const auto before = scene.ListBytes();

  View().Select({0});
  EXPECT_EQ(Confirm(IDM_menuRestartServer, IDYES), u"Are you sure to Restart \"Alpha\"?");
  EXPECT_TRUE(WaitFor(
      [&] {
        const DWORD now = scene.ServerProcessId(*scene.Servers()[0]);
        return now != 0 && now != first;
      },
      20s));
  EXPECT_TRUE(WaitServing(0));
  EXPECT_EQ(View().Cell(0, ColRestarts), u"0");
  EXPECT_EQ(scene.ListBytes(), before);
}

TEST_F(KespGui, DeleteAnsweredYesRemovesRowsAndRecordsButNotTheProcesses) {
  scene.AddServer("Alpha");
  scene.AddServer("Bravo");
  scene.AddServer("Charlie");
  Start();
  for (int row = 0; row < 3; ++row) ASSERT_TRUE(WaitServing(row));

  View().Select({1});
  EXPECT_EQ(Confirm(IDM_menuDeleteServer, IDYES), u"Are you sure to Delete \"Bravo\"?");
  EXPECT_EQ(View().Column(ColServerName), (std::vector<std::u16string>{u"Alpha", u"Charlie"}));
  auto stored = scene.ReadList();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].Name.str(), u"Alpha");
  EXPECT_EQ(stored[1].Name.str(), u"Charlie");
  EXPECT_TRUE(scene.ServerRunning(*scene.Servers()[1])) << "a deleted server keeps running";

  View().Select({0, 1});
  EXPECT_EQ(Confirm(IDM_menuDeleteServer, IDYES), u"Are you sure to Delete selected servers?");
  EXPECT_EQ(View().RowCount(), 0);
  EXPECT_EQ(scene.ListBytes().size(), 3u) << "only the option bytes are left";
  EXPECT_TRUE(scene.ServerRunning(*scene.Servers()[0]));
  EXPECT_TRUE(scene.ServerRunning(*scene.Servers()[2]));
}

TEST_F(KespGui, HideAndShowTheConsoleWindows) {
  scene.AddServer("Alpha");
  Start();
  ASSERT_TRUE(WaitServing(0));
  const ServerEntry& alpha = *scene.Servers()[0];
  ASSERT_TRUE(WaitFor([&] { return scene.ConsoleWindow(alpha) != nullptr; }, 10s));
  EXPECT_TRUE(IsWindowVisible(scene.ConsoleWindow(alpha)));

  View().Select({0});
  ASSERT_TRUE(main->Command(IDM_menuHideServer));
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(scene.ConsoleWindow(alpha)); }, 5s));
  EXPECT_EQ(scene.ReadList().at(0).HideServer, 1);
  // The supervision keeps it hidden on its next passes.
  SleepEx(1000, FALSE);
  EXPECT_FALSE(IsWindowVisible(scene.ConsoleWindow(alpha)));

  ASSERT_TRUE(main->Command(IDM_menuShowServer));
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(scene.ConsoleWindow(alpha)) != 0; }, 5s));
  EXPECT_EQ(scene.ReadList().at(0).HideServer, 0);
}

TEST_F(KespGui, ClearLogItemEmptiesTheLogMemo) {
  scene.AddServer("Alpha");
  Start();
  ASSERT_TRUE(WaitFor([&] { return !main->LogText().empty(); }, 30s));
  ASSERT_TRUE(main->Command(IDM_N1));
  EXPECT_EQ(main->LogText(), u"");
}

// ------------------------------------------------------------------ drag and drop

class KespDrag : public KespGui {
 protected:
  void SetUp() override {
    for (const char* name : {"A", "B", "C", "D", "E"}) scene.AddServer(name, /*paused=*/true);
    Start();
    BringToFront(main->Handle());
  }
  POINT RowPoint(int row) const {
    const RECT r = View().RowRect(row);
    return POINT{r.left + 30, (r.top + r.bottom) / 2};
  }
  std::vector<std::u16string> StoredNames() const {
    std::vector<std::u16string> names;
    for (const auto& e : scene.ReadList()) names.push_back(e.Name.str());
    return names;
  }
  using Names = std::vector<std::u16string>;
};

TEST_F(KespDrag, DroppingARowMovesTheFirstSelectedServerThere) {
  View().Select({0});
  MouseDrag(RowPoint(0), RowPoint(3));
  const Names moved{u"B", u"C", u"D", u"A", u"E"};
  EXPECT_TRUE(WaitFor([&] { return View().Column(ColServerName) == moved; }, 5s))
      << Narrow(View().Cell(0, 0)) << Narrow(View().Cell(3, 0));
  EXPECT_EQ(StoredNames(), moved);
  // The rows keep their texts when they move.
  EXPECT_EQ(View().Cell(3, ColProcessStatus), kPaused);
  EXPECT_EQ(View().Cell(3, ColFileName), scene.Servers()[0]->FileName.str());

  // Upwards: D (now row 2) onto B (row 0).
  View().Select({2});
  MouseDrag(RowPoint(2), RowPoint(0));
  const Names up{u"D", u"B", u"C", u"A", u"E"};
  EXPECT_TRUE(WaitFor([&] { return View().Column(ColServerName) == up; }, 5s));
  EXPECT_EQ(StoredNames(), up);
}

TEST_F(KespDrag, OnlyTheFirstSelectedOfSeveralMoves) {
  View().Select({1, 3});
  // The drag starts on D, but B is the first selected row.
  MouseDrag(RowPoint(3), RowPoint(4));
  const Names moved{u"A", u"C", u"D", u"E", u"B"};
  EXPECT_TRUE(WaitFor([&] { return View().Column(ColServerName) == moved; }, 5s))
      << Narrow(View().Cell(1, 0));
  EXPECT_EQ(StoredNames(), moved);
}

TEST_F(KespDrag, DropsOnTheSameRowOrOnEmptySpaceChangeNothing) {
  const auto before = scene.ListBytes();
  const Names order{u"A", u"B", u"C", u"D", u"E"};
  View().Select({1});
  MouseDrag(RowPoint(1), POINT{RowPoint(1).x + 40, RowPoint(1).y});
  const RECT last = View().RowRect(4);
  View().Select({1});
  MouseDrag(RowPoint(1), POINT{last.left + 30, last.bottom + 60});
  // A move of 4 pixels is no drag, even when it ends on the next row.
  const RECT second = View().RowRect(1);
  View().Select({1});
  MouseDrag(POINT{second.left + 30, second.bottom - 2}, POINT{second.left + 30, second.bottom + 2});
  main->Command(0);
  EXPECT_EQ(View().Column(ColServerName), order);
  EXPECT_EQ(scene.ListBytes(), before);
}

TEST_F(KespDrag, DoubleClickTogglesThePauseOfTheRow) {
  const POINT at = RowPoint(2);
  SetCursorPos(at.x, at.y);
  for (int click = 0; click < 2; ++click) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof(INPUT));
  }
  EXPECT_TRUE(WaitFor([&] { return scene.ReadList().at(2).Paused == 0; }, 5s));
  EXPECT_NE(View().Cell(2, ColProcessStatus), kPaused);
  EXPECT_EQ(View().Cell(2, ColMap), kNoValueText);
  for (int row : {0, 1, 3, 4}) EXPECT_EQ(scene.ReadList().at(static_cast<std::size_t>(row)).Paused, 1) << row;
}

// ------------------------------------------------------------------ the server editor

class KespEditor : public KespGui {
 protected:
  HWND OpenEditor(int command) {
    main->PostCommand(command);
    HWND dialog = WaitForDialog(Pid(), kEditorCaption);
    EXPECT_NE(dialog, nullptr) << "no editor";
    return dialog;
  }
  static HWND Item(HWND dialog, int id) { return GetDlgItem(dialog, id); }
  static void SetField(HWND dialog, int id, const std::u16string& text) {
    SendMessageW(Item(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(W(text)));
  }
  static std::u16string Field(HWND dialog, int id) { return WindowText(Item(dialog, id)); }
  static void SetCheck(HWND dialog, int id, bool on) {
    SendMessageW(Item(dialog, id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  static bool Checked(HWND dialog, int id) {
    return SendMessageW(Item(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  static int Height(HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    return r.bottom - r.top;
  }
  // Presses OK and answers the error box's text (acknowledged), or nothing when it closed.
  std::optional<std::u16string> PressOK(HWND dialog) {
    PostClick(dialog, IDC_btnOK);
    std::optional<std::u16string> text;
    WaitFor(
        [&] {
          if (!IsWindowVisible(dialog)) return true;
          for (HWND w : TopLevelWindows(Pid(), L"#32770", L"Tervane"))
            if (GetWindow(w, GW_OWNER) == dialog) {
              const auto box = WaitForMessageBox(Pid(), dialog, 2s);
              if (box) {
                text = box->Text();
                box->Press(IDOK);
              }
              return true;
            }
          return false;
        },
        15s);
    return text;
  }
};

TEST_F(KespEditor, EachFailingCheckShowsItsMessageAndKeepsTheDialogOpen) {
  ServerEntry& alpha = scene.AddServer("Alpha", true);
  Start();
  View().Select({});
  HWND dialog = OpenEditor(IDM_menuNewServer);
  ASSERT_NE(dialog, nullptr);
  // Defaults of a new server.
  EXPECT_EQ(Field(dialog, IDC_edtName), u"n# Server");
  EXPECT_EQ(Field(dialog, IDC_edtFileName), u"");
  EXPECT_EQ(Field(dialog, IDC_edtParams),
            u"-game cstrike +servercfgfile server.cfg +maxplayers 32 +map de_dust2 -port 27015 -insecure "
            u"+sv_lan 0 -noipx -console");
  EXPECT_EQ(SendMessageW(Item(dialog, IDC_cbbPriority), CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(Field(dialog, IDC_btnProcessAffinity), u"Process &Affinity \u00BB");
  EXPECT_EQ(Height(dialog), 243);
  RECT placed{};
  GetWindowRect(dialog, &placed);
  EXPECT_NEAR((placed.left + placed.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1) << "centred on the screen";
  EXPECT_EQ(GetWindowLongW(dialog, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX | WS_MINIMIZEBOX), 0) << "fixed size";
  EXPECT_FALSE(IsWindowEnabled(main->Handle())) << "modal";

  EXPECT_EQ(PressOK(dialog), u"Please select a executable file!");
  SetField(dialog, IDC_edtFileName, u"C:\\tervane-nowhere\\missing.exe");
  EXPECT_EQ(PressOK(dialog), u"The selected executable file isn't exists!");

  const auto spare = scene.SpareExecutable("Spare");
  SetField(dialog, IDC_edtFileName, u"  " + spare.u16string() + u" ");
  for (int n = 0; n < 32; ++n) SetCheck(dialog, IDC_cbCPU0 + n, false);
  EXPECT_EQ(PressOK(dialog), u"Must select at least one CPU!");

  SetCheck(dialog, IDC_cbCPU0, true);
  SetField(dialog, IDC_edtParams, u"-game cstrike +ip 127.0.0.1 +port abc");
  EXPECT_EQ(PressOK(dialog), u"Can't get Port from parameters!");

  // Alpha's executable, named in other letters.
  SetField(dialog, IDC_edtFileName, UpperAscii16(alpha.FileName.str()));
  SetField(dialog, IDC_edtParams, u"-game cstrike +ip 127.0.0.1 -port 1");
  EXPECT_EQ(PressOK(dialog), u"The selected executable file has in the list!");

  SetField(dialog, IDC_edtFileName, spare.u16string());
  SetField(dialog, IDC_edtParams, u"-game cstrike +ip 127.0.0.1 -port " + ToU16(alpha.Port));
  EXPECT_EQ(PressOK(dialog), u"The IP:Port is already in the list!");
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(View().RowCount(), 1);
  EXPECT_EQ(scene.ReadList().size(), 1u);

  // The close box cancels.
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitDialogGone(dialog));
  main->Command(0);
  EXPECT_EQ(View().RowCount(), 1);
  EXPECT_EQ(scene.ReadList().size(), 1u);
}

TEST_F(KespEditor, NewServerWithValidInputIsAddedAndSaved) {
  scene.AddServer("Alpha", true);
  Start();
  View().Select({});
  HWND dialog = OpenEditor(IDM_menuNewServer);
  ASSERT_NE(dialog, nullptr);
  const auto spare = scene.SpareExecutable("Delta");
  const int port = FreeUdpPort();
  SetField(dialog, IDC_edtName, u"  Delta  ");
  SetField(dialog, IDC_edtFileName, spare.u16string());
  // Line breaks are removed, not made blanks; a tab becomes a blank.
  SetField(dialog, IDC_edtParams, u"-game cstrike\r\n+port " + ToU16(port) + u"\t+ip 127.0.0.1 -fakesrv.noconsole");
  SendMessageW(Item(dialog, IDC_cbbPriority), CB_SETCURSEL, 2, 0);
  SetCheck(dialog, IDC_cbbHideServer, true);
  for (int n = 0; n < 32; ++n) SetCheck(dialog, IDC_cbCPU0 + n, n == 0);
  EXPECT_EQ(PressOK(dialog), std::nullopt);
  EXPECT_FALSE(IsWindowVisible(dialog));
  main->Command(0);

  ASSERT_EQ(View().RowCount(), 2);
  const RowTexts row = View().Row(1);
  EXPECT_EQ(row[ColServerName], u"Delta");
  EXPECT_EQ(row[ColIPAddress], u"127.0.0.1");
  EXPECT_EQ(row[ColPort], ToU16(port));
  EXPECT_EQ(row[ColFileName], spare.u16string());
  EXPECT_EQ(row[ColPriority], u"Real Time");
  const auto stored = scene.ReadList();
  ASSERT_EQ(stored.size(), 2u);
  const ServerEntry& e = stored[1];
  EXPECT_EQ(e.Name.str(), u"Delta");
  EXPECT_EQ(e.FileName.str(), spare.u16string());
  EXPECT_EQ(e.Params.str(), u"-game cstrike+port " + ToU16(port) + u" +ip 127.0.0.1 -fakesrv.noconsole");
  EXPECT_EQ(e.IPAddress.str(), "127.0.0.1");
  EXPECT_EQ(e.Port, port);
  EXPECT_EQ(e.Priority, 2);
  EXPECT_EQ(e.HideServer, 1);
  EXPECT_EQ(e.Affinity, 1u);
  EXPECT_EQ(e.Paused, 0);
  EXPECT_EQ(e.Restarts, -1);

  // Reset for the next use, but the processor boxes stay as they were left.
  dialog = OpenEditor(IDM_menuNewServer);
  ASSERT_NE(dialog, nullptr);
  ASSERT_EQ(View().SelectedCount(), 0);
  EXPECT_EQ(Field(dialog, IDC_edtName), u"n# Server");
  EXPECT_EQ(Field(dialog, IDC_edtFileName), u"");
  EXPECT_FALSE(Checked(dialog, IDC_cbbHideServer));
  EXPECT_TRUE(Checked(dialog, IDC_cbCPU0));
  PostClick(dialog, IDC_btnCancel);
  EXPECT_TRUE(WaitDialogGone(dialog));
  main->Command(0);
  EXPECT_EQ(scene.ReadList().size(), 2u);
}

TEST_F(KespEditor, NewServerFromATemplateAndEditServer) {
  ServerEntry& alpha = scene.AddServer("Alpha", true);
  alpha.Priority = 1;
  Start();
  View().Select({0});
  HWND dialog = OpenEditor(IDM_menuNewServer);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(Field(dialog, IDC_edtName), u"Alpha");
  EXPECT_EQ(Field(dialog, IDC_edtFileName), alpha.FileName.str());
  EXPECT_EQ(Field(dialog, IDC_edtParams), alpha.Params.str());
  // The template itself is not skipped in New Server.
  EXPECT_EQ(PressOK(dialog), u"The selected executable file has in the list!");
  const auto spare = scene.SpareExecutable("Echo");
  const int port = FreeUdpPort();
  SetField(dialog, IDC_edtName, u"Echo");
  SetField(dialog, IDC_edtFileName, spare.u16string());
  SetField(dialog, IDC_edtParams, u"-game cstrike +ip 127.0.0.1 -port " + ToU16(port) + u" -fakesrv.noconsole");
  EXPECT_EQ(PressOK(dialog), std::nullopt);
  main->Command(0);
  ASSERT_EQ(View().RowCount(), 2);
  EXPECT_EQ(View().Cell(1, ColPriority), u"High") << "the template's priority";

  // Edit Server of an unchanged server passes: the edited server is skipped.
  View().Select({0});
  dialog = OpenEditor(IDM_menuEditServer);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(Field(dialog, IDC_edtName), u"Alpha");
  EXPECT_EQ(PressOK(dialog), std::nullopt);
  main->Command(0);

  // Edit the new one: name and priority.
  View().Select({1});
  dialog = OpenEditor(IDM_menuEditServer);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(Field(dialog, IDC_edtName), u"Echo");
  SetField(dialog, IDC_edtName, u"Echo Renamed");
  SendMessageW(Item(dialog, IDC_cbbPriority), CB_SETCURSEL, 0, 0);
  EXPECT_EQ(PressOK(dialog), std::nullopt);
  main->Command(0);
  const RowTexts row = View().Row(1);
  EXPECT_EQ(row[ColServerName], u"Echo Renamed");
  EXPECT_EQ(row[ColPriority], u"Normal");
  EXPECT_EQ(row[ColPort], ToU16(port));
  const auto stored = scene.ReadList();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].Name.str(), u"Alpha");
  EXPECT_EQ(stored[0].Paused, 1) << "Edit keeps the pause";
  EXPECT_EQ(stored[1].Name.str(), u"Echo Renamed");
  EXPECT_EQ(stored[1].Priority, 0);
  EXPECT_EQ(stored[1].Port, port);
}

TEST_F(KespEditor, AffinityGroupEnterAndEscape) {
  scene.AddServer("Alpha", true);
  Start();
  HWND dialog = OpenEditor(IDM_menuNewServer);
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(IsWindowVisible(Item(dialog, IDC_gbProcessAffinity)));

  PostClick(dialog, IDC_btnProcessAffinity);
  EXPECT_TRUE(WaitFor([&] { return Height(dialog) == 433; }, 5s));
  EXPECT_EQ(Field(dialog, IDC_btnProcessAffinity), u"\u00AB Process &Affinity");
  EXPECT_TRUE(IsWindowVisible(Item(dialog, IDC_gbProcessAffinity)));
  EXPECT_TRUE(IsWindowVisible(Item(dialog, IDC_cbCPU0 + 31)));
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  const int processors = info.dwNumberOfProcessors > 32 ? 32 : static_cast<int>(info.dwNumberOfProcessors);
  for (int n = 0; n < 32; ++n) {
    EXPECT_EQ(IsWindowEnabled(Item(dialog, IDC_cbCPU0 + n)) != 0, n < processors) << n;
    EXPECT_EQ(Checked(dialog, IDC_cbCPU0 + n), n < processors) << n;
  }
  PostClick(dialog, IDC_btnProcessAffinity);
  EXPECT_TRUE(WaitFor([&] { return Height(dialog) == 243; }, 5s));
  EXPECT_EQ(Field(dialog, IDC_btnProcessAffinity), u"Process &Affinity \u00BB");

  // Enter in the parameter memo adds no line break and presses no button; Escape does nothing.
  HWND memo = Item(dialog, IDC_edtParams);
  const std::u16string params = Field(dialog, IDC_edtParams);
  PostMessageW(memo, WM_KEYDOWN, VK_RETURN, 1);
  PostMessageW(memo, WM_CHAR, L'\r', 1);
  PostMessageW(memo, WM_KEYUP, VK_RETURN, 0xC0000001);
  PostMessageW(Item(dialog, IDC_edtName), WM_KEYDOWN, VK_ESCAPE, 1);
  PostMessageW(Item(dialog, IDC_edtName), WM_KEYUP, VK_ESCAPE, 0xC0000001);
  SleepEx(500, FALSE);
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(Field(dialog, IDC_edtParams), params);
  EXPECT_TRUE(NoMessageBoxFor(Pid(), dialog, 300ms));

  PostClick(dialog, IDC_btnCancel);
  EXPECT_TRUE(WaitDialogGone(dialog));

  // The group's state carries over to the next opening.
  PostClick(OpenEditor(IDM_menuNewServer), IDC_btnProcessAffinity);
  dialog = WaitForDialog(Pid(), kEditorCaption);
  EXPECT_TRUE(WaitFor([&] { return Height(dialog) == 433; }, 5s));
  PostClick(dialog, IDC_btnCancel);
  EXPECT_TRUE(WaitDialogGone(dialog));
  dialog = OpenEditor(IDM_menuNewServer);
  EXPECT_EQ(Height(dialog), 433);
  EXPECT_EQ(Field(dialog, IDC_btnProcessAffinity), u"\u00AB Process &Affinity");
  PostClick(dialog, IDC_btnCancel);
  EXPECT_TRUE(WaitDialogGone(dialog));
}

// ------------------------------------------------------------------ the about box

TEST_F(KespGui, AboutBoxOpensCentredOnTheMainWindow) {
  scene.AddServer("Alpha", true);
  Start();
  main->PostCommand(IDM_menuAbout);
  HWND about = WaitForDialog(Pid(), L"About Tervane");
  ASSERT_NE(about, nullptr);
  RECT client{};
  GetClientRect(about, &client);
  EXPECT_EQ(client.right, 368);
  EXPECT_EQ(client.bottom, 191);
  RECT a{}, m{};
  GetWindowRect(about, &a);
  GetWindowRect(main->Handle(), &m);
  EXPECT_NEAR((a.left + a.right) / 2, (m.left + m.right) / 2, 1);
  EXPECT_NEAR((a.top + a.bottom) / 2, (m.top + m.bottom) / 2, 1);
  EXPECT_EQ(WindowText(GetDlgItem(about, IDC_btnOk)), u"确定(&O)");
  EXPECT_EQ(GetWindowLongW(about, GWL_STYLE) & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
  // The main window is disabled while the box is open; the supervision goes on.
  EXPECT_FALSE(IsWindowEnabled(main->Handle()));
  PostClick(about, IDC_btnOk);
  EXPECT_TRUE(WaitDialogGone(about));
  EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(main->Handle()) != 0; }, 5s));
}

}  // namespace
}  // namespace tervane::gui

namespace tervane::gui {
namespace {

// The program's own resources, read from kesp.exe as a data file.
class KespResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module = LoadLibraryExW(std::filesystem::path(KESP_PATH).wstring().c_str(), nullptr,
                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
  }
  void TearDown() override {
    if (module) FreeLibrary(module);
  }
  struct Item {
    std::u16string text;  // "-" for a separator
    bool enabled;
    bool isDefault;
  };
  static std::vector<Item> Items(HMENU menu) {
    std::vector<Item> out;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      wchar_t text[256] = {};
      MENUITEMINFOW info{};
      info.cbSize = sizeof info;
      info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
      info.dwTypeData = text;
      info.cch = 255;
      GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
      out.push_back(Item{(info.fType & MFT_SEPARATOR) ? u"-" : U(text),
                         (info.fState & MFS_DISABLED) == 0, (info.fState & MFS_DEFAULT) != 0});
    }
    return out;
  }
  static std::vector<std::u16string> Texts(const std::vector<Item>& items) {
    std::vector<std::u16string> out;
    for (const auto& i : items) out.push_back(i.text);
    return out;
  }
  HMODULE module = nullptr;
};

TEST_F(KespResources, MainMenuAndTheLogsMenu) {
  HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(IDR_MAINMENU));
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(Texts(Items(menu)), (std::vector<std::u16string>{u"&File", u"&Settings", u"&Help"}));
  EXPECT_EQ(Texts(Items(GetSubMenu(menu, 0))),
            (std::vector<std::u16string>{u"&Install Service", u"&Uninstall Service", u"E&xit"}));
  EXPECT_EQ(GetMenuItemID(GetSubMenu(menu, 0), 2), static_cast<UINT>(IDM_menuExit));
  EXPECT_EQ(Texts(Items(GetSubMenu(menu, 1))), (std::vector<std::u16string>{u"&Language", u"&Boss Key..."}));
  const auto language = Items(GetSubMenu(GetSubMenu(menu, 1), 0));
  ASSERT_EQ(language.size(), 1u);
  EXPECT_EQ(language[0].text, u"(&None)");
  EXPECT_FALSE(language[0].enabled);
  EXPECT_EQ(Texts(Items(GetSubMenu(menu, 2))), (std::vector<std::u16string>{u"&About..."}));
  DestroyMenu(menu);

  HMENU logs = LoadMenuW(module, MAKEINTRESOURCEW(IDR_LOGSMENU));
  ASSERT_NE(logs, nullptr);
  EXPECT_EQ(Texts(Items(GetSubMenu(logs, 0))), (std::vector<std::u16string>{u"\u6E05\u9664\u65E5\u5FD7(&C)"}));
  EXPECT_EQ(GetMenuItemID(GetSubMenu(logs, 0), 0), static_cast<UINT>(IDM_N1));
  DestroyMenu(logs);
}

TEST_F(KespResources, IconAndCommonControlsManifest) {
  for (int size : {16, 32, 48}) {
    HICON icon = static_cast<HICON>(LoadImageW(module, L"MAINICON", IMAGE_ICON, size, size, 0));
    ASSERT_NE(icon, nullptr) << size;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, size);
    EXPECT_EQ(bitmap.bmBitsPixel, 32) << "drawn with an alpha channel";
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST 1
  ASSERT_NE(found, nullptr);
  const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
  const std::string manifest(bytes, SizeofResource(module, found));
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
}

TEST_F(KespResources, ListViewMenuPopsUpWithTheVisibleItemsOnly) {
  HMENU resource = LoadMenuW(module, MAKEINTRESOURCEW(IDR_LISTVIEWMENU));
  ASSERT_NE(resource, nullptr);
  HMENU items = GetSubMenu(resource, 0);
  ListViewMenuState state;  // as built: everything enabled and visible, Pause the default
  HMENU popup = win32::BuildListViewMenuPopup(items, state);
  auto shown = Items(popup);
  EXPECT_EQ(Texts(shown), (std::vector<std::u16string>{
                              u"&Pause Monitor", u"Un&pause Monitor", u"-", u"&Edit Server...", u"&New Server...",
                              u"&Delete Server(s)...", u"-", u"&Show Server(s)", u"&Hide Server(s)", u"-",
                              u"&Restart Server(s)...", u"&Close Server(s)..."}));
  EXPECT_TRUE(shown[0].isDefault);
  EXPECT_EQ(GetMenuItemID(popup, 11), static_cast<UINT>(IDM_menuCloseServer));
  DestroyMenu(popup);

  // One paused server with a shown console and no running process.
  state.items[menuPauseServer] = {false, false};
  state.items[menuShowServer] = {false, false};
  state.items[menuCloseServer] = {false, true};
  state.defaultItem = menuUnpauseServer;
  popup = win32::BuildListViewMenuPopup(items, state);
  shown = Items(popup);
  EXPECT_EQ(Texts(shown), (std::vector<std::u16string>{u"Un&pause Monitor", u"-", u"&Edit Server...",
                                                       u"&New Server...", u"&Delete Server(s)...", u"-",
                                                       u"&Hide Server(s)", u"-", u"&Restart Server(s)...",
                                                       u"&Close Server(s)..."}));
  EXPECT_TRUE(shown[0].isDefault);
  EXPECT_FALSE(shown.back().enabled);
  EXPECT_TRUE(shown[2].enabled);
  EXPECT_EQ(GetMenuItemID(popup, 0), static_cast<UINT>(IDM_menuUnpauseServer));
  DestroyMenu(popup);

  // A default item that is not shown marks nothing.
  state.defaultItem = menuPauseServer;
  popup = win32::BuildListViewMenuPopup(items, state);
  for (const auto& item : Items(popup)) EXPECT_FALSE(item.isDefault) << Narrow(item.text);
  DestroyMenu(popup);
  DestroyMenu(resource);
}

TEST_F(KespGui, RightClickOnTheListOpensItsMenu) {
  scene.AddServer("Alpha", /*paused=*/true);
  Start();
  BringToFront(main->Handle());
  const RECT r = View().RowRect(0);
  PostMessageW(main->Handle(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(View().Handle()),
               MAKELPARAM(r.left + 20, r.bottom));
  EXPECT_TRUE(WaitFor([&] { return !TopLevelWindows(Pid(), L"#32768").empty(); }, 10s));
  INPUT keys[2] = {};
  keys[0].type = keys[1].type = INPUT_KEYBOARD;
  keys[0].ki.wVk = keys[1].ki.wVk = VK_ESCAPE;
  keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, keys, sizeof(INPUT));
  EXPECT_TRUE(WaitFor([&] { return TopLevelWindows(Pid(), L"#32768").empty(); }, 10s));
  // The window takes commands again once the menu is gone.
  EXPECT_TRUE(main->Command(0));
}

}  // namespace
}  // namespace tervane::gui
