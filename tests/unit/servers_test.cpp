#include <gtest/gtest.h>

#include <set>

#include "core/servers.h"
#include "fake_process_control.h"
#include "support/text.h"
#include "test_support.h"
#include "testbed.h"

namespace tervane {
namespace {

using testing::FakeProcessControl;

// Counts the cells written, so that a test sees what a render really changes.
class CountingView : public MemoryListView {
 public:
  void SetCell(int row, int column, const std::u16string& text) override {
    ++writes;
    MemoryListView::SetCell(row, column, text);
  }
  int writes = 0;
};

constexpr WallTime kNow = 1'800'000'000;

class ServersTest : public ::testing::Test {
 protected:
  ServersTest() {
    for (const char16_t* name : {u"A", u"B", u"C"}) {
      auto s = std::make_unique<Server>();
      s->Name.assign(name);
      s->FileName.assign(dir.File(std::u16string(name) + u".exe"));
      servers.Add(std::move(s));
    }
  }
  const ServerStatus& Status(std::size_t i) { return list[i]->Status; }

  testing::TempDir dir;
  FakeProcessControl process;
  EventLoop loop;
  testbed::BasicRig<CountingView> rig{loop, process, {SupervisionTiming{1, 1, 7}, dir.Dir(), [] { return kNow; }}};
  ServerList& list = rig.list;
  CountingView& view = rig.view;
  Servers& servers = rig.servers;
};

TEST_F(ServersTest, EveryStartIsRecordedWithItsReasonAndTime) {
  struct Case {
    const char* what;
    std::function<void()> act;
    RestartReason reason;
    int restarts;      // the Restarts cell's number after it
    std::size_t logs;  // log lines after it
  };
  const Case cases[] = {
      {"missing since load: a first start",
       [&] { for (int n = 0; n < 4; ++n) servers.FoundMissing(0); }, RestartReason::FirstStart, 0, 1},
      {"lost again: a restart", [&] { for (int n = 0; n < 4; ++n) servers.FoundMissing(0); },
       RestartReason::ProcessLost, 1, 2},
      {"silent past the limit", [&] { for (int n = 0; n <= kTimeoutLimit; ++n) servers.ReplyMissed(0); },
       RestartReason::NoResponse, 2, 3},
      {"fatal error", [&] { servers.Restart(0, RestartReason::FatalError, list[0]->FileName.str(), u"x"); },
       RestartReason::FatalError, 3, 4},
      {"by command: neither counted nor logged", [&] { servers.RestartByCommand({0}); }, RestartReason::Command, 3, 4},
  };
  for (const Case& c : cases) {
    c.act();
    EXPECT_EQ(Status(0).lastRestartReason, c.reason) << c.what;
    EXPECT_EQ(Status(0).restartsByReason[static_cast<std::size_t>(c.reason)], 1u) << c.what;
    EXPECT_EQ(Status(0).lastRestart, kNow) << c.what;
    EXPECT_EQ(Status(0).processStarted, kNow) << c.what;
    EXPECT_EQ(list[0]->Restarts, c.restarts) << c.what;
    EXPECT_EQ(view.LogLines().size(), c.logs) << c.what;
    EXPECT_EQ(view.Row(0)[ColProcessStatus], u"Restarting") << c.what;
  }
  EXPECT_EQ(view.LogLines().back().substr(22), u"A: Restarting. Reason: Fatal error - x");
  EXPECT_EQ(process.Count("sleep 7"), 3) << "every restart that ends a process waits the shared pause";
}

// The Restarts cell counts the supervision's restarts alone: a planned one is logged and counted
// by its reason, not in the cell, and never trips the guard.
TEST_F(ServersTest, APlannedRestartIsLoggedButNeitherInTheRestartsCellNorACrash) {
  servers.SetCrashLoopGuard(CrashLoopGuard(2, 10));
  servers.FoundRunning(0);
  for (int n = 0; n < 3; ++n) servers.Restart(0, RestartReason::Planned, list[0]->FileName.str());
  EXPECT_EQ(Status(0).restartsByReason[static_cast<std::size_t>(RestartReason::Planned)], 3u);
  EXPECT_EQ(Status(0).lastRestartReason, RestartReason::Planned);
  EXPECT_EQ(list[0]->Restarts, 0);
  EXPECT_EQ(view.Row(0)[ColRestarts], u"0");
  EXPECT_FALSE(list[0]->Paused);
  EXPECT_EQ(view.LogLines().back().substr(22), u"A: Restarting. Reason: Planned restart.");
}

TEST_F(ServersTest, AFailedStartIsReportedAndNotCountedAsAStart) {
  process.startErrors[FakeProcessControl::Key(list[0]->FileName.str())] = 13;
  for (int n = 0; n < 4; ++n) servers.FoundMissing(0);
  const std::u16string why = SystemErrorText(13);
  ASSERT_EQ(view.LogLines().size(), 2u);
  EXPECT_EQ(view.LogLines()[0].substr(22), u"A: Starting server.");
  EXPECT_EQ(view.LogLines()[1].substr(22), u"A: Start failed: " + why);
  EXPECT_EQ(view.Row(0)[ColProcessStatus], u"Start failed: " + why);
  EXPECT_EQ(view.Row(0)[ColRestarts], u"-") << "never started";
  EXPECT_EQ(Status(0).failedStarts, 1u);
  EXPECT_EQ(Status(0).restartsByReason[static_cast<std::size_t>(RestartReason::FirstStart)], 0u);

  process.startErrors.clear();  // tried again after the same lost cycles, and started
  for (int n = 0; n < 4; ++n) servers.FoundMissing(0);
  EXPECT_EQ(view.LogLines().back().substr(22), u"A: Starting server.");
  EXPECT_EQ(view.Row(0)[ColRestarts], u"0");
  EXPECT_EQ(view.Row(0)[ColProcessStatus], u"Restarting");
}

// The crash-loop guard refuses the restart that would be the MaxRestarts-th within the window,
// whatever its reason: nothing is ended or started, the server is paused as it is, logged, and
// the observers hear of it; the operator's restarts and a first start do not count.
TEST_F(ServersTest, TheGuardPausesInsteadOfTheRestartThatReachesItsLimit) {
  servers.SetCrashLoopGuard(CrashLoopGuard(3, 10));
  std::vector<StartRecord> heard;
  servers.Changes().Add([&](const ServerChange& c) {
    if (c.IsStart()) heard.push_back(c.start);
  });
  const Path exe = list[0]->FileName.str();
  for (int n = 0; n < 4; ++n) servers.FoundMissing(0);  // the first start: not counted
  servers.RestartByCommand({0});                         // the operator's: not counted
  servers.Restart(0, RestartReason::FatalError, exe, u"x");
  for (int n = 0; n <= kTimeoutLimit; ++n) servers.ReplyMissed(0);
  const int ends = process.Count("terminate");
  servers.Restart(0, RestartReason::FatalError, exe, u"y");  // the third: refused
  EXPECT_EQ(process.Count("terminate"), ends) << "left as it is";
  EXPECT_EQ(process.Count("start"), 4);
  EXPECT_EQ(list[0]->Paused, 1);
  EXPECT_TRUE(list[0]->PausedByGuard());
  EXPECT_EQ(view.Row(0)[ColProcessStatus], u"Paused Monitor");
  EXPECT_EQ(view.LogLines().back().substr(22), u"A: Paused Monitor. Reason: 3 restarts within 10 minutes.");
  ASSERT_EQ(heard.size(), 5u);
  EXPECT_TRUE(heard.back().pausedByGuard);
  EXPECT_EQ(heard.back().reason, RestartReason::FatalError);
}

// Close Server(s) and Unpause Monitor: the start that follows is the operator's doing. It is
// logged by the rule of a lost process, but neither counted by the guard nor reported as a loss.
TEST_F(ServersTest, AStartAfterCloseAndUnpauseIsTheOperatorsNotACrash) {
  servers.SetCrashLoopGuard(CrashLoopGuard(1, 10));  // any crash restart would be refused
  std::vector<StartRecord> heard;
  servers.Changes().Add([&](const ServerChange& c) {
    if (c.IsStart()) heard.push_back(c.start);
  });
  servers.FoundRunning(0);
  EXPECT_EQ(servers.Close(0), Look::Absent());  // the fake ran nothing
  servers.SetPaused(0, false);
  for (int n = 0; n < 4; ++n) servers.FoundMissing(0);
  EXPECT_EQ(list[0]->Paused, 0);
  EXPECT_EQ(process.Count("start"), 1);
  EXPECT_EQ(view.LogLines().back().substr(22), u"A: Restarting. Reason: Process lost.");
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].reason, RestartReason::Command);
  EXPECT_EQ(KindOf(Status(0).lastRestartReason), RestartKind::Operator);
  EXPECT_EQ(Status(0).restartsByReason[static_cast<std::size_t>(RestartReason::ProcessLost)], 0u);
  EXPECT_EQ(list[0]->Restarts, 1) << "the list counts the start the supervision made";
  // Lost again by itself afterwards: a crash, which this guard refuses.
  process.running.clear();
  for (int n = 0; n < 4; ++n) servers.FoundMissing(0);
  EXPECT_EQ(list[0]->Paused, 1);
}

