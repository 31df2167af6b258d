#include "gui_driver_win32.h"

#include <commctrl.h>
#include <tlhelp32.h>
#include <winsock2.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "core/server_list.h"
#include "process/server_windows.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "ui/win32/tray_icon.h"

namespace tervane::gui {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(20ms);
  }
}

int FreeUdpPort() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return 0;
  const UniqueSocket s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!s) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int port = 0;
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    int length = sizeof addr;
    if (getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &length) == 0) port = ntohs(addr.sin_port);
  }
  return port;
}

std::u16string WindowText(HWND window) {
  wchar_t buffer[4096] = {};
  DWORD_PTR copied = 0;
  // WM_GETTEXT is carried across processes by the system.
  if (!SendMessageTimeoutW(window, WM_GETTEXT, std::size(buffer), reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL,
                           5000, &copied))
    return {};
  buffer[std::size(buffer) - 1] = L'\0';
  return U(buffer);
}

std::string Narrow(const std::u16string& text) { return Utf16ToUtf8(text); }

std::vector<HWND> TopLevelWindows(DWORD processId, const wchar_t* className, const wchar_t* caption,
                                  bool visibleOnly) {
  struct Search {
    DWORD pid;
    const wchar_t* cls;
    const wchar_t* caption;
    bool visibleOnly;
    std::vector<HWND> found;
  } search{processId, className, caption, visibleOnly, {}};
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != s->pid || (s->visibleOnly && !IsWindowVisible(w))) return TRUE;
        wchar_t cls[256] = {};
        GetClassNameW(w, cls, 256);
        if (wcscmp(cls, s->cls) != 0) return TRUE;
        if (s->caption) {
          wchar_t text[256] = {};
          GetWindowTextW(w, text, 256);
          if (wcscmp(text, s->caption) != 0) return TRUE;
        }
        s->found.push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// ------------------------------------------------------------------ the scene

Scene::Scene(const fs::path& parent, bool copyProgram) : process_(CreateProcessControl()) {
  std::random_device random;
  dir_ = parent.empty() ? fs::temp_directory_path() / ("tervane-gui-" + std::to_string(random()) + "-" +
                                                       std::to_string(GetCurrentProcessId()))
                        : parent / "Tervane";
  fs::create_directories(dir_);
  if (copyProgram) fs::copy_file(KESP_PATH, dir_ / "kesp.exe", fs::copy_options::overwrite_existing);
}

Scene::~Scene() {
  KillAll();
  std::error_code ignored;
  for (int attempt = 0; attempt < 50; ++attempt) {
    fs::remove_all(dir_, ignored);
    if (!fs::exists(dir_)) break;
    std::this_thread::sleep_for(100ms);
  }
}

void Scene::KillAll() {
  auto endProcess = [](UniqueKernelHandle& h) {
    if (!h) return;
    TerminateProcess(h.get(), 1);
    WaitForSingleObject(h.get(), 5000);
    h.reset();
  };
  endProcess(kesp_);
  for (UniqueKernelHandle& h : others_) endProcess(h);
  others_.clear();
  // Every stand-in of the folder, whoever started it.
  for (const auto& exe : executables_) {
    const Path path = exe.u16string();
    WaitFor(
        [&] {
          if (!process_->IsServerRunning(path)) return true;
          process_->TerminateServerProcess(path);
          return false;
        },
        10s);
  }
}

ServerEntry& Scene::AddServer(const std::string& name, bool paused) {
  const fs::path exe = SpareExecutable(name);
  auto e = std::make_unique<Server>(NewServerEntry());
  e->Name.assign(Utf8ToUtf16(name));
  e->FileName.assign(exe.u16string());
  const int port = FreeUdpPort();
  e->Params.assign(u"-game cstrike +map de_dust2 -console +ip 127.0.0.1 -port " + ToU16(port));
  e->IPAddress.assign("127.0.0.1");
  e->Port = static_cast<std::uint16_t>(port);
  e->Priority = 0;
  e->Affinity = 1;
  e->Paused = paused ? 1 : 0;
  servers_.push_back(std::move(e));
  return *servers_.back();
}

