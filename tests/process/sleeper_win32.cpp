#include <windows.h>

#include <thread>

#include "sleeper.h"

namespace tervane::sleeper {
namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

void Register(const wchar_t* className) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className;
  RegisterClassW(&windowClass);
}

HWND CreateTopLevel(const wchar_t* className, const wchar_t* caption) {
  Register(className);
  return CreateWindowExW(0, className, caption, WS_OVERLAPPEDWINDOW, 10, 10, 300, 200, nullptr,
                         nullptr, GetModuleHandleW(nullptr), nullptr);
}

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());  // the tests use plain ASCII
}

}  // namespace

void Prepare(const Options& options) {
  if (options.decoy) {
    HWND decoy = CreateTopLevel(L"ConsoleWindowClassDecoy", L"decoy");
    ShowWindow(decoy, SW_SHOWNOACTIVATE);
  }
  if (options.console) {
    HWND console = CreateTopLevel(L"ConsoleWindowClass", L"sleeper console");
    // The show state the starting program asked for, as the system's console host applies it.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    ShowWindow(console, (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow
                                                                  : SW_SHOWNORMAL);
  }
  if (options.fatal) {
    HWND dialog = CreateTopLevel(L"SleeperFatalDialog", L"Fatal error - Dedicated server");
    int y = 10;
    for (const std::string& text : options.statics) {
      CreateWindowExW(0, L"Static", Wide(text).c_str(), WS_CHILD | WS_VISIBLE, 10, y, 250, 20,
                      dialog, nullptr, GetModuleHandleW(nullptr), nullptr);
      y += 25;
    }
    ShowWindow(dialog, SW_SHOWNOACTIVATE);
  }
}

void WaitUntil(const Options& options, Deadline deadline) {
  if (!options.messageBox.empty()) {
    MessageBoxA(nullptr, options.messageBox.c_str(), "Fatal error - Dedicated server",
                MB_OK | MB_ICONERROR);
  }
  if (options.hang) {
    std::this_thread::sleep_until(deadline);
    return;
  }
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

std::string RawCommandLine() {
  const wchar_t* line = GetCommandLineW();
  std::string text;
  for (const wchar_t* c = line; *c; ++c) text.push_back(static_cast<char>(*c));
  return text;
}

}  // namespace tervane::sleeper
