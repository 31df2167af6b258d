// Game updates decided over the fake processes, a fake RCON and a fake command runner: when an
// installation's update begins, whom it stops and starts, what it says, and what holds it.
#include <gtest/gtest.h>

#include "core/servers.h"
#include "fake_process_control.h"
#include "monitor/monitor.h"
#include "support/text.h"
#include "test_support.h"
#include "testbed.h"

namespace tervane {
namespace {

using testing::FakeProcessControl;
using Result = UpdateStatus::Result;

constexpr WallTime kStart = 1'800'000'000;

class FakeRunner final : public ICommandRunner {
 public:
  void Start(CommandJob job, Done done) override {
    jobs.push_back(std::move(job));
    dones.push_back(std::move(done));
  }
  std::size_t Running() const override { return dones.size(); }
  void EndAll() override { dones.clear(); }
  void End(CommandEnd::How how, int exitCode = 0, std::string error = {}) {
    Done done = std::move(dones.front());
    dones.erase(dones.begin());
    done(CommandEnd{how, exitCode, std::move(error), std::chrono::milliseconds(2400)});
  }
  std::vector<CommandJob> jobs;
  std::vector<Done> dones;
};

class FakeRcon final : public IRcon {
 public:
  void Send(RconRequest request, Done) override { sent.push_back(request.command); }
  std::vector<std::string> sent;
};

// A and B share the installation "game", C has one of its own; each is running and answering.
struct UpdateRig {
  UpdateRig() {
    for (const char16_t* name : {u"A", u"B", u"C"}) {
      auto s = std::make_unique<Server>();
      s->Name.assign(name);
      const std::u16string folder = name[0] == u'C' ? u"other" : u"game";
      s->FileName.assign(dir.File(folder + PathSeparator() + name + u".exe"));
      servers.Add(std::move(s));
    }
    servers.Plans().SetRcon(&rcon);
    servers.Updates().SetRunner(&runner);
    UpdateSettings settings;
    settings.command = "update {appid} in {folder}";
    settings.appId = 90;
    Configure(settings);
    for (std::size_t i = 0; i < 3; ++i) Answering(i, 0);
    servers.Changes().Add([this](const ServerChange& c) {
      if (c.what == ServerChange::What::UpdateEnded) ended.push_back(c.row);
    });
  }
  void Configure(const UpdateSettings& settings) {
    UpdateOptions options;
    options.all = UpdateSection{u"", settings, ~0u};
    servers.Updates().SetOptions(std::move(options));
  }
  void Answering(std::size_t i, int players, std::optional<int> bots = {}) {
    process.running[FakeProcessControl::Key(list[i]->FileName.str())] = true;
    servers.FoundRunning(i);
    ParsedDatagram reply;
    reply.players = players;
    reply.bots = bots;
    servers.ReplyReceived(i, reply);
  }
  void Note(std::size_t i) { servers.Updates().NoteAvailable(list[i]->Id, UpdateSource::Notice, "out of date"); }
  Phase PhaseOf(std::size_t i) { return list[i]->Status.phase; }
  std::vector<std::u16string> Logs() {
    std::vector<std::u16string> out;
    for (const auto& l : rig.view.LogLines()) out.push_back(l.substr(22));
    return out;
  }
  // A's and B's installation stopped and its command running.
  void UpdateGame() {
    Note(0);
    servers.Updates().Step();  // begun: both ended
    servers.Updates().Step();  // the command runs
    ASSERT_EQ(runner.dones.size(), 1u);
  }