// Pause of a paused server and Unpause of a watched one change nothing: its last reply, its
// cells and its counters stay.
TEST_F(ServersTest, PauseOrUnpauseAsItAlreadyIsChangesNothing) {
  ParsedDatagram reply;
  reply.map = "de_dust2";
  reply.players = 5;
  for (const bool paused : {false, true}) {
    servers.SetPaused(0, paused);
    servers.FoundRunning(0);
    servers.ReplyReceived(0, reply);
    list[0]->TimeoutCount = 2;
    const RowTexts before = view.Row(0);
    EXPECT_FALSE(servers.PauseAsAsked(0, paused)) << paused;
    EXPECT_TRUE(Status(0).hasReply) << paused;
    EXPECT_EQ(list[0]->TimeoutCount, 2) << paused;
    EXPECT_EQ(view.Row(0), before) << paused;
  }
  EXPECT_TRUE(servers.PauseAsAsked(0, false));
  EXPECT_FALSE(Status(0).hasReply) << "unpaused, it shows - until the next look";
}

TEST_F(ServersTest, RenderWritesOnlyTheCellsThatChanged) {
  servers.FoundRunning(1);
  EXPECT_EQ(view.Row(1)[ColRestarts], u"0");
  const int afterFirst = view.writes;
  servers.FoundRunning(1);
  EXPECT_EQ(view.writes, afterFirst) << "nothing changed, nothing written";

  ParsedDatagram reply;
  reply.replyKind = kReplyInfo;
  reply.map = "de_dust2";
  reply.players = 3;
  reply.maxPlayers = 16;
  reply.protocol = 17;
  servers.ReplyReceived(1, reply);
  EXPECT_EQ(view.writes, afterFirst + 3) << "network, map and players";
  EXPECT_EQ(view.Row(1)[ColPlayers], u"3/16");
  EXPECT_EQ(Status(1).protocol, 17);
  EXPECT_EQ(Status(1).lastReply, kNow);
  EXPECT_EQ(list[1]->ReplyKind, kReplyInfo);

  servers.SetPaused(1, true);
  EXPECT_EQ(view.Row(1)[ColMap], u"-") << "a paused server forgets its last reply";
  EXPECT_FALSE(Status(1).hasReply);
}

