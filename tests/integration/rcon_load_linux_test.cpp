// RCON under load, through the monitor as the doors use it: hostile stand-ins (RCON accepted,
// never answered) keep every worker busy and the queue full while servers restart by their stop
// command and a door sends commands. Each request reaches the process it was made for, in time,
// or is answered "not sent" and never sent.
#include <map>
#include <thread>

#include "fakesrv.h"
#include "integration_support.h"
#include "monitor/monitor.h"

namespace tervane::testing {
namespace {

using Clock = std::chrono::steady_clock;

const std::u16string kPassword = u" +rcon_password secret";

class RconUnderLoad : public ::testing::Test {
 protected:
  RconUnderLoad()
      : process(CreateProcessControl(Options(dir))),
        rig(loop, *process, dir.Dir(), MonitorOptions{{}, {}, kFast, {}, nullptr, {}}) {}
  ~RconUnderLoad() override {
    for (const auto& e : monitor.List()) process->TerminateServerProcess(e->FileName.str());
  }

  static ProcessControlOptions Options(const TempDir& dir) {
    ProcessControlOptions options;
    options.outputFolder = dir.Dir() + u"logs" + PathSeparator();
    return options;
  }
  std::size_t Add(const std::string& name, const std::u16string& extra) {
    monitor.States().Add(StandIn(dir, loop, name, extra));
    return monitor.List().size() - 1;
  }
  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end)
      if (loop.RunUntil(done, 25ms)) return true;
    return done();
  }
  // A control command to a stand-in and its answer ("" when none came in 2 s); without running
  // the loop, so that it may be asked from a callback.
  std::string Control(std::size_t row, const std::string& command) {
    TVelUDP socket(loop);
    socket.Open();
    const std::vector<std::uint8_t> datagram = fakesrv::BuildControlDatagram(command);
    socket.SendBuffer(datagram.data(), static_cast<int>(datagram.size()), monitor.List()[row]->Port, "127.0.0.1");
    const auto end = Clock::now() + 2s;
    while (!socket.DatagramWaiting()) {
      if (Clock::now() >= end) return {};
      std::this_thread::sleep_for(5ms);
    }
    char buffer[4096];
    std::string from;
    int port = 0;
    const int n = socket.ReceiveBuffer(buffer, sizeof buffer, from, port);
    return n > 4 ? std::string(buffer + 4, static_cast<std::size_t>(n) - 4) : std::string();
  }
  std::vector<std::u16string> Logs() {
    std::vector<std::u16string> out;
    for (const auto& l : rig.view.LogLines()) out.push_back(l.substr(22));
    return out;
  }
  // The stand-in's process id ("" when it did not answer).
  std::string Pid(std::size_t row) {
    const std::string status = Control(row, "fakesrv status");
    const std::size_t at = status.find("pid=");
    return at == std::string::npos ? std::string() : status.substr(at, status.find(' ', at) - at);
  }
  int Restarts(std::size_t row) {
    return monitor.List()[row]->Status.restartsByReason[static_cast<std::size_t>(RestartReason::Command)];
  }

  TempDir dir;
  EventLoop loop;
  std::unique_ptr<IProcessControl> process;
  testbed::MonitorRig rig;
  Monitor& monitor = rig.monitor;
};

