// The main window and its dialogs made inside the test process (with the program's own
// resources linked in), so that their menus can be read: under Wine another process cannot
// read a window's menus. The language files are the ones in "Languages" beside this program,
// made anew by each test.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/server_list.h"
#include "support/event_loop.h"
#include "support/file.h"
#include "support/language_keys.h"
#include "support/text.h"
#include "ui/win32/boss_key_dialog.h"
#include "ui/win32/main_window.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/server_editor_dialog.h"
#include "ui/win32/tray_icon.h"
#include "ui/win32/win32_util.h"
#include "ui/win32/window_texts.h"
#include "test_support.h"

namespace tervane::win32 {
namespace {

namespace fs = std::filesystem;

void WriteLanguageFile(const fs::path& path, const std::u16string& text) {
  tervane::testing::WriteBytes(path.u16string(), tervane::testing::Utf16File(text));
}

std::vector<std::u16string> Captions(HMENU menu) {
  std::vector<std::u16string> out;
  for (int i = 0; i < GetMenuItemCount(menu); ++i)
    out.push_back(MenuCaption(menu, static_cast<UINT>(i), true).value_or(u"(none)"));
  return out;
}

class KespWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    languages = fs::path(ProgramDir()) / "Languages";
    fs::remove_all(languages);
  }
  void TearDown() override {
    boss.reset();
    editor.reset();
    rows.reset();
    monitor.reset();
    window.reset();
    fs::remove_all(languages);
  }
  void CopyShipped() {
    fs::create_directories(languages);
    for (const char* name : {"English.ini", "SimplifiedChinese.ini"})
      fs::copy_file(fs::path(TERVANE_SOURCE_DIR) / "Languages" / name, languages / name,
                    fs::copy_options::overwrite_existing);
  }
  // The windows as start-up makes them: the main window, the monitor over its view (given to
  // the window, which then scans the language files), the editor, the boss-key dialog.
  void Make() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    window = std::make_unique<TfrmTervane>(loop, instance);
    monitor = std::make_unique<Monitor>(loop, window->View(), CreateProcessControl());
    monitor->CreateEndpoint();
    rows = std::make_unique<ListRows>(monitor->Changes(), monitor->Listed(), monitor->Texts(), window->View());
    window->AttachMonitor(*monitor, *rows);
    editor = std::make_unique<TfrmAddServer>(instance, window->Handle(), window->Texts());
    boss = std::make_unique<TfrmSetBossKey>(instance, window->Handle(), window->BossKeyState(), window->Texts());
    window->AttachDialogs(editor.get(), nullptr, boss.get());
  }
  // The entry of a file in the Language menu: the folder's order.
  int Entry(const char16_t* file) const {
    const auto files = ListFilesWithSuffix(languages.u16string() + u"\\", u".ini");
    const auto at = std::find(files.begin(), files.end(), std::u16string(file));
    EXPECT_NE(at, files.end());
    return static_cast<int>(at - files.begin());
  }
  void Click(int entry) { SendMessageW(window->Handle(), WM_COMMAND, IDM_LANGUAGE_FIRST + entry, 0); }
  bool CheckedEntry(int entry) const {
    return (GetMenuState(window->MenuLanguage(), IDM_LANGUAGE_FIRST + entry, MF_BYCOMMAND) & MF_CHECKED) != 0;
  }
  std::u16string Control(HWND dialog, int id) const { return GetText(GetDlgItem(dialog, id)); }

  fs::path languages;
  EventLoop loop;
  std::unique_ptr<TfrmTervane> window;
  std::unique_ptr<Monitor> monitor;
  std::unique_ptr<ListRows> rows;
  std::unique_ptr<TfrmAddServer> editor;
  std::unique_ptr<TfrmSetBossKey> boss;
};

TEST_F(KespWindows, WithoutLanguageFilesTheMenuKeepsItsDisabledPlaceholder) {
  Make();
  HMENU menu = window->MenuLanguage();
  ASSERT_EQ(GetMenuItemCount(menu), 1);
  EXPECT_EQ(GetMenuItemID(menu, 0), static_cast<UINT>(IDM_None1));
  EXPECT_EQ(MenuCaption(menu, 0, true), u"(&None)");
  EXPECT_NE(GetMenuState(menu, 0, MF_BYPOSITION) & MF_GRAYED, 0u);
  window->ChooseLanguage();
  EXPECT_EQ(window->Languages().CurrentLanguageItem(), -1);
  EXPECT_FALSE(window->CurrentLanguageText(u"frmAddServer.Caption", u"x").has_value()) << "no language applied";
  EXPECT_EQ(window->View().ColumnCaption(0), u"Server Name");
}

