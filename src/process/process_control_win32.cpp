// Server process control on Windows: tool-help snapshots for the process list and each
// process's main module, file identity from GetFileInformationByHandle, and the windows of
// other processes through the user-interface calls.
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "process/params.h"
#include "process/process_control.h"

namespace tervane {
namespace {

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

HWND Hwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }

DWORD PriorityClass(std::uint8_t priority) {
  if (priority == 0) return NORMAL_PRIORITY_CLASS;
  if (priority == 1) return HIGH_PRIORITY_CLASS;
  return REALTIME_PRIORITY_CLASS;
}

// Everything after the last "\" or ":"; the whole path when it has neither.
std::u16string FileNamePart(const Path& fileName) {
  const std::size_t cut = fileName.find_last_of(u"\\:");
  return cut == Path::npos ? fileName : fileName.substr(cut + 1);
}

// The names of files compared as the file system compares them, without regard to case.
bool SameName(const wchar_t* name, const std::u16string& other) {
  return CompareStringOrdinal(name, -1, W(other), static_cast<int>(other.size()), TRUE) ==
         CSTR_EQUAL;
}

// The full path of a process's main module (its first module), or empty.
Path MainModulePath(DWORD processId) {
  HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
  if (modules == INVALID_HANDLE_VALUE) return {};
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  Path path;
  if (Module32FirstW(modules, &module)) {
    module.szExePath[MAX_PATH - 1] = L'\0';
    path.assign(reinterpret_cast<const char16_t*>(module.szExePath));
  }
  CloseHandle(modules);
  return path;
}

HANDLE OpenForIdentity(const Path& path) {
  return CreateFileW(W(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool SameFile(const Path& a, const Path& b) {
  HANDLE first = OpenForIdentity(a);
  if (first == INVALID_HANDLE_VALUE) return false;
  HANDLE second = OpenForIdentity(b);
  if (second == INVALID_HANDLE_VALUE) {
    CloseHandle(first);
    return false;
  }
  BY_HANDLE_FILE_INFORMATION one{};
  BY_HANDLE_FILE_INFORMATION two{};
  const bool same = GetFileInformationByHandle(first, &one) &&
                    GetFileInformationByHandle(second, &two) &&
                    one.dwVolumeSerialNumber == two.dwVolumeSerialNumber &&
                    one.nFileIndexHigh == two.nFileIndexHigh &&
                    one.nFileIndexLow == two.nFileIndexLow;
  CloseHandle(second);
  CloseHandle(first);
  return same;
}

// The id of the first process, in snapshot order, whose main module is the server's file.
std::optional<DWORD> FindServerProcess(const Path& fileName) {
  HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (processes == INVALID_HANDLE_VALUE) return std::nullopt;
  const std::u16string name = FileNamePart(fileName);
  std::optional<DWORD> found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(processes, &entry); more;
       more = Process32NextW(processes, &entry)) {
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    if (!SameName(entry.szExeFile, name) && !SameName(entry.szExeFile, fileName)) continue;
    const Path module = MainModulePath(entry.th32ProcessID);
    if (!module.empty() && SameFile(fileName, module)) {
      found = entry.th32ProcessID;
      break;
    }
  }
  CloseHandle(processes);
  return found;
}

// Messages to another program's window wait for that program; a hung dialog must not stop
// the supervision, so every message we send there gives up after this long.
constexpr UINT kSendTimeoutMs = 2000;

// The text of a window through WM_GETTEXTLENGTH and WM_GETTEXT; empty when it does not answer.
std::u16string WindowText(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                           &length) ||
      length == 0) {
    return {};
  }
  std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(),
                           reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &copied)) {
    return {};
  }
  buffer.back() = L'\0';
  return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()));
}

class WindowsProcessControl final : public IProcessControl {
 public:
  bool IsSameFile(const Path& a, const Path& b) override { return SameFile(a, b); }

  bool IsServerRunning(const Path& fileName) override {
    return FindServerProcess(fileName).has_value();
  }

