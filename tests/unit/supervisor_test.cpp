#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include "core/supervisor.h"
#include "fake_datagram_port.h"
#include "fake_process_control.h"
#include "fakesrv.h"
#include "net/query.h"
#include "test_support.h"
#include "testbed.h"

namespace tervane {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using testing::FakeDatagramPort;
using testing::FakeProcessControl;

// The timers never fire by themselves here (an hour): each test drives the cycle and the
// check itself and lets the loop deliver datagrams in between.
constexpr SupervisionTiming kManual{3600000, 3600000, 0};
// The stand-in for the game servers: 127.0.0.1 at this port, behind a port held in memory.
constexpr std::uint16_t kServerPort = 27015;
constexpr std::uint32_t kLoopback = FakeDatagramPort::kLoopback;

// The stand-in server's replies.
Bytes InfoReply(const std::string& map, int players, int maxPlayers) {
  fakesrv::Settings s;
  s.map = map;
  s.players = players;
  s.maxPlayers = maxPlayers;
  return fakesrv::BuildInfoReply(s);
}

Bytes DetailsReply(int protocol) {
  fakesrv::Settings s;
  s.map = "cs_office";
  s.players = 3;
  s.maxPlayers = 16;
  s.protocol = protocol;
  return fakesrv::BuildDetailsReply(s, "127.0.0.1:1");
}

class SupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sup.CreateEndpoint();
    ASSERT_TRUE(sup.VelUDP1()->Active());
  }
  // VelUDP1 on the loop: each one made gets a port of its own, and what it sends to the
  // stand-in is what the stand-in received.
  DatagramPortMaker Ports(EventLoop& on) {
    return [this, &on] {
      auto port = std::make_unique<FakeDatagramPort>(on, nextPort++);
      port->OnSent = [this](const FakeDatagramPort::Datagram& d) {
        if (d.address == kLoopback && d.port == kServerPort) received.push_back(d.bytes);
      };
      return port;
    };
  }
  FakeDatagramPort& Port() { return static_cast<FakeDatagramPort&>(*sup.VelUDP1()); }

  ServerEntry& Add(std::u16string name, bool running, std::u16string extra = u"") {
    auto e = std::make_unique<Server>(NewServerEntry());
    e->Name.assign(name);
    e->FileName.assign(u"C:\\srv\\" + name + u"\\hlds.exe");
    e->Params.assign(u"+ip 127.0.0.1 -port " + ToU16(kServerPort) + extra);
    e->IPAddress.assign("127.0.0.1");
    e->Port = kServerPort;
    e->Affinity = 3;
    process.running[FakeProcessControl::Key(e->FileName.str())] = running;
    return rig.Add(std::move(e));
  }
  Path File(int i) { return list[static_cast<std::size_t>(i)]->FileName.str(); }
  void SetRunning(int i, bool r) { process.running[FakeProcessControl::Key(File(i))] = r; }

  // A cycle whose self-test echo comes back before the check.
  void Cycle() {
    received.clear();
    sup.timerCircleCheckTimer();
    ASSERT_TRUE(loop.RunUntil([&] { return !sup.SelfTestPending(); }, 5s)) << "self-test echo";
  }
  void Check() { sup.timerCheckTimeOutTimer(); }
  void Reply(const Bytes& bytes, std::uint16_t from = kServerPort) { Port().Arrive({bytes, kLoopback, from}); }
  bool ReplyArrives(int row, const std::u16string& networkStatus) {
    return loop.RunUntil([&] { return view.Cell(row, ColNetworkStatus) == networkStatus; }, 5s);
  }
  std::u16string Cell(int row, int col) { return view.Cell(row, col); }
  std::vector<std::u16string> Logs() {
    std::vector<std::u16string> out;
    for (const auto& l : view.LogLines()) out.push_back(l.substr(22));  // without the time stamp
    return out;
  }
  int Queries(const std::array<std::uint8_t, 25>&) {
    int n = 0;
    for (const auto& d : received) n += d == Bytes(InfoQuery.begin(), InfoQuery.end());
    return n;
  }
  int DetailsQueries() {
    int n = 0;
    for (const auto& d : received) n += d == Bytes(DetailsQuery.begin(), DetailsQuery.end());
    return n;
  }
  int InfoQueries() { return Queries(InfoQuery); }

  EventLoop loop;
  FakeProcessControl process;
  testing::TempDir dir;
  std::deque<Bytes> received;
  int nextPort = 40000;
  testbed::SupervisionRig rig{loop, process, {kManual, dir.Dir(), {}, true, Ports(loop)}};
  ServerList& list = rig.list;
  MemoryListView& view = rig.view;
  Servers& servers = rig.servers;
  Supervisor& sup = rig.supervisor;
};

