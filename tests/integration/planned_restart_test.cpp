#include "integration_support.h"
#include "planned_restart_support.h"

namespace tervane::testing {
namespace {

using Clock = std::chrono::steady_clock;

const std::u16string kPassword = u" +rcon_password secret";

// The say texts a stand-in recorded, oldest first.
std::vector<std::string> SaidLines(const std::string& answer) {
  std::vector<std::string> lines;
  std::size_t at = answer.find('\n');
  while (at != std::string::npos) {
    const std::size_t end = answer.find('\n', at + 1);
    lines.push_back(answer.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
    at = end;
  }
  return lines;
}

TEST_F(PlannedRestarts, WarningsComeAtTheirLeadTimesInOrderAndQuitEndsTheProcessWithoutAKill) {
  RestartSettings settings;
  settings.warnMinutes = {2, 1};
  settings.stopCommand = "quit";
  settings.stopSeconds = 60;
  Configure(settings);
  ServerEntry& e = AddServer("warned", kPassword + u" -fakesrv.quitdelay 300");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  const auto planned = Clock::now();
  ASSERT_NE(rig.servers.Plans().PlanRestart(0, 3), 0);

  // Each warning when its lead time is reached: at once (3 minutes), then after one minute and two.
  std::vector<Clock::duration> arrived;
  std::vector<std::string> said;
  ASSERT_TRUE(WaitUntil([&] {
    said = SaidLines(Control(e, "fakesrv said"));
    while (arrived.size() < said.size()) arrived.push_back(Clock::now() - planned);
    return said.size() >= 3;
  }, 30s)) << "warnings: " << said.size();
  EXPECT_EQ(said, (std::vector<std::string>{"The server restarts in 3 minute(s).", "The server restarts in 2 minute(s).",
                                            "The server restarts in 1 minute(s)."}));
  // The wall clock counts whole seconds: a lead time may come up to one second early.
  EXPECT_GE(arrived[1], kMinute - 1s);
  EXPECT_GE(arrived[2], 2 * kMinute - 1s);
  EXPECT_TRUE(LogsWithoutTime().size() == 1) << "no line but the first start before the restart";

  bool stopping = false;
  ASSERT_TRUE(WaitUntil([&] {
    stopping = stopping || list[0]->Stopping();
    return LogsWithoutTime().size() == 2;
  }, 30s));
  EXPECT_TRUE(stopping) << "shown as stopping while quit took its time";
  EXPECT_EQ(LogsWithoutTime().back(), u"warned: Restarting. Reason: Planned restart.");
  EXPECT_LT(Clock::now() - planned, 3 * kMinute + 20s) << "ended by itself, long before StopSeconds";
  EXPECT_EQ(list[0]->Status.lastRestartReason, RestartReason::Planned);
  EXPECT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal")) << "running again";
}

TEST_F(PlannedRestarts, AnEmptyServerRestartsEarlyInTheWindowABusyOneAtThePlannedTime) {
  RestartSettings settings;
  settings.whenEmptyMinutes = 2;
  Configure(settings);
  AddServer("empty", kPassword + u" -fakesrv.players 2 -fakesrv.bots 2");  // bots are nobody
  AddServer("busy", kPassword + u" -fakesrv.players 3");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  ASSERT_TRUE(WaitForCell(1, ColNetworkStatus, u"Normal"));
  const auto planned = Clock::now();
  ASSERT_NE(rig.servers.Plans().PlanRestart(0, 3), 0);
  ASSERT_NE(rig.servers.Plans().PlanRestart(1, 3), 0);

  const auto when =
      WhenLogged({u"empty: Restarting. Reason: Planned restart.", u"busy: Restarting. Reason: Planned restart."});
  const auto early = when[0], due = when[1];
  ASSERT_TRUE(early && due);
  EXPECT_GE(*early - planned, kMinute - 1s) << "not before its window";
  EXPECT_LT(*early - planned, 3 * kMinute - 1s) << "before the planned time";
  EXPECT_GE(*due - planned, 3 * kMinute - 1s) << "at the planned time";
}

// The stop command that cannot be delivered is said once, and the process is ended as without
// it; one that is ignored, or not answered (it may have been taken), is ended after StopSeconds.
TEST_F(PlannedRestarts, AStopThatFailsOrIsIgnoredEndsInANormalRestart) {
  struct Case {
    const char* name;
    std::u16string extra;
    std::u16string problem;  // the one line said, if any
    bool waitsStopSeconds;
  };
  const std::u16string cannot = u": cannot send the stop command through RCON: ";
  const Case cases[] = {
      {"ignoring", kPassword + u" -fakesrv.ignorequit", u"", true},
      {"unguarded", u"", u"RCON password refused", false},  // kesp.ini's password, none on the server
      {"hostile", kPassword + u" -fakesrv.rcon garbage", u"RCON answer malformed", false},
      {"silent", kPassword + u" -fakesrv.rcon silent", u"RCON timed out", true},
  };
  RestartSettings settings;
  settings.stopCommand = "quit";
  settings.stopSeconds = 8;
  settings.rconPassword = "wrong";
  Configure(settings);
  for (const Case& c : cases) AddServer(c.name, c.extra);
  Start();
  for (std::size_t row = 0; row < std::size(cases); ++row)
    ASSERT_TRUE(WaitForCell(static_cast<int>(row), ColNetworkStatus, u"Normal"));
  const auto planned = Clock::now();
  for (std::size_t row = 0; row < std::size(cases); ++row) ASSERT_NE(rig.servers.Plans().PlanRestart(row, 0), 0);

  std::vector<std::u16string> restarts;
  for (const Case& c : cases) restarts.push_back(Utf8ToUtf16(c.name) + u": Restarting. Reason: Planned restart.");
  const auto when = WhenLogged(restarts);
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.name);
    const std::u16string name = Utf8ToUtf16(c.name);
    const auto restarted = when[k];
    ASSERT_TRUE(restarted);
    EXPECT_EQ(*restarted - planned >= 8s, c.waitsStopSeconds) << "ended after StopSeconds, or at once";
    std::vector<std::u16string> problems;
    for (const auto& line : LogsWithoutTime())
      if (line.rfind(name + cannot, 0) == 0) problems.push_back(line.substr(name.size() + cannot.size()));
    ASSERT_EQ(problems.size(), c.problem.empty() ? 0u : 1u);
    if (!c.problem.empty()) {
      EXPECT_EQ(problems[0].rfind(c.problem, 0), 0u) << Utf16ToUtf8(problems[0]);
    }
  }
}

}  // namespace
}  // namespace tervane::testing