// Every part of the record and live state a row shows reaches its cell at the row's next
// change, and only that cell: the rows keep no input out of step with their texts.
TEST_F(ServersTest, EveryInputOfARowShowsAtItsNextChangeAndNothingElseIsWritten) {
  servers.FoundRunning(1);
  ParsedDatagram reply;
  reply.map = "de_dust2";
  servers.ReplyReceived(1, reply);
  Server& s = *list[1];
  struct Case {
    const char* what;
    std::function<void()> change;
    int column;
  };
  const Case cases[] = {
      {"name", [&] { s.Name.assign(u"Renamed"); }, ColServerName},
      {"address", [&] { s.IPAddress.assign("192.0.2.9"); }, ColIPAddress},
      {"port", [&] { s.Port = 27016; }, ColPort},
      {"executable", [&] { s.FileName.assign(u"other.exe"); }, ColFileName},
      {"priority", [&] { s.Priority = 2; }, ColPriority},
      {"lost", [&] { s.Status.process = ProcessState::Lost, s.LostCount = 1; }, ColProcessStatus},
      {"lost again", [&] { s.LostCount = 2; }, ColProcessStatus},
      {"start failed", [&] { s.Status.process = ProcessState::StartFailed, s.Status.startError = u"x"; }, ColProcessStatus},
      {"failed otherwise", [&] { s.Status.startError = u"y"; }, ColProcessStatus},
      {"timeout", [&] { s.Status.network = NetworkState::Timeout, s.TimeoutCount = 4; }, ColNetworkStatus},
      {"timeout again", [&] { s.TimeoutCount = 5; }, ColNetworkStatus},
      {"map", [&] { s.Status.map = "cs_italy"; }, ColMap},
      {"players", [&] { s.Status.players = 7; }, ColPlayers},
      {"most players", [&] { s.Status.maxPlayers = 20; }, ColPlayers},
      {"restarts", [&] { s.Restarts = 4; }, ColRestarts},
  };
  for (const Case& c : cases) {
    const int before = view.writes;
    c.change();
    servers.Edited(1);
    EXPECT_EQ(view.writes - before, 1) << c.what;
    EXPECT_EQ(view.Row(1), RowTextsFor(s, rig.texts)) << c.what;
    EXPECT_EQ(view.Row(1)[static_cast<std::size_t>(c.column)], RowTextsFor(s, rig.texts)[static_cast<std::size_t>(c.column)]);
  }
}