TEST_F(SupervisorTest, MissingServerIsStartedInTheFourthCycleThenRestartedAfterALoss) {
  Add(u"1# Server", false);
  for (int n = 1; n <= 3; ++n) {
    Cycle();
    EXPECT_EQ(Cell(0, ColProcessStatus), u"Lost (" + ToU16(n) + u"/3)");
    EXPECT_EQ(Cell(0, ColNetworkStatus), u"-");
    EXPECT_EQ(Cell(0, ColRestarts), u"-");
    Check();
  }
  EXPECT_EQ(process.Count("start"), 0);
  Cycle();
  EXPECT_EQ(process.Count("start"), 1);
  EXPECT_EQ(process.calls.back(), "start C:\\srv\\1# Server\\hlds.exe +ip 127.0.0.1 -port " +
                                      std::to_string(kServerPort) + " p0 show a3");
  EXPECT_EQ(Cell(0, ColProcessStatus), u"Restarting");
  EXPECT_EQ(Cell(0, ColRestarts), u"0");
  EXPECT_EQ(Logs(), std::vector<std::u16string>{u"1# Server: Starting server."});
  EXPECT_EQ(view.LogLines()[0], u"[2026-12-07 08:00:00] 1# Server: Starting server.");
  Check();

  Cycle();  // running now
  EXPECT_EQ(Cell(0, ColProcessStatus), u"Normal");
  Check();
  SetRunning(0, false);  // killed
  for (int n = 1; n <= 4; ++n) {
    Cycle();
    Check();
  }
  EXPECT_EQ(Cell(0, ColRestarts), u"1");
  EXPECT_EQ(Logs().back(), u"1# Server: Restarting. Reason: Process lost.");
  EXPECT_EQ(process.Count("start"), 2);
}

TEST_F(SupervisorTest, ServerRunningAtStartGetsRestartsZeroAndNoLogLine) {
  Add(u"A", true);
  Cycle();
  EXPECT_EQ(Cell(0, ColRestarts), u"0");
  EXPECT_EQ(Cell(0, ColProcessStatus), u"Normal");
  EXPECT_EQ(list[0]->Restarts, 0);
  EXPECT_EQ(list[0]->WaitReply, 1);
  EXPECT_EQ(process.Count("affinity"), 1);
  EXPECT_TRUE(view.LogLines().empty());
  EXPECT_EQ(process.Count("start"), 0);
}

TEST_F(SupervisorTest, SilentServerCountsTwentyTimeoutsThenIsRestarted) {
  Add(u"Quiet", true);
  for (int n = 1; n <= 20; ++n) {
    Cycle();
    Check();
    EXPECT_EQ(Cell(0, ColNetworkStatus), u"Timeout (" + ToU16(n) + u"/20)");
    EXPECT_EQ(process.Count("terminate"), 0);
  }
  Cycle();
  Check();
  EXPECT_EQ(process.Count("terminate"), 1);
  EXPECT_EQ(process.Count("start"), 1);
  EXPECT_EQ(list[0]->Restarts, 1);
  EXPECT_EQ(list[0]->TimeoutCount, 0);
  EXPECT_EQ(Cell(0, ColProcessStatus), u"Restarting");
  EXPECT_EQ(Cell(0, ColNetworkStatus), u"-");
  EXPECT_EQ(Cell(0, ColRestarts), u"1");
  EXPECT_EQ(Logs(), std::vector<std::u16string>{u"Quiet: Restarting. Reason: No network response."});
}

