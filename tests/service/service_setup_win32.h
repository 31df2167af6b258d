// The tests' own handling of the service "kesp" in the service manager: its configuration and
// state read back, the account a test runs it under, and the clean-up that leaves no service
// behind.
#pragma once

#include <windows.h>

#include <lmcons.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/unique_handle_win32.h"

namespace tervane::service_setup {

inline constexpr wchar_t kName[] = L"kesp";

struct Config {
  DWORD type = 0, start = 0, errorControl = 0;
  std::wstring path, account, displayName;
};

// Opens the manager and the service with full access; both are closed again on destruction.
class OpenedService {
 public:
  OpenedService() : manager_(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
    if (manager_) service_.reset(OpenServiceW(manager_.get(), kName, SERVICE_ALL_ACCESS));
  }
  SC_HANDLE Handle() const { return service_.get(); }
  explicit operator bool() const { return static_cast<bool>(service_); }

 private:
  UniqueServiceHandle manager_;  // declared first: closed after the service
  UniqueServiceHandle service_;
};

inline bool Installed() { return static_cast<bool>(OpenedService()); }

inline Config ReadConfig() {
  Config c;
  OpenedService service;
  if (!service) return c;
  DWORD needed = 0;
  QueryServiceConfigW(service.Handle(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed && QueryServiceConfigW(service.Handle(), config, needed, &needed)) {
    c.type = config->dwServiceType;
    c.start = config->dwStartType;
    c.errorControl = config->dwErrorControl;
    c.path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    c.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    c.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
  }
  return c;
}

// The state and process of the service; state 0 when it cannot be read.
inline SERVICE_STATUS_PROCESS Status() {
  SERVICE_STATUS_PROCESS status{};
  OpenedService service;
  DWORD needed = 0;
  if (!service || !QueryServiceStatusEx(service.Handle(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
    return SERVICE_STATUS_PROCESS{};
  return status;
}

// The test's own setup: the service runs under this user's account, so that the program's
// unchanged account test matches (every process runs as the Unix user under Wine).
inline bool UseOwnAccount() {
  wchar_t user[UNLEN + 1] = {};
  DWORD size = UNLEN + 1;
  GetUserNameW(user, &size);
  OpenedService service;
  // An interactive service must run as the local system: the test's account needs the plain
  // own-process type.
  const bool ok = service && ChangeServiceConfigW(service.Handle(), SERVICE_WIN32_OWN_PROCESS, SERVICE_NO_CHANGE,
                                                  SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, user,
                                                  L"", nullptr);
  if (!ok) std::printf("ChangeServiceConfigW failed: %lu\n", GetLastError());
  return ok;
}

// The definition's own account and type again: the local system, interactive.
inline bool UseLocalSystem() {
  OpenedService service;
  const DWORD type = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  const bool ok = service && ChangeServiceConfigW(service.Handle(), type, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                  nullptr, nullptr, nullptr, nullptr, L"LocalSystem", L"", nullptr);
  if (!ok) std::printf("ChangeServiceConfigW failed: %lu\n", GetLastError());
  return ok;
}

// Stops the service if it runs (ending its process if the stop does not), then deletes it.
inline void StopAndRemove() {
  using namespace std::chrono_literals;
  {
    OpenedService service;
    if (!service) return;
    const SERVICE_STATUS_PROCESS status = Status();
    if (status.dwCurrentState != 0 && status.dwCurrentState != SERVICE_STOPPED) {
      const UniqueKernelHandle process(
          status.dwProcessId ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, status.dwProcessId) : nullptr);
      SERVICE_STATUS ignored{};
      ControlService(service.Handle(), SERVICE_CONTROL_STOP, &ignored);
      if (process) {
        if (WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
      }
    }
    DeleteService(service.Handle());
  }
  // The manager forgets a deleted service once its last handle is closed.
  for (int i = 0; i < 100 && Installed(); ++i) std::this_thread::sleep_for(50ms);
}

}  // namespace tervane::service_setup