fs::path Scene::SpareExecutable(const std::string& folder) {
  const fs::path dir = dir_ / folder;
  fs::create_directories(dir);
  const fs::path exe = dir / "fakesrv.exe";
  fs::copy_file(FAKESRV_PATH, exe, fs::copy_options::overwrite_existing);
  executables_.push_back(exe);
  return exe;
}

void Scene::SaveList() {
  ServerList list;
  for (const auto& e : servers_) list.push_back(std::make_unique<Server>(*e));
  SaveServerList(list, bossKey_, ListPath().u16string());
}

std::optional<BossKeyOptions> Scene::StoredBossKey() const {
  const auto bytes = ListBytes();
  if (bytes.size() % kServerEntrySize != 3) return std::nullopt;
  const std::size_t at = bytes.size() - 3;
  return BossKeyOptions{bytes[at], bytes[at + 1], bytes[at + 2]};
}

void Scene::CopyLanguages(const std::vector<std::string>& names) {
  const fs::path from = fs::path(KESP_PATH).parent_path() / "Languages";
  fs::create_directories(LanguagesDir());
  for (const auto& entry : fs::directory_iterator(from)) {
    const std::string name = entry.path().filename().string();
    if (names.empty() || std::find(names.begin(), names.end(), name) != names.end())
      fs::copy_file(entry.path(), LanguagesDir() / name, fs::copy_options::overwrite_existing);
  }
}

std::vector<std::uint8_t> Scene::ListBytes() const {
  std::ifstream in(ListPath(), std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<ServerEntry> Scene::ReadList() const {
  const auto bytes = ListBytes();
  std::vector<ServerEntry> out;
  for (std::size_t at = 0; at + kServerEntrySize <= bytes.size(); at += kServerEntrySize) {
    ServerEntry e = ZeroEntry();
    std::memcpy(&e, bytes.data() + at, kServerEntrySize);
    out.push_back(e);
  }
  return out;
}

namespace {

// The program and the servers it starts write nothing to the test's output.
HANDLE NullDevice() {
  static const HANDLE device = [] {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       OPEN_EXISTING, 0, nullptr);
  }();
  return device;
}

UniqueKernelHandle StartProgram(const fs::path& exe, const fs::path& folder, DWORD* pid) {
  std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = NullDevice();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(exe.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      folder.wstring().c_str(), &startup, &info))
    return {};
  const UniqueKernelHandle thread(info.hThread);
  if (pid) *pid = info.dwProcessId;
  return UniqueKernelHandle(info.hProcess);
}

}  // namespace

bool Scene::StartKesp(int cycleMs, bool shown) {
  SetEnvironmentVariableW(L"TERVANE_TEST_CYCLE_MS", std::to_wstring(cycleMs).c_str());
  // Started from the temporary folder: the program must find serverlist.dat beside itself.
  kesp_ = StartProgram(dir_ / "kesp.exe", fs::temp_directory_path(), &pid_);
  if (!kesp_) return false;
  WaitFor(
      [&] {
        const auto found = TopLevelWindows(pid_, L"TfrmTervane.UnicodeClass", L"Tervane v2.3", shown);
        main_ = found.empty() ? nullptr : found.front();
        return main_ != nullptr;
      },
      20s);
  return main_ != nullptr;
}

HANDLE Scene::StartSecondKesp() {
  UniqueKernelHandle h = StartProgram(dir_ / "kesp.exe", fs::temp_directory_path(), nullptr);
  if (!h) return nullptr;
  others_.push_back(std::move(h));
  return others_.back().get();
}