TEST_F(SupervisorTest, LateRepliesNeverRestartAServer) {
  Add(u"Late", true);
  for (int n = 0; n < 25; ++n) {
    Cycle();
    Check();
    EXPECT_EQ(Cell(0, ColNetworkStatus), u"Timeout (1/20)");
    Reply(InfoReply("de_dust2", 12, 32));  // after the check, before the next cycle
    ASSERT_TRUE(ReplyArrives(0, u"Normal"));
  }
  EXPECT_EQ(process.Count("terminate"), 0);
  EXPECT_EQ(Cell(0, ColMap), u"de_dust2");
  EXPECT_EQ(Cell(0, ColPlayers), u"12/32");
}

TEST_F(SupervisorTest, PausedServerIsLeftAlone) {
  ServerEntry& e = Add(u"P", false);
  e.Paused = 1;
  view.SetCell(0, ColProcessStatus, u"Paused Monitor");
  e.WaitReply = 1;
  for (int n = 0; n < 5; ++n) {
    Cycle();
    Check();
  }
  EXPECT_TRUE(process.calls.empty());
  EXPECT_EQ(Cell(0, ColProcessStatus), u"Paused Monitor");
  EXPECT_EQ(e.TimeoutCount, 0);
  EXPECT_TRUE(received.empty());
  // Its replies are ignored too.
  Reply(InfoReply("x", 1, 2));
  loop.RunUntil([] { return false; }, 50ms);
  EXPECT_EQ(Cell(0, ColMap), u"-");
}

TEST_F(SupervisorTest, FailingSelfTestReopensThenRecreatesAndJudgesNoServer) {
  Add(u"A", true);
  const int firstPort = sup.VelUDP1()->LocalPort();
  for (int round = 0; round < 2; ++round) {
    for (int k = 1; k <= 3; ++k) {
      sup.timerCircleCheckTimer();  // the echo is never let in before the check
      Check();
      EXPECT_EQ(view.Status(), u"Network Status Self Test: Timeout(" + ToU16(k) + u"/3)");
      EXPECT_EQ(sup.SelfTestFailures(), k);
      EXPECT_TRUE(sup.VelUDP1()->Active());
      EXPECT_EQ(sup.VelUDP1()->LocalPort(), round == 0 ? firstPort : sup.VelUDP1()->LocalPort());
    }
    sup.timerCircleCheckTimer();
    Check();
    EXPECT_EQ(view.Status(), u"Network Status Self Test: Reinitialize");
    EXPECT_EQ(sup.SelfTestFailures(), 0);
  }
  EXPECT_TRUE(sup.VelUDP1()->Active());
  EXPECT_EQ(list[0]->TimeoutCount, 0) << "no server is judged while the self-test fails";
  EXPECT_EQ(Cell(0, ColNetworkStatus), u"-");
  EXPECT_EQ(process.Count("terminate"), 0);
  // Once the echo comes back the status is normal and servers are judged again.
  Cycle();
  EXPECT_EQ(view.Status(), u"Network Status Self Test: Normal");
  Check();
  EXPECT_EQ(Cell(0, ColNetworkStatus), u"Timeout (1/20)");
}

