#include "app/service/service_win32.h"

#include <lmcons.h>

#include <cstdint>
#include <cwchar>
#include <memory>
#include <vector>

#include "support/unique_handle_win32.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "app/service_switches.h"

namespace tervane {
namespace {

// The event log's source handle, closed by its own call.
struct EventSourceTraits {
  using Value = HANDLE;
  static HANDLE None() { return nullptr; }
  static bool IsValid(HANDLE h) { return h != nullptr; }
  static void Close(HANDLE h) { DeregisterEventSource(h); }
};

ServiceApplication* g_application = nullptr;

// The last error of a failed call; a failure that left no code still counts as one.
DWORD LastFailure() {
  const DWORD error = GetLastError();
  return error ? error : ERROR_GEN_FAILURE;
}

// The outcome of an installation or removal: the error, and whether it was the manager itself
// that could not be opened.
struct ServiceCommandResult {
  DWORD error = 0;
  bool managerFailed = false;
};

ServiceCommandResult Install() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return {LastFailure(), true};
  const std::wstring path = ServiceBinaryPath(ExecutablePath());
  UniqueServiceHandle service(CreateServiceW(manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr,
                                       nullptr, nullptr, nullptr, L""));
  return {service ? 0 : LastFailure(), false};
}

ServiceCommandResult Uninstall() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return {LastFailure(), true};
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!service) return {LastFailure(), false};
  return {DeleteService(service.get()) ? 0 : LastFailure(), false};
}

std::wstring FailureText(const wchar_t* action, DWORD error) {
  return std::wstring(L"Service \"") + kServiceDisplayName + L"\" failed to " + action + L" with error: \"" +
         W(SystemErrorText(error)) + L"\"";
}

void ShowBox(const std::wstring& text, UINT icon) {
  MessageBoxW(nullptr, text.c_str(), kServiceDisplayName, MB_OK | icon);
}

}  // namespace

std::wstring ExecutablePath() {
  std::wstring buf(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  buf.resize(n < buf.size() ? n : 0);
  return buf;
}

std::wstring ServiceBinaryPath(const std::wstring& executable) { return L"\"" + executable + L"\""; }

DWORD InstallKespService() { return Install().error; }

DWORD UninstallKespService() { return Uninstall().error; }

ServiceSwitches FrameworkSwitches(const std::vector<std::u16string>& args) {
  std::vector<std::u16string> framework;
  for (const auto& arg : args)
    if (!arg.empty() && (arg[0] == u'-' || arg[0] == u'/')) framework.push_back(arg);
  return ParseServiceSwitches(framework);
}

std::wstring InstallFailureText(DWORD error) { return FailureText(L"install", error); }
std::wstring UninstallFailureText(DWORD error) { return FailureText(L"uninstall", error); }

int RunServiceCommand(const ServiceSwitches& switches) {
  if (!switches.Any()) return 0;
  const bool install = switches.install;  // both given: the installation wins
  const ServiceCommandResult r = install ? Install() : Uninstall();
  if (r.managerFailed) {
    ShowBox(W(SystemErrorText(r.error)), MB_ICONERROR);
    return 1;
  }
  if (r.error) {
    ShowBox(install ? InstallFailureText(r.error) : UninstallFailureText(r.error), MB_ICONERROR);
    return 1;
  }
  if (!switches.silent)
    ShowBox(install ? L"Service installed successfully" : L"Service uninstalled successfully",
            MB_ICONINFORMATION);
  return 0;
}

bool IsKespServiceInstalled() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (service) return true;
  return GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

bool RunsUnderServiceAccount() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!service) return false;
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  if (needed == 0) return false;
  std::vector<std::uint8_t> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) return false;
  const std::wstring account = config->lpServiceStartName ? config->lpServiceStartName : L"";
  wchar_t user[UNLEN + 1] = {};
  DWORD size = UNLEN + 1;
  if (!GetUserNameW(user, &size)) return false;
  return AccountMatches(std::u16string(account.begin(), account.end()),
                        std::u16string(user, user + wcslen(user)));
}

void RequestKespServiceStop() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return;
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!service) return;
  SERVICE_STATUS status{};
  if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING)
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
}

void WriteEventLogError(const std::wstring& text) {
  const UniqueHandle<EventSourceTraits> source(RegisterEventSourceW(nullptr, kServiceName));
  if (!source) return;
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source.get(), EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
}

ServiceApplication::ServiceApplication(Events events)
    : events_(std::move(events)),
      stopped_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      connectionEnded_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ServiceApplication::~ServiceApplication() { Finish(); }

void ServiceApplication::Start() {
  g_application = this;
  connection_ = std::thread([this] {
    static wchar_t name[] = L"kesp";
    SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceApplication::ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
      const DWORD error = GetLastError();
      WriteEventLogError(W(SystemErrorText(error)));
      if (events_.onConnectionFailed) events_.onConnectionFailed(error);
    }
    SetEvent(connectionEnded_.get());
  });
}

void ServiceApplication::Finish() {
  if (stopped_) SetEvent(stopped_.get());
  if (connection_.joinable()) {
    if (registrationFailed_) {
      // The manager still counts the service as starting and keeps the dispatcher: the program
      // ends without it.
      connection_.detach();
    } else {
      // Until the dispatcher has ended, the service thread may still send to this thread's
      // windows (the start event sets the caption): such messages are handled while waiting.
      const HANDLE ended = connectionEnded_.get();
      while (MsgWaitForMultipleObjects(1, &ended, FALSE, INFINITE, QS_SENDMESSAGE) ==
             WAIT_OBJECT_0 + 1) {
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      }
      connection_.join();
    }
  }
  if (g_application == this) g_application = nullptr;
}

void ServiceApplication::Report(DWORD state, DWORD exitCode, DWORD waitHint) {
  const SERVICE_STATUS_HANDLE handle = status_.load();
  if (!handle) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = waitHint;
  status.dwCheckPoint =
      state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ++checkPoint_;
  SetServiceStatus(handle, &status);
}

void WINAPI ServiceApplication::ServiceMain(DWORD argc, LPWSTR* argv) {
  ServiceApplication* self = g_application;
  if (!self) return;
  // The name the manager started us under (the service "kesp" unless installed otherwise).
  const wchar_t* name = argc > 0 && argv && argv[0] ? argv[0] : kServiceName;
  self->status_ = RegisterServiceCtrlHandlerExW(name, &ServiceApplication::Control, self);
  if (!self->status_.load()) {
    const DWORD error = GetLastError();
    WriteEventLogError(W(SystemErrorText(error)));
    self->registrationFailed_ = true;
    if (self->events_.onConnectionFailed) self->events_.onConnectionFailed(error);
    return;
  }
  self->Report(SERVICE_START_PENDING, NO_ERROR, 3000);
  // A loop that has already ended gets no start event: its windows are going.
  if (WaitForSingleObject(self->stopped_.get(), 0) != WAIT_OBJECT_0 && self->events_.onStart) self->events_.onStart();
  self->Report(SERVICE_RUNNING);
  // The service thread stays until the stop has been handed to the main loop and the loop
  // has ended (or the program ends otherwise).
  WaitForSingleObject(self->stopped_.get(), INFINITE);
  self->Report(SERVICE_STOPPED);
}

DWORD WINAPI ServiceApplication::Control(DWORD control, DWORD, LPVOID, LPVOID context) {
  auto* self = static_cast<ServiceApplication*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      self->Report(SERVICE_STOP_PENDING, NO_ERROR, 5000);
      if (self->events_.onStop) self->events_.onStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

}  // namespace tervane