TEST_F(KespWindows, EachFileIsAnEntryAndStartUpChecksTheUsersLanguage) {
  CopyShipped();
  WriteLanguageFile(languages / "NoCaption.ini", u"[Language]\r\nLanguageID=1033\r\n");
  WriteLanguageFile(languages / "notes.txt", u"[KESP]\r\nMenu_Caption=Notes\r\n");
  Make();
  HMENU menu = window->MenuLanguage();
  ASSERT_EQ(GetMenuItemCount(menu), 3) << "the placeholder is gone";
  EXPECT_EQ(MenuCaption(menu, static_cast<UINT>(Entry(u"English.ini")), true), u"English");
  EXPECT_EQ(MenuCaption(menu, static_cast<UINT>(Entry(u"SimplifiedChinese.ini")), true), u"简体中文");
  EXPECT_EQ(MenuCaption(menu, static_cast<UINT>(Entry(u"NoCaption.ini")), true), u"(Not Define)");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(GetMenuItemID(menu, i), static_cast<UINT>(IDM_LANGUAGE_FIRST + i));
    EXPECT_FALSE(CheckedEntry(i));
  }

  // 0x0409 is served by two files: the later one in the menu wins.
  const LANGID user = GetUserDefaultLangID();
  window->ChooseLanguage();
  int expected = -1;
  if (user == 0x0804) expected = Entry(u"SimplifiedChinese.ini");
  if (user == 0x0409) expected = std::max(Entry(u"English.ini"), Entry(u"NoCaption.ini"));
  if ((user & 0x3FF) == LANG_ENGLISH && user != 0x0409) expected = std::min(Entry(u"English.ini"), Entry(u"NoCaption.ini"));
  if ((user & 0x3FF) == LANG_CHINESE && user != 0x0804) expected = Entry(u"SimplifiedChinese.ini");
  EXPECT_EQ(window->Languages().CurrentLanguageItem(), expected) << std::hex << user;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CheckedEntry(i), i == expected) << i;
}

TEST_F(KespWindows, ALanguageRetranslatesEveryMenuAndMovesTheCheckMark) {
  CopyShipped();
  Make();
  const int english = Entry(u"English.ini"), chinese = Entry(u"SimplifiedChinese.ini");

  Click(chinese);
  EXPECT_TRUE(CheckedEntry(chinese));
  EXPECT_FALSE(CheckedEntry(english));
  HMENU bar = window->MainMenu();
  EXPECT_EQ(Captions(bar), (std::vector<std::u16string>{u"文件(&F)", u"设置(&S)", u"帮助(&H)"}));
  EXPECT_EQ(Captions(GetSubMenu(bar, 0)), (std::vector<std::u16string>{u"安装服务(&I)", u"卸载服务(&U)", u"退出(&X)"}));
  EXPECT_EQ(Captions(GetSubMenu(bar, 1)), (std::vector<std::u16string>{u"语言(&L)", u"老板键(&B)..."}));
  EXPECT_EQ(Captions(GetSubMenu(bar, 2)), (std::vector<std::u16string>{u"关于(&A)..."}));
  EXPECT_EQ(Captions(window->TrayMenu()), (std::vector<std::u16string>{u"显示窗口(&S)...", u"-", u"退出(&E)"}));
  EXPECT_EQ(GetMenuItemID(window->TrayMenu(), 1), 0u) << "the separator stays one";
  EXPECT_EQ(GetMenuDefaultItem(window->TrayMenu(), FALSE, 0), static_cast<UINT>(IDM_menuShowWindow));
  EXPECT_EQ(Captions(window->ListViewMenuItems()),
            (std::vector<std::u16string>{u"暂停监视(&P)", u"恢复监视(&P)", u"-", u"编辑服务器(&E)...", u"新建服务器(&N)...",
                                         u"删除服务器(&D)...", u"-", u"显示服务器(&S)", u"隐藏服务器(&H)", u"-",
                                         u"重启服务器(&R)...", u"关闭服务器(&C)..."}));
  EXPECT_EQ(Captions(window->LogsMenu()), (std::vector<std::u16string>{u"清除日志(&C)"}));
  EXPECT_EQ(editor->DlgOpenFilter, u"可执行文件 (*.exe)|*.exe|所有文件 (*.*)|*.*");
  EXPECT_EQ(GetText(boss->Handle()), u"设置老板键");
  EXPECT_EQ(window->CurrentLanguageText(u"frmEditServer.Caption", u"x"), u"编辑服务器");

  Click(english);
  EXPECT_TRUE(CheckedEntry(english));
  EXPECT_FALSE(CheckedEntry(chinese));
  EXPECT_EQ(Captions(bar), (std::vector<std::u16string>{u"&File", u"&Settings", u"&Help"}));
  EXPECT_EQ(Captions(window->TrayMenu()), (std::vector<std::u16string>{u"&Show Window...", u"-", u"&Exit"}));
  EXPECT_EQ(Captions(window->LogsMenu()), (std::vector<std::u16string>{u"&Clear Logs"}));
  EXPECT_EQ(editor->DlgOpenFilter, u"Executable file (*.exe)|*.exe|Any file (*.*)|*.*");

  // The checked entry clicked again changes nothing, even a text changed by hand.
  SetText(boss->Handle(), u"changed");
  Click(english);
  EXPECT_EQ(GetText(boss->Handle()), u"changed");
  EXPECT_TRUE(CheckedEntry(english));
}