TEST_F(SupervisorTest, TwoFatalErrorDialogsAreHandledInTwoCycles) {
  Add(u"A", true);
  Add(u"B", true);
  process.dialogs.push_back({File(1), u"B crashed"});
  process.dialogs.push_back({File(0), u"A crashed"});
  Cycle();
  EXPECT_EQ(Logs(), std::vector<std::u16string>{u"B: Restarting. Reason: Fatal error - B crashed"});
  EXPECT_EQ(Cell(1, ColProcessStatus), u"Restarting");
  EXPECT_EQ(Cell(1, ColRestarts), u"0") << "counted up from -1: never seen running before";
  EXPECT_EQ(list[1]->Restarts, 0);
  const std::vector<std::string> expected{"close 1000", "sleep 0", "terminate C:\\srv\\B\\hlds.exe",
                                          "sleep 0"};
  auto it = std::find(process.calls.begin(), process.calls.end(), "close 1000");
  ASSERT_NE(it, process.calls.end());
  EXPECT_EQ(std::vector<std::string>(it, it + 4), expected);
  Check();
  Cycle();
  EXPECT_EQ(Logs().back(), u"A: Restarting. Reason: Fatal error - A crashed");
  EXPECT_TRUE(process.dialogs.empty());
}

TEST_F(SupervisorTest, FatalErrorDialogWithoutTextAndOfAnUnknownServer) {
  Add(u"A", true);
  process.dialogs.push_back({u"C:\\other\\hlds.exe", u"not ours"});
  Cycle();
  EXPECT_TRUE(view.LogLines().empty()) << "a dialog of no listed server stays open";
  EXPECT_EQ(process.dialogs.size(), 1u);
  process.dialogs.clear();
  process.dialogs.push_back({File(0), u""});
  Check();
  Cycle();
  EXPECT_EQ(Logs().back(), u"A: Restarting. Reason: Fatal error - ");
}

TEST_F(SupervisorTest, QueryChoiceFollowsTheReplyKindAndTheTimeouts) {
  Add(u"A", true);
  Cycle();
  EXPECT_EQ(DetailsQueries(), 1);
  EXPECT_EQ(InfoQueries(), 1);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0][4], 'd') << "details first";

  Reply(InfoReply("m", 1, 2));
  ASSERT_TRUE(ReplyArrives(0, u"Normal"));
  Check();
  Cycle();
  EXPECT_EQ(DetailsQueries(), 0);
  EXPECT_EQ(InfoQueries(), 1);

  Reply(DetailsReply(46));
  loop.RunUntil([&] { return list[0]->ReplyKind == kReplyDetailsOld; }, 5s);
  Check();
  Cycle();
  EXPECT_EQ(DetailsQueries(), 1);
  EXPECT_EQ(InfoQueries(), 0);

  Reply(DetailsReply(47));
  loop.RunUntil([&] { return list[0]->ReplyKind == kReplyDetailsNew; }, 5s);
  EXPECT_EQ(Cell(0, ColMap), u"cs_office");
  EXPECT_EQ(Cell(0, ColPlayers), u"3/16");
  Check();
  for (int n = 1; n <= 5; ++n) {
    Cycle();
    EXPECT_EQ(InfoQueries(), 1);
    EXPECT_EQ(DetailsQueries(), n == 5 ? 1 : 0) << "both queries once four went unanswered";
    Check();
  }
}

TEST_F(SupervisorTest, ChallengeIsAnsweredOncePerCycle) {
  Add(u"C", true);
  list[0]->ReplyKind = kReplyInfo;
  Cycle();
  ASSERT_EQ(InfoQueries(), 1);
  const Bytes challenge = fakesrv::BuildChallengeReply(0x06070809);  // 9, 8, 7, 6
  received.clear();
  Reply(challenge);
  ASSERT_TRUE(loop.RunUntil([&] { return !received.empty(); }, 5s));
  const auto expected = InfoQueryWithChallenge({9, 8, 7, 6});
  EXPECT_EQ(received[0], Bytes(expected.begin(), expected.end()));
  Reply(challenge);  // a second challenge in the same cycle gets nothing
  loop.RunUntil([] { return false; }, 50ms);
  EXPECT_EQ(received.size(), 1u);
  Reply(InfoReply("de_inferno", 5, 10));
  ASSERT_TRUE(ReplyArrives(0, u"Normal"));
  Check();
  EXPECT_EQ(list[0]->TimeoutCount, 0);
  Cycle();
  EXPECT_EQ(InfoQueries(), 1) << "every cycle sends the plain query first";
  Reply(challenge);
  ASSERT_TRUE(loop.RunUntil([&] { return received.size() == 2; }, 5s));
  EXPECT_EQ(received[1], Bytes(expected.begin(), expected.end()));
}

