// kesp.exe at home under Wine: the tray icon (seen through the shell as any program sees it),
// hiding into the tray and ending, the boss key typed as real keyboard input and its dialog,
// and the language files chosen at start-up and switched at run time.
#include <gtest/gtest.h>

#include "gui_driver_win32.h"
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "support/file.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "ui/win32/resource_ids.h"
#include "test_support.h"

namespace tervane::gui {
namespace {

namespace fs = std::filesystem;

// The boss key of the tests and a second key that the test process takes for itself.
constexpr UINT kBossMods = MOD_CONTROL | MOD_ALT;
constexpr WORD kBossKey = VK_F11;
constexpr UINT kTakenMods = MOD_CONTROL | MOD_SHIFT;
constexpr WORD kTakenKey = VK_F12;

constexpr wchar_t kBossKeyCaption[] = L"Set Boss Key";

// A hot key held by the test process while it lives: the program cannot register it.
class TakenHotKey {
 public:
  TakenHotKey(UINT modifiers, WORD key) : ok_(RegisterHotKey(nullptr, kId, modifiers, key) != FALSE) {}
  ~TakenHotKey() {
    if (ok_) UnregisterHotKey(nullptr, kId);
  }
  bool ok() const { return ok_; }

 private:
  static constexpr int kId = 0x7001;
  bool ok_;
};

// Language files made by a test: UTF-16LE with the byte-order mark, as the shipped ones.
void WriteLanguageFile(const fs::path& path, const std::u16string& text) {
  tervane::testing::WriteBytes(path.u16string(), tervane::testing::Utf16File(text));
}

class KespHome : public ::testing::Test {
 protected:
  void Start(int cycleMs = 300, bool shown = true) {
    scene.SaveList();
    ASSERT_TRUE(scene.StartKesp(cycleMs, shown)) << "no main window";
    main.emplace(scene.MainWindow());
  }
  RemoteListView View() const { return main->View(); }
  DWORD Pid() const { return scene.KespProcessId(); }
  HWND Main() const { return main->Handle(); }

  bool WaitCell(int row, int column, const std::u16string& text, std::chrono::milliseconds limit = 30s) {
    return WaitFor([&] { return View().Cell(row, column) == text; }, limit);
  }
  bool WaitServing(int row) {
    return WaitCell(row, ColProcessStatus, u"Normal") && WaitCell(row, ColNetworkStatus, u"Normal");
  }
  bool WaitShown(bool shown, std::chrono::milliseconds limit = 10s) {
    return WaitFor([&] { return (IsWindowVisible(Main()) != 0) == shown; }, limit);
  }
  bool WaitTray(bool shown, std::chrono::milliseconds limit = 10s) {
    return WaitFor([&] { return TrayIconShown(Main()) == shown; }, limit);
  }
  bool WaitConsole(const ServerEntry& e, bool shown, std::chrono::milliseconds limit = 10s) {
    return WaitFor(
        [&] {
          HWND console = scene.ConsoleWindow(e);
          return console != nullptr && (IsWindowVisible(console) != 0) == shown;
        },
        limit);
  }
  void UseBossKey() { scene.BossKey() = BossKeyOptions{kBossMods, kBossKey, 1}; }

  // A confirmation's text, answered No.
  std::u16string ConfirmationText(int command) {
    main->PostCommand(command);
    const auto box = WaitForMessageBox(Pid(), Main());
    if (!box) return u"(no box)";
    const std::u16string text = box->Text();
    EXPECT_TRUE(box->Press(IDNO));
    main->Command(0);
    return text;
  }
  // A dialog opened by a command, its control texts read, then cancelled.
  HWND OpenDialog(int command, const wchar_t* caption) {
    main->PostCommand(command);
    HWND dialog = WaitForDialog(Pid(), caption);
    EXPECT_NE(dialog, nullptr) << Narrow(U16(caption));
    return dialog;
  }
  void Cancel(HWND dialog) {
    PostClick(dialog, IDC_btnCancel);
    EXPECT_TRUE(WaitDialogGone(dialog));
    main->Command(0);
  }
  static std::u16string U16(const wchar_t* text) {
    return U(text);
  }
  static std::u16string Item(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }
  static std::u16string ComboItem(HWND combo, int index) {
    wchar_t text[256] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text),
                        SMTO_NORMAL, 5000, &ignored);
    text[255] = L'\0';
    return U16(text);
  }
  // The Language menu's entry of a file: the menu lists the files in the folder's order.
  int LanguageCommand(const std::string& fileName) const {
    const auto files = ListFilesWithSuffix(scene.LanguagesDir().u16string() + u"\\", u".ini");
    const auto at = std::find(files.begin(), files.end(), Utf8ToUtf16(fileName));
    EXPECT_NE(at, files.end()) << fileName;
    return IDM_LANGUAGE_FIRST + static_cast<int>(at - files.begin());
  }

