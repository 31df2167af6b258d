// The crash-loop guard of kesp.ini against real stand-ins, in a whole monitor: the restart that
// would be the MaxRestarts-th within the window is not made; the server is paused as it is
// (a process that still runs is left running), saved, logged, and started no more.
#include <gtest/gtest.h>

#include "core/server_entry.h"
#include "observe_support.h"

namespace tervane::testing {
namespace {

class CrashLoop : public Observed {
 protected:
  std::size_t Restarts(RestartReason reason) {
    return rig->List()[0]->Status.restartsByReason[static_cast<std::size_t>(reason)];
  }
  std::uint8_t PausedOnDisk() { return ReadBytes(dir.File(u"serverlist.dat")).at(1705); }
  // Waits for n more cycles.
  bool Cycles(int n) {
    const int until = cycles + n;
    return WaitUntil([&] { return cycles >= until; }, 10s);
  }
};

TEST_F(CrashLoop, AServerThatExitsAtOnceIsPausedInsteadOfItsLastRestart) {
  AddServer("crasher", u" -fakesrv.exit-after 0");
  Run("MaxRestarts=2\r\n", false);
  const Server& s = *rig->List()[0];
  ASSERT_TRUE(WaitUntil([&] { return s.Paused != 0; }, 30s));
  EXPECT_TRUE(s.PausedByGuard());
  EXPECT_EQ(Restarts(RestartReason::FirstStart), 1u);
  EXPECT_EQ(Restarts(RestartReason::ProcessLost), 1u) << "the second restart was not made";
  EXPECT_EQ(PausedOnDisk(), 1) << "saved as the Pause command saves";
  EXPECT_EQ(rig->view.Cell(0, ColProcessStatus), u"Paused Monitor");
  const auto logs = Logs();
  ASSERT_FALSE(logs.empty());
  EXPECT_NE(logs.back().find(u"Paused Monitor. Reason: 2 restarts within 10 minutes."), std::u16string::npos);

  ASSERT_TRUE(Cycles(5));
  EXPECT_EQ(Restarts(RestartReason::ProcessLost), 1u) << "paused: never started again";

  // Unpaused by the operator, the mark goes and the guard counts afresh.
  monitor->Run(Command::Unpause, monitor->Targets({0}));
  EXPECT_FALSE(s.PausedByGuard());
}

// Without the guard the same server is restarted on and on.
TEST_F(CrashLoop, WithoutTheGuardItIsRestartedOnAndOn) {
  AddServer("crasher", u" -fakesrv.exit-after 0");
  Run("MaxRestarts=0\r\n", false);
  const Server& s = *rig->List()[0];
  ASSERT_TRUE(WaitUntil([&] { return Restarts(RestartReason::ProcessLost) >= 3; }, 30s));
  EXPECT_EQ(s.Paused, 0);
}

}  // namespace
}  // namespace tervane::testing