std::optional<DWORD> Scene::WaitKespExit(std::chrono::milliseconds limit) {
  if (!kesp_ || WaitForSingleObject(kesp_.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(kesp_.get(), &code);
  return code;
}

HWND Scene::ConsoleWindow(const ServerEntry& e) {
  return reinterpret_cast<HWND>(process_->Windows()->FindServerConsoleWindow(e.FileName.str()));
}

DWORD Scene::ServerProcessId(const ServerEntry& e) {
  const HWND console = ConsoleWindow(e);
  DWORD pid = 0;
  if (console) GetWindowThreadProcessId(console, &pid);
  return pid;
}

// ------------------------------------------------------------------ remote memory

RemoteBuffer::RemoteBuffer(DWORD processId, std::size_t size) {
  process_.reset(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId));
  if (process_) remote_ = VirtualAllocEx(process_.get(), nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

RemoteBuffer::~RemoteBuffer() {
  if (remote_) VirtualFreeEx(process_.get(), remote_, 0, MEM_RELEASE);
}

bool RemoteBuffer::Write(const void* data, std::size_t size, std::size_t offset) {
  SIZE_T done = 0;
  return remote_ && WriteProcessMemory(process_.get(), static_cast<char*>(remote_) + offset, data, size, &done) &&
         done == size;
}

bool RemoteBuffer::Read(void* data, std::size_t size, std::size_t offset) const {
  SIZE_T done = 0;
  return remote_ && ReadProcessMemory(process_.get(), static_cast<char*>(remote_) + offset, data, size, &done) &&
         done == size;
}

// ------------------------------------------------------------------ the list view

namespace {
constexpr int kListViewId = 501;   // IDC_LV
constexpr int kStatusBarId = 503;  // IDC_stsbSelfTest
constexpr int kMemoId = 502;       // IDC_memLogs
constexpr std::size_t kTextRoom = 1024;

LRESULT Send(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(w, message, wParam, lParam, SMTO_NORMAL, 5000, &result);
  return static_cast<LRESULT>(result);
}
}  // namespace

RemoteListView::RemoteListView(HWND mainWindow) : lv_(GetDlgItem(mainWindow, kListViewId)) {
  GetWindowThreadProcessId(lv_, &pid_);
}

int RemoteListView::RowCount() const { return static_cast<int>(Send(lv_, LVM_GETITEMCOUNT, 0, 0)); }

std::u16string RemoteListView::Cell(int row, int column) const {
  RemoteBuffer remote(pid_, sizeof(LVITEMW) + kTextRoom * sizeof(wchar_t));
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote.Address()) + sizeof(LVITEMW));
  item.cchTextMax = static_cast<int>(kTextRoom);
  if (!remote.Write(&item, sizeof item)) return {};
  const auto copied = static_cast<std::size_t>(Send(lv_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                                    reinterpret_cast<LPARAM>(remote.Address())));
  std::vector<wchar_t> text(kTextRoom, L'\0');
  remote.Read(text.data(), kTextRoom * sizeof(wchar_t), sizeof(LVITEMW));
  text.back() = L'\0';
  return U(std::wstring_view(text.data(), copied < kTextRoom ? copied : 0));
}

RowTexts RemoteListView::Row(int row) const {
  RowTexts texts;
  for (int c = 0; c < kColumnCount; ++c) texts[static_cast<std::size_t>(c)] = Cell(row, c);
  return texts;
}

std::vector<std::u16string> RemoteListView::Column(int column) const {
  std::vector<std::u16string> out;
  for (int r = 0; r < RowCount(); ++r) out.push_back(Cell(r, column));
  return out;
}

bool RemoteListView::IsSelected(int row) const {
  return (Send(lv_, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

int RemoteListView::SelectedCount() const { return static_cast<int>(Send(lv_, LVM_GETSELECTEDCOUNT, 0, 0)); }

void RemoteListView::Select(const std::vector<int>& rows) const {
  RemoteBuffer remote(pid_, sizeof(LVITEMW));
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED;
  item.state = 0;
  remote.Write(&item, sizeof item);
  Send(lv_, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(remote.Address()));
  item.state = LVIS_SELECTED;
  remote.Write(&item, sizeof item);
  for (int row : rows)
    Send(lv_, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote.Address()));
}

RECT RemoteListView::RowRect(int row) const {
  RemoteBuffer remote(pid_, sizeof(RECT));
  RECT r{};
  r.left = LVIR_BOUNDS;
  remote.Write(&r, sizeof r);
  Send(lv_, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote.Address()));
  remote.Read(&r, sizeof r);
  POINT topLeft{r.left, r.top}, bottomRight{r.right, r.bottom};
  ClientToScreen(lv_, &topLeft);
  ClientToScreen(lv_, &bottomRight);
  return RECT{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y};
}

std::u16string RemoteListView::ColumnCaption(int column) const {
  RemoteBuffer remote(pid_, sizeof(LVCOLUMNW) + kTextRoom * sizeof(wchar_t));
  LVCOLUMNW c{};
  c.mask = LVCF_TEXT;
  c.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote.Address()) + sizeof(LVCOLUMNW));
  c.cchTextMax = static_cast<int>(kTextRoom);
  remote.Write(&c, sizeof c);
  if (!Send(lv_, LVM_GETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(remote.Address()))) return {};
  std::vector<wchar_t> text(kTextRoom, L'\0');
  remote.Read(text.data(), kTextRoom * sizeof(wchar_t), sizeof(LVCOLUMNW));
  text.back() = L'\0';
  return U(text.data());
}

