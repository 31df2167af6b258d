#include <windows.h>

#include "fakesrv.h"
#include "integration_support.h"
#include "support/text.h"

namespace tervane::testing {
namespace {

HWND ConsoleOf(IProcessControl& process, const ServerEntry& e) {
  return reinterpret_cast<HWND>(process.FindServerConsoleWindow(e.FileName.str()));
}

void Control(EventLoop& loop, const ServerEntry& e, const std::string& command) {
  TVelUDP sender(loop);
  sender.Open();
  const std::vector<std::uint8_t> datagram = fakesrv::BuildControlDatagram(command);
  sender.SendBuffer(datagram.data(), static_cast<int>(datagram.size()), e.Port, "127.0.0.1");
}

int FatalDialogs() {
  int dialogs = 0;
  for (HWND w = FindWindowA(nullptr, kFatalErrorCaption); w;
       w = FindWindowExA(nullptr, w, nullptr, kFatalErrorCaption))
    ++dialogs;
  return dialogs;
}

TEST_F(Supervision, TwoFatalErrorDialogsRestartTheirServersInTwoConsecutiveCycles) {
  ServerEntry& a = AddServer("crashA");
  ServerEntry& b = AddServer("crashB");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  ASSERT_TRUE(WaitForCell(1, ColNetworkStatus, u"Normal"));
  ASSERT_EQ(view.LogLines().size(), 2u) << "the two first starts";
  // Both crash at once: their dialogs stand side by side.
  sup->timerCircleCheck.SetEnabled(false);
  sup->timerCheckTimeOut.SetEnabled(false);
  Control(loop, a, "fakesrv fatal Host_Error: map not found");
  Control(loop, b, "fakesrv fatal Could not allocate memory");
  ASSERT_TRUE(WaitUntil([&] { return FatalDialogs() == 2; }, 20s));

  sup->timerCircleCheckTimer();  // one cycle: one dialog
  EXPECT_EQ(view.LogLines().size(), 3u);
  EXPECT_EQ(FatalDialogs(), 1);
  ASSERT_TRUE(WaitUntil([&] { return view.LogLines().size() == 4; }, 5s)) << "the next cycle takes the other";
  const auto logs = LogsWithoutTime();
  std::vector<std::u16string> crashes(logs.begin() + 2, logs.end());
  std::sort(crashes.begin(), crashes.end());
  EXPECT_EQ(crashes[0], u"crashA: Restarting. Reason: Fatal error - Host_Error: map not found");
  EXPECT_EQ(crashes[1], u"crashB: Restarting. Reason: Fatal error - Could not allocate memory");
  EXPECT_EQ(a.Restarts, 1);
  EXPECT_EQ(b.Restarts, 1);
  EXPECT_EQ(FatalDialogs(), 0);
  // The restarted servers answer again.
  EXPECT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  EXPECT_TRUE(WaitForCell(1, ColNetworkStatus, u"Normal"));
}

TEST_F(Supervision, HiddenConsoleIsHiddenAgainEveryCycle) {
  ServerEntry& e = AddServer("hidden");
  e.HideServer = 1;
  ServerEntry& shown = AddServer("shown");
  ASSERT_EQ(StartByHand(e), 0u);
  ASSERT_EQ(StartByHand(shown), 0u);
  Start();
  ASSERT_TRUE(WaitUntil([&] { return ConsoleOf(*process, e) && ConsoleOf(*process, shown); }, 20s));
  HWND console = ConsoleOf(*process, e);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(console); }, 10s));
  wchar_t title[64] = {};
  ASSERT_TRUE(WaitUntil([&] {
    GetWindowTextW(console, title, 64);
    return std::wstring(title) == L"hidden";
  }, 10s)) << "the console is titled with the server's name";
  for (int round = 0; round < 3; ++round) {
    ShowWindow(console, SW_SHOWNOACTIVATE);  // shown by hand
    ASSERT_TRUE(IsWindowVisible(console));
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(console); }, 5s)) << "round " << round;
  }
  HWND other = ConsoleOf(*process, shown);
  EXPECT_TRUE(IsWindowVisible(other));
  ShowWindow(other, SW_MINIMIZE);
  WaitUntil([] { return false; }, 1s);
  EXPECT_TRUE(IsIconic(other)) << "a minimised console stays minimised";
  EXPECT_TRUE(IsWindowVisible(other));
}

}  // namespace
}  // namespace tervane::testing