TEST_F(SupervisorTest, RepliesMatchTheFirstUnpausedServerWithAddressAndPort) {
  ServerEntry& a = Add(u"A", true);
  Add(u"B", true);
  a.Paused = 1;
  Reply(InfoReply("de_nuke", 12, 32));
  ASSERT_TRUE(ReplyArrives(1, u"Normal"));
  EXPECT_EQ(Cell(1, ColPlayers), u"12/32");
  EXPECT_EQ(Cell(0, ColNetworkStatus), u"-");
  // From another port: no server.
  Reply(InfoReply("x", 1, 1), kServerPort + 1);
  loop.RunUntil([] { return false; }, 50ms);
  EXPECT_EQ(Cell(1, ColMap), u"de_nuke");
}

// The address is matched as a number: another spelling the endpoint sends to matches too (the
// text compare never did, so such a server timed out forever), and a changed address is read
// again, so replies from the old one no longer count.
TEST_F(SupervisorTest, RepliesMatchTheAddressAsANumberReadAgainWhenItChanges) {
  ServerEntry& a = Add(u"A", true);
  a.IPAddress.assign("127.1");
  Cycle();
  EXPECT_EQ(DetailsQueries() + InfoQueries(), 2) << "the queries reach 127.0.0.1";
  Reply(InfoReply("de_nuke", 12, 32));
  ASSERT_TRUE(ReplyArrives(0, u"Normal"));
  a.IPAddress.assign("127.0.0.2");
  Reply(InfoReply("de_dust", 5, 32));
  loop.RunUntil([] { return false; }, 50ms);
  EXPECT_EQ(Cell(0, ColMap), u"de_nuke");
}

TEST_F(SupervisorTest, ConsoleWindowTitleAndShowStateEveryCycle) {
  ServerEntry& hidden = Add(u"Hidden", true);
  hidden.HideServer = 1;
  Add(u"Shown", true);
  Add(u"Minimised", true);
  process.AddConsole(File(0), 1);
  process.AddConsole(File(1), 2);
  process.AddConsole(File(2), 3);
  process.ByHandle(3)->iconic = true;
  Cycle();
  EXPECT_EQ(process.ByHandle(1)->title, u"Hidden");
  EXPECT_EQ(process.ByHandle(1)->show, kShowHide);
  EXPECT_EQ(process.ByHandle(2)->show, kShowNoActivate);
  EXPECT_EQ(process.ByHandle(3)->show, kShowMinNoActivate);
  process.ByHandle(1)->show = kShowNoActivate;  // shown by hand
  Check();
  Cycle();
  EXPECT_EQ(process.ByHandle(1)->show, kShowHide);
}

TEST_F(SupervisorTest, WhileConsolesAreHiddenTheCycleShowsNoneAndStartsServersHidden) {
  Add(u"Shown", true);
  Add(u"Missing", false);
  process.AddConsole(File(0), 1);
  servers.SetConsolesHidden(true);  // boss-hidden
  for (int i = 0; i < 4; ++i) {
    Cycle();
    Check();
  }
  EXPECT_EQ(process.ByHandle(1)->show, kShowHide) << "not shown again behind the boss key";
  EXPECT_EQ(process.Count("start"), 1);
  EXPECT_NE(process.calls.end(), std::find(process.calls.begin(), process.calls.end(),
                                           "start " + Utf16ToUtf8(File(1)) + " " + Utf16ToUtf8(list[1]->Params.str()) +
                                               " p0 hide a3"));
  EXPECT_EQ(list[0]->HideServer, 0) << "the settings stay";
  EXPECT_EQ(list[1]->HideServer, 0);

  servers.SetConsolesHidden(false);  // shown again: the next cycle follows the settings
  Cycle();
  EXPECT_EQ(process.ByHandle(1)->show, kShowNoActivate);
}