// The change list tells each change once, with the server it is about.
TEST_F(ServersTest, EveryChangeOfTheListIsToldWithItsServer) {
  using What = ServerChange::What;
  std::vector<ServerChange> told;
  servers.Changes().Add([&](const ServerChange& c) { told.push_back(c); });
  const ServerId a = list[0]->Id, b = list[1]->Id;
  servers.Move(0, 2);
  servers.Erase(0);
  servers.Edited(1);
  servers.Add(std::make_unique<Server>());
  const ServerId added = list[2]->Id;
  servers.Replace({});
  ASSERT_EQ(told.size(), 5u);
  EXPECT_TRUE(told[0].what == What::Moved && told[0].from == 0 && told[0].row == 2 && told[0].id == a);
  EXPECT_TRUE(told[1].what == What::Removed && told[1].row == 0 && told[1].id == b);
  EXPECT_TRUE(told[2].what == What::Edited && told[2].row == 1 && told[2].id == a);
  EXPECT_TRUE(told[3].what == What::Added && told[3].row == 2 && told[3].id == added);
  EXPECT_EQ(told[4].what, What::Loaded);
  for (const auto& c : told) EXPECT_EQ(c.Renumbers(), c.what != What::Edited);
  EXPECT_EQ(view.RowCount(), 0) << "the rows followed";
}

TEST_F(ServersTest, MovingAServerCarriesItsStatusAndRow) {
  ParsedDatagram reply;
  reply.map = "cs_office";
  servers.ReplyReceived(0, reply);
  servers.Move(0, 2);
  EXPECT_EQ(list[2]->Name.str(), u"A");
  EXPECT_EQ(list[2]->Status.map, "cs_office");
  EXPECT_EQ(view.Row(2)[ColMap], u"cs_office");
  EXPECT_EQ(view.Row(0)[ColServerName], u"B");
  servers.Erase(2);
  ASSERT_EQ(view.RowCount(), 2);
  EXPECT_EQ(view.Row(1)[ColServerName], u"C");
}

