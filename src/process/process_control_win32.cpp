// Server process control on Windows: a tool-help snapshot for the process list, each
// process's image path from the process itself (its main module's snapshot only where that
// fails), file identity from GetFileInformationByHandle, the process of each server kept open
// from its start or its finding, and the windows of other processes through the user-interface
// calls.
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "process/params.h"
#include "process/process_control.h"
#include "process/server_windows.h"
#include "support/text_win32.h"
#include "support/unique_handle_win32.h"

namespace tervane {
namespace {

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

// The system's calls of a look, with the test hook that makes one fail in their place.
class Looker {
 public:
  Looker(std::function<std::uint32_t(LookCall)> fail, std::function<std::uint32_t(std::uint32_t)> failOpen)
      : fail_(std::move(fail)), failOpen_(std::move(failOpen)) {}

  // The hook's refusal of a call of that kind, set as the thread's last error; false: made.
  bool Refused(LookCall call) const { return Refusal(fail_ ? fail_(call) : 0); }
  // The same for opening one process (and reading its modules) to ask what it is.
  bool RefusedOpen(DWORD processId) const { return Refusal(failOpen_ ? failOpen_(processId) : 0); }

 private:
  static bool Refusal(std::uint32_t refused) {
    if (refused != 0) SetLastError(refused);
    return refused != 0;
  }

