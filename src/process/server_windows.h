// The windows of a server's process that the supervision and the commands handle: its console
// window (title, shown or hidden) and the fatal-error dialog of a crashed server. Only Windows
// has them; elsewhere the process control offers none, and no console window or fatal-error
// window is ever found.
#pragma once

#include <cstdint>
#include <string>

#include "support/file.h"

namespace tervane {

using WindowHandle = std::uintptr_t;  // 0: none

// Show commands as the window system numbers them.
inline constexpr int kShowHide = 0;            // SW_HIDE
inline constexpr int kShowNoActivate = 4;      // SW_SHOWNOACTIVATE
inline constexpr int kShowMinNoActivate = 7;   // SW_SHOWMINNOACTIVE

inline constexpr char kFatalErrorCaption[] = "Fatal error - Dedicated server";

class IServerWindows {
 public:
  virtual ~IServerWindows() = default;

  // The top-level window of class "ConsoleWindowClass" of the server's process, or 0.
  virtual WindowHandle FindServerConsoleWindow(const Path& fileName) = 0;
  // The executable path of the process that owns a window, or empty.
  virtual Path GetWindowProcessPath(WindowHandle window) = 0;
  // The first top-level window captioned "Fatal error - Dedicated server", or 0.
  virtual WindowHandle FindFatalErrorWindow() = 0;
  // The text of the dialog's first "Static" child, or of the next one when that is empty.
  virtual std::u16string ReadFatalErrorMessage(WindowHandle dialog) = 0;
  // Sends WM_CLOSE. Messages to another program's window give up after a few seconds, so a
  // hung dialog cannot stop the supervision.
  virtual void CloseWindow(WindowHandle window) = 0;
  virtual void SetWindowTitle(WindowHandle window, const std::u16string& title) = 0;
  virtual bool IsIconic(WindowHandle window) = 0;
  virtual void ShowWindow(WindowHandle window, int showCommand) = 0;
};

// Shows a server's console window without taking the focus (left minimised when it is), or
// hides it.
inline void ShowConsoleWindow(IServerWindows& windows, WindowHandle window, bool show) {
  windows.ShowWindow(window, !show                     ? kShowHide
                             : windows.IsIconic(window) ? kShowMinNoActivate
                                                        : kShowNoActivate);
}

}  // namespace tervane
