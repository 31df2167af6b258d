// The main window TfrmTervane: the page control with the server list view LV and the log memo
// memLogs, the status bar, the main menu and the two context menus. It is given the monitor
// (the server list, texts, log, process control and supervision) that the program's entry
// point made over its list view, and owns the main window's logic, which hands every command
// to that monitor once the window's own confirmations are answered.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/supervisor.h"
#include "monitor/monitor.h"
#include "support/event_log.h"
#include "support/event_loop.h"
#include "support/unique_handle_win32.h"
#include "support/version.h"
#include "ui/boss_key.h"
#include "ui/language.h"
#include "ui/main_logic.h"
#include "ui/win32/list_view_win32.h"
#include "ui/win32/message_boxes.h"

namespace tervane::win32 {

class TfrmAddServer;
class TfrmAbout;
class TfrmSetBossKey;
class TCoolTrayIcon;
class HotKeyRegistrarWin32;
class WindowTexts;

inline constexpr wchar_t kMainWindowClass[] = L"TfrmTervane.UnicodeClass";
inline constexpr wchar_t kMainWindowCaption[] = L"Tervane v" TERVANE_VERSION_SHORT;
// Sent by a second start: show the window.
inline constexpr UINT kShowRequest = WM_USER + 1;
// Posted by SetTrayHint: the tray icon takes the kept hint on the window's thread.
inline constexpr UINT kTrayHintChanged = WM_APP + 2;
inline constexpr int kMainWindowWidth = 881;
inline constexpr int kMainWindowHeight = 517;
inline constexpr int kMainWindowMinWidth = 320;
// The mouse must move this far with the left button held before a row drag starts.
inline constexpr int kDragThreshold = 5;

// The service mode's operations, given by the program: the File menu's installed test, install
// and removal (answering 0 or the system's error code), and the stop request of Exit in the
// service. Missing ones count as not installed, failing, and doing nothing.
struct ServiceOperations {
  std::function<bool()> isInstalled;
  std::function<unsigned long()> install;
  std::function<unsigned long()> uninstall;
  std::function<void()> requestStop;
};

class TfrmTervane {
 public:
  // The window's creation: raises the timer resolution and makes the window (hidden) with its
  // list view, which the monitor is made over.
  TfrmTervane(EventLoop& loop, HINSTANCE instance);
  // The rest of the creation, with the monitor made over View(): the window's logic, the tray
  // icon, the boss key, the language entries; clears the view. The monitor is released before
  // the window (the entry point makes it after the window); so are the view's rows, which follow
  // the monitor's servers (a language retranslates them).
  void AttachMonitor(Monitor& monitor, ShownRows& rows);
  // The window's destruction: restores the timer resolution. The server processes keep running.
  ~TfrmTervane();
  TfrmTervane(const TfrmTervane&) = delete;
  TfrmTervane& operator=(const TfrmTervane&) = delete;

  HWND Handle() const { return hwnd_; }

  void AttachService(ServiceOperations operations) { service_ = std::move(operations); }
  // Exit in the service: asks the service manager to stop the service.
  void RequestServiceStop() {
    if (service_.requestStop) service_.requestStop();
  }

  // The dialogs, made after the window.
  void AttachDialogs(TfrmAddServer* editor, TfrmAbout* about, TfrmSetBossKey* bossKey = nullptr);

  // Start-up's choice of language for the user's language (GetUserDefaultLangID), after the
  // window and its dialogs are made and before the list is loaded.
  void ChooseLanguage();

  // Loads serverlist.dat, selects the first row and runs the first supervision cycle (which
  // starts the timer chain); a failing step skips the rest. Answers whether the window is shown
  // when the message loop starts.
  bool GuardedStartSteps();

  // Shows the window and brings it to the front.
  void ShowMainWindow();

  // Asks the window to close (Exit): the program ends when the close is allowed.
  void menuExit2Click();

  // Parts that other windows and start-up steps use.
  BossKeyOptions& BossKeySettings() { return monitor_->BossKeySettings(); }
  MessageTexts& Texts() { return monitor_->Texts(); }
  ListViewWin32& View() { return *view_; }
  MainWindowLogic& Logic() { return *logic_; }
  HMENU MainMenu() const { return mainMenu_; }
  // The Language submenu, holding the disabled placeholder None1 while there is no language.
  HMENU MenuLanguage() const;
  // ListViewMenu as built: the captions of its items, in ListMenuItem order.
  HMENU ListViewMenuItems() const { return listViewMenu_; }
  HMENU LogsMenu() const { return logsMenu_; }
  // TrayMenu: menuShowWindow (its default item), miSeparator, menuExit2.
  HMENU TrayMenu() const { return trayMenu_; }
  // The boss key's settings and registration, and the language entries.
  BossKey& BossKeyState() { return *bossKeyState_; }
  LanguageMenu& Languages() { return *languages_; }
  // Whether the tray icon is shown: false only while the program is boss-hidden (or before
  // start-up decided).
  bool TrayIconVisible() const;
  HWND PageControl() const { return pgcMain_; }