int RemoteListView::ColumnWidth(int column) const {
  return static_cast<int>(Send(lv_, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

// ------------------------------------------------------------------ the main window

MainWindow::MainWindow(HWND hwnd) : hwnd_(hwnd) { GetWindowThreadProcessId(hwnd_, &pid_); }

bool MainWindow::Command(int id) const {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(hwnd_, WM_COMMAND, static_cast<WPARAM>(id), 0, SMTO_NORMAL, 10000, &result) != 0;
}

void MainWindow::PostCommand(int id) const { PostMessageW(hwnd_, WM_COMMAND, static_cast<WPARAM>(id), 0); }

std::u16string MainWindow::StatusText() const {
  HWND status = GetDlgItem(hwnd_, kStatusBarId);
  RemoteBuffer remote(pid_, kTextRoom * sizeof(wchar_t));
  // The single panel of a simple status bar: Windows keeps its text under SB_SIMPLEID, Wine
  // answers it for part 0.
  for (WPARAM part : {WPARAM{SB_SIMPLEID}, WPARAM{0}}) {
    std::vector<wchar_t> text(kTextRoom, L'\0');
    remote.Write(text.data(), kTextRoom * sizeof(wchar_t));
    const std::size_t length = LOWORD(Send(status, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(remote.Address())));
    if (length == 0 || length >= kTextRoom) continue;
    remote.Read(text.data(), kTextRoom * sizeof(wchar_t));
    return U(std::wstring_view(text.data(), length));
  }
  return {};
}

std::u16string MainWindow::LogText() const { return WindowText(GetDlgItem(hwnd_, kMemoId)); }

// ------------------------------------------------------------------ boxes and dialogs

std::u16string MessageBoxWindow::Text() const {
  // The message text is the box's static control 0xFFFF.
  return WindowText(GetDlgItem(hwnd, 0xFFFF));
}

bool MessageBoxWindow::Press(int button) const {
  PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hwnd, button)));
  return WaitFor([&] { return !IsWindow(hwnd) || !IsWindowVisible(hwnd); }, 10s);
}

namespace {
HWND FindOwnedBox(DWORD processId, HWND owner) {
  for (HWND w : TopLevelWindows(processId, L"#32770", L"Tervane"))
    if (GetWindow(w, GW_OWNER) == owner) return w;
  return nullptr;
}
}  // namespace

