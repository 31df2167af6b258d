// The Windows service "kesp": its installation and removal, the installed test of the File
// menu, the account test of start-up, the stop request of Exit, and the service application
// that connects to the service control manager from a thread of its own while the main
// thread runs the message loop.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/unique_handle_win32.h"
#include "support/version.h"
#include "app/service_switches.h"

namespace tervane {

inline constexpr wchar_t kServiceName[] = L"kesp";
inline constexpr wchar_t kServiceDisplayName[] = L"Tervane";
// The main window's caption and the tray icon's hint once the service has started.
inline constexpr wchar_t kServiceWindowCaption[] = L"Tervane v" TERVANE_VERSION_SHORT " (Service)";
inline constexpr wchar_t kServiceTrayHint[] = L"KESP(Service)";

// The full path of the running executable.
std::wstring ExecutablePath();

// The service's binary path for an executable: the path in double quotes, without arguments, so
// that a folder with blanks ("C:\Program Files\...") can never be read as a shorter program.
[[nodiscard]] std::wstring ServiceBinaryPath(const std::wstring& executable);

// Creates the service with its definition: own process and interactive, automatic start,
// normal error control, ServiceBinaryPath of the running executable, the local system account.
// Answers 0 or the system's error code; the service is not started.
[[nodiscard]] DWORD InstallKespService();
// Deletes the service without stopping it. Answers 0 or the system's error code.
[[nodiscard]] DWORD UninstallKespService();

// The switches the service framework itself acts on: only after "-" or "/". Start-up also takes
// the service path for a "\" switch, but then the framework installs nothing and connects to
// the manager instead.
ServiceSwitches FrameworkSwitches(const std::vector<std::u16string>& args);

// The command-line failure texts, with the display name and the system's error text.
std::wstring InstallFailureText(DWORD error);
std::wstring UninstallFailureText(DWORD error);

// The framework's command line: installs ("INSTALL") or removes ("UNINSTALL") the service and
// reports in a box captioned "Tervane": success in an information box unless "SILENT", failure
// in an error box always. Neither starts nor stops the service. Answers the exit code.
int RunServiceCommand(const ServiceSwitches& switches);

// The File menu's test: a service that cannot be opened for a reason other than its absence
// (no rights) counts as installed; no access to the manager counts as not installed.
bool IsKespServiceInstalled();

// The start-up test: the service exists and its account ("LocalSystem" as "SYSTEM") is the
// user running this program.
bool RunsUnderServiceAccount();

// Exit in the service: asks the manager to stop the service when it is running.
void RequestKespServiceStop();

// Writes an error line to the Windows event log under the source "kesp".
void WriteEventLogError(const std::wstring& text);

// The service framework: Start runs the connection to the service control manager on its own
// thread. The start event runs on the service thread when the manager starts the service; the
// stop event runs on the manager's control thread when it asks the service to stop (it only
// posts the quit to the main loop). onConnectionFailed runs on the connection thread when the
// program was not started by the manager, or on the service thread when the service cannot
// take its controls; the error has then been written to the event log.
class ServiceApplication {
 public:
  struct Events {
    std::function<void()> onStart;
    std::function<void()> onStop;
    std::function<void(DWORD error)> onConnectionFailed;
  };
  explicit ServiceApplication(Events events);
  ~ServiceApplication();
  ServiceApplication(const ServiceApplication&) = delete;
  ServiceApplication& operator=(const ServiceApplication&) = delete;

  void Start();
  // After the main loop ended: reports the stop and waits for the connection thread.
  void Finish();

 private:
  static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
  static DWORD WINAPI Control(DWORD control, DWORD type, LPVOID data, LPVOID context);
  void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0);

  Events events_;
  std::thread connection_;
  std::atomic<SERVICE_STATUS_HANDLE> status_{nullptr};
  std::atomic<bool> registrationFailed_{false};
  UniqueKernelHandle stopped_;          // set when the service may report itself stopped
  UniqueKernelHandle connectionEnded_;  // set when the connection thread has done its work
  std::atomic<DWORD> checkPoint_{0};
};

}  // namespace tervane
