#include "ui/win32/main_window.h"

#include <commctrl.h>
#include <mmsystem.h>

#include <cstdlib>
#include <cwchar>
#include <stdexcept>
#include <utility>

#include "support/failures.h"
#include "support/language_keys.h"
#include "ui/win32/about_box.h"
#include "ui/win32/boss_key_dialog.h"
#include "ui/win32/list_view_menu.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/server_editor_dialog.h"
#include "ui/win32/tray_icon.h"
#include "ui/win32/win32_util.h"
#include "ui/win32/window_texts.h"

namespace tervane::win32 {

namespace {

constexpr UINT kTimerResolutionMs = 2;
constexpr int kPageServerList = 0;
constexpr int kPageLogs = 1;

POINT PointOf(LPARAM lParam) {
  return POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
}

ATOM RegisterMainWindowClass(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hIcon = static_cast<HICON>(LoadImageW(instance, L"MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                           GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  wc.hIconSm = static_cast<HICON>(LoadImageW(instance, L"MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kMainWindowClass;
  return RegisterClassExW(&wc);
}

// Collects the dialogs and message boxes (class "#32770") of the thread that are on screen.
BOOL CALLBACK CollectShownDialog(HWND window, LPARAM found) {
  wchar_t cls[16] = {};
  if (IsWindowVisible(window) && GetClassNameW(window, cls, 16) > 0 && std::wcscmp(cls, L"#32770") == 0)
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
  return TRUE;
}

}  // namespace

// ------------------------------------------------------------------ creation and destruction

TfrmTervane::TfrmTervane(EventLoop& loop, HINSTANCE instance) : loop_(loop), instance_(instance) {
  timerRaised_ = timeBeginPeriod(kTimerResolutionMs) == TIMERR_NOERROR;
  runningAsService_ = false;
  ExitRequested = false;

  RegisterMainWindowClass(instance_, WindowProc);
  mainMenu_ = LoadMenuW(instance_, MAKEINTRESOURCEW(IDR_MAINMENU));
  // WM_CREATE makes the child windows and the view.
  CreateWindowExW(0, kMainWindowClass, kMainWindowCaption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                  CW_USEDEFAULT, CW_USEDEFAULT, kMainWindowWidth, kMainWindowHeight, nullptr, mainMenu_,
                  instance_, this);
  if (hwnd_ == nullptr || !view_) throw std::runtime_error("the main window cannot be created");
  CenterOn(hwnd_, ScreenRect());
}

void TfrmTervane::AttachMonitor(Monitor& monitor, ShownRows& rows) {
  monitor_ = &monitor;
  rows_ = &rows;
  boxes_ = std::make_unique<MessageBoxesWin32>([this](BoxOwner owner) -> HWND {
    if (owner == BoxOwner::ServerEditor && editor_ && editor_->Showing()) return editor_->Handle();
    return hwnd_;
  });
  logic_ = std::make_unique<MainWindowLogic>(MainWindowContext{
      .monitor = *monitor_,
      .view = *view_,
      .boxes = *boxes_,
      .processorCount = [] { return ProcessorCount(); },
      .currentLanguageText =
          [this](std::u16string_view key, std::u16string_view current) -> std::optional<std::u16string> {
        if (!CurrentLanguageText) return std::nullopt;
        return CurrentLanguageText(key, current);
      },
  });

  // The tray icon with the program's icon and TrayMenu, hidden until start-up decides.
  trayMenuResource_.reset(LoadMenuW(instance_, MAKEINTRESOURCEW(IDR_TRAYMENU)));
  trayMenu_ = GetSubMenu(trayMenuResource_.get(), 0);
  SetMenuDefaultItem(trayMenu_, IDM_menuShowWindow, FALSE);
  trayPicture_.reset(static_cast<HICON>(LoadImageW(instance_, L"MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                   GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR)));
  CoolTrayIcon1_ = std::make_unique<TCoolTrayIcon>(hwnd_, trayPicture_.get(), U(TrayHint()), trayMenu_);
  CoolTrayIcon1_->OnClick = [this] { CoolTrayIcon1Click(); };

  hotKeys_ = std::make_unique<HotKeyRegistrarWin32>(hwnd_);
  bossKeyState_ = std::make_unique<BossKey>(monitor_->BossKeySettings(), *hotKeys_, [this] { logic_->SaveServerList(); });

  // The language files beside the program, one Language entry each.
  windowTexts_ = std::make_unique<WindowTexts>(
      MainWindowMenus{hwnd_, mainMenu_, listViewMenu_, trayMenu_, logsMenu_}, *view_, Texts());
  languages_ = std::make_unique<LanguageMenu>(LanguagesDir());
  CurrentLanguageText = [this](std::u16string_view key,
                               std::u16string_view current) -> std::optional<std::u16string> {
    const int applied = languages_->CurrentLanguageItem();
    if (applied < 0) return std::nullopt;
    return languages_->ReadLangString(kTextSection, key,
                                      languages_->Entries()[static_cast<std::size_t>(applied)].LanguageFile, current);
  };
  languages_->Scan();
  BuildLanguageMenu();

  view_->Clear();
  view_->ClearLog();
  ShowPage(kPageServerList);
}

TfrmTervane::~TfrmTervane() {
  if (timerRaised_) timeEndPeriod(kTimerResolutionMs);
  logic_.reset();
  monitor_ = nullptr;
  rows_ = nullptr;
  CoolTrayIcon1_.reset();  // the icon leaves the notification area with the program
  if (hwnd_ != nullptr && IsWindow(hwnd_)) {
    RemoveWindowSubclass(lv_, ListViewProc, 1);
    RemoveWindowSubclass(memLogs_, MemoProc, 1);
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  windowTexts_.reset();
  view_.reset();
}

void TfrmTervane::AttachDialogs(TfrmAddServer* editor, TfrmAbout* about, TfrmSetBossKey* bossKey) {
  editor_ = editor;
  about_ = about;
  bossKeyDialog_ = bossKey;
  windowTexts_->AttachDialogs(editor, bossKey);
}

bool TfrmTervane::TrayIconVisible() const { return CoolTrayIcon1_ && CoolTrayIcon1_->Visible(); }

void TfrmTervane::CreateChildren() {
  const HFONT font = UiFont();
  auto child = [&](DWORD exStyle, const wchar_t* cls, DWORD style, int id) {
    HWND w = CreateWindowExW(exStyle, cls, L"", WS_CHILD | style, 0, 0, 0, 0, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return w;
  };
  pgcMain_ = child(0, WC_TABCONTROLW, WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, IDC_pgcMain);
  const wchar_t* pages[] = {L"Server List", L"Logs"};
  for (int i = 0; i < 2; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(pages[i]);
    SendMessageW(pgcMain_, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
  }
  lv_ = child(WS_EX_CLIENTEDGE, WC_LISTVIEWW,
              WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER, IDC_LV);
  SendMessageW(lv_, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER,
               LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  memLogs_ = child(WS_EX_CLIENTEDGE, L"EDIT",
                   WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                   IDC_memLogs);
  stsbSelfTest_ = child(0, STATUSCLASSNAMEW, WS_VISIBLE | SBARS_SIZEGRIP, IDC_stsbSelfTest);
  // The page control lies under the controls of its pages.
  SetWindowPos(pgcMain_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  SetWindowSubclass(lv_, ListViewProc, 1, reinterpret_cast<DWORD_PTR>(this));
  SetWindowSubclass(memLogs_, MemoProc, 1, reinterpret_cast<DWORD_PTR>(this));
  view_ = std::make_unique<ListViewWin32>(lv_, memLogs_, stsbSelfTest_);

  listViewMenuResource_.reset(LoadMenuW(instance_, MAKEINTRESOURCEW(IDR_LISTVIEWMENU)));
  listViewMenu_ = GetSubMenu(listViewMenuResource_.get(), 0);
  logsMenuResource_.reset(LoadMenuW(instance_, MAKEINTRESOURCEW(IDR_LOGSMENU)));
  logsMenu_ = GetSubMenu(logsMenuResource_.get(), 0);
  dragCursor_ = LoadCursorW(instance_, MAKEINTRESOURCEW(IDCUR_DRAGMOVE));
}

HMENU TfrmTervane::MenuLanguage() const {
  // Settings is the second item of the menu bar, Language its first item.
  return GetSubMenu(GetSubMenu(mainMenu_, 1), 0);
}

// ------------------------------------------------------------------ start-up

bool TfrmTervane::GuardedStartSteps() {
  bool show = true;
  try {
    monitor_->Start();
    logic_->ShowListState();
    show = InitBossKey();
  } catch (...) {
    // A failing step skips the ones after it; the program runs on all the same.
    NoteCaughtFailure("start-up");
  }
  return show;
}

bool TfrmTervane::InitBossKey() {
  if (bossKeyDialog_) bossKeyDialog_->SetControls(bossKeyState_->DialogChecked(), bossKeyState_->DialogHotKey());
  // Registered, and no console meant to be seen: the program starts boss-hidden, and the boss
  // key (or a second start) brings it up.
  if (bossKeyState_->InitBossKey(monitor_->WindowRows())) {
    monitor_->SetConsolesHidden(true);
    return false;
  }
  CoolTrayIcon1_->SetVisible(true);
  return true;
}

void TfrmTervane::ChooseLanguage() {
  if (languages_->Entries().empty()) return;
  const int chosen = languages_->ChooseFor(GetUserDefaultLangID());
  if (chosen >= 0) LanguageMenuItemClick(chosen);
}

void TfrmTervane::ShowMainWindow() {
  ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd_);
}

void TfrmTervane::SetTrayHint(std::wstring hint) {
  {
    std::lock_guard<std::mutex> lock(trayHintMutex_);
    trayHint_ = std::move(hint);
  }
  PostMessageW(hwnd_, kTrayHintChanged, 0, 0);
}

std::wstring TfrmTervane::TrayHint() const {
  std::lock_guard<std::mutex> lock(trayHintMutex_);
  return trayHint_;
}

// The tray icon reads TrayHint() when it is shown; a shown icon takes the new hint here.
void TfrmTervane::ApplyTrayHint() {
  if (CoolTrayIcon1_) CoolTrayIcon1_->SetHint(U(TrayHint()));
}

void TfrmTervane::ShowRequest() {
  CoolTrayIcon1Click();
  logic_->ShowVisibleConsoles();
}

// ------------------------------------------------------------------ tray and boss key

void TfrmTervane::CoolTrayIcon1Click() {
  monitor_->SetConsolesHidden(false);
  if (IsIconic(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
  CoolTrayIcon1_->SetVisible(true);
  // The main window carries the taskbar button itself: showing it shows the button too.
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  BringWindowToTop(hwnd_);
  ShowOwnWindows();
}

void TfrmTervane::ApplicationEvents1Minimize() {
  // Into the tray: the window and its taskbar button go; the tray icon stays as it is.
  ShowWindow(hwnd_, SW_HIDE);
}

void TfrmTervane::BossKeyPressed() {
  if (CoolTrayIcon1_->Visible()) {
    CoolTrayIcon1_->SetVisible(false);
    ShowWindow(hwnd_, SW_HIDE);
    HideOwnWindows();
    logic_->HideAllConsoles();
    // The supervision keeps them hidden until the program comes back.
    monitor_->SetConsolesHidden(true);
    return;
  }
  CoolTrayIcon1Click();
  logic_->ShowVisibleConsoles();
}

void TfrmTervane::HideOwnWindows() {
  EnumThreadWindows(GetCurrentThreadId(), CollectShownDialog, reinterpret_cast<LPARAM>(&bossHidden_));
  for (HWND window : bossHidden_) ShowWindow(window, SW_HIDE);
}

void TfrmTervane::ShowOwnWindows() {
  const std::vector<HWND> hidden = std::exchange(bossHidden_, {});
  // A dialog of the program that ended meanwhile stays hidden; a message box that ended is gone.
  auto ended = [this](HWND window) {
    for (const ModalDialog* dialog : {static_cast<const ModalDialog*>(editor_), static_cast<const ModalDialog*>(about_),
                                      static_cast<const ModalDialog*>(bossKeyDialog_)})
      if (dialog && dialog->Handle() == window) return !dialog->Showing();
    return false;
  };
  HWND top = nullptr;
  for (HWND window : hidden) {
    if (!IsWindow(window) || ended(window)) continue;
    ShowWindow(window, SW_SHOW);
    if (!top) top = window;  // found first: the one that was on top
  }
  if (top) SetForegroundWindow(top);
}

// ------------------------------------------------------------------ layout

void TfrmTervane::Layout() {
  if (!pgcMain_) return;
  SendMessageW(stsbSelfTest_, WM_SIZE, 0, 0);
  RECT client{};
  GetClientRect(hwnd_, &client);
  const RECT status = WindowRectOf(stsbSelfTest_);
  const int pageHeight = (client.bottom - client.top) - (status.bottom - status.top);
  MoveWindow(pgcMain_, 0, 0, client.right, pageHeight > 0 ? pageHeight : 0, TRUE);
  RECT display{0, 0, client.right, pageHeight > 0 ? pageHeight : 0};
  SendMessageW(pgcMain_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&display));
  const int width = display.right > display.left ? display.right - display.left : 0;
  const int height = display.bottom > display.top ? display.bottom - display.top : 0;
  MoveWindow(lv_, display.left, display.top, width, height, TRUE);
  MoveWindow(memLogs_, display.left, display.top, width, height, TRUE);
}

void TfrmTervane::ShowPage(int page) {
  SendMessageW(pgcMain_, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
  ShowWindow(lv_, page == kPageServerList ? SW_SHOW : SW_HIDE);
  ShowWindow(memLogs_, page == kPageLogs ? SW_SHOW : SW_HIDE);
}

// ------------------------------------------------------------------ messages

LRESULT CALLBACK TfrmTervane::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<TfrmTervane*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TfrmTervane*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT TfrmTervane::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  // The tray icon's mouse messages and the taskbar's re-creation.
  if (CoolTrayIcon1_ && CoolTrayIcon1_->HandleMessage(message, wParam, lParam)) return 0;
  switch (message) {
    case WM_CREATE:
      CreateChildren();
      return 0;
    case WM_SIZE:
      // Minimised by any means: into the tray instead.
      if (wParam == SIZE_MINIMIZED) {
        ApplicationEvents1Minimize();
        return 0;
      }
      Layout();
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        ApplicationEvents1Minimize();
        return 0;
      }
      break;
    case WM_HOTKEY:
      // Only the boss key is ever registered.
      BossKeyPressed();
      return 0;
    case WM_GETMINMAXINFO:
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize.x = kMainWindowMinWidth;
      return 0;
    case WM_SETFOCUS:
      SetFocus(IsWindowVisible(lv_) ? lv_ : memLogs_);
      return 0;
    case WM_COMMAND:
      // Menu items and posted commands; the memo's own notifications carry its handle.
      if (lParam == 0) OnCommand(LOWORD(wParam));
      return 0;
    case WM_INITMENUPOPUP:
      if (reinterpret_cast<HMENU>(wParam) == GetSubMenu(mainMenu_, 0)) menuFileClick();
      return 0;
    case WM_NOTIFY:
      return OnNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wParam) == lv_) {
        ListViewMenuPopup(lParam);
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
      // The read-only memo keeps the colours of an editable one.
      if (reinterpret_cast<HWND>(lParam) == memLogs_) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case kShowRequest:
      ShowRequest();
      return 0;
    case kTrayHintChanged:
      ApplyTrayHint();
      return 0;
    case WM_QUERYENDSESSION:
      ExitRequested = true;
      return TRUE;
    case WM_ENDSESSION:
      // The session ends: the window closes as after Exit (the service's stays). A cancelled
      // end takes the request back, so that the close box hides into the tray again.
      if (wParam)
        SendMessageW(hwnd_, WM_CLOSE, 0, 0);
      else
        ExitRequested = false;
      return 0;
    case WM_CLOSE:
      if (CloseQuery()) DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      if (CoolTrayIcon1_) CoolTrayIcon1_->SetVisible(false);
      loop_.Quit(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT TfrmTervane::OnNotify(NMHDR* header) {
  if (header->hwndFrom == pgcMain_ && header->code == TCN_SELCHANGE) {
    ShowPage(static_cast<int>(SendMessageW(pgcMain_, TCM_GETCURSEL, 0, 0)));
    return 0;
  }
  if (header->hwndFrom == lv_) {
    switch (header->code) {
      case NM_DBLCLK:
        logic_->LVDblClick();
        return 0;
      case LVN_BEGINDRAG:
        // The control saw the mouse leave its small drag rectangle; the drag itself starts at
        // the program's own threshold, measured from where the button went down.
        if (!drag_.armed) LVMouseDown(reinterpret_cast<NMLISTVIEW*>(header)->ptAction);
        SetCapture(lv_);
        drag_.captured = true;
        return 0;
      default:
        return 0;
    }
  }
  return 0;
}

void TfrmTervane::OnCommand(int id) {
  if (id >= IDM_LISTVIEWMENU_FIRST && id < IDM_LISTVIEWMENU_FIRST + kListMenuItemCount) {
    OnListViewMenuItem(static_cast<ListMenuItem>(id - IDM_LISTVIEWMENU_FIRST));
    return;
  }
  if (id >= IDM_LANGUAGE_FIRST && id <= IDM_LANGUAGE_LAST) {
    LanguageMenuItemClick(id - IDM_LANGUAGE_FIRST);
    return;
  }
  switch (id) {
    case IDM_menuExit:
    case IDM_menuExit2:
      menuExit2Click();
      break;
    case IDM_menuShowWindow:
      CoolTrayIcon1Click();
      break;
    case IDM_menuInstallService:
      menuInstallServiceClick();
      break;
    case IDM_menuUninstallService:
      menuUninstallServiceClick();
      break;
    case IDM_menuBossKey:
      menuBossKeyClick();
      break;
    case IDM_menuAbout:
      menuAboutClick();
      break;
    case IDM_N1:
      view_->ClearLog();
      break;
    default:
      break;
  }
}

void TfrmTervane::OnListViewMenuItem(ListMenuItem item) {
  // As with a menu item, a disabled item does nothing; its state is the one the last pop-up set.
  if (!logic_->ListViewMenu().items[static_cast<size_t>(item)].enabled) return;
  switch (item) {
    case menuPauseServer:
    case menuUnpauseServer:
      logic_->menuPauseServerClick(item);
      break;
    case menuEditServer:
      if (editor_) logic_->menuEditServerClick(*editor_);
      break;
    case menuNewServer:
      if (editor_) logic_->menuNewServerClick(*editor_);
      break;
    case menuDeleteServer:
      logic_->menuDeleteServerClick();
      break;
    case menuShowServer:
    case menuHideServer:
      logic_->menuShowServerClick(item);
      break;
    case menuRestartServer:
      logic_->menuRestartServerClick();
      break;
    case menuCloseServer:
      logic_->menuCloseServerClick();
      break;
    default:
      break;
  }
}

void TfrmTervane::ListViewMenuPopup(LPARAM at) {
  logic_->ListViewMenuPopup();
  const ListViewMenuState& state = logic_->ListViewMenu();
  const UniqueMenu popup(BuildListViewMenuPopup(listViewMenu_, state));

  POINT point = PointOf(at);
  if (at == -1) {  // from the keyboard: at the first selected row, or the view's corner
    point = POINT{0, 0};
    const int row = view_->FirstSelected();
    RECT r{};
    r.left = LVIR_BOUNDS;
    if (row >= 0 && SendMessageW(lv_, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&r)))
      point = POINT{r.left, r.bottom};
    ClientToScreen(lv_, &point);
  }
  const UINT command = static_cast<UINT>(TrackPopupMenu(
      popup.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN | TPM_TOPALIGN, point.x, point.y, 0, hwnd_, nullptr));
  if (command != 0) OnCommand(static_cast<int>(command));
}

void TfrmTervane::LogsMenuPopup(LPARAM at) {
  POINT point = PointOf(at);
  if (at == -1) {
    point = POINT{0, 0};
    ClientToScreen(memLogs_, &point);
  }
  const UINT command = static_cast<UINT>(TrackPopupMenu(
      logsMenu_, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN | TPM_TOPALIGN, point.x, point.y, 0, hwnd_, nullptr));
  if (command != 0) OnCommand(static_cast<int>(command));
}

LRESULT CALLBACK TfrmTervane::MemoProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR data) {
  if (message == WM_CONTEXTMENU) {
    reinterpret_cast<TfrmTervane*>(data)->LogsMenuPopup(lParam);
    return 0;
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

// ------------------------------------------------------------------ closing

void TfrmTervane::menuExit2Click() {
  if (RunningAsService()) {  // the service ends only through the service manager's stop
    RequestServiceStop();
    return;
  }
  ExitRequested = true;
  SendMessageW(hwnd_, WM_CLOSE, 0, 0);
}

// Any close goes to the tray first; only Exit (or the session's end) lets it end the program,
// and never the service's.
bool TfrmTervane::CloseQuery() {
  ShowWindow(hwnd_, SW_HIDE);
  return ExitRequested && !RunningAsService();
}

// ------------------------------------------------------------------ menu items of other parts

void TfrmTervane::menuFileClick() {
  const bool installed = service_.isInstalled && service_.isInstalled();
  HMENU file = GetSubMenu(mainMenu_, 0);
  EnableMenuItem(file, IDM_menuInstallService, MF_BYCOMMAND | (installed ? MF_GRAYED : MF_ENABLED));
  EnableMenuItem(file, IDM_menuUninstallService, MF_BYCOMMAND | (installed ? MF_ENABLED : MF_GRAYED));
}

// The menu's results show only the message text, never the system's error.
void TfrmTervane::menuInstallServiceClick() {
  const bool ok = service_.install && service_.install() == 0;
  boxes_->Show(BoxOwner::MainWindow, ok ? BoxKind::Information : BoxKind::Warning,
               Texts().Get(ok ? Msg::MsgTextInstallServiceSuccessful : Msg::MsgTextInstallServiceFailed));
}

void TfrmTervane::menuUninstallServiceClick() {
  const bool ok = service_.uninstall && service_.uninstall() == 0;
  boxes_->Show(BoxOwner::MainWindow, ok ? BoxKind::Information : BoxKind::Warning,
               Texts().Get(ok ? Msg::MsgTextUninstallServiceSuccessful : Msg::MsgTextUninstallServiceFailed));
}
void TfrmTervane::menuBossKeyClick() {
  if (bossKeyDialog_) bossKeyDialog_->ShowModal();
}

// ------------------------------------------------------------------ languages

void TfrmTervane::BuildLanguageMenu() {
  HMENU menu = MenuLanguage();
  const auto& entries = languages_->Entries();
  for (std::size_t i = 0; i < entries.size() && IDM_LANGUAGE_FIRST + i <= IDM_LANGUAGE_LAST; ++i)
    AppendMenuW(menu, MF_STRING, IDM_LANGUAGE_FIRST + i, W(entries[i].Caption));
  // The placeholder None1 stays only as the one, disabled, entry.
  if (GetMenuItemCount(menu) > 1) DeleteMenu(menu, 0, MF_BYPOSITION);
}

void TfrmTervane::LanguageMenuItemClick(int index) {
  LanguageContext context{Texts(), logic_->Editor(), *windowTexts_, *rows_};
  if (!tervane::LanguageMenuItemClick(*languages_, index, context)) return;
  const auto& entries = languages_->Entries();
  for (std::size_t i = 0; i < entries.size() && IDM_LANGUAGE_FIRST + i <= IDM_LANGUAGE_LAST; ++i)
    CheckMenuItem(MenuLanguage(), static_cast<UINT>(IDM_LANGUAGE_FIRST + i),
                  MF_BYCOMMAND | (entries[i].Checked ? MF_CHECKED : MF_UNCHECKED));
  DrawMenuBar(hwnd_);
}

void TfrmTervane::menuAboutClick() {
  if (about_) about_->ShowModal();
}

// ------------------------------------------------------------------ row drag

LRESULT CALLBACK TfrmTervane::ListViewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                           DWORD_PTR data) {
  if (reinterpret_cast<TfrmTervane*>(data)->HandleListViewMouse(message, wParam, lParam)) return 0;
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

bool TfrmTervane::HandleListViewMouse(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_LBUTTONDOWN:
      LVMouseDown(PointOf(lParam));
      return false;  // the control selects the row as usual
    case WM_MOUSEMOVE:
      if (!drag_.armed) return false;
      if ((wParam & MK_LBUTTON) == 0) {
        CancelDrag();
        return false;
      }
      DragMove(PointOf(lParam));
      return drag_.dragging;
    case WM_LBUTTONUP:
      if (drag_.dragging) {
        // The control never saw the drag's moves: it must not take the release for a click.
        DragDrop(PointOf(lParam));
        return true;
      }
      CancelDrag();
      return false;
    case WM_SETCURSOR:
      return drag_.dragging;
    case WM_KEYDOWN:
      if (drag_.dragging && wParam == VK_ESCAPE) {
        CancelDrag();
        return true;
      }
      return false;
    case WM_CAPTURECHANGED:
      if (drag_.dragging && reinterpret_cast<HWND>(lParam) != lv_) CancelDrag();
      return false;
    default:
      return false;
  }
}

void TfrmTervane::LVMouseDown(POINT at) {
  drag_.armed = true;
  drag_.dragging = false;
  drag_.start = at;
}

void TfrmTervane::DragMove(POINT at) {
  if (!drag_.dragging) {
    if (std::abs(at.x - drag_.start.x) < kDragThreshold && std::abs(at.y - drag_.start.y) < kDragThreshold)
      return;
    drag_.dragging = true;
    SetCapture(lv_);
    drag_.captured = true;
  }
  const bool accepted = logic_->LVDragOver(true, view_->RowAt(at));
  SetCursor(accepted ? dragCursor_ : LoadCursorW(nullptr, IDC_NO));
}

void TfrmTervane::DragDrop(POINT at) {
  const int row = view_->RowAt(at);
  const bool accepted = logic_->LVDragOver(true, row);
  CancelDrag();
  if (accepted) logic_->LVDragDrop(row);
}

void TfrmTervane::CancelDrag() {
  const DragState was = drag_;
  drag_ = DragState{};  // first: releasing the capture comes back here
  if (was.captured && GetCapture() == lv_) ReleaseCapture();
  if (was.dragging) SetCursor(LoadCursorW(nullptr, IDC_ARROW));
}

}  // namespace tervane::win32