// An identity follows its server through moves, goes with it and is never given again.
TEST_F(ServersTest, AnIdentityFollowsItsServerAndNeverNamesAnother) {
  const ServerId a = servers.IdAt(0), b = servers.IdAt(1), c = servers.IdAt(2);
  servers.Move(0, 2);  // B C A
  servers.Erase(0);    // C A
  servers.Add(std::make_unique<Server>());
  const ServerId d = servers.IdAt(2);
  EXPECT_EQ((std::set<ServerId>{a, b, c, d, 0}).size(), 5u);
  EXPECT_EQ((std::vector{servers.RowOf(c), servers.RowOf(a), servers.RowOf(d), servers.RowOf(b)}),
            (std::vector<std::optional<std::size_t>>{0, 1, 2, std::nullopt}));
  EXPECT_EQ(servers.Resolve(a, 1), std::nullopt) << "another server's number by now";
}

// ----------------------------------------------------------------------------- planned restarts

// Takes every request and answers it when the test says.
class FakeRcon final : public IRcon {
 public:
  void Send(RconRequest request, Done done) override {
    sent.push_back(request.command);
    requests.push_back(std::move(request));
    pending.push_back(std::move(done));
  }
  void Answer(RconFailure failure, std::optional<std::chrono::steady_clock::time_point> commandSent = {},
              std::string detail = {}) {
    Done done = std::move(pending.front());
    pending.erase(pending.begin());
    done(RconResult{failure, std::move(detail), {}, false, commandSent});
  }
  std::vector<std::string> sent;
  std::vector<RconRequest> requests;
  std::vector<Done> pending;
};

// Every server stops by "quit" through the fake RCON.
class PlannedServersTest : public ServersTest {
 protected:
  PlannedServersTest() {
    servers.Plans().SetRcon(&rcon);
    RestartSettings settings;
    settings.stopCommand = "quit";
    RestartOptions options;
    options.all = RestartSection{u"", settings, ~0u};
    servers.Plans().SetRestartOptions(std::move(options));
  }
  // Running and answering, with this many players.
  void Answering(std::size_t i, int players = 0) {
    servers.FoundRunning(i);
    ParsedDatagram reply;
    reply.players = players;
    servers.ReplyReceived(i, reply);
  }
  std::vector<std::u16string> Logs() {
    std::vector<std::u16string> out;
    for (const auto& l : view.LogLines()) out.push_back(l.substr(22));
    return out;
  }

  FakeRcon rcon;
};