  Scene scene;
  std::optional<MainWindow> main;
};

// ------------------------------------------------------------------ tray

TEST_F(KespHome, CloseAndMinimiseHideIntoTheTrayWhileTheSupervisionGoesOn) {
  const ServerEntry& alpha = scene.AddServer("Alpha");
  Start();
  ASSERT_TRUE(WaitServing(0));
  EXPECT_TRUE(WaitTray(true)) << "the icon is shown with the window";

  // The close box only hides the window.
  PostMessageW(Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
  ASSERT_TRUE(WaitShown(false));
  EXPECT_FALSE(scene.WaitKespExit(500ms).has_value()) << "still running";
  EXPECT_TRUE(TrayIconShown(Main()));
  EXPECT_EQ(FindWindowW(L"TfrmTervane.UnicodeClass", L"Tervane v2.3"), Main()) << "found by a second start";

  // Hidden, it keeps supervising: a lost server is started again.
  scene.Process().TerminateServerProcess(alpha.FileName.str());
  EXPECT_TRUE(WaitFor([&] { return main->LogText().find(u"Alpha: Restarting. Reason: Process lost.") !=
                                   std::u16string::npos; },
                      30s))
      << Narrow(main->LogText());
  EXPECT_TRUE(WaitFor([&] { return scene.ServerRunning(alpha); }, 10s));

  // A left click on the icon (a press and its release) brings the window back.
  PostTrayMouse(Main(), WM_LBUTTONDOWN);
  PostTrayMouse(Main(), WM_LBUTTONUP);
  ASSERT_TRUE(WaitShown(true));

  // Minimising hides it too, by the title bar's button or from outside; a double click on the
  // icon runs Show Window, the menu's default item.
  PostMessageW(Main(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
  ASSERT_TRUE(WaitShown(false));
  EXPECT_TRUE(TrayIconShown(Main()));
  PostTrayMouse(Main(), WM_LBUTTONDBLCLK);
  ASSERT_TRUE(WaitShown(true));
  EXPECT_FALSE(IsIconic(Main()));
  ShowWindow(Main(), SW_MINIMIZE);
  ASSERT_TRUE(WaitShown(false));
  main->PostCommand(IDM_menuShowWindow);
  ASSERT_TRUE(WaitShown(true));
  EXPECT_TRUE(WaitFor([&] { return !IsIconic(Main()); }, 5s)) << "restored, not a minimised window";

  // The shell starting anew forgets every icon; the program adds its own again.
  NOTIFYICONDATAW gone{};
  gone.cbSize = sizeof gone;
  gone.hWnd = Main();
  gone.uID = 1;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));
  ASSERT_FALSE(TrayIconShown(Main()));
  SendMessageW(Main(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_TRUE(WaitTray(true));
}

TEST_F(KespHome, ExitFromTheTrayMenuEndsTheHiddenProgram) {
  scene.AddServer("Alpha");
  Start();
  ASSERT_TRUE(WaitServing(0));
  PostMessageW(Main(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitShown(false));

  PostTrayMouse(Main(), WM_RBUTTONDOWN);
  ASSERT_TRUE(WaitFor([&] { return !TopLevelWindows(Pid(), L"#32768").empty(); }, 10s)) << "TrayMenu";
  PressKey('E');  // &Exit
  const auto code = scene.WaitKespExit(20s);
  ASSERT_TRUE(code.has_value()) << "the program ended";
  EXPECT_EQ(*code, 0u);
  EXPECT_FALSE(TrayIconShown(Main())) << "the icon left with it";
  EXPECT_TRUE(scene.ServerRunning(*scene.Servers()[0])) << "the servers keep running";
}

TEST_F(KespHome, TheEndOfTheSessionLetsTheWindowClose) {
  scene.AddServer("Alpha", /*paused=*/true);
  Start();
  DWORD_PTR answer = 0;
  ASSERT_TRUE(SendMessageTimeoutW(Main(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &answer));
  EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
  EXPECT_FALSE(scene.WaitKespExit(300ms).has_value()) << "asking is not ending";
  PostMessageW(Main(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  const auto code = scene.WaitKespExit(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 0u);
}

// ------------------------------------------------------------------ boss key

class KespBossKey : public KespHome {
 protected:
  // Alpha's console is meant to be seen, Bravo's is not.
  void StartTwoServers() {
    scene.AddServer("Alpha");
    scene.AddServer("Bravo").HideServer = 1;
    UseBossKey();
    Start();
    ASSERT_TRUE(WaitServing(0));
    ASSERT_TRUE(WaitServing(1));
    ASSERT_TRUE(WaitConsole(Alpha(), true));
    ASSERT_TRUE(WaitConsole(Bravo(), false));
    ASSERT_TRUE(WaitTray(true));
  }
  const ServerEntry& Alpha() { return *scene.Servers()[0]; }
  const ServerEntry& Bravo() { return *scene.Servers()[1]; }
  void Press() { PressKey(kBossKey, kBossMods); }
  bool WaitBossHidden() {
    return WaitShown(false) && WaitTray(false) && WaitConsole(Alpha(), false) && WaitConsole(Bravo(), false);
  }
  bool WaitAllBack() {
    return WaitShown(true) && WaitTray(true) && WaitConsole(Alpha(), true) && WaitConsole(Bravo(), false);
  }
};

TEST_F(KespBossKey, PressedTwiceHidesEverythingThenBringsBackWhatWasShown) {
  StartTwoServers();
  Press();
  ASSERT_TRUE(WaitBossHidden());
  // The supervision keeps every console hidden meanwhile, and keeps supervising.
  // (a cycle under Wine takes its while: several of them pass in this time)
  EXPECT_FALSE(WaitConsole(Alpha(), true, 8s)) << "shown again behind the boss key";
  EXPECT_FALSE(IsWindowVisible(Main()));
  EXPECT_EQ(View().Cell(0, ColNetworkStatus), u"Normal");

  Press();
  ASSERT_TRUE(WaitAllBack());
  const auto stored = scene.ReadList();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].HideServer, 0) << "no setting changed";
  EXPECT_EQ(stored[1].HideServer, 1);
  EXPECT_FALSE(WaitConsole(Alpha(), false, 6s)) << "the cycles leave it shown";
}

TEST_F(KespBossKey, OpenDialogsAndMessageBoxesGoAndComeBackWithTheWindow) {
  StartTwoServers();
  struct Own {
    const char* what;
    std::function<HWND()> open;
    std::function<void(HWND)> close;
  } owns[] = {
      {"about box", [&] { return OpenDialog(IDM_menuAbout, L"About Tervane"); },
       [&](HWND about) { PostClick(about, IDC_btnOk); }},
      {"message box",
       [&] {
         main->PostCommand(IDM_menuDeleteServer);
         const auto box = WaitForMessageBox(Pid(), Main());
         return box ? box->hwnd : nullptr;
       },
       [&](HWND box) { MessageBoxWindow{box}.Press(IDNO); }},
  };
  for (const Own& own : owns) {
    HWND window = own.open();
    ASSERT_NE(window, nullptr) << own.what;
    ASSERT_TRUE(IsWindowVisible(window));
    Press();
    ASSERT_TRUE(WaitBossHidden()) << own.what;
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, 5s)) << own.what << " hidden";
    Press();
    ASSERT_TRUE(WaitAllBack()) << own.what;
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(window) != 0; }, 5s)) << own.what << " back";
    own.close(window);
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, 5s)) << own.what << " closed";
    main->Command(0);
  }
}