// A file giving every key of the three windows a text of its own: each key reaches one control
// of its own (a key without a control, or two keys on one control, would show here).
TEST_F(KespWindows, EveryKeyOfTheWindowsSetsItsOwnControl) {
  fs::create_directories(languages);
  std::u16string file = u"[Language]\r\nLanguageID=0x0001\r\n[KESP]\r\nMenu_Caption=All\r\n";
  auto value = [](const std::u16string& key) { return u"<" + key + u">"; };
  for (const LanguageKey& k : ApplyLanguageKeys())
    if (k.group != LanguageKeyGroup::MessageText) file += k.key + u"=" + value(k.key) + u"\r\n";
  WriteLanguageFile(languages / "All.ini", file);
  Make();
  Click(0);

  WindowTexts reader(MainWindowMenus{window->Handle(), window->MainMenu(), window->ListViewMenuItems(),
                                     window->TrayMenu(), window->LogsMenu()},
                     window->View(), window->Texts());
  reader.AttachDialogs(editor.get(), boss.get());
  int checked = 0;
  for (const LanguageKey& k : ApplyLanguageKeys()) {
    if (k.group == LanguageKeyGroup::MessageText) continue;
    if (k.key == u"None1.Caption") {
      EXPECT_FALSE(reader.Text(k.group, k.key).has_value()) << "the placeholder is gone";
      continue;
    }
    std::u16string expected = value(k.key);
    if (k.key == u"btnProcessAffinity.Caption") expected += u" \u00BB";  // the group is hidden
    EXPECT_EQ(reader.Text(k.group, k.key), expected) << Utf16ToUtf8(k.key);
    ++checked;
  }
  EXPECT_EQ(checked, 46 + 4 + 35);
  // A few read the plain way.
  EXPECT_EQ(window->View().ColumnCaption(9), u"<LV.Column[9].Caption>");
  EXPECT_EQ(Control(editor->Handle(), IDC_btnOK), u"<btnOK.Caption>");
  EXPECT_EQ(Control(boss->Handle(), IDC_btnOK), u"<btnOK.Caption>");
  EXPECT_EQ(Control(editor->Handle(), IDC_cbCPU0 + 31), u"<cbCPU31.Caption>");
  EXPECT_EQ(MenuCaption(window->TrayMenu(), 1, true), u"<miSeparator.Caption>") << "a separator given a text";
  EXPECT_EQ(GetText(boss->Handle()), u"<frmSetBosskey.Caption>");
}

TEST_F(KespWindows, ACancelledEndOfSessionLeavesTheCloseBoxHidingIntoTheTray) {
  Make();
  HWND main = window->Handle();
  EXPECT_EQ(SendMessageW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
  SendMessageW(main, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);  // another program refused
  EXPECT_FALSE(window->ExitRequested);
  SendMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(main)) << "closed into the tray, not ended";
}

TEST_F(KespWindows, LanguageFilesAreReadWithTheLongPathPrefix) {
  Make();
  EXPECT_EQ(window->Languages().Folder(), ProgramFilesDir() + u"Languages\\");
  EXPECT_EQ(window->Languages().Folder().rfind(u"\\\\?\\", 0), 0u) << "a folder deeper than 260 characters works";
}

TEST(TrayIcon, AClickIsAReleaseAfterAPressOnTheIcon) {
  struct Case {
    std::vector<UINT> mouse;
    int clicks;
  } cases[] = {
      {{WM_LBUTTONUP}, 0},                                               // pressed elsewhere
      {{WM_LBUTTONDOWN, WM_LBUTTONUP}, 1},                               // a click
      {{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}, 1},  // a double click
      {{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDOWN, WM_LBUTTONUP}, 2},    // two slow clicks
      {{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONUP}, 1},
  };
  for (const Case& c : cases) {
    TCoolTrayIcon icon(nullptr, nullptr, u"KESP", nullptr);
    int clicks = 0;
    icon.OnClick = [&] { ++clicks; };
    for (UINT m : c.mouse) EXPECT_TRUE(icon.HandleMessage(kTrayCallbackMessage, kTrayIconId, m));
    EXPECT_EQ(clicks, c.clicks) << c.mouse.size() << " messages";
  }
}

TEST(TrayHint, CutAt127Units) {
  wchar_t tip[128];
  CopyTrayHint(u"KESP(Service)", tip);
  EXPECT_STREQ(tip, L"KESP(Service)");
  CopyTrayHint(std::u16string(200, u'x'), tip);
  EXPECT_EQ(std::wstring(tip), std::wstring(127, L'x'));
  CopyTrayHint(u"", tip);
  EXPECT_STREQ(tip, L"");
}

}  // namespace
}  // namespace tervane::win32
