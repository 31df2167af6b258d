// RCON under load through the monitor, as the doors use it: hostile stand-ins (RCON taken, never
// answered) keep every worker busy and the queue full while servers restart by their stop
// command and a door sends commands.
#include <map>
#include <vector>

#include "monitor/monitor.h"
#include "planned_restart_support.h"

namespace tervane::testing {
namespace {

using Clock = std::chrono::steady_clock;

class RconUnderLoad : public PlannedRestarts {
 protected:
  ~RconUnderLoad() override {
    for (const auto& e : monitor.List()) process->TerminateServerProcess(e->FileName.str());
  }
  std::size_t Add(const std::string& name, const std::u16string& extra) {
    monitor.States().Add(StandIn(dir, loop, name, u" +rcon_password secret" + extra));
    return monitor.List().size() - 1;
  }
  Server& At(std::size_t row) { return *monitor.List()[row]; }
  int Restarts(std::size_t row) {
    return At(row).Status.restartsByReason[static_cast<std::size_t>(RestartReason::Command)];
  }
  std::string Pid(std::size_t row) {
    const std::string status = Control(At(row), "fakesrv status");
    return status.substr(0, status.find(" info="));
  }

  testbed::MonitorRig mrig{loop, *process, dir.Dir(), MonitorOptions{{}, {}, kFast, {}, nullptr, {}, {}}};
  Monitor& monitor = mrig.monitor;
};

TEST_F(RconUnderLoad, EveryRequestReachesItsOwnProcessInTimeOrIsNeverSent) {
  std::vector<std::size_t> hostile;
  for (int k = 0; k < 8; ++k) hostile.push_back(Add("hostile" + std::to_string(k), u" -fakesrv.rcon silent"));
  const std::size_t victim = Add("victim", u""), marked = Add("marked", u"");
  const std::vector<std::size_t> restarted = {victim, Add("other0", u""), Add("other1", u""), Add("other2", u"")};
  RestartSettings settings;
  settings.stopCommand = "quit";
  settings.stopSeconds = 4;
  RestartOptions options;
  options.all = RestartSection{u"", settings, ~0u};
  settings.stopSeconds = 1;
  options.servers.push_back(RestartSection{u"victim", settings, kRestartKeyStopSeconds});
  monitor.SetRestartOptions(std::move(options));
  monitor.CreateEndpoint();
  monitor.BeginSupervision();
  for (std::size_t row = 0; row < monitor.List().size(); ++row)
    ASSERT_TRUE(WaitUntil([&] { return mrig.view.Cell(static_cast<int>(row), ColNetworkStatus) == u"Normal"; }, 20s));

  // The victim's and the marked server's RCON fall silent: a door's exchange holds each, and the
  // marked one's later commands wait behind it; told "not sent", the operator's server answers again.
  ASSERT_EQ(Control(At(victim), "fakesrv rcon silent"), "fakesrv ok");
  ASSERT_EQ(Control(At(marked), "fakesrv rcon silent"), "fakesrv ok");
  struct Answer {
    std::string command;
    RconResult result;
    Clock::duration took;
  };
  std::vector<Answer> answers;
  bool markedAgain = false;
  auto door = [&](std::size_t row, const std::string& command) {
    const auto asked = Clock::now();
    monitor.Rcon(row, command, [&, row, command, asked](const RconResult& result) {
      answers.push_back({command, result, Clock::now() - asked});
      if (row == marked && result.failure == RconFailure::NotSent && !markedAgain)
        markedAgain = Control(At(marked), "fakesrv rcon normal") == "fakesrv ok";
    });
  };
  door(victim, "status");
  door(marked, "say marker1");
  loop.RunUntil([] { return false; }, 300ms);
  for (std::size_t row : hostile)
    for (int n = 0; n < 7; ++n) door(row, "status");
  for (int n = 2; n <= 7; ++n) door(marked, "say marker" + std::to_string(n));

  const auto commanded = Clock::now();
  monitor.Run(Command::Restart, restarted);  // kesp restart with every worker busy
  ASSERT_EQ(monitor.LastStopsBegun(), restarted);
  std::map<std::size_t, Clock::duration> after;
  ASSERT_TRUE(WaitUntil([&] {
    for (std::size_t row : restarted)
      if (!after.count(row) && Restarts(row) == 1) after[row] = Clock::now() - commanded;
    return answers.size() == 64 && after.size() == restarted.size();
  }, 30s)) << answers.size() << " answers, " << after.size() << " restarts";
  const std::string victimPid = Pid(victim);
  loop.RunUntil([] { return false; }, 3s);  // time for anything that would still come

  // The others' quit went out within their StopSeconds: each ended by itself before them.
  for (std::size_t row = 1; row < restarted.size(); ++row) EXPECT_LT(after[restarted[row]], 4s);
  std::vector<std::string> cannot;
  for (const auto& line : mrig.view.LogLines())
    if (line.find(u"cannot send the stop command") != std::u16string::npos) cannot.push_back(Utf16ToUtf8(line));
  ASSERT_EQ(cannot.size(), 1u) << "the victim's, once";
  EXPECT_NE(cannot[0].find("victim: cannot send the stop command through RCON: RCON command not sent (not sent within 1 s"),
            std::string::npos)
      << cannot[0];
  // Its queued quit never reached the new process, which runs on.
  EXPECT_EQ(Restarts(victim), 1);
  EXPECT_FALSE(victimPid.empty());
  EXPECT_EQ(Pid(victim), victimPid);

  // Every door's answer within its time; a command answered "not sent" never runs.
  ASSERT_TRUE(markedAgain) << "the queue was kept full";
  const std::string said = Control(At(marked), "fakesrv said");
  for (const Answer& a : answers) {
    EXPECT_LT(a.took, kRconDoorAnswerWithin + 1s) << a.command;
    if (a.command.rfind("say ", 0) == 0 && !a.result.ok()) {
      EXPECT_EQ(said.find(a.command.substr(4)), std::string::npos) << a.command << ": " << a.result.Reason();
    }
  }
}

}  // namespace
}  // namespace tervane::testing