TEST_F(KespBossKey, PressedWhileInTheTrayHidesTheIconAndComesBackAsTheWindow) {
  StartTwoServers();
  PostMessageW(Main(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitShown(false));
  ASSERT_TRUE(TrayIconShown(Main()));
  Press();
  ASSERT_TRUE(WaitBossHidden());
  // The re-created taskbar does not bring back an icon that is meant to be hidden.
  SendMessageW(Main(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_FALSE(TrayIconShown(Main()));
  Press();
  EXPECT_TRUE(WaitAllBack()) << "the window, not the tray state";
}

TEST_F(KespBossKey, SecondStartWhileBossHiddenBringsEverythingBack) {
  StartTwoServers();
  Press();
  ASSERT_TRUE(WaitBossHidden());
  HANDLE second = scene.StartSecondKesp();
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(WaitForSingleObject(second, 20000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(second, &code);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(WaitAllBack());
  // The boss key goes on from the shown state.
  Press();
  EXPECT_TRUE(WaitBossHidden());
}

TEST_F(KespBossKey, StartsBossHiddenWhenEveryServerHidesItsConsole) {
  scene.AddServer("Alpha").HideServer = 1;
  scene.AddServer("Bravo").HideServer = 1;
  UseBossKey();
  Start(300, /*shown=*/false);
  ASSERT_TRUE(WaitServing(0));
  ASSERT_TRUE(WaitServing(1));
  EXPECT_FALSE(IsWindowVisible(Main()));
  EXPECT_FALSE(TrayIconShown(Main()));
  EXPECT_FALSE(IsWindowVisible(scene.ConsoleWindow(Alpha())));
  Press();
  EXPECT_TRUE(WaitShown(true));
  EXPECT_TRUE(WaitTray(true));
  EXPECT_FALSE(IsWindowVisible(scene.ConsoleWindow(Alpha()))) << "set to hidden";
}

TEST_F(KespBossKey, StartsBossHiddenWithNoServersButOnlyWithARegisteredKey) {
  UseBossKey();
  Start(300, /*shown=*/false);
  EXPECT_TRUE(WaitFor([&] { return main->StatusText() == u"Network Status Self Test: Normal"; }, 20s));
  EXPECT_FALSE(IsWindowVisible(Main()));
  EXPECT_FALSE(TrayIconShown(Main()));
  Press();
  EXPECT_TRUE(WaitShown(true));
  EXPECT_TRUE(WaitTray(true));
  main->PostCommand(IDM_menuExit);
  ASSERT_TRUE(scene.WaitKespExit(20s).has_value());

  // Taken by another program: not registered, no message, and the program starts shown.
  {
    TakenHotKey taken(kBossMods, kBossKey);
    ASSERT_TRUE(taken.ok());
    Start();
    EXPECT_TRUE(WaitTray(true));
    EXPECT_TRUE(NoMessageBoxFor(Pid(), Main(), 500ms));
    main->PostCommand(IDM_menuExit);
    ASSERT_TRUE(scene.WaitKespExit(20s).has_value());
  }

  // A key without a modifier is never registered at start-up.
  scene.BossKey() = BossKeyOptions{0, kBossKey, 1};
  Start();
  EXPECT_TRUE(WaitTray(true));
  PressKey(kBossKey);
  EXPECT_FALSE(WaitShown(false, 1s)) << "no boss key";
}

// ------------------------------------------------------------------ boss-key dialog

class KespBossKeyDialog : public KespBossKey {
 protected:
  static WORD HotKeyValue(HWND dialog) {
    return static_cast<WORD>(SendMessageW(GetDlgItem(dialog, IDC_HotKey1), HKM_GETHOTKEY, 0, 0));
  }
  static void SetHotKeyValue(HWND dialog, WORD vk, BYTE hotKeyFlags) {
    SendMessageW(GetDlgItem(dialog, IDC_HotKey1), HKM_SETHOTKEY, MAKEWORD(vk, hotKeyFlags), 0);
  }
  static bool Checked(HWND dialog) {
    return SendMessageW(GetDlgItem(dialog, IDC_cbUseBossKey), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  static void ClickCheckBox(HWND dialog) { SendMessageW(GetDlgItem(dialog, IDC_cbUseBossKey), BM_CLICK, 0, 0); }
  static bool HotKeyEnabled(HWND dialog) { return IsWindowEnabled(GetDlgItem(dialog, IDC_HotKey1)) != 0; }
  HWND Open() { return OpenDialog(IDM_menuBossKey, kBossKeyCaption); }
};

TEST_F(KespBossKeyDialog, OkRulesSavingAndTheTakenKey) {
  scene.AddServer("Alpha");
  Start();
  ASSERT_TRUE(WaitServing(0));
  ASSERT_TRUE(WaitConsole(*scene.Servers()[0], true));
  const BossKeyOptions none{0, 0, 0};
  auto stored = [&] { return scene.StoredBossKey().value_or(BossKeyOptions{9, 9, 9}); };
  auto same = [](const BossKeyOptions& a, const BossKeyOptions& b) {
    return a.BossKeyModifiers == b.BossKeyModifiers && a.BossKeyCode == b.BossKeyCode &&
           a.BossKeyEnabled == b.BossKeyEnabled;
  };

  HWND dialog = Open();
  ASSERT_NE(dialog, nullptr);
  RECT d{}, m{};
  GetWindowRect(dialog, &d);
  GetWindowRect(Main(), &m);
  EXPECT_NEAR((d.left + d.right) / 2, (m.left + m.right) / 2, 1) << "centred on the main window";
  EXPECT_NEAR((d.top + d.bottom) / 2, (m.top + m.bottom) / 2, 1);
  EXPECT_EQ(GetWindowLongW(dialog, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX | WS_MINIMIZEBOX), 0);
  EXPECT_FALSE(IsWindowEnabled(Main())) << "modal";
  EXPECT_EQ(Item(dialog, IDC_cbUseBossKey), u"&Use Boss Key");
  EXPECT_EQ(Item(dialog, IDC_btnOK), u"&OK");
  EXPECT_EQ(Item(dialog, IDC_btnCancel), u"&Cancel");
  EXPECT_EQ(GetWindowLongW(GetDlgItem(dialog, IDC_btnOK), GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
  wchar_t cls[64] = {};
  GetClassNameW(GetDlgItem(dialog, IDC_HotKey1), cls, 64);
  EXPECT_STREQ(cls, HOTKEY_CLASSW);
  EXPECT_FALSE(Checked(dialog));
  EXPECT_FALSE(HotKeyEnabled(dialog));
  EXPECT_EQ(HotKeyValue(dialog), 0);

  // An empty field: OK does nothing, checked or not.
  PostClick(dialog, IDC_btnOK);
  EXPECT_TRUE(NoMessageBoxFor(Pid(), dialog, 500ms));
  EXPECT_TRUE(IsWindowVisible(dialog));
  ClickCheckBox(dialog);
  EXPECT_TRUE(Checked(dialog));
  EXPECT_TRUE(HotKeyEnabled(dialog)) << "enabled exactly while checked";
  PostClick(dialog, IDC_btnOK);
  EXPECT_TRUE(NoMessageBoxFor(Pid(), dialog, 500ms));
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_TRUE(same(stored(), none)) << "nothing saved";

  // A free key: registered, saved, and it works at once.
  SetHotKeyValue(dialog, kBossKey, HOTKEYF_CONTROL | HOTKEYF_ALT);
  PostClick(dialog, IDC_btnOK);
  ASSERT_TRUE(WaitDialogGone(dialog));
  EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(Main()) != 0; }, 5s));
  EXPECT_TRUE(same(stored(), BossKeyOptions{kBossMods, kBossKey, 1}));
  Press();
  ASSERT_TRUE(WaitShown(false));
  ASSERT_TRUE(WaitTray(false));
  ASSERT_TRUE(WaitConsole(*scene.Servers()[0], false));
  Press();
  ASSERT_TRUE(WaitShown(true));
  ASSERT_TRUE(WaitTray(true));
  ASSERT_TRUE(WaitConsole(*scene.Servers()[0], true));

  // A key another program holds: the error box, owned by the dialog, which stays open; the
  // settings are stored and saved all the same.
  TakenHotKey taken(kTakenMods, kTakenKey);
  ASSERT_TRUE(taken.ok());
  dialog = Open();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(Checked(dialog));
  EXPECT_EQ(HotKeyValue(dialog), MAKEWORD(kBossKey, HOTKEYF_CONTROL | HOTKEYF_ALT));
  SetHotKeyValue(dialog, kTakenKey, HOTKEYF_CONTROL | HOTKEYF_SHIFT);
  PostClick(dialog, IDC_btnOK);
  const auto box = WaitForMessageBox(Pid(), dialog);
  ASSERT_TRUE(box.has_value()) << "error box owned by the dialog";
  EXPECT_EQ(box->Text(), u"Register Boss Key Failed!!!");
  EXPECT_TRUE(box->Press(IDOK));
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_TRUE(WaitFor([&] { return same(stored(), BossKeyOptions{kTakenMods, kTakenKey, 1}); }, 5s));

  // Cancel puts back what the dialog opened with; the stored settings keep the failed key and
  // the old key is given up.
  Cancel(dialog);
  dialog = Open();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(Checked(dialog));
  EXPECT_EQ(HotKeyValue(dialog), MAKEWORD(kBossKey, HOTKEYF_CONTROL | HOTKEYF_ALT));
  EXPECT_TRUE(same(stored(), BossKeyOptions{kTakenMods, kTakenKey, 1}));
  Cancel(dialog);
  Press();
  EXPECT_FALSE(WaitShown(false, 1s)) << "not registered any more";

  // Unchecked with a key: stored as off, nothing registered, the dialog closes.
  dialog = Open();
  ASSERT_NE(dialog, nullptr);
  ClickCheckBox(dialog);
  EXPECT_FALSE(HotKeyEnabled(dialog));
  PostClick(dialog, IDC_btnOK);
  ASSERT_TRUE(WaitDialogGone(dialog));
  EXPECT_TRUE(WaitFor([&] { return same(stored(), BossKeyOptions{kBossMods, kBossKey, 0}); }, 5s));
}

// ------------------------------------------------------------------ languages

TEST_F(KespHome, SwitchingTheLanguageRetranslatesCaptionsMessagesAndPausedRows) {
  scene.CopyLanguages();
  scene.AddServer("Alpha").Priority = 1;
  scene.AddServer("Bravo", /*paused=*/true).Priority = 2;
  Start();
  ASSERT_TRUE(main->Command(LanguageCommand("English.ini")));
  ASSERT_TRUE(WaitServing(0));
  EXPECT_EQ(View().ColumnCaption(0), u"Server Name");

  ASSERT_TRUE(main->Command(LanguageCommand("SimplifiedChinese.ini")));
  const char16_t* columns[] = {u"服务器名称", u"IP 地址",  u"端口",   u"可执行文件", u"优先级",
                               u"进程状态",   u"网络状态", u"地图",   u"玩家",       u"重启次数"};
  for (int c = 0; c < kColumnCount; ++c) EXPECT_EQ(View().ColumnCaption(c), columns[c]) << c;
  // Paused rows and every priority cell change at once; a running server's state follows at
  // its next cycle, the status bar at the next self-test.
  EXPECT_EQ(View().Cell(1, ColProcessStatus), u"暂停监视");
  EXPECT_EQ(View().Cell(1, ColNetworkStatus), u"暂停监视");
  EXPECT_EQ(View().Cell(0, ColPriority), u"高");
  EXPECT_EQ(View().Cell(1, ColPriority), u"实时");
  EXPECT_TRUE(WaitCell(0, ColProcessStatus, u"正常"));
  EXPECT_TRUE(WaitFor([&] { return main->StatusText() == u"网络状态自检：正常"; }, 10s)) << Narrow(main->StatusText());

  View().Select({0});
  EXPECT_EQ(ConfirmationText(IDM_menuDeleteServer), u"确定要删除“Alpha”吗？");
  View().Select({0, 1});
  EXPECT_EQ(ConfirmationText(IDM_menuCloseServer), u"确定要关闭所选的服务器吗？");

  View().Select({});
  HWND editor = OpenDialog(IDM_menuNewServer, L"新建监视的服务器");
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(Item(editor, IDC_lblServerName), u"服务器名称(&N)：");
  EXPECT_EQ(Item(editor, IDC_btnOK), u"确定(&O)");
  EXPECT_EQ(Item(editor, IDC_btnCancel), u"取消(&C)");
  EXPECT_EQ(Item(editor, IDC_cbbHideServer), u"隐藏服务器(&H)");
  EXPECT_EQ(Item(editor, IDC_btnProcessAffinity), u"处理器关联(&A) \u00BB");
  EXPECT_EQ(ComboItem(GetDlgItem(editor, IDC_cbbPriority), 2), u"实时");
  EXPECT_EQ(SendMessageW(GetDlgItem(editor, IDC_cbbPriority), CB_GETCURSEL, 0, 0), 1) << "the choice is kept";
  Cancel(editor);
  View().Select({0});
  editor = OpenDialog(IDM_menuEditServer, L"编辑服务器");
  ASSERT_NE(editor, nullptr);
  Cancel(editor);

  HWND boss = OpenDialog(IDM_menuBossKey, L"设置老板键");
  ASSERT_NE(boss, nullptr);
  EXPECT_EQ(Item(boss, IDC_cbUseBossKey), u"使用老板键(&U)");
  EXPECT_EQ(Item(boss, IDC_btnOK), u"确定(&O)");
  EXPECT_EQ(Item(boss, IDC_btnCancel), u"取消(&C)");
  Cancel(boss);

  // And back.
  ASSERT_TRUE(main->Command(LanguageCommand("English.ini")));
  EXPECT_EQ(View().ColumnCaption(0), u"Server Name");
  EXPECT_EQ(View().Cell(1, ColProcessStatus), u"Paused Monitor");
  EXPECT_EQ(View().Cell(0, ColPriority), u"High");
  View().Select({0});
  EXPECT_EQ(ConfirmationText(IDM_menuDeleteServer), u"Are you sure to Delete \"Alpha\"?");
  View().Select({});
  editor = OpenDialog(IDM_menuNewServer, L"New Server for Monitor");
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(Item(editor, IDC_btnOK), u"&OK");
  Cancel(editor);
  EXPECT_EQ(View().RowCount(), 2) << "no answer changed anything";
}

TEST_F(KespHome, OneOkCaptionSetsBothDialogsAndMissingKeysKeepTheLastLanguage) {
  scene.CopyLanguages({"SimplifiedChinese.ini"});
  WriteLanguageFile(scene.LanguagesDir() / "Only.ini",
                    u"[Language]\r\nLanguageID=0x0001\r\n[KESP]\r\nMenu_Caption=Only\r\nbtnOK.Caption=Go(&G)\r\n");
  scene.AddServer("Alpha", /*paused=*/true);
  Start();
  ASSERT_TRUE(main->Command(LanguageCommand("SimplifiedChinese.ini")));
  ASSERT_TRUE(main->Command(LanguageCommand("Only.ini")));

  // The editor's caption comes from the file applied now, the caption it had as the default.
  HWND editor = OpenDialog(IDM_menuNewServer, L"New Server for Monitor");
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(Item(editor, IDC_btnOK), u"Go(&G)");
  EXPECT_EQ(Item(editor, IDC_btnCancel), u"取消(&C)") << "kept from the language before";
  Cancel(editor);
  HWND boss = OpenDialog(IDM_menuBossKey, L"设置老板键");
  ASSERT_NE(boss, nullptr);
  EXPECT_EQ(Item(boss, IDC_btnOK), u"Go(&G)");
  Cancel(boss);
  View().Select({0});
  EXPECT_EQ(ConfirmationText(IDM_menuDeleteServer), u"确定要删除“Alpha”吗？");
  EXPECT_EQ(View().Cell(0, ColProcessStatus), u"暂停监视");
}

// The start-up choice follows the user's language, which Wine takes from the locale of the
// environment the tests run in (CTest runs this suite again with zh_CN and en_US).
TEST_F(KespHome, StartUpChoosesTheLanguageOfTheUser) {
  const LANGID user = GetUserDefaultLangID();
  const bool chinese = user == 0x0804;
  if (!chinese && (user & 0x3FF) != LANG_ENGLISH) GTEST_SKIP() << "no language file for 0x" << std::hex << user;
  scene.CopyLanguages();
  scene.AddServer("Alpha", /*paused=*/true);
  Start();
  EXPECT_EQ(View().ColumnCaption(0), chinese ? u"服务器名称" : u"Server Name");
  EXPECT_EQ(View().Cell(0, ColProcessStatus), chinese ? u"暂停监视" : u"Paused Monitor");
  View().Select({0});
  EXPECT_EQ(ConfirmationText(IDM_menuCloseServer),
            chinese ? u"确定要关闭“Alpha”吗？" : u"Are you sure to Close \"Alpha\"?");
  EXPECT_TRUE(WaitFor([&] {
    return main->StatusText() == (chinese ? u"网络状态自检：正常" : u"Network Status Self Test: Normal");
  }, 10s));
}

}  // namespace
}  // namespace tervane::gui
