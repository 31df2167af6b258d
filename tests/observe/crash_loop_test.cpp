// The crash-loop guard against a real stand-in that exits as soon as it starts: after
// MaxRestarts restarts the server is paused as the Pause command pauses it, saved, logged, and
// started no more.
#include <gtest/gtest.h>

#include "integration/integration_support.h"
#include "observe/observatory.h"

namespace tervane::testing {
namespace {

class CrashLoop : public Supervision {
 protected:
  void Observe(int maxRestarts) {
    ObserveOptions options;
    options.maxRestarts = maxRestarts;
    options.restartWindowMinutes = 10;
    ObservatoryHooks hooks;
    hooks.save = [this] { ++saves; };
    observatory = std::make_unique<Observatory>(loop, *servers, *sup, log, options, hooks);
  }
  ~CrashLoop() override { observatory.reset(); }

  int saves = 0;
  std::unique_ptr<Observatory> observatory;
};

TEST_F(CrashLoop, AServerThatExitsAtOnceIsPausedAfterMaxRestarts) {
  Server& s = AddServer("crasher", u" -fakesrv.exit-after 0");
  Start();
  Observe(2);
  const auto lost = static_cast<std::size_t>(RestartReason::ProcessLost);
  ASSERT_TRUE(WaitUntil([&] { return s.Paused != 0; }, 30s));
  EXPECT_TRUE(s.Status.crashLoopPaused);
  EXPECT_EQ(s.Status.restartsByReason[lost], 2u);
  EXPECT_EQ(s.Status.restartsByReason[static_cast<std::size_t>(RestartReason::FirstStart)], 1u);
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(view.Cell(0, ColProcessStatus), u"Paused Monitor");
  const auto logs = LogsWithoutTime();
  ASSERT_FALSE(logs.empty());
  EXPECT_NE(logs.back().find(u"Paused Monitor. Reason: 2 restarts within 10 minutes."), std::u16string::npos);

  // Paused: several cycles later it was not started again.
  const int cycles = 5;
  int seen = 0;
  sup->onCycleEnd = [&] { ++seen; };
  ASSERT_TRUE(WaitUntil([&] { return seen >= cycles; }, 10s));
  EXPECT_EQ(s.Status.restartsByReason[lost], 2u);
  EXPECT_FALSE(process->IsServerRunning(s.FileName.str()));

  // Unpaused by the operator, the mark goes and the guard counts afresh.
  servers->SetPaused(0, false);
  EXPECT_FALSE(s.Status.crashLoopPaused);
}

// Without the guard the same server is restarted on and on.
TEST_F(CrashLoop, WithoutTheGuardItIsRestartedOnAndOn) {
  Server& s = AddServer("crasher", u" -fakesrv.exit-after 0");
  Start();
  Observe(0);
  const auto lost = static_cast<std::size_t>(RestartReason::ProcessLost);
  ASSERT_TRUE(WaitUntil([&] { return s.Status.restartsByReason[lost] >= 3; }, 30s));
  EXPECT_EQ(s.Paused, 0);
  EXPECT_EQ(saves, 0);
}

}  // namespace
}  // namespace tervane::testing
