// The built stand-in as a real process, queried over 127.0.0.1: what the watchdog's reader
// makes of its replies, the challenge, silence, late replies, exits and its threads.
#include <gtest/gtest.h>

#include <chrono>

#include "fakesrv.h"
#include "net/query.h"
#include "running_server.h"

namespace tervane::fakesrv::test {
namespace {

using Kind = ParsedDatagram::Kind;
using Clock = std::chrono::steady_clock;

const Bytes kInfo(InfoQuery.begin(), InfoQuery.end());
const Bytes kDetails(DetailsQuery.begin(), DetailsQuery.end());

ParsedDatagram Read(const std::optional<Bytes>& reply, std::uint16_t port) {
  if (!reply) return {};
  return ParseDatagram(*reply, "127.0.0.1", port, 1);
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(FakesrvProcess, AnswersBothQueriesWhereItsParametersSay) {
  RunningServer server({"-game", "cstrike", "+maxplayers", "20", "+map", "de_nuke", "-console",
                        "-fakesrv.players", "7", "-fakesrv.name", "Two Words"});
  ASSERT_TRUE(server.process().started());
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  UdpClient client;
  ASSERT_TRUE(client.ok());

  const auto info = server.Ask(client, kInfo);
  const ParsedDatagram parsedInfo = Read(info, server.port());
  EXPECT_EQ(parsedInfo.kind, Kind::Reply);
  EXPECT_EQ(parsedInfo.replyKind, kReplyInfo);
  EXPECT_EQ(parsedInfo.map, "de_nuke");
  EXPECT_EQ(parsedInfo.players, 7);
  EXPECT_EQ(parsedInfo.maxPlayers, 20);
  ASSERT_TRUE(info);
  EXPECT_NE(std::string(info->begin(), info->end()).find("Two Words"), std::string::npos);

  const auto details = server.Ask(client, kDetails);
  const ParsedDatagram parsedDetails = Read(details, server.port());
  EXPECT_EQ(parsedDetails.kind, Kind::Reply);
  EXPECT_EQ(parsedDetails.replyKind, kReplyDetailsNew);
  EXPECT_EQ(parsedDetails.map, "de_nuke");
  ASSERT_TRUE(details);
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(details->data()) + 5), address);

