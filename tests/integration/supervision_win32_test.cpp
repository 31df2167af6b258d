#include <windows.h>

#include "fakesrv.h"
#include "integration_support.h"
#include "process/server_windows.h"
#include "support/text.h"

namespace tervane::testing {
namespace {

HWND ConsoleOf(IProcessControl& process, const ServerEntry& e) {
  return reinterpret_cast<HWND>(process.Windows()->FindServerConsoleWindow(e.FileName.str()));
}

void Control(EventLoop& loop, const ServerEntry& e, const std::string& command) {
  TVelUDP sender(loop);
  sender.Open();
  const std::vector<std::uint8_t> datagram = fakesrv::BuildControlDatagram(command);
  sender.SendBufferTo(datagram.data(), static_cast<int>(datagram.size()), kLoopbackAddress, e.Port);
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
  sup.timerCircleCheck.SetEnabled(false);
  sup.timerCheckTimeOut.SetEnabled(false);
  Control(loop, a, "fakesrv fatal Host_Error: map not found");
  Control(loop, b, "fakesrv fatal Could not allocate memory");
  ASSERT_TRUE(WaitUntil([&] { return FatalDialogs() == 2; }, 20s));

  sup.timerCircleCheckTimer();  // one cycle: one dialog
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

// The 32-bit stand-in, as most dedicated servers are, supervised by this 64-bit program.
class Supervision32 : public Supervision {
 protected:
  Supervision32() { standIn = TERVANE_FAKESRV32; }

  // The server's process, opened to read it; checks that it really runs as 32-bit.
  HANDLE Open32(const ServerEntry& e) {
    DWORD pid = 0;
    WaitUntil([&] {
      if (HWND console = ConsoleOf(*process, e)) GetWindowThreadProcessId(console, &pid);
      return pid != 0;
    }, 20s);
    HANDLE h = pid ? OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid) : nullptr;
    BOOL wow64 = FALSE;
    EXPECT_TRUE(h && IsWow64Process(h, &wow64) && wow64) << "a 32-bit process";
    return h;
  }
};

TEST_F(Supervision32, StartedOnceThenRecognisedAndRestartedOnlyWhenLost) {
  ServerEntry& e = AddServer("hlds32");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal", 30s));
  HANDLE h = Open32(e);
  ASSERT_NE(h, nullptr);
  CloseHandle(h);
  // Many cycles: recognised as running each time, so never started again.
  WaitUntil([] { return false; }, 2s);
  EXPECT_EQ(LogsWithoutTime(), std::vector<std::u16string>{u"hlds32: Starting server."});
  EXPECT_EQ(view.Cell(0, ColProcessStatus), u"Normal");

  process->TerminateServerProcess(e.FileName.str());
  ASSERT_TRUE(WaitUntil([&] { return view.LogLines().size() == 2; }, 30s));
  EXPECT_EQ(LogsWithoutTime().back(), u"hlds32: Restarting. Reason: Process lost.");
  EXPECT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
}

TEST_F(Supervision32, FatalErrorDialogRestartsItsServer) {
  ServerEntry& e = AddServer("crash32");
  ASSERT_EQ(StartByHand(e), 0u);
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  Control(loop, e, "fakesrv fatal Host_Error: map not found");
  ASSERT_TRUE(WaitUntil([&] { return !view.LogLines().empty(); }, 30s));
  EXPECT_EQ(LogsWithoutTime(), std::vector<std::u16string>{
                                   u"crash32: Restarting. Reason: Fatal error - Host_Error: map not found"});
  EXPECT_TRUE(WaitUntil([] { return FatalDialogs() == 0; }, 10s));
  EXPECT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
}

TEST_F(Supervision32, PriorityAndAffinityAtTheStartAndLater) {
  ServerEntry& e = AddServer("prio32");
  e.Priority = 1;
  ASSERT_EQ(StartByHand(e), 0u);
  HANDLE h = Open32(e);
  ASSERT_NE(h, nullptr);
  DWORD_PTR mask = 0, system = 0;
  EXPECT_EQ(GetPriorityClass(h), static_cast<DWORD>(HIGH_PRIORITY_CLASS));
  EXPECT_TRUE(GetProcessAffinityMask(h, &mask, &system));
  EXPECT_EQ(mask, 1u);
  process->SetServerPriority(e.FileName.str(), 0);
  EXPECT_EQ(GetPriorityClass(h), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  process->SetServerAffinity(e.FileName.str(), static_cast<std::uint32_t>(system));
  EXPECT_TRUE(GetProcessAffinityMask(h, &mask, &system));
  EXPECT_EQ(mask, system);
  CloseHandle(h);
}

// Another instance's server with the same file name (the service's beside the desktop's), and
// no process this program may open: its server's process is known only as the one it started.
class UnaskableProcesses : public Supervision {
 protected:
  UnaskableProcesses() : Supervision(nullptr, [](std::uint32_t) { return std::uint32_t{ERROR_ACCESS_DENIED}; }) {}
};

TEST_F(UnaskableProcesses, AKilledServerIsRestartedAtTheNextCycle) {
  ServerEntry& e = AddServer("beside");
  const auto neighbour = StandIn(dir, loop, "neighbour");
  const auto other = CreateProcessControl({});  // the other instance's
  ASSERT_EQ(other->StartServerProcess(neighbour->FileName.str(), neighbour->Params.str(), 0, true, 1).Error(), 0u);
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  other->TerminateServerProcess(e.FileName.str());  // as in a crash
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return view.LogLines().size() == 2; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 3s) << "at the next cycle (every 200 ms)";
  EXPECT_EQ(LogsWithoutTime().back(), u"beside: Restarting. Reason: Process lost.");
  EXPECT_TRUE(other->IsServerRunning(neighbour->FileName.str())) << "left alone";
  other->TerminateServerProcess(neighbour->FileName.str());
}

}  // namespace
}  // namespace tervane::testing