TEST_F(SupervisorTest, EmptyListSendsOnlyTheSelfTestAndStatusFollowsIt) {
  EXPECT_EQ(view.Status(), u"");
  sup.timerCircleCheckTimer();
  Check();  // the first check finds the echo missing
  EXPECT_EQ(view.Status(), u"Network Status Self Test: Timeout(1/3)");
  Cycle();
  EXPECT_EQ(view.Status(), u"Network Status Self Test: Normal");
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(process.cycles, 2);
}

TEST_F(SupervisorTest, TimerChainAlternatesCycleAndCheck) {
  EventLoop chainLoop;
  testbed::SupervisionRig chain(chainLoop, process, {SupervisionTiming{20, 30, 0}, dir.Dir(), {}, true, Ports(chainLoop)});
  Supervisor& chained = chain.supervisor;
  chained.CreateEndpoint();
  chained.timerCircleCheckTimer();
  EXPECT_FALSE(chained.timerCircleCheck.Enabled());
  EXPECT_TRUE(chained.timerCheckTimeOut.Enabled());
  EXPECT_EQ(chained.timerCheckTimeOut.Interval(), 20u);
  const int before = process.cycles;
  ASSERT_TRUE(chainLoop.RunUntil([&] { return process.cycles >= before + 3; }, 10s));
  EXPECT_EQ(chain.view.Status(), u"Network Status Self Test: Normal");
}

// A priority or an affinity the system refuses is said once when it happens, with the system's
// reason, and kept in the status until it is applied again.
TEST_F(SupervisorTest, ARefusedPriorityOrAffinityIsLoggedOncePerChange) {
  Add(u"A", true);
  const Path key = FakeProcessControl::Key(File(0));
  struct Step {
    ApplyErrors refused;
    std::vector<std::u16string> newLines;
  };
  const std::vector<Step> steps = {
      {{13, 0}, {u"A: Priority not applied: " + SystemErrorText(13)}},
      {{13, 0}, {}},  // the next cycle: nothing new
      {{13, 22}, {u"A: Processor affinity not applied: " + SystemErrorText(22)}},
      {{0, 0}, {}},
      {{0, 22}, {u"A: Processor affinity not applied: " + SystemErrorText(22)}},
  };
  for (const Step& step : steps) {
    process.applyErrors[key] = step.refused;
    const std::size_t before = Logs().size();
    Cycle();
    Check();
    const auto logs = Logs();
    EXPECT_EQ(std::vector<std::u16string>(logs.begin() + static_cast<long>(before), logs.end()), step.newLines);
    EXPECT_EQ(list[0]->Status.priorityError, step.refused.priority);
    EXPECT_EQ(list[0]->Status.affinityError, step.refused.affinity);
  }
}