  std::uint32_t StartServerProcess(const Path& fileName, const std::u16string& params,
                                   std::uint8_t priority, bool hide,
                                   std::uint32_t affinity) override {
    const std::u16string line = BuildCommandLine(fileName, params);
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(L'\0');
    const std::size_t cut = fileName.find_last_of(u"\\:");
    const Path folder = cut == Path::npos ? Path() : fileName.substr(0, cut + 1);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(hide ? SW_HIDE : SW_SHOWNOACTIVATE);
    PROCESS_INFORMATION created{};
    // A path without a folder has no working folder of its own: the monitor's is kept.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        PriorityClass(priority), nullptr, folder.empty() ? nullptr : W(folder),
                        &startup, &created)) {
      return GetLastError();
    }
    // The class is set once more: Wine starts every process in the normal class whatever the
    // creation flags say.
    SetPriorityClass(created.hProcess, PriorityClass(priority));
    SetProcessAffinityMask(created.hProcess, static_cast<DWORD_PTR>(affinity));
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return 0;
  }

  void TerminateServerProcess(const Path& fileName) override {
    const auto process = FindServerProcess(fileName);
    if (!process) return;
    HANDLE handle = OpenProcess(PROCESS_TERMINATE, FALSE, *process);
    if (!handle) return;
    TerminateProcess(handle, 0);
    CloseHandle(handle);
  }

  void SetServerPriority(const Path& fileName, std::uint8_t priority) override {
    const auto process = FindServerProcess(fileName);
    if (!process) return;
    HANDLE handle = OpenProcess(PROCESS_SET_INFORMATION, FALSE, *process);
    if (!handle) return;
    SetPriorityClass(handle, PriorityClass(priority));
    CloseHandle(handle);
  }

  void SetServerAffinity(const Path& fileName, std::uint32_t affinity) override {
    const auto process = FindServerProcess(fileName);
    if (!process) return;
    HANDLE handle = OpenProcess(PROCESS_SET_INFORMATION, FALSE, *process);
    if (!handle) return;
    SetProcessAffinityMask(handle, static_cast<DWORD_PTR>(affinity));
    CloseHandle(handle);
  }

  WindowHandle FindServerConsoleWindow(const Path& fileName) override {
    const auto process = FindServerProcess(fileName);
    if (!process) return 0;
    // Bounded, in case windows are reordered while we walk them.
    constexpr int kMaxWindows = 1 << 20;
    HWND window = GetWindow(GetTopWindow(GetDesktopWindow()), GW_HWNDFIRST);
    for (int seen = 0; window && seen < kMaxWindows;
         ++seen, window = GetWindow(window, GW_HWNDNEXT)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      if (owner != *process) continue;
      wchar_t className[64] = {};
      if (GetClassNameW(window, className, 64) > 0 &&
          std::wcscmp(className, L"ConsoleWindowClass") == 0) {
        return reinterpret_cast<WindowHandle>(window);
      }
    }
    return 0;
  }

  Path GetWindowProcessPath(WindowHandle window) override {
    DWORD owner = 0;
    GetWindowThreadProcessId(Hwnd(window), &owner);
    // A window that is gone has no owner; a module snapshot of process 0 would describe the
    // monitor itself.
    if (owner == 0) return {};
    return MainModulePath(owner);
  }

  WindowHandle FindFatalErrorWindow() override {
    return reinterpret_cast<WindowHandle>(FindWindowA(nullptr, kFatalErrorCaption));
  }

  std::u16string ReadFatalErrorMessage(WindowHandle dialog) override {
    if (dialog == 0) return {};  // else the search would run over the top-level windows
    HWND text = FindWindowExA(Hwnd(dialog), nullptr, "Static", nullptr);
    if (!text) return {};
    std::u16string message = WindowText(text);
    if (!message.empty()) return message;
    HWND next = FindWindowExA(Hwnd(dialog), text, "Static", nullptr);
    return next ? WindowText(next) : std::u16string();
  }

  void CloseWindow(WindowHandle window) override {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(Hwnd(window), WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
  }

  void SetWindowTitle(WindowHandle window, const std::u16string& title) override {
    SetWindowTextW(Hwnd(window), W(title));
  }

  bool IsIconic(WindowHandle window) override { return ::IsIconic(Hwnd(window)) != FALSE; }

  void ShowWindow(WindowHandle window, int showCommand) override {
    ::ShowWindow(Hwnd(window), showCommand);
  }

  void Sleep(unsigned milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

std::unique_ptr<IProcessControl> CreateProcessControl(const ProcessControlOptions&) {
  return std::make_unique<WindowsProcessControl>();
}

}  // namespace tervane