TEST_F(PlannedServersTest, AStopEndsAsItsCommandFares) {
  using Then = Want;
  struct Case {
    const char* what;
    Want then;
    std::optional<RconFailure> answer;  // none: not answered yet
    bool endsByItself;
    int terminates;  // processes ended by kesp
    bool started;
    std::size_t logs;  // lines after the stop
    int sentAgo;       // seconds before the answer that the command went; -1: not said
  };
  const Case cases[] = {
      {"quit taken, process ended by itself", Then::Restart, RconFailure::None, true, 0, true, 0, -1},
      {"password refused: ended at once", Then::Restart, RconFailure::PasswordRefused, false, 1, true, 1, -1},
      {"no answer in time: the command may be taken, it waits", Then::Restart, RconFailure::TimedOut, false, 0, false,
       1, 0},
      {"a close that ended by itself stays closed", Then::Close, RconFailure::None, true, 0, false, 0, -1},
      {"sent StopSeconds ago: ended", Then::Restart, RconFailure::None, false, 1, true, 0, 20},
      {"not sent within StopSeconds: ended, said once", Then::Restart, RconFailure::NotSent, false, 1, true, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    process.running[FakeProcessControl::Key(list[0]->FileName.str())] = true;
    Answering(0);
    ASSERT_TRUE(servers.StopsGracefully(0));
    const int terminatesBefore = process.Count("terminate");
    const int startsBefore = process.Count("start");
    const std::size_t logsBefore = view.LogLines().size();
    servers.BeginStop(0, c.then, RestartReason::Planned);
    EXPECT_EQ(rcon.sent.back(), "quit");
    const auto now = std::chrono::steady_clock::now();
    if (c.answer)
      rcon.Answer(*c.answer, c.sentAgo < 0 ? std::nullopt : std::optional(now - std::chrono::seconds(c.sentAgo)),
                  c.answer == RconFailure::NotSent ? "not sent within 20 s: 3 requests ahead" : "");
    if (c.endsByItself) process.running[FakeProcessControl::Key(list[0]->FileName.str())] = false;
    servers.StepStop(0);
    EXPECT_EQ(list[0]->Stopping(), !c.endsByItself && !c.terminates);
    EXPECT_EQ(process.Count("terminate") - terminatesBefore, c.terminates);
    EXPECT_EQ(process.Count("start") - startsBefore, c.started ? 1 : 0);
    EXPECT_EQ(view.LogLines().size() - logsBefore, c.logs + (c.started ? 1 : 0));
    EXPECT_EQ(list[0]->Paused != 0, c.then == Then::Close);
    if (c.started) {
      EXPECT_EQ(Logs().back(), u"A: Restarting. Reason: Planned restart.");
    }
    if (c.answer == RconFailure::NotSent) {
      EXPECT_EQ(Logs()[logsBefore], u"A: cannot send the stop command through RCON: RCON command not sent (not sent "
                                    u"within 20 s: 3 requests ahead); ended without it");
    }
    list[0]->Status.phase = Phase::Watched;  // given up, as a deletion gives it up
    servers.SetPaused(0, false);
  }
}

TEST_F(PlannedServersTest, ARequestIsWithdrawnBeforeItsProcessEndsAndNeverServesTheNextOne) {
  const Path exe = list[0]->FileName.str();
  struct Case {
    const char* what;
    std::function<void()> act;
    bool withdrawn;
  };
  const Case cases[] = {
      {"paused and unpaused: the process runs on", [&] { servers.SetPaused(0, true), servers.SetPaused(0, false); },
       false},
      {"another server restarted", [&] { servers.RestartByCommand({1}); }, false},
      {"found gone", [&] { servers.FoundMissing(0); }, true},
      {"restarted for silence", [&] { servers.Restart(0, RestartReason::NoResponse, exe); }, true},
      {"restarted by command", [&] { servers.RestartByCommand({0}); }, true},
      {"closed", [&] { servers.Close(0), servers.SetPaused(0, false); }, true},
      {"deleted", [&] { servers.Erase(0); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Answering(0);
    servers.Plans().Send(0, "status", std::chrono::steady_clock::time_point::max(), [](const RconResult&) {});
    const RconWithdrawal token = rcon.requests.back().withdrawn;
    ASSERT_TRUE(token && !token->load());
    std::optional<bool> atEnd;
    process.beforeEnd = [&](const Path& f) {
      if (f == exe) atEnd = token->load();
    };
    c.act();
    process.beforeEnd = nullptr;
    EXPECT_EQ(token->load(), c.withdrawn);
    if (atEnd) {
      EXPECT_TRUE(*atEnd) << "withdrawn before its process was ended";
    }
    if (list[0]->FileName.str() != exe) continue;
    servers.Plans().Send(0, "status", std::chrono::steady_clock::time_point::max(), [](const RconResult&) {});
    EXPECT_EQ(rcon.requests.back().withdrawn == token, !c.withdrawn) << "a new process, a new tie";
    EXPECT_FALSE(rcon.requests.back().withdrawn->load());
  }
}

TEST_F(PlannedServersTest, AStopIsDueInStopSecondsAndALateAnswerLeavesTheNextStopAlone) {
  Answering(0);
  servers.BeginStop(0, Want::Restart, RestartReason::Planned);
  EXPECT_LE(rcon.requests.back().beginBy, std::chrono::steady_clock::now() + std::chrono::seconds(20));
  servers.RestartByCommand({0});  // overtakes the stop: another process, another stop
  Answering(0);
  servers.BeginStop(0, Want::Restart, RestartReason::Planned);
  rcon.Answer(RconFailure::PasswordRefused);  // the first stop's, late
  servers.StepStop(0);
  EXPECT_TRUE(list[0]->Stopping()) << "the new stop keeps its time";
}

// What the commands and the guard make of a server: its phase, its want and the record's pause.
TEST_F(PlannedServersTest, PausedHasOneMeaningPerPhase) {
  const Path exe = list[0]->FileName.str();
  auto ends = [&] { process.running[FakeProcessControl::Key(exe)] = false, servers.StepStop(0); };
  struct Case {
    const char* what;
    std::function<void()> act;
    Phase phase;
    Want want;
    bool paused;
  };
  const Case cases[] = {
      {"paused", [&] { servers.SetPaused(0, true); }, Phase::PausedByOperator, Want::Run, true},
      {"unpaused", [&] { servers.SetPaused(0, false); }, Phase::Watched, Want::Run, false},
      {"closed", [&] { servers.Close(0); }, Phase::PausedByOperator, Want::Closed, true},
      {"unpaused after the close", [&] { servers.SetPaused(0, false); }, Phase::Watched, Want::Closed, false},
      {"seen running again", [&] { servers.FoundRunning(0); }, Phase::Watched, Want::Run, false},
      {"closing by its command", [&] { Answering(0), servers.BeginStop(0, Want::Close, RestartReason::Command); },
       Phase::Stopping, Want::Close, true},
      {"unpaused while closing: no longer to be closed", [&] { servers.SetPaused(0, false); }, Phase::Watched,
       Want::Run, false},
      {"restarting by its command", [&] { Answering(0), servers.BeginStop(0, Want::Restart, RestartReason::Planned); },
       Phase::Stopping, Want::Restart, false},
      {"paused while restarting: the stop goes on", [&] { servers.SetPaused(0, true); }, Phase::Stopping,
       Want::Restart, true},
      {"its process ended: started, and left paused", ends, Phase::PausedByOperator, Want::Run, true},
      {"refused by the guard", [&] {
         servers.SetPaused(0, false);
         servers.SetCrashLoopGuard(CrashLoopGuard(1, 10));
         servers.Restart(0, RestartReason::FatalError, exe);
       }, Phase::PausedByGuard, Want::Run, true},
      {"paused again: still the guard's", [&] { servers.SetPaused(0, true); }, Phase::PausedByGuard, Want::Run, true},
      {"unpaused", [&] { servers.SetPaused(0, false); }, Phase::Watched, Want::Run, false},
  };
  for (const Case& c : cases) {
    c.act();
    EXPECT_EQ(Status(0).phase, c.phase) << c.what;
    EXPECT_EQ(Status(0).want, c.want) << c.what;
    EXPECT_EQ(list[0]->Paused != 0, c.paused) << c.what;
    EXPECT_EQ(list[0]->PausedByGuard(), c.phase == Phase::PausedByGuard) << c.what;
  }
  EXPECT_EQ(process.Count("start"), 1) << "only the end of the restart's stop started it";
}

TEST_F(PlannedServersTest, PlansPassPausedServersAndOutliveOtherRestarts) {
  Answering(0, 3);
  Answering(1, 3);
  servers.Plans().PlanRestart(0, 2);
  servers.Plans().PlanRestart(1, 0);
  servers.SetPaused(1, true);
  const WallTime next = servers.Plans().NextPlannedRestart(0);
  ASSERT_NE(next, 0);
  servers.SetPaused(0, true);
  EXPECT_EQ(servers.Plans().NextPlannedRestart(0), 0) << "none is due while it is paused";
  servers.SetPaused(0, false);
  EXPECT_EQ(servers.Plans().NextPlannedRestart(0), next);
  Answering(0, 3);
  EXPECT_FALSE(servers.StepPlan(1)) << "paused: its planned time passes";
  EXPECT_EQ(servers.Plans().NextPlannedRestart(1), 0);
  for (int n = 0; n < 4; ++n) servers.FoundMissing(0);  // lost and restarted meanwhile
  EXPECT_EQ(servers.Plans().NextPlannedRestart(0), next) << "keeps its planned time";
  EXPECT_TRUE(servers.Plans().CancelRestart(0));
  EXPECT_FALSE(servers.Plans().CancelRestart(0));
  EXPECT_EQ(servers.Plans().NextPlannedRestart(0), 0);
}

}  // namespace
}  // namespace tervane