  std::function<std::uint32_t(LookCall)> fail_;
  std::function<std::uint32_t(std::uint32_t)> failOpen_;
};

// A process that is gone (or never was) answers these.
bool NoSuchProcess(DWORD error) { return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_FOUND; }

// The system short of memory or handles: a candidate it would not let us ask may be the
// server's, so the look knows nothing. Any other refusal is the process's own (another
// account's, a protected one): it is not taken for the server's, as no process of ours is.
bool SystemShort(DWORD error) {
  switch (error) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
    case ERROR_TOO_MANY_OPEN_FILES:
      return true;
    default:
      return false;
  }
}

// The full path of a process's main module (its first module), or empty. A 64-bit program
// cannot take the module snapshot of a 32-bit process everywhere (Wine answers error 998), so
// this is only the fallback of Examine.
[[nodiscard]] Path MainModulePath(DWORD processId) {
  const UniqueKernelHandle modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  if (!modules) return {};
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  if (!Module32FirstW(modules.get(), &module)) return {};
  module.szExePath[MAX_PATH - 1] = L'\0';
  return U(module.szExePath);
}

// The full path of an opened process's executable, or empty with the thread's last error set.
[[nodiscard]] Path OpenedImagePath(HANDLE process) {
  std::vector<wchar_t> buffer(32768, L'\0');
  DWORD size = static_cast<DWORD>(buffer.size());
  if (QueryFullProcessImageNameW(process, 0, buffer.data(), &size) && size > 0 && size < buffer.size())
    return U(std::wstring_view(buffer.data(), size));
  return {};
}

// What a process is: its executable's full path, or empty with why in error (0: the process is
// gone); and the process opened so that it can be kept and waited on, where the system allows.
struct Examined {
  Path image;
  DWORD error = 0;
  UniqueKernelHandle process;
};

// Asks the process itself, which works for 32-bit and 64-bit processes alike, else its module
// snapshot. Only the right to ask its name is needed; the right to wait on it is asked with it
// and left out where it is refused.
[[nodiscard]] Examined Examine(const Looker& looker, DWORD processId) {
  Examined examined;
  if (looker.RefusedOpen(processId)) {
    examined.error = GetLastError();
    return examined;
  }
  UniqueKernelHandle process;
  if (!looker.Refused(LookCall::ProcessDetail)) {
    process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (process) {
      examined.process = std::move(process);
      examined.image = OpenedImagePath(examined.process.get());
    } else if (GetLastError() == ERROR_ACCESS_DENIED) {
      process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
      if (process) examined.image = OpenedImagePath(process.get());
    }
    if (!examined.image.empty()) return examined;
  }
  examined.error = GetLastError();
  if (Path fallback = MainModulePath(processId); !fallback.empty()) {
    examined.error = 0;
    examined.image = std::move(fallback);
    return examined;
  }
  if (NoSuchProcess(examined.error)) examined.error = 0;
  return examined;
}

[[nodiscard]] Path ImagePath(const Looker& looker, DWORD processId) { return Examine(looker, processId).image; }

[[nodiscard]] UniqueKernelHandle OpenForIdentity(const Path& path) {
  return UniqueKernelHandle(CreateFileW(W(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Whether two paths name one file: yes, no, or not known when either cannot be asked.
[[nodiscard]] std::optional<bool> FileIdentity(const Path& a, const Path& b) {
  const UniqueKernelHandle first = OpenForIdentity(a);
  if (!first) return std::nullopt;
  const UniqueKernelHandle second = OpenForIdentity(b);
  if (!second) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION one{};
  BY_HANDLE_FILE_INFORMATION two{};
  if (!GetFileInformationByHandle(first.get(), &one) || !GetFileInformationByHandle(second.get(), &two))
    return std::nullopt;
  return one.dwVolumeSerialNumber == two.dwVolumeSerialNumber && one.nFileIndexHigh == two.nFileIndexHigh &&
         one.nFileIndexLow == two.nFileIndexLow;
}

[[nodiscard]] bool SameFile(const Path& a, const Path& b) { return FileIdentity(a, b).value_or(false); }

// What a search found: the id of the server's process, or none; error is set when a look the
// system refused (the snapshot, or a candidate it was short of resources to ask) leaves "none"
// unsure. A process found may come opened, to be kept.
struct Search {
  std::optional<DWORD> found;
  DWORD error = 0;
  UniqueKernelHandle process;
  Look Result() const { return found ? Look::Running() : error != 0 ? Look::Unknown(error) : Look::Absent(); }
};

// The first process, in snapshot order, whose main module is the server's file. A candidate
// that cannot be asked is skipped, unless the system was short of resources to ask it.
[[nodiscard]] Search FindServerProcess(const Looker& looker, const Path& fileName) {
  Search search;
  const UniqueKernelHandle processes(looker.Refused(LookCall::ProcessList)
                                         ? INVALID_HANDLE_VALUE
                                         : CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!processes) {
    search.error = GetLastError();
    if (search.error == 0) search.error = ERROR_NOT_ENOUGH_MEMORY;
    return search;
  }
  const std::u16string name = FileNamePart(fileName);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(processes.get(), &entry); more;
       more = Process32NextW(processes.get(), &entry)) {
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    if (!SameName(entry.szExeFile, name) && !SameName(entry.szExeFile, fileName)) continue;
    Examined examined = Examine(looker, entry.th32ProcessID);
    if (!examined.image.empty() && SameFile(fileName, examined.image)) {
      search.found = entry.th32ProcessID;
      search.error = 0;
      search.process = std::move(examined.process);
      break;
    }
    if (SystemShort(examined.error) && search.error == 0) search.error = examined.error;
  }
  return search;
}

// The server's process kept open: while a handle is open the system gives its id to no other
// process, so a kept process that has not ended is that very process.
struct Kept {
  UniqueKernelHandle process;  // may be waited on
  DWORD id = 0;
  bool looked = true;  // looked for since the cycle began
};

// Whether a kept process is still the server's: it has not ended, and its executable is not
// shown to be another file than the server's (an image or a file that cannot be asked now
// does not undo what was confirmed when it was kept).
[[nodiscard]] bool StillServers(const Kept& kept, const Path& fileName) {
  if (WaitForSingleObject(kept.process.get(), 0) != WAIT_TIMEOUT) return false;
  const Path image = OpenedImagePath(kept.process.get());
  return image.empty() || FileIdentity(fileName, image).value_or(true);
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
  return U(buffer.data());
}

// The process control and the windows of the servers' processes: both find a server's process
// by the same search.
class WindowsProcessControl final : public IProcessControl, public IServerWindows {
 public:
  explicit WindowsProcessControl(const ProcessControlOptions& options)
      : looker_(options.failLook, options.failOpenProcess) {}

  bool IsSameFile(const Path& a, const Path& b) override { return SameFile(a, b); }

  bool IsServerRunning(const Path& fileName) override { return LookForServer(fileName).IsRunning(); }

  Look LookForServer(const Path& fileName) override { return Locate(fileName).Result(); }

  Expected<void> StartServerProcess(const Path& fileName, const std::u16string& params, std::uint8_t priority,
                                    bool hide, std::uint32_t affinity) override {
    const std::u16string line = BuildCommandLine(fileName, params);
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(L'\0');
    // The executable's folder up to its last "\" or ":"; a path without one gives the empty
    // working folder, not the monitor's.
    const std::size_t cut = fileName.find_last_of(u"\\:");
    const Path folder = cut == Path::npos ? Path() : fileName.substr(0, cut + 1);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(hide ? SW_HIDE : SW_SHOWNOACTIVATE);
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, PriorityClass(priority), nullptr,
                        W(folder), &startup, &created)) {
      return SystemError{GetLastError()};
    }
    UniqueKernelHandle process(created.hProcess);
    const UniqueKernelHandle thread(created.hThread);
    // The class is set once more: Wine starts every process in the normal class whatever the
    // creation flags say.
    SetPriorityClass(process.get(), PriorityClass(priority));
    SetProcessAffinityMask(process.get(), static_cast<DWORD_PTR>(affinity));
    kept_[fileName] = Kept{std::move(process), created.dwProcessId, true};
    return {};
  }

  // A process that cannot be opened or ended is said, so that no second one is started.
  Look TerminateServerProcess(const Path& fileName) override {
    const Search search = Locate(fileName);
    if (!search.found) return search.Result();
    const UniqueKernelHandle handle(OpenProcess(PROCESS_TERMINATE, FALSE, *search.found));
    if (!handle) return NoSuchProcess(GetLastError()) ? Look::Absent() : Look::Unknown(GetLastError());
    if (!TerminateProcess(handle.get(), 0)) return Look::Unknown(GetLastError());
    return Look::Running();
  }

  void SetServerPriority(const Path& fileName, std::uint8_t priority) override {
    const auto process = Locate(fileName).found;
    if (!process) return;
    const UniqueKernelHandle handle(OpenProcess(PROCESS_SET_INFORMATION, FALSE, *process));
    if (!handle) return;
    SetPriorityClass(handle.get(), PriorityClass(priority));
  }

  void SetServerAffinity(const Path& fileName, std::uint32_t affinity) override {
    const auto process = Locate(fileName).found;
    if (!process) return;
    const UniqueKernelHandle handle(OpenProcess(PROCESS_SET_INFORMATION, FALSE, *process));
    if (!handle) return;
    SetProcessAffinityMask(handle.get(), static_cast<DWORD_PTR>(affinity));
  }

  IServerWindows* Windows() override { return this; }

  WindowHandle FindServerConsoleWindow(const Path& fileName) override {
    const auto process = Locate(fileName).found;
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
    return ImagePath(looker_, owner);
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

  // A server not looked for in a cycle (paused, removed) keeps no process open.
  void BeginCycle() override {
    for (auto& [fileName, kept] : kept_) kept.looked = false;
  }
  void EndCycle() override {
    std::erase_if(kept_, [](const auto& entry) { return !entry.second.looked; });
  }

 private:
  // The server's process: the one kept while it is still the server's, else the first of the
  // process list, then kept. The kept one answers even when the list could not be taken or
  // other processes of its name cannot be asked.
  Search Locate(const Path& fileName) {
    if (const auto known = kept_.find(fileName); known != kept_.end()) {
      if (StillServers(known->second, fileName)) {
        known->second.looked = true;
        return Search{known->second.id, 0, {}};
      }
      kept_.erase(known);
    }
    Search search = FindServerProcess(looker_, fileName);
    if (search.found && search.process) kept_[fileName] = Kept{std::move(search.process), *search.found, true};
    return search;
  }

  Looker looker_;
  // By the path the server was started or looked for with.
  std::unordered_map<Path, Kept> kept_;
};

}  // namespace

std::unique_ptr<IProcessControl> CreateProcessControl(const ProcessControlOptions& options) {
  return std::make_unique<WindowsProcessControl>(options);
}

}  // namespace tervane
