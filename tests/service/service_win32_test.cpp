#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <thread>
#include <vector>

#include "app/service/service_win32.h"
#include "service/service_setup_win32.h"
#include "support/text.h"

namespace tervane {
namespace {

using service_setup::ReadConfig;
using service_setup::UseOwnAccount;

class ServiceTest : public ::testing::Test {
 protected:
  // A service left from an earlier run goes; none there is no failure.
  void SetUp() override { (void)UninstallKespService(); }
  void TearDown() override { (void)UninstallKespService(); }
};

TEST_F(ServiceTest, InstallsWithItsDefinitionOnceAndRemovesOnce) {
  EXPECT_FALSE(IsKespServiceInstalled());
  ASSERT_EQ(InstallKespService(), 0u);
  EXPECT_TRUE(IsKespServiceInstalled());
  const service_setup::Config c = ReadConfig();
  EXPECT_EQ(c.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS));
  EXPECT_EQ(c.start, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(c.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(c.path, L"\"" + ExecutablePath() + L"\"") << "in quotes, no arguments";
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

// Start-up takes the service path for "\INSTALL" too; the framework itself installs only for
// "-" and "/", and otherwise connects to the manager.
TEST(FrameworkSwitches, OnlyDashAndSlashSwitchesInstallOrRemove) {
  EXPECT_TRUE(ParseServiceSwitches({u"\\INSTALL"}).install);
  EXPECT_FALSE(FrameworkSwitches({u"\\INSTALL"}).Any());
  EXPECT_FALSE(FrameworkSwitches({u"\\uninstall", u"INSTALL", u"install"}).Any());

  const ServiceSwitches dash = FrameworkSwitches({u"-install", u"\\silent"});
  EXPECT_TRUE(dash.install);
  EXPECT_FALSE(dash.silent) << "a \\ SILENT is no switch of the framework";
  const ServiceSwitches slash = FrameworkSwitches({u"/UnInstall", u"/SILENT"});
  EXPECT_TRUE(slash.uninstall);
  EXPECT_FALSE(slash.install);
  EXPECT_TRUE(slash.silent);
  EXPECT_FALSE(FrameworkSwitches({u"", u"-", u"/"}).Any());
}

TEST(ServiceText, SystemErrorTextsHaveNoLineBreak) {
  const std::u16string text = SystemErrorText(ERROR_SERVICE_EXISTS);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find(u'\n'), std::u16string::npos);
}

}  // namespace
}  // namespace tervane
