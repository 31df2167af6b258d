// kesp on Windows, interactive: one instance per desktop. A second start asks the running one
// to show its window and ends; otherwise the main window and its dialogs are made, the server
// list is loaded, the first supervision cycle runs and the message loop carries the rest until
// the main window closes. The server processes keep running after the program ends.
#include <windows.h>
#include <commctrl.h>

#include "app/timing.h"
#include "support/event_loop.h"
#include "ui/win32/about_box.h"
#include "ui/win32/main_window.h"
#include "ui/win32/server_editor_dialog.h"

namespace {

constexpr wchar_t kApplicationTitle[] = L"Tervane";
constexpr wchar_t kApplicationClass[] = L"Tervane.Application";

// The application's own hidden window, which carries the application title.
HWND CreateApplicationWindow(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = instance;
  wc.lpszClassName = kApplicationClass;
  RegisterClassExW(&wc);
  return CreateWindowExW(0, kApplicationClass, kApplicationTitle, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                         instance, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  using namespace tervane;
  using namespace tervane::win32;

  // Before anything is made or read: a running instance is asked to show itself instead.
  if (HWND running = FindWindowW(kMainWindowClass, kMainWindowCaption)) {
    SendMessageW(running, kShowRequest, 0, 0);
    return 0;
  }

  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES |
                   ICC_HOTKEY_CLASS;
  InitCommonControlsEx(&controls);
  HWND application = CreateApplicationWindow(instance);

  int code = 0;
  {
    EventLoop loop;
    TfrmTervane mainWindow(loop, instance, TimingFromEnvironment());
    TfrmAddServer editor(instance, mainWindow.Handle(), mainWindow.Texts());
    TfrmAbout about(instance, mainWindow.Handle());
    mainWindow.AttachDialogs(&editor, &about);

    if (mainWindow.GuardedStartSteps()) mainWindow.ShowMainWindow();

    for (;;) {
      try {
        code = loop.Run();
        break;
      } catch (...) {
        // No handler's failure ends the program; the loop goes on.
      }
    }
  }
  if (application) DestroyWindow(application);
  return code;
}