TEST_F(RconUnderLoad, NoRequestOutlivesItsProcessOrItsDoorAndStopsGoFirst) {
  std::vector<std::size_t> hostile, others;
  for (int k = 0; k < 8; ++k) hostile.push_back(Add("hostile" + std::to_string(k), kPassword + u" -fakesrv.rcon silent"));
  const std::size_t victim = Add("victim", kPassword);
  const std::size_t marked = Add("marked", kPassword);
  for (int k = 0; k < 3; ++k) others.push_back(Add("other" + std::to_string(k), kPassword));
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
    ASSERT_TRUE(WaitUntil([&] { return rig.view.Cell(static_cast<int>(row), ColNetworkStatus) == u"Normal"; }, 20s))
        << row;

  // The victim and the marked server stop answering RCON for a while: a door's exchange with each
  // holds its server, the marked one's later commands wait behind it.
  ASSERT_EQ(Control(victim, "fakesrv rcon silent"), "fakesrv ok");
  ASSERT_EQ(Control(marked, "fakesrv rcon silent"), "fakesrv ok");
  struct Answer {
    RconResult result;
    Clock::duration took;
  };
  std::map<std::string, Answer> answers;
  bool markedAnswers = false;
  auto door = [&](std::size_t row, const std::string& name, const std::string& command) {
    const auto asked = Clock::now();
    monitor.Rcon(row, command, [&, row, name, asked](const RconResult& result) {
      answers[name] = {result, Clock::now() - asked};
      // Told "not sent", the operator would try again: from now on the server would take it.
      if (row == marked && result.failure == RconFailure::NotSent && !markedAnswers)
        markedAnswers = Control(marked, "fakesrv rcon normal") == "fakesrv ok";
    });
  };
  door(victim, "victim", "status");
  door(marked, "marker1", "say marker1");
  loop.RunUntil([] { return false; }, 300ms);
  for (std::size_t row : hostile)
    for (int n = 0; n < 7; ++n) door(row, "hostile" + std::to_string(row) + "." + std::to_string(n), "status");
  for (int n = 2; n <= 7; ++n) door(marked, "marker" + std::to_string(n), "say marker" + std::to_string(n));
  const std::size_t asked = 2 + hostile.size() * 7 + 6;

  // kesp restart of the three others and the victim, with every worker busy.
  std::vector<std::size_t> restarted = {victim};
  restarted.insert(restarted.end(), others.begin(), others.end());
  const auto commanded = Clock::now();
  monitor.Run(Command::Restart, restarted);
  ASSERT_EQ(monitor.LastStopsBegun(), restarted);
  std::map<std::size_t, Clock::duration> restartedAfter;
  ASSERT_TRUE(WaitUntil([&] {
    for (std::size_t row : restarted)
      if (!restartedAfter.count(row) && Restarts(row) == 1) restartedAfter[row] = Clock::now() - commanded;
    return answers.size() == asked && restartedAfter.size() == restarted.size();
  }, 30s)) << answers.size() << " answers, " << restartedAfter.size() << " restarts";
  const std::string newVictim = Pid(victim);
  loop.RunUntil([] { return false; }, 3s);  // time for anything that would still come

  // The others' quit went out within their StopSeconds: each ended by itself before them.
  for (std::size_t row : others) EXPECT_LT(restartedAfter[row], 4s) << row;
  const std::u16string cannot = u": cannot send the stop command through RCON: ";
  std::vector<std::u16string> notSent;
  for (const auto& line : Logs())
    if (line.find(cannot) != std::u16string::npos) notSent.push_back(line);
  ASSERT_EQ(notSent.size(), 1u) << "the victim's, and only once";
  EXPECT_EQ(notSent[0].rfind(u"victim" + cannot + u"RCON command not sent (not sent within 1 s", 0), 0u)
      << Utf16ToUtf8(notSent[0]);
  // The victim's queued quit never reached its new process, which runs on.
  EXPECT_EQ(Restarts(victim), 1);
  EXPECT_EQ(Pid(victim), newVictim);
  EXPECT_FALSE(newVictim.empty());
  EXPECT_EQ(monitor.List()[victim]->LostCount, 0);
  EXPECT_EQ(monitor.List()[victim]->Restarts, 0);

  // Every door's answer within its time; "not sent" means never sent.
  int dropped = 0;
  for (const auto& [name, answer] : answers) {
    EXPECT_LT(answer.took, kRconDoorAnswerWithin + 1s) << name;
    if (answer.result.failure == RconFailure::NotSent) ++dropped;
  }
  EXPECT_GT(dropped, 0) << "the queue was kept full";
  ASSERT_TRUE(markedAnswers);
  const std::string said = Control(marked, "fakesrv said");
  for (int n = 1; n <= 7; ++n) {
    const std::string name = "marker" + std::to_string(n);
    if (!answers[name].result.ok()) {
      EXPECT_EQ(said.find(name), std::string::npos) << name << ": " << answers[name].result.Reason();
    }
  }
}

}  // namespace
}  // namespace tervane::testing
