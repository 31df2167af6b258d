// A process control with the servers' windows, held in memory for the unit tests of the
// supervision and the commands: servers run or not by executable path, windows are numbers,
// and every action is recorded.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "process/process_control.h"
#include "process/server_windows.h"
#include "support/text.h"

namespace tervane::testing {

class FakeProcessControl : public IProcessControl, public IServerWindows {
 public:
  struct Console {
    WindowHandle handle = 0;
    std::u16string title;
    int show = -1;  // the last show command
    bool iconic = false;
  };
  struct Dialog {
    Path owner;
    std::u16string message;
  };

  std::map<Path, bool> running;
  std::map<Path, std::uint32_t> startErrors;  // executables whose start fails with that code
  std::map<Path, Console> consoles;
  std::map<Path, ApplyErrors> applyErrors;  // what the system refuses of a server's settings
  std::map<Path, std::uint32_t> lookErrors;  // executables the system refuses to look for
  std::vector<Dialog> dialogs;  // open fatal-error dialogs, first found first
  std::vector<std::string> calls;
  int cycles = 0;
  std::function<void(const Path&)> beforeEnd;  // what a test looks at as a process is ended

  // Real files are compared by identity, made-up paths by their text.
  bool IsSameFile(const Path& a, const Path& b) override {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::path(a), ec) && std::filesystem::exists(std::filesystem::path(b), ec))
      return std::filesystem::equivalent(std::filesystem::path(a), std::filesystem::path(b), ec);
    return !a.empty() && UpperAscii16(a) == UpperAscii16(b);
  }
  bool IsServerRunning(const Path& f) override { return running[Key(f)]; }
  Look LookForServer(const Path& f) override {
    if (const auto refused = lookErrors.find(Key(f)); refused != lookErrors.end()) return Look::Unknown(refused->second);
    return running[Key(f)] ? Look::Running() : Look::Absent();
  }
  Expected<void> StartServerProcess(const Path& f, const std::u16string& params, std::uint8_t priority,
                                    bool hide, std::uint32_t affinity) override {
    calls.push_back("start " + Utf16ToUtf8(f) + " " + Utf16ToUtf8(params) + " p" +
                    std::to_string(priority) + (hide ? " hide" : " show") + " a" + std::to_string(affinity));
    if (const auto failure = startErrors.find(Key(f)); failure != startErrors.end())
      return Expected<void>::FromCode(failure->second);
    running[Key(f)] = true;
    return {};
  }
  Look TerminateServerProcess(const Path& f) override {
    if (beforeEnd) beforeEnd(f);
    if (const auto refused = lookErrors.find(Key(f)); refused != lookErrors.end()) {
      calls.push_back("end refused " + Utf16ToUtf8(f));
      return Look::Unknown(refused->second);
    }
    const bool was = running[Key(f)];
    calls.push_back("terminate " + Utf16ToUtf8(f));
    running[Key(f)] = false;
    return was ? Look::Running() : Look::Absent();
  }
  void SetServerPriority(const Path& f, std::uint8_t p) override {
    calls.push_back("priority " + Utf16ToUtf8(f) + " " + std::to_string(p));
  }
  void SetServerAffinity(const Path& f, std::uint32_t a) override {
    if (running[Key(f)]) calls.push_back("affinity " + Utf16ToUtf8(f) + " " + std::to_string(a));
  }
  ApplyErrors LastApplyErrors(const Path& f) override {
    const auto known = applyErrors.find(Key(f));
    return known == applyErrors.end() ? ApplyErrors{} : known->second;
  }
  IServerWindows* Windows() override { return this; }
  WindowHandle FindServerConsoleWindow(const Path& f) override {
    if (!running[Key(f)]) return 0;
    auto it = consoles.find(Key(f));
    return it == consoles.end() ? 0 : it->second.handle;
  }
  Path GetWindowProcessPath(WindowHandle w) override {
    if (w >= 1000 && w - 1000 < dialogs.size()) return dialogs[w - 1000].owner;
    return {};
  }
  WindowHandle FindFatalErrorWindow() override { return dialogs.empty() ? 0 : 1000; }
  std::u16string ReadFatalErrorMessage(WindowHandle w) override {
    return w >= 1000 && w - 1000 < dialogs.size() ? dialogs[w - 1000].message : u"";
  }
  void CloseWindow(WindowHandle w) override {
    calls.push_back("close " + std::to_string(w));
    if (w >= 1000 && w - 1000 < dialogs.size()) dialogs.erase(dialogs.begin() + static_cast<long>(w - 1000));
  }
  void SetWindowTitle(WindowHandle w, const std::u16string& title) override {
    if (Console* c = ByHandle(w)) c->title = title;
  }
  bool IsIconic(WindowHandle w) override {
    Console* c = ByHandle(w);
    return c && c->iconic;
  }
  void ShowWindow(WindowHandle w, int show) override {
    if (Console* c = ByHandle(w)) c->show = show;
    calls.push_back("show " + std::to_string(w) + " " + std::to_string(show));
  }
  void Sleep(unsigned ms) override { calls.push_back("sleep " + std::to_string(ms)); }
  void BeginCycle() override { ++cycles; }

  void AddConsole(const Path& f, WindowHandle handle) { consoles[Key(f)] = Console{handle, u"", -1, false}; }
  Console* ByHandle(WindowHandle w) {
    for (auto& [path, c] : consoles)
      if (c.handle == w) return &c;
    return nullptr;
  }
  static Path Key(const Path& f) { return UpperAscii16(f); }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
    return n;
  }
};

}  // namespace tervane::testing