std::optional<MessageBoxWindow> WaitForMessageBox(DWORD processId, HWND owner, std::chrono::milliseconds limit) {
  HWND found = nullptr;
  WaitFor([&] { return (found = FindOwnedBox(processId, owner)) != nullptr; }, limit);
  if (!found) return std::nullopt;
  // The box may be shown before its text is in place.
  WaitFor([&] { return !WindowText(GetDlgItem(found, 0xFFFF)).empty(); }, 2s);
  return MessageBoxWindow{found};
}

bool NoMessageBoxFor(DWORD processId, HWND owner, std::chrono::milliseconds time) {
  return !WaitFor([&] { return FindOwnedBox(processId, owner) != nullptr; }, time);
}

HWND WaitForDialog(DWORD processId, const wchar_t* caption, std::chrono::milliseconds limit) {
  HWND found = nullptr;
  WaitFor(
      [&] {
        const auto windows = TopLevelWindows(processId, L"#32770", caption);
        found = windows.empty() ? nullptr : windows.front();
        return found != nullptr;
      },
      limit);
  return found;
}

bool WaitDialogGone(HWND dialog, std::chrono::milliseconds limit) {
  return WaitFor([&] { return !IsWindowVisible(dialog); }, limit);
}

void PostClick(HWND dialog, int controlId) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, controlId)));
}

// ------------------------------------------------------------------ tray

bool TrayIconShown(HWND owner) {
  // Looked up at run time, so that every program built with the driver links as before.
  using NotifyIcon = BOOL(WINAPI*)(DWORD, PNOTIFYICONDATAW);
  static const auto notify = reinterpret_cast<NotifyIcon>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"shell32.dll"), "Shell_NotifyIconW")));
  if (!notify) return false;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = owner;
  data.uID = win32::kTrayIconId;
  data.uFlags = 0;
  return notify(NIM_MODIFY, &data) != FALSE;
}

void PostTrayMouse(HWND owner, UINT mouseMessage) {
  PostMessageW(owner, win32::kTrayCallbackMessage, win32::kTrayIconId, mouseMessage);
}

// ------------------------------------------------------------------ keyboard

void PressKey(WORD virtualKey, UINT modifiers) {
  std::vector<WORD> keys;
  if (modifiers & MOD_CONTROL) keys.push_back(VK_CONTROL);
  if (modifiers & MOD_ALT) keys.push_back(VK_MENU);
  if (modifiers & MOD_SHIFT) keys.push_back(VK_SHIFT);
  keys.push_back(virtualKey);
  std::vector<INPUT> input;
  for (WORD k : keys) {
    INPUT down{};
    down.type = INPUT_KEYBOARD;
    down.ki.wVk = k;
    input.push_back(down);
  }
  for (auto k = keys.rbegin(); k != keys.rend(); ++k) {
    INPUT up{};
    up.type = INPUT_KEYBOARD;
    up.ki.wVk = *k;
    up.ki.dwFlags = KEYEVENTF_KEYUP;
    input.push_back(up);
  }
  SendInput(static_cast<UINT>(input.size()), input.data(), sizeof(INPUT));
}

// ------------------------------------------------------------------ mouse

namespace {
void SendMouse(DWORD flags) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = flags;
  SendInput(1, &input, sizeof input);
}
}  // namespace

void MouseDrag(POINT from, POINT to) {
  SetCursorPos(from.x, from.y);
  std::this_thread::sleep_for(100ms);
  SendMouse(MOUSEEVENTF_LEFTDOWN);
  std::this_thread::sleep_for(100ms);
  constexpr int kSteps = 12;
  for (int i = 1; i <= kSteps; ++i) {
    SetCursorPos(from.x + (to.x - from.x) * i / kSteps, from.y + (to.y - from.y) * i / kSteps);
    SendMouse(MOUSEEVENTF_MOVE);
    std::this_thread::sleep_for(40ms);
  }
  std::this_thread::sleep_for(100ms);
  SendMouse(MOUSEEVENTF_LEFTUP);
  std::this_thread::sleep_for(100ms);
}

void BringToFront(HWND window) {
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

}  // namespace tervane::gui
