// kesp on Windows. The run mode is chosen first: a service switch on the command line, or
// running under the installed service's account, takes the service path; anything else is the
// interactive program, one instance per desktop, where a second start asks the running one to
// show its window and ends. Both paths make the main window, the monitor over its list view
// (handed to the window) and the dialogs, load the server list and run the first supervision
// cycle; then the interactive program runs its message loop
// until the main window closes, and the service installs or removes itself (switches) or runs
// the message loop while the service framework talks to the service manager on its own thread.
// The server processes keep running after the program ends. "-version" without a service
// switch only shows the version and ends, before the run mode is chosen.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "app/observing.h"
#include "app/service/service_win32.h"
#include "app/timing.h"
#include "monitor/monitor.h"
#include "support/failures.h"
#include "support/text.h"
#include "support/event_loop.h"
#include "support/version.h"
#include "ui/win32/about_box.h"
#include "ui/win32/boss_key_dialog.h"
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

// The program's arguments, without the program's own path.
std::vector<std::u16string> CommandLineArguments() {
  std::vector<std::u16string> args;
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) return args;
  for (int i = 1; i < count; ++i) {
    const std::wstring arg(argv[i]);
    args.emplace_back(arg.begin(), arg.end());
  }
  LocalFree(argv);
  return args;
}

int RunMessageLoop(tervane::EventLoop& loop) {
  for (;;) {
    try {
      return loop.Run();
    } catch (...) {
      // No handler's failure ends the program; the loop goes on.
      tervane::NoteCaughtFailure("message loop");
    }
  }
}

// The service's events. Start (service thread): the window becomes the service's; the caption
// and the hint change on the window's own thread. Stop (control thread) and a failed connection
// (connection thread, the error already in the event log) end the message loop.
tervane::ServiceApplication::Events ServiceEvents(tervane::EventLoop& loop,
                                                  tervane::win32::TfrmTervane*& window) {
  return {
      .onStart =
          [&window] {
            window->SetRunningAsService();
            SetWindowTextW(window->Handle(), tervane::kServiceWindowCaption);
            window->SetTrayHint(tervane::kServiceTrayHint);
          },
      .onStop = [&loop] { loop.Quit(0); },
      .onConnectionFailed = [&loop](DWORD) { loop.Quit(0); },
  };
}

// The service application's run: the command line's install or removal, or the service itself
// until its stop (or a failed connection) ends the message loop.
int RunServiceApplication(tervane::ServiceApplication& service, const tervane::ServiceSwitches& switches,
                          tervane::EventLoop& loop) {
  if (switches.Any()) return tervane::RunServiceCommand(switches);
  service.Start();
  const int code = RunMessageLoop(loop);
  service.Finish();  // reports the stop and waits for the connection thread
  return code;
}

tervane::win32::ServiceOperations ServiceMenuOperations() {
  return {
      .isInstalled = [] { return tervane::IsKespServiceInstalled(); },
      .install = [] { return static_cast<unsigned long>(tervane::InstallKespService()); },
      .uninstall = [] { return static_cast<unsigned long>(tervane::UninstallKespService()); },
      .requestStop = [] { tervane::RequestKespServiceStop(); },
  };
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  using namespace tervane;
  using namespace tervane::win32;

  const std::vector<std::u16string> args = CommandLineArguments();
  const bool serviceSwitch = ParseServiceSwitches(args).Any();
  if (!serviceSwitch && HasVersionSwitch(args)) {
    MessageBoxW(nullptr, L"kesp (Tervane) " TERVANE_VERSION, kApplicationTitle, MB_OK | MB_ICONINFORMATION);
    return 0;
  }
  const bool asService = serviceSwitch || RunsUnderServiceAccount();

  // Interactive, before anything is made or read: a running instance is asked to show itself
  // instead. A running service is not found: its window has the service's caption.
  if (!asService) {
    if (HWND running = FindWindowW(kMainWindowClass, kMainWindowCaption)) {
      SendMessageW(running, kShowRequest, 0, 0);
      return 0;
    }
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
    // The service object comes before the windows; its events reach the main window.
    TfrmTervane* window = nullptr;
    std::unique_ptr<ServiceApplication> service;
    if (asService) service = std::make_unique<ServiceApplication>(ServiceEvents(loop, window));

    TfrmTervane mainWindow(loop, instance);
    window = &mainWindow;
    // The monitor over the window's list view, with VelUDP1 on a port of the system's choice;
    // released before the window. The test setting of the timings never reaches the service.
    MonitorOptions options;
    options.timing = TimingFromEnvironment(asService);
    // The runner of kesp.ini's update commands, when it names one: it outlives the monitor.
    std::unique_ptr<ICommandRunner> commandRunner;
    Monitor monitor(loop, mainWindow.View(), CreateProcessControl(), std::move(options));
    // What a catch-all swallowed, on any thread, is said in the log view with its text.
    const FailureNotices failureNotices(
        loop, [&monitor](const std::string& line) { monitor.Notice(kMonitorName, FromSystem8(line)); });
    monitor.CreateEndpoint();
    // The rows of the window's list view follow the servers; released before the monitor.
    ListRows rows(monitor.Changes(), monitor.Listed(), monitor.Texts(), mainWindow.View());
    mainWindow.AttachMonitor(monitor, rows);
    mainWindow.AttachService(ServiceMenuOperations());
    TfrmAddServer editor(instance, mainWindow.Handle(), mainWindow.Texts());
    TfrmAbout about(instance, mainWindow.Handle());
    TfrmSetBossKey bossKey(instance, mainWindow.Handle(), mainWindow.BossKeyState(), mainWindow.Texts());
    mainWindow.AttachDialogs(&editor, &about, &bossKey);
    mainWindow.ChooseLanguage();
    // kesp.ini's observers, when it asks for any; gone before the monitor and the window.
    const std::unique_ptr<Observatory> observing = StartObserving(loop, monitor, {}, &commandRunner);
    // How the servers learn of a game update, when kesp.ini names an update command; gone first.
    const std::unique_ptr<UpdateWatch> updateChecks = StartUpdateChecks(loop, monitor, commandRunner.get(), Path());

    const bool show = mainWindow.GuardedStartSteps();

    if (asService) {
      // No window is shown in the service.
      code = RunServiceApplication(*service, FrameworkSwitches(args), loop);
    } else {
      if (show) mainWindow.ShowMainWindow();
      code = RunMessageLoop(loop);
    }
    // An update command still running is ended with all it started; its servers, left down,
    // are started as missing by the next kesp.
    if (commandRunner) commandRunner->EndAll();
  }
  if (application) DestroyWindow(application);
  return code;
}