  testing::TempDir dir;
  FakeProcessControl process;
  EventLoop loop;
  WallTime now = kStart;
  testbed::SupervisionRig rig{loop, process, {SupervisionTiming{1, 1, 7}, dir.Dir(), [this] { return now; }}};
  ServerList& list = rig.list;
  Servers& servers = rig.servers;
  const int minute = servers.Plans().MinuteSeconds();
  FakeRcon rcon;
  FakeRunner runner;
  std::vector<std::size_t> ended;
};

class UpdatesTest : public ::testing::Test, public UpdateRig {};

TEST_F(UpdatesTest, AnInstallationNobodyPlaysOnIsUpdatedAtOnceABusyOneWhenDue) {
  struct Case {
    const char* what;
    int playersB;
    std::optional<int> botsB;
    bool answeredB;
    bool atOnce;
  };
  const Case cases[] = {
      {"both empty", 0, {}, true, true},
      {"bots are nobody", 3, 3, true, true},
      {"a player on B", 1, {}, true, false},
      {"B not answering", 0, {}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UpdateRig t;
    t.Answering(1, c.playersB, c.botsB);
    if (!c.answeredB) t.servers.ReplyMissed(1);
    t.Note(1);
    EXPECT_EQ(t.list[0]->Status.update.dueBy, kStart + 30 * t.minute) << "the installation is pending together";
    EXPECT_EQ(t.list[2]->Status.update.availableSince, 0) << "another installation is not";
    t.servers.Updates().Step();
    EXPECT_EQ(t.process.Count("terminate"), c.atOnce ? 2 : 0);
    if (c.atOnce) continue;
    t.now = kStart + 30 * t.minute - 1;
    t.servers.Updates().Step();
    EXPECT_EQ(t.process.Count("terminate"), 0);
    t.now += 1;
    t.servers.Updates().Step();
    EXPECT_EQ(t.process.Count("terminate"), 2) << "due: whoever plays";
  }
}

TEST_F(UpdatesTest, PlayersAreWarnedAtTheLeadTimesWithTheUpdatesTextOrTheAdminsOwn) {
  struct Case {
    std::vector<int> leads;
    std::u16string text;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {{}, kDefaultRestartWarnText,
       {"say \"The server restarts for a game update in 10 minute(s).\"",
        "say \"The server restarts for a game update in 5 minute(s).\"",
        "say \"The server restarts for a game update in 1 minute(s).\""}},
      {{2}, u"Back in %d", {"say \"Back in 2\""}},
  };
  for (const Case& c : cases) {
    UpdateRig t;
    RestartSettings restart;
    restart.warnMinutes = c.leads;
    restart.warnText = c.text;
    RestartOptions options;
    options.all = RestartSection{u"", restart, ~0u};
    t.servers.Plans().SetRestartOptions(std::move(options));
    t.Answering(0, 4);
    t.Note(0);
    for (int m = 0; m < 30; ++m) {  // each minute and half-minute of the wait
      t.now = kStart + m * t.minute;
      t.servers.Updates().Step();
    }
    // A and B are each warned: the sends alternate.
    std::vector<std::string> once;
    for (std::size_t k = 0; k < t.rcon.sent.size(); k += 2) once.push_back(t.rcon.sent[k]);
    EXPECT_EQ(once, c.said);
    EXPECT_EQ(t.rcon.sent.size(), 2 * c.said.size());
    EXPECT_EQ(t.process.Count("terminate"), 0) << "not before its due time";
  }
}

TEST_F(UpdatesTest, AnInstallationIsStoppedUpdatedOnceAndStartedWithItsLine) {
  UpdateGame();
  EXPECT_EQ(PhaseOf(0), Phase::Updating);
  EXPECT_EQ(PhaseOf(1), Phase::Updating);
  EXPECT_EQ(PhaseOf(2), Phase::Watched) << "another installation";
  const CommandJob& job = runner.jobs.front();
  const Path folder = dir.File(u"game");
  EXPECT_EQ(job.command, "update 90 in " + Utf16ToUtf8(folder));
  EXPECT_EQ(job.folder, folder);
  EXPECT_EQ(job.limit, std::chrono::seconds(900));
  EXPECT_EQ(job.output, UpdateOutputFile(dir.Dir() + u"logs" + PathSeparator(), list[0]->FileName.str()));
  EXPECT_NE(list[0]->Status.update.updatingSince, 0);

  // The supervision neither starts nor judges them meanwhile.
  const int starts = process.Count("start");
  for (int k = 0; k < 5; ++k) {
    rig.supervisor.timerCircleCheckTimer();
    rig.supervisor.timerCheckTimeOutTimer();
  }
  EXPECT_EQ(process.Count("start"), starts);
  EXPECT_EQ(runner.jobs.size(), 1u) << "run once";

  now += 100;
  runner.End(CommandEnd::How::Exited, 0);
  EXPECT_EQ(process.Count("start"), starts + 2);
  for (std::size_t i : {0u, 1u}) {
    const UpdateStatus& u = list[i]->Status.update;
    EXPECT_EQ(u.lastResult, Result::Made);
    EXPECT_EQ(u.made, 1u);
    EXPECT_EQ(u.holdUntil, now + 60 * minute);
    EXPECT_EQ(u.availableSince, 0);
    EXPECT_EQ(list[i]->Status.lastRestartReason, RestartReason::Update);
    EXPECT_EQ(PhaseOf(i), Phase::Watched);
  }
  EXPECT_EQ(ended, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(Logs(), (std::vector<std::u16string>{u"A: update made in 2 s", u"B: update made in 2 s",
                                                 u"A: Restarting. Reason: Game update.",
                                                 u"B: Restarting. Reason: Game update."}));
}

TEST_F(UpdatesTest, AFailedUpdateStartsTheServersOnTheirFilesAndHoldsTheNextOne) {
  struct Case {
    CommandEnd::How how;
    int exitCode;
    Result result;
    std::u16string line;
  };
  const Case cases[] = {
      {CommandEnd::How::Exited, 3, Result::Failed, u"A: update command failed: exit code 3"},
      {CommandEnd::How::TimedOut, -1, Result::TimedOut,
       u"A: update command passed its time limit of 900 s and was ended"},
      {CommandEnd::How::NotStarted, -1, Result::NotStarted, u"A: update command could not be started: no shell"},
  };
  for (const Case& c : cases) {
    UpdateRig t;
    t.UpdateGame();
    t.runner.End(c.how, c.exitCode, "no shell");
    EXPECT_EQ(t.process.Count("start"), 2);
    EXPECT_EQ(t.list[0]->Status.update.lastResult, c.result);
    EXPECT_EQ(t.list[1]->Status.update.failed, 1u);
    EXPECT_EQ(t.Logs().front(), c.line);
    EXPECT_EQ(t.Logs().size(), 4u) << "one line each, and each start's";
    // The same news within UpdateRetryMinutes is not acted on, silently; after it, it is.
    t.now += 60 * t.minute - 1;
    t.Note(0);
    EXPECT_EQ(t.list[0]->Status.update.availableSince, 0);
    t.now += 1;
    t.Note(0);
    EXPECT_NE(t.list[0]->Status.update.availableSince, 0);
    EXPECT_EQ(t.Logs().size(), 4u);
  }
}

TEST_F(UpdatesTest, TheNewsAgainRightAfterAMadeUpdateIsSaidOnceAndNotActedOn) {
  UpdateGame();
  runner.End(CommandEnd::How::Exited, 0);
  const std::size_t lines = Logs().size();
  for (int k = 0; k < 3; ++k) {
    now += minute;
    Note(0);
  }
  EXPECT_EQ(list[0]->Status.update.availableSince, 0);
  ASSERT_EQ(Logs().size(), lines + 1);
  EXPECT_EQ(Logs().back(), u"A: an update is said to exist again right after the update made; not acted on before "
                           u"59 min have passed");
}

TEST_F(UpdatesTest, APausedServerIsLeftOutOfItsInstallationsUpdate) {
  servers.SetPaused(1, true);
  UpdateGame();
  EXPECT_EQ(process.Count("terminate " + Utf16ToUtf8(list[1]->FileName.str())), 0);
  runner.End(CommandEnd::How::Exited, 0);
  EXPECT_EQ(process.Count("start " + Utf16ToUtf8(list[1]->FileName.str())), 0);
  EXPECT_EQ(list[1]->Status.update.made, 0u);

  // Paused while it updates: left down, paused, once it ended.
  UpdateRig t;
  t.UpdateGame();
  t.servers.SetPaused(1, true);
  EXPECT_EQ(t.PhaseOf(1), Phase::Updating);
  t.runner.End(CommandEnd::How::Exited, 0);
  EXPECT_EQ(t.process.Count("start"), 1);
  EXPECT_EQ(t.PhaseOf(1), Phase::PausedByOperator);
}

TEST_F(UpdatesTest, AServerWhoseEndCannotBeConfirmedKeepsTheCommandFromRunning) {
  process.lookErrors[FakeProcessControl::Key(list[1]->FileName.str())] = 5;
  Note(0);
  servers.Updates().Step();
  servers.Updates().Step();
  EXPECT_TRUE(runner.jobs.empty());
  EXPECT_EQ(process.Count("start " + Utf16ToUtf8(list[0]->FileName.str())), 1) << "A started again";
  EXPECT_EQ(PhaseOf(1), Phase::Watched);
  EXPECT_EQ(list[1]->Status.update.lastResult, Result::NotStarted);
  const std::vector<std::u16string> logs = Logs();
  EXPECT_EQ(std::count(logs.begin(), logs.end(), u"A: update not made: the process of B could not be ended; its "
                                                  u"servers start on the files they have"),
            1);
}

TEST_F(UpdatesTest, TheOperatorsUpdateAnswersWhatItDidAndWhatItLeftAlone) {
  Monitor& monitor = rig.monitor;
  monitor.SetLogCommands(true);
  UpdateSettings off;
  UpdateOptions options;
  UpdateSettings on;
  on.command = "update";
  options.all = UpdateSection{u"", on, ~0u};
  options.servers.push_back(UpdateSection{u"C", off, kUpdateKeyCommand});
  monitor.SetUpdateOptions(std::move(options));
  EXPECT_FALSE(monitor.UpdateSettingsOf(2).On());

  CommandArgs in;
  in.inMinutes = 5;
  CommandResult planned = monitor.Run(Command::Update, monitor.Targets({0, 2}), in);
  EXPECT_EQ(planned.rows, std::vector<std::size_t>{0});
  EXPECT_EQ(planned.due, std::vector<WallTime>{kStart + 5 * minute});
  ASSERT_EQ(planned.skipped.size(), 1u);
  EXPECT_EQ(planned.skipped[0].second, "kesp.ini names no UpdateCommand for it");
  EXPECT_EQ(list[1]->Status.update.dueBy, kStart + 5 * minute) << "its installation with it";

  const CommandResult now = monitor.Run(Command::Update, monitor.Targets({0, 1}));
  EXPECT_EQ(now.rows, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(process.Count("terminate"), 2) << "begun at once, once";
  const CommandResult again = monitor.Run(Command::Update, monitor.Targets({1}));
  EXPECT_EQ(again.skipped, (std::vector<std::pair<std::size_t, std::string>>{{1, "updating already"}}));
  const CommandResult restart = monitor.Run(Command::Restart, monitor.Targets({0}));
  EXPECT_EQ(restart.skipped, (std::vector<std::pair<std::size_t, std::string>>{{0, "updating"}}));
  const std::vector<std::u16string> logs = Logs();
  ASSERT_GE(logs.size(), 5u);
  EXPECT_EQ(logs[0].rfind(u"A: Update in 5 minute(s) by the operator (window): planned for ", 0), 0u) << Utf16ToUtf8(logs[0]);
  const std::vector<std::u16string> expected = {
      u"C: Update in 5 minute(s) by the operator (window): left alone: kesp.ini names no UpdateCommand for it.",
      u"A: Update by the operator (window): done.",
      u"B: Update by the operator (window): done.",
      u"B: Update by the operator (window): left alone: updating already.",
  };
  EXPECT_EQ(std::vector<std::u16string>(logs.begin() + 1, logs.begin() + 5), expected);
}

}  // namespace
}  // namespace tervane