  // One output line per answered query.
  const std::string output = server.Output();
  EXPECT_NE(output.find("answered info query from 127.0.0.1:"), std::string::npos) << output;
  EXPECT_NE(output.find("answered details query from 127.0.0.1:"), std::string::npos) << output;
}

TEST(FakesrvProcess, ChallengeAndTheReSend) {
  RunningServer server({"-fakesrv.challenge"});
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  UdpClient client;
  const ParsedDatagram challenge = Read(server.Ask(client, kInfo), server.port());
  ASSERT_EQ(challenge.kind, Kind::Challenge);
  const auto again = InfoQueryWithChallenge(challenge.challenge);
  const ParsedDatagram reply = Read(server.Ask(client, Bytes(again.begin(), again.end())),
                                    server.port());
  EXPECT_EQ(reply.kind, Kind::Reply);
  EXPECT_EQ(reply.replyKind, kReplyInfo);

  Bytes wrong(again.begin(), again.end());
  wrong[26] ^= 0x40;
  EXPECT_EQ(Read(server.Ask(client, wrong), server.port()).kind, Kind::Challenge);
  EXPECT_EQ(Read(server.Ask(client, kDetails), server.port()).kind, Kind::Reply);

  EXPECT_EQ(server.Command("fakesrv challenge off"), "fakesrv ok");
  EXPECT_EQ(Read(server.Ask(client, kInfo), server.port()).kind, Kind::Reply);
}

TEST(FakesrvProcess, SilentThenAnsweringThenLate) {
  RunningServer server({"-fakesrv.silent"});
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  UdpClient client;
  EXPECT_FALSE(server.Ask(client, kInfo, kSilenceMs));
  EXPECT_FALSE(server.Ask(client, kDetails, kSilenceMs));

  EXPECT_EQ(server.Command("fakesrv answer"), "fakesrv ok");
  EXPECT_EQ(Read(server.Ask(client, kInfo), server.port()).kind, Kind::Reply);
  EXPECT_EQ(server.Command("fakesrv players 5"), "fakesrv ok");
  EXPECT_EQ(Read(server.Ask(client, kInfo), server.port()).players, 5);

  // A late reply waits its time, and the server goes on meanwhile: a command sent after the
  // query is answered before the query.
  EXPECT_EQ(server.Command("fakesrv delay 700"), "fakesrv ok");
  const auto start = Clock::now();
  ASSERT_TRUE(client.SendTo(server.port(), kInfo));
  EXPECT_EQ(server.Command("fakesrv ping"), "fakesrv ok");
  const long long ackMs = MsSince(start);
  const auto late = client.Receive(kReplyMs);
  const long long replyMs = MsSince(start);
  EXPECT_EQ(Read(late, server.port()).kind, Kind::Reply);
  EXPECT_GE(replyMs, 650);
  EXPECT_LT(ackMs, replyMs);

  EXPECT_EQ(server.Command("fakesrv silent"), "fakesrv ok");
  EXPECT_FALSE(server.Ask(client, kInfo, 700 + kSilenceMs));
}

TEST(FakesrvProcess, ExitsWhenToldAndAfterItsRunTime) {
  RunningServer told({});
  ASSERT_TRUE(told.WaitReady()) << told.Output();
  EXPECT_EQ(told.Command("fakesrv exit"), "fakesrv ok");
  EXPECT_EQ(told.process().WaitExit(kReplyMs), 0);

  RunningServer timed({"-fakesrv.exit-after", "300"});
  ASSERT_TRUE(timed.process().started());
  EXPECT_EQ(timed.process().WaitExit(kStartMs), 0) << timed.Output();
}

TEST(FakesrvProcess, ControlFromAnotherAddressIsIgnored) {
  if (UnderWine())
    GTEST_SKIP() << "under Wine this client cannot send from 127.0.0.2; a2s_check.py covers it";
  RunningServer server({});
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  UdpClient stranger("127.0.0.2");
  ASSERT_TRUE(stranger.ok());
  EXPECT_FALSE(server.Ask(stranger, BuildControlDatagram("fakesrv exit"), kSilenceMs));
  EXPECT_TRUE(server.process().Running());
  // Its queries are answered, to it.
  EXPECT_EQ(Read(server.Ask(stranger, kInfo), server.port()).kind, Kind::Reply);
  EXPECT_EQ(server.Command("fakesrv ping"), "fakesrv ok");
}

TEST(FakesrvProcess, AFatalErrorLeavesItRunningAndSilent) {
  RunningServer server({});
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  UdpClient client;
  EXPECT_EQ(server.Command("fakesrv fatal Could not load map de_nowhere"), "fakesrv ok");
  EXPECT_FALSE(server.Ask(client, kInfo, kSilenceMs));
  EXPECT_FALSE(server.Ask(client, kDetails, kSilenceMs));
  EXPECT_TRUE(server.process().Running());
  EXPECT_NE(server.Output().find("Fatal error - Dedicated server: Could not load map de_nowhere"),
            std::string::npos)
      << server.Output();
}

TEST(FakesrvProcess, RefusesToRunWithoutAUsablePort) {
  RunningServer badPort({"-port", "abc", "+ip", "127.0.0.1"}, {}, false);
  ASSERT_TRUE(badPort.process().started());
  EXPECT_EQ(badPort.process().WaitExit(kStartMs), 2);
  EXPECT_NE(badPort.Output().find("no usable port"), std::string::npos) << badPort.Output();

  // The port is taken by another server.
  RunningServer first({});
  ASSERT_TRUE(first.WaitReady()) << first.Output();
  RunningServer second({"+ip", "127.0.0.1", "-port", std::to_string(first.port())}, {}, false);
  EXPECT_EQ(second.process().WaitExit(kStartMs), 2);
  EXPECT_NE(second.Output().find("cannot listen"), std::string::npos) << second.Output();
}

TEST(FakesrvProcess, ExtraIdleThreads) {
  RunningServer plain({});
  RunningServer threaded({"-fakesrv.threads", "3"});
  ASSERT_TRUE(plain.WaitReady()) << plain.Output();
  ASSERT_TRUE(threaded.WaitReady()) << threaded.Output();
  // The threads start before the server answers; both servers are otherwise alike.
  EXPECT_EQ(ThreadCount(threaded.process().pid()) - ThreadCount(plain.process().pid()), 3);
}

}  // namespace
}  // namespace tervane::fakesrv::test
