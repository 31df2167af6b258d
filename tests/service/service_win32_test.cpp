#include <gtest/gtest.h>
#include <windows.h>

#include <lmcons.h>

#include <chrono>
#include <thread>
#include <vector>

#include "app/service/service_win32.h"

namespace tervane {
namespace {

struct Config {
  DWORD type = 0, start = 0, errorControl = 0;
  std::wstring path, account, displayName;
};

Config ReadConfig() {
  Config c;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS) : nullptr;
  if (service) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed && QueryServiceConfigW(service, config, needed, &needed)) {
      c.type = config->dwServiceType;
      c.start = config->dwStartType;
      c.errorControl = config->dwErrorControl;
      c.path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
      c.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
      c.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
    }
    CloseServiceHandle(service);
  }
  if (manager) CloseServiceHandle(manager);
  return c;
}

// The test's own setup: the service runs under this user's account, so that the program's
// unchanged account test matches (every process runs as the Unix user under Wine).
bool UseOwnAccount() {
  wchar_t user[UNLEN + 1] = {};
  DWORD size = UNLEN + 1;
  GetUserNameW(user, &size);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS) : nullptr;
  // An interactive service must run as the local system: the test's account needs the plain
  // own-process type.
  const bool ok = service && ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_NO_CHANGE,
                                                  SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                                  nullptr, user, L"", nullptr);
  if (!ok) std::printf("ChangeServiceConfigW failed: %lu\n", GetLastError());
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return ok;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { UninstallKespService(); }
  void TearDown() override { UninstallKespService(); }
};

TEST_F(ServiceTest, InstallsWithItsDefinitionOnceAndRemovesOnce) {
  EXPECT_FALSE(IsKespServiceInstalled());
  ASSERT_EQ(InstallKespService(), 0u);
  EXPECT_TRUE(IsKespServiceInstalled());
  const Config c = ReadConfig();
  EXPECT_EQ(c.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS));
  EXPECT_EQ(c.start, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(c.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(c.path, ExecutablePath()) << "no quotes, no arguments";
  EXPECT_EQ(c.displayName, L"Tervane");
  EXPECT_EQ(_wcsicmp(c.account.c_str(), L"LocalSystem"), 0);

  EXPECT_EQ(InstallKespService(), static_cast<DWORD>(ERROR_SERVICE_EXISTS)) << "installing twice fails";
  EXPECT_EQ(UninstallKespService(), 0u);
  EXPECT_FALSE(IsKespServiceInstalled());
  EXPECT_NE(UninstallKespService(), 0u) << "removing twice fails";
}

TEST_F(ServiceTest, AccountTestFollowsTheServicesAccount) {
  EXPECT_FALSE(RunsUnderServiceAccount()) << "no service";
  ASSERT_EQ(InstallKespService(), 0u);
  EXPECT_FALSE(RunsUnderServiceAccount()) << "LocalSystem is SYSTEM, not this user";
  ASSERT_TRUE(UseOwnAccount());
  EXPECT_TRUE(RunsUnderServiceAccount());
}

TEST_F(ServiceTest, ConnectionFailsWhenNotStartedByTheManager) {
  DWORD failure = 0;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool started = false;
  ServiceApplication app({[&] { started = true; }, [] {},
                          [&](DWORD error) {
                            failure = error;
                            SetEvent(done);
                          }});
  app.Start();
  // Wine's dispatcher gives up after about ten seconds.
  ASSERT_EQ(WaitForSingleObject(done, 40000), WAIT_OBJECT_0);
  app.Finish();
  CloseHandle(done);
  EXPECT_FALSE(started);
  EXPECT_NE(failure, 0u);
}

TEST(ServiceText, SystemErrorTextsHaveNoLineBreak) {
  const std::wstring text = SystemErrorText(ERROR_SERVICE_EXISTS);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find(L'\n'), std::wstring::npos);
}

}  // namespace
}  // namespace tervane
