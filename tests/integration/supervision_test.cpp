#include "integration_support.h"

#include "support/text.h"

namespace tervane::testing {
namespace {

TEST_F(Supervision, MissingServerIsStartedThenAnswersAndAKilledOneIsRestarted) {
  AddServer("alpha");
  Start();
  CellTrace status(view, 0, ColProcessStatus);
  ASSERT_TRUE(WaitUntil([&] { status.Sample(); return view.Cell(0, ColMap) == u"de_dust2"; }, 30s));
  const std::vector<std::u16string> firstStates(status.Seen().begin(), status.Seen().begin() + 4);
  EXPECT_EQ(firstStates, (std::vector<std::u16string>{u"Lost (1/3)", u"Lost (2/3)", u"Lost (3/3)", u"Restarting"}));
  EXPECT_EQ(view.Cell(0, ColRestarts), u"0");
  EXPECT_EQ(LogsWithoutTime(), std::vector<std::u16string>{u"alpha: Starting server."});
  EXPECT_EQ(view.Cell(0, ColNetworkStatus), u"Normal");
  EXPECT_EQ(view.Cell(0, ColPlayers), u"0/32");

  process->TerminateServerProcess(list[0]->FileName.str());
  ASSERT_TRUE(WaitUntil([&] { return view.LogLines().size() == 2; }, 30s));
  EXPECT_EQ(LogsWithoutTime().back(), u"alpha: Restarting. Reason: Process lost.");
  EXPECT_EQ(view.Cell(0, ColRestarts), u"1");
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
}

TEST_F(Supervision, ServerRunningAtStartIsNeitherStartedNorLogged) {
  ServerEntry& e = AddServer("early");
  ASSERT_EQ(StartByHand(e), 0u);
  ASSERT_TRUE(WaitUntil([&] { return process->IsServerRunning(e.FileName.str()); }, 10s));
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  EXPECT_EQ(view.Cell(0, ColRestarts), u"0");
  EXPECT_EQ(view.Cell(0, ColProcessStatus), u"Normal");
  // A few more cycles: still no start and no log line.
  WaitUntil([] { return false; }, 1s);
  EXPECT_TRUE(view.LogLines().empty());
  EXPECT_EQ(e.Restarts, 0);
}

TEST_F(Supervision, SilentServerShowsTwentyTimeoutsThenIsRestarted) {
  ServerEntry& e = AddServer("quiet", u" -fakesrv.silent");
  ASSERT_EQ(StartByHand(e), 0u);
  Start();
  CellTrace network(view, 0, ColNetworkStatus);
  ASSERT_TRUE(WaitUntil([&] { network.Sample(); return !view.LogLines().empty(); }, 60s));
  std::vector<std::u16string> timeouts;
  for (const auto& s : network.Seen())
    if (s.rfind(u"Timeout", 0) == 0) timeouts.push_back(s);
  ASSERT_EQ(timeouts.size(), 20u);
  EXPECT_EQ(timeouts.front(), u"Timeout (1/20)");
  EXPECT_EQ(timeouts.back(), u"Timeout (20/20)");
  EXPECT_EQ(LogsWithoutTime(), std::vector<std::u16string>{u"quiet: Restarting. Reason: No network response."});
  EXPECT_EQ(view.Cell(0, ColRestarts), u"1");
  EXPECT_TRUE(WaitUntil([&] { return process->IsServerRunning(e.FileName.str()); }, 10s))
      << "started again";
}

TEST_F(Supervision, LateRepliesNeverRestartAndChallengesStayNormal) {
  // Answers 100 ms after each query: after the check (40 ms), before the next cycle (200 ms).
  ServerEntry& late = AddServer("late", u" -fakesrv.delay 100");
  ServerEntry& challenged = AddServer("challenged", u" -fakesrv.challenge -fakesrv.answer info");
  ASSERT_EQ(StartByHand(late), 0u);
  ASSERT_EQ(StartByHand(challenged), 0u);
  Start();
  int sawTimeout = 0;
  WaitUntil([&] {
    sawTimeout += view.Cell(0, ColNetworkStatus) == u"Timeout (1/20)";
    return false;
  }, 8s);  // about 40 cycles: twice the number that would restart a silent server
  EXPECT_TRUE(view.LogLines().empty());
  EXPECT_GT(sawTimeout, 0) << "each check counts the late reply once";
  EXPECT_LE(late.TimeoutCount, 1);
  EXPECT_EQ(view.Cell(1, ColNetworkStatus), u"Normal");
  EXPECT_EQ(challenged.ReplyKind, 3);
  EXPECT_EQ(challenged.Restarts, 0);
}

TEST_F(Supervision, AStartThatFailsIsReportedNotCounted) {
  ServerEntry& e = AddServer("gone");
  std::filesystem::remove(std::filesystem::path(e.FileName.str()));  // deleted after it was registered
  Start();
  ASSERT_TRUE(WaitUntil([&] { return view.LogLines().size() >= 2; }, 10s));
  const auto logs = LogsWithoutTime();
  EXPECT_EQ(logs[0], u"gone: Starting server.");
  EXPECT_EQ(logs[1].rfind(u"gone: Start failed: ", 0), 0u) << Utf16ToUtf8(logs[1]);
  EXPECT_EQ(view.Cell(0, ColProcessStatus).rfind(u"Start failed: ", 0), 0u);
  EXPECT_EQ(view.Cell(0, ColRestarts), u"-");
  EXPECT_EQ(e.Restarts, -1);
}

TEST_F(Supervision, PausedServerIsNeverStarted) {
  ServerEntry& e = AddServer("paused");
  e.Paused = 1;
  Start();
  WaitUntil([] { return false; }, 1500ms);  // seven cycles
  EXPECT_FALSE(process->IsServerRunning(e.FileName.str()));
  EXPECT_EQ(view.Cell(0, ColProcessStatus), u"-");
  EXPECT_TRUE(view.LogLines().empty());
}

// A process list the system refuses (descriptors exhausted on Linux, a snapshot refused on
// Windows) is no loss: a server that does not run is neither counted lost nor started while it
// lasts, which is said once; once the list can be read again, it is started as usual.
constexpr std::uint32_t kRefused = 24;

// The process list is refused while *refuse holds (shared with the process control, which
// outlives the test's body: the fixture ends its servers).
class RefusedProcessList : public Supervision {
 protected:
  RefusedProcessList() : RefusedProcessList(std::make_shared<bool>(true)) {}
  explicit RefusedProcessList(std::shared_ptr<bool> r)
      : Supervision([r](LookCall call) { return *r && call == LookCall::ProcessList ? kRefused : 0u; }),
        refuse(std::move(r)) {}
  std::shared_ptr<bool> refuse;
};

TEST_F(RefusedProcessList, StartsNothingUntilItCanBeReadAgain) {
  ServerEntry& e = AddServer("unseen");
  Start();
  int cycles = 0;
  sup.CycleEndObservers().Add([&] { ++cycles; });
  ASSERT_TRUE(WaitUntil([&] { return cycles >= 8; }, 20s));
  EXPECT_FALSE(CreateProcessControl({})->IsServerRunning(e.FileName.str())) << "never started";
  EXPECT_EQ(e.Restarts, -1);
  EXPECT_EQ(view.Cell(0, ColProcessStatus), u"-") << "never counted lost";
  EXPECT_EQ(list[0]->Status.lookError, kRefused);
  EXPECT_EQ(LogsWithoutTime(), std::vector<std::u16string>{u"unseen: cannot look for its process: " +
                                                            SystemErrorText(kRefused) +
                                                            u"; nothing is started or ended on it until it can"});

  *refuse = false;
  ASSERT_TRUE(WaitForCell(0, ColProcessStatus, u"Restarting"));
  const auto logs = LogsWithoutTime();
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[1], u"unseen: its process can be looked for again");
  EXPECT_EQ(logs[2], u"unseen: Starting server.");
}

}  // namespace
}  // namespace tervane::testing