// A look the system refuses (descriptors exhausted, the process list unreadable) is no loss:
// whatever would start, end or change the server's process does nothing, and its cells stay as
// they are; the failure is said once and kept in the status, and so is its end.
TEST_F(SupervisorTest, AnUnknownLookStartsEndsAndChangesNothing) {
  constexpr std::uint32_t kRefused = 24;  // too many open files
  struct Case {
    const char* what;
    bool running;
    std::function<void()> lead;    // brings the server to its decision
    std::function<void()> decide;  // made while the look is refused
  };
  const Case cases[] = {
      {"a missing server, cycle after cycle", false, [] {}, [&] { for (int n = 0; n < 6; ++n) Cycle(), Check(); }},
      {"a silent server's 21st check", true, [&] { for (int n = 0; n < 20; ++n) Cycle(), Check(); Cycle(); },
       [&] { Check(); }},
      {"its fatal-error dialog", true, [&] { process.dialogs.push_back({File(0), u"crash"}); }, [&] { Cycle(); }},
      {"Restart Server(s)", true, [] {}, [&] { EXPECT_EQ(servers.RestartByCommand({0}), std::vector<std::size_t>{0}); }},
      {"Close Server(s)", true, [] {}, [&] { EXPECT_EQ(servers.Close(0), Look::Unknown(kRefused)); }},
  };
  for (const Case& c : cases) {
    list.clear();
    while (view.RowCount() > 0) view.DeleteServerRow(0);
    process.calls.clear();
    process.lookErrors.clear();
    Add(u"A", c.running);
    c.lead();
    const RowTexts before = view.Row(0);
    const int starts = process.Count("start");
    const int affinities = process.Count("affinity");
    const std::size_t lines = view.LogLines().size();
    const auto failures = servers.Health().lookFailures;
    process.lookErrors[FakeProcessControl::Key(File(0))] = kRefused;
    c.decide();
    EXPECT_EQ(process.Count("start"), starts) << c.what;
    EXPECT_EQ(process.Count("terminate"), 0) << c.what;
    EXPECT_EQ(process.Count("affinity"), affinities) << c.what;
    if (std::string(c.what) != "Close Server(s)") {
      EXPECT_EQ(view.Row(0), before) << c.what;
    }
    EXPECT_EQ(list[0]->Status.lookError, kRefused) << c.what;
    EXPECT_GT(servers.Health().lookFailures, failures) << c.what;
    const auto logs = Logs();
    const auto said = std::vector<std::u16string>(logs.begin() + static_cast<long>(lines), logs.end());
    EXPECT_EQ(said, std::vector<std::u16string>{u"A: cannot look for its process: " + SystemErrorText(kRefused) +
                                                 u"; nothing is started or ended on it until it can"})
        << c.what;
  }
  // Looked at again: the end of the failure is said once, and the log file never heard of it.
  servers.SetPaused(0, false);
  process.lookErrors.clear();
  Cycle();
  Cycle();
  EXPECT_EQ(Logs().back(), u"A: its process can be looked for again");
  EXPECT_EQ(list[0]->Status.lookError, 0u);
  const auto file = testing::ReadBytes(LogFilePath(rig.log.LogFolder(), rig.clock.Now()));
  EXPECT_EQ(std::u16string_view(reinterpret_cast<const char16_t*>(file.data()), file.size() / 2).find(u"look"),
            std::u16string_view::npos);
}

// On a long list the replies of the first servers come back while the cycle still sends: they
// are read off the socket during the cycle, so its buffer cannot overflow, and handled after it
// as the loop would have handled them then.
TEST_F(SupervisorTest, RepliesWaitingDuringTheCycleAreReadThenAndHandledAfterIt) {
  constexpr int kServers = kServersPerReplyRead + 8;
  for (int i = 0; i + 1 < kServers; ++i) Add(ToU16(i), true);
  ServerEntry& e = Add(u"Last", true);  // queried after the first read
  e.Port = kServerPort + 1;
  Reply(InfoReply("de_inferno", 5, 20), kServerPort + 1);
  ASSERT_EQ(Port().waiting.size(), 1u);

  sup.timerCircleCheckTimer();  // the loop does not run in between
  EXPECT_EQ(Cell(kServers - 1, ColNetworkStatus), u"Normal");
  EXPECT_EQ(Cell(kServers - 1, ColMap), u"de_inferno");
  EXPECT_EQ(e.WaitReply, 0) << "handled after the server's queries went out, not before";
  EXPECT_EQ(Port().receiveBuffer, ReceiveBufferFor(kServers));
  Check();
  EXPECT_EQ(Cell(kServers - 1, ColNetworkStatus), u"Normal");
  EXPECT_EQ(e.TimeoutCount, 0);
}

}  // namespace
}  // namespace tervane