  // Set by the service's start event on the service thread and never cleared; Exit and the
  // close query read it on the window's thread.
  bool RunningAsService() const { return runningAsService_.load(); }
  void SetRunningAsService() { runningAsService_.store(true); }
  // The tray icon's hint: "KESP", "KESP(Service)" while the service runs. SetTrayHint may be
  // called from any thread: the hint is kept and the window's own thread applies it
  // (ApplyTrayHint, on kTrayHintChanged).
  void SetTrayHint(std::wstring hint);
  std::wstring TrayHint() const;
  bool ExitRequested = false;
  // The text of a key of section "KESP" in the language applied last, or nothing while no
  // language is applied (the editor's two captions come from it).
  std::function<std::optional<std::u16string>(std::u16string_view key, std::u16string_view current)>
      CurrentLanguageText;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK ListViewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR data);
  static LRESULT CALLBACK MemoProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                   UINT_PTR id, DWORD_PTR data);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  bool HandleListViewMouse(UINT message, WPARAM wParam, LPARAM lParam);

  void CreateChildren();
  void Layout();
  void ShowPage(int page);
  void OnCommand(int id);
  void OnListViewMenuItem(ListMenuItem item);
  void ListViewMenuPopup(LPARAM at);
  void LogsMenuPopup(LPARAM at);
  LRESULT OnNotify(NMHDR* header);

  // Hands the kept hint to the tray icon (window's thread).
  void ApplyTrayHint();

  // Close query: whether a close may end the program.
  bool CloseQuery();
  // Message 1025: a second start asks for the window.
  void ShowRequest();

  // The tray: the left click and Show Window bring the window up (with the tray icon); a
  // minimise or a refused close hides it into the tray.
  void CoolTrayIcon1Click();
  void ApplicationEvents1Minimize();
  // WM_HOTKEY: boss-hidden when the tray icon is shown, shown again otherwise.
  void BossKeyPressed();
  // The program's own open dialogs and message boxes go with the main window behind the boss
  // key and come back with it.
  void HideOwnWindows();
  void ShowOwnWindows();
  // The Language submenu's entries after the scan.
  void BuildLanguageMenu();

  // Start-up step of the boss key: answers whether the window is shown at start.
  bool InitBossKey();
  // Items whose actions belong to the service mode and the boss key.
  void menuFileClick();
  void menuInstallServiceClick();
  void menuUninstallServiceClick();
  void menuBossKeyClick();
  void menuAboutClick();
  void LanguageMenuItemClick(int index);

  // Row drag: armed by the left button on the view, started after the threshold.
  void LVMouseDown(POINT at);
  void DragMove(POINT at);
  void DragDrop(POINT at);
  void CancelDrag();

  EventLoop& loop_;
  HINSTANCE instance_;
  bool timerRaised_ = false;

  HWND hwnd_ = nullptr;
  HWND pgcMain_ = nullptr;
  HWND lv_ = nullptr;
  HWND memLogs_ = nullptr;
  HWND stsbSelfTest_ = nullptr;
  HMENU mainMenu_ = nullptr;
  // The loaded menu resources are owned here; each pop-up is their first submenu and goes
  // with them. The main menu goes with the window.
  UniqueMenu listViewMenuResource_;
  HMENU listViewMenu_ = nullptr;
  UniqueMenu logsMenuResource_;
  HMENU logsMenu_ = nullptr;
  UniqueMenu trayMenuResource_;
  HMENU trayMenu_ = nullptr;
  HCURSOR dragCursor_ = nullptr;
  UniqueIcon trayPicture_;

  std::unique_ptr<ListViewWin32> view_;
  std::unique_ptr<MessageBoxesWin32> boxes_;
  Monitor* monitor_ = nullptr;
  ShownRows* rows_ = nullptr;
  std::unique_ptr<MainWindowLogic> logic_;
  TfrmAddServer* editor_ = nullptr;
  TfrmAbout* about_ = nullptr;
  TfrmSetBossKey* bossKeyDialog_ = nullptr;
  std::unique_ptr<TCoolTrayIcon> CoolTrayIcon1_;
  std::unique_ptr<HotKeyRegistrarWin32> hotKeys_;
  std::unique_ptr<BossKey> bossKeyState_;
  std::unique_ptr<LanguageMenu> languages_;
  std::unique_ptr<WindowTexts> windowTexts_;

  struct DragState {
    bool armed = false;     // the left button went down on the view
    bool dragging = false;  // and the mouse has moved far enough with it held
    bool captured = false;  // the view holds the mouse for the drag
    POINT start{};
  } drag_;

  // The own windows the boss key hid, in the order they were found.
  std::vector<HWND> bossHidden_;

  ServiceOperations service_;
  std::atomic<bool> runningAsService_{false};
  mutable std::mutex trayHintMutex_;
  std::wstring trayHint_ = L"KESP";
};

}  // namespace tervane::win32
