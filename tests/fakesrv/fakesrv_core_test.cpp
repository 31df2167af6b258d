// The stand-in's portable part: its command line, its replies read back by the watchdog's own
// reply reader, and its behaviour datagram by datagram on a clock the test controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakesrv.h"
#include "net/query.h"

namespace tervane::fakesrv {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = ParsedDatagram::Kind;

std::vector<std::u16string> Args(std::initializer_list<const char16_t*> list) {
  return std::vector<std::u16string>(list.begin(), list.end());
}

bool HasWarning(const Settings& s, const std::string& part) {
  for (const std::string& w : s.warnings)
    if (w.find(part) != std::string::npos) return true;
  return false;
}

// ------------------------------------------------------------------------ arguments

TEST(FakesrvArguments, DefaultsListenOnEveryAddressAndTheStandardPort) {
  const Settings s = ParseArguments({});
  EXPECT_EQ(s.bindAddress, "0.0.0.0");
  EXPECT_EQ(s.port, 27015);
  EXPECT_EQ(s.map, "de_dust2");
  EXPECT_EQ(s.maxPlayers, 32);
  EXPECT_EQ(s.answer, AnswerMode::Both);
  EXPECT_TRUE(s.console);
  EXPECT_FALSE(s.fatalText);
  EXPECT_FALSE(s.exitAfterMs);
  EXPECT_TRUE(s.error.empty());
  EXPECT_TRUE(s.warnings.empty());
}

TEST(FakesrvArguments, ARealServerLineIsUnderstoodAndItsOtherSwitchesIgnored) {
  const Settings s = ParseArguments(Args({u"-game", u"cstrike", u"+servercfgfile", u"server.cfg",
                                          u"+maxplayers", u"20", u"+map", u"de_nuke", u"-console",
                                          u"-insecure", u"+sv_lan", u"0", u"+hostname",
                                          u"My Server", u"+ip", u"127.0.0.1", u"-port",
                                          u"27016"}));
  EXPECT_EQ(s.folder, "cstrike");
  EXPECT_EQ(s.maxPlayers, 20);
  EXPECT_EQ(s.map, "de_nuke");
  EXPECT_EQ(s.name, "My Server");
  EXPECT_EQ(s.bindAddress, "127.0.0.1");
  EXPECT_EQ(s.port, 27016);
  EXPECT_TRUE(s.warnings.empty());
  EXPECT_TRUE(s.error.empty());
}

TEST(FakesrvArguments, AddressAndPortAreReadAsTheWatchdogReadsThem) {
  EXPECT_EQ(ParseArguments(Args({u"-PORT", u"27016"})).port, 27016);
  EXPECT_EQ(ParseArguments(Args({u"+Port", u"27017"})).port, 27017);
  // "-port " wins over "+port " wherever the two stand.
  EXPECT_EQ(ParseArguments(Args({u"+port", u"27017", u"-port", u"27018"})).port, 27018);
  EXPECT_EQ(ParseArguments(Args({u"-port", u"27018", u"+port", u"27017"})).port, 27018);
  EXPECT_EQ(ParseArguments(Args({u"-port", u"0x6987"})).port, 27015);
  // The watchdog keeps the low 16 bits of the value, and so does the stand-in.
  EXPECT_EQ(ParseArguments(Args({u"-port", u"92551"})).port, 27015);
  // A text that ends with "-port" names no port.
  EXPECT_EQ(ParseArguments(Args({u"-port"})).port, 27015);

  EXPECT_EQ(ParseArguments(Args({u"+IP", u"127.0.0.1"})).bindAddress, "127.0.0.1");
  EXPECT_EQ(ParseArguments(Args({u"+ip", u"\"127.0.0.2\""})).bindAddress, "127.0.0.2");
  // Given 0.0.0.0, or no "+ip" at all, a real server listens everywhere, and so does the stand-in.
  EXPECT_EQ(ParseArguments(Args({u"+ip", u"0.0.0.0"})).bindAddress, "0.0.0.0");
  EXPECT_EQ(ParseArguments(Args({u"-game", u"cstrike"})).bindAddress, "0.0.0.0");
}

TEST(FakesrvArguments, AnUnusablePortOrAddressIsAnError) {
  EXPECT_FALSE(ParseArguments(Args({u"-port", u"abc"})).error.empty());
  EXPECT_FALSE(ParseArguments(Args({u"-port", u"27015x"})).error.empty());
  EXPECT_FALSE(ParseArguments(Args({u"-port", u"65536"})).error.empty());  // low 16 bits: 0
  EXPECT_FALSE(ParseArguments(Args({u"+ip", u""})).error.empty());
}

TEST(FakesrvArguments, EveryOwnSwitchIsRead) {
  const Settings s = ParseArguments(Args(
      {u"-fakesrv.name", u"Stand in", u"-fakesrv.map", u"cs_office", u"-fakesrv.folder", u"valve",
       u"-fakesrv.description", u"Half-Life", u"-fakesrv.version", u"2.0", u"-fakesrv.appid",
       u"70", u"-fakesrv.players", u"12", u"-fakesrv.maxplayers", u"16", u"-fakesrv.bots", u"3",
       u"-fakesrv.protocol", u"46", u"-fakesrv.vac", u"-fakesrv.answer", u"DETAILS",
       u"-fakesrv.challenge", u"-fakesrv.silent", u"-fakesrv.delay", u"700",
       u"-fakesrv.exit-after", u"5000", u"-fakesrv.fatal", u"Could not load", u"-fakesrv.fatal-after",
       u"250", u"-fakesrv.noconsole", u"-fakesrv.threads", u"4"}));
  EXPECT_EQ(s.name, "Stand in");
  EXPECT_EQ(s.map, "cs_office");
  EXPECT_EQ(s.folder, "valve");
  EXPECT_EQ(s.description, "Half-Life");
  EXPECT_EQ(s.version, "2.0");
  EXPECT_EQ(s.appId, 70);
  EXPECT_EQ(s.players, 12);
  EXPECT_EQ(s.maxPlayers, 16);
  EXPECT_EQ(s.bots, 3);
  EXPECT_EQ(s.protocol, 46);
  EXPECT_TRUE(s.vac);
  EXPECT_EQ(s.answer, AnswerMode::Details);
  EXPECT_TRUE(s.challenge);
  EXPECT_TRUE(s.silent);
  EXPECT_EQ(s.delayMs, 700);
  EXPECT_EQ(s.exitAfterMs, 5000);
  EXPECT_EQ(s.fatalText, "Could not load");
  EXPECT_EQ(s.fatalAfterMs, 250);
  EXPECT_FALSE(s.console);
  EXPECT_EQ(s.threads, 4);
  EXPECT_TRUE(s.warnings.empty());
}

TEST(FakesrvArguments, OwnSwitchesWinAndTheFirstOccurrenceCounts) {
  EXPECT_EQ(ParseArguments(Args({u"-fakesrv.map", u"a", u"+map", u"b"})).map, "a");
  EXPECT_EQ(ParseArguments(Args({u"+map", u"b", u"-fakesrv.map", u"a"})).map, "a");
  EXPECT_EQ(ParseArguments(Args({u"+map", u"x", u"+map", u"y"})).map, "x");
  EXPECT_EQ(ParseArguments(Args({u"+maxplayers", u"10", u"-fakesrv.maxplayers", u"12"})).maxPlayers,
            12);
  // Switch names are read in any letter case.
  EXPECT_EQ(ParseArguments(Args({u"-FakeSrv.Players", u"7"})).players, 7);
}

TEST(FakesrvArguments, BadValuesAreReportedAndLeaveTheDefault) {
  const Settings s = ParseArguments(Args({u"-fakesrv.players", u"300", u"-fakesrv.answer",
                                          u"maybe", u"-fakesrv.delay", u"-5", u"-fakesrv.bogus",
                                          u"-fakesrv.threads", u"1000", u"-fakesrv.exit-after"}));
  EXPECT_EQ(s.players, 0);
  EXPECT_EQ(s.answer, AnswerMode::Both);
  EXPECT_EQ(s.delayMs, 0);
  EXPECT_EQ(s.threads, 0);
  EXPECT_FALSE(s.exitAfterMs);
  EXPECT_TRUE(HasWarning(s, "-fakesrv.players"));
  EXPECT_TRUE(HasWarning(s, "-fakesrv.answer"));
  EXPECT_TRUE(HasWarning(s, "-fakesrv.delay"));
  EXPECT_TRUE(HasWarning(s, "unknown switch -fakesrv.bogus"));
  EXPECT_TRUE(HasWarning(s, "-fakesrv.threads"));
  EXPECT_TRUE(HasWarning(s, "no value after -fakesrv.exit-after"));
  EXPECT_TRUE(s.error.empty());
}

TEST(FakesrvArguments, JoinedArgumentsQuoteThoseWithBlanks) {
  EXPECT_EQ(JoinArguments(Args({u"-port", u"27015", u"+hostname", u"My Server", u""})),
            u"-port 27015 +hostname \"My Server\" \"\"");
}

// ------------------------------------------------------------------------ replies

Settings Sample() {
  Settings s;
  s.name = "Stand-in";
  s.map = "de_inferno";
  s.folder = "cstrike";
  s.description = "Counter-Strike";
  s.version = "1.2.3";
  s.appId = 0x1234;
  s.players = 12;
  s.maxPlayers = 32;
  s.bots = 2;
  s.protocol = 48;
  s.vac = true;
  s.environment = 'w';
  s.port = 27016;
  return s;
}

// Reads a zero-ended string at `pos`, moving past it.
std::string ReadString(const Bytes& b, std::size_t& pos) {
  std::string out;
  while (pos < b.size() && b[pos] != 0) out.push_back(static_cast<char>(b[pos++]));
  ++pos;
  return out;
}

TEST(FakesrvReplies, TheInfoReplyCarriesEveryStandardField) {
  const Bytes b = BuildInfoReply(Sample());
  const ParsedDatagram parsed = ParseDatagram(b, "127.0.0.1", 27016, 40000);
  EXPECT_EQ(parsed.kind, Kind::Reply);
  EXPECT_EQ(parsed.replyKind, kReplyInfo);
  EXPECT_EQ(parsed.map, "de_inferno");
  EXPECT_EQ(parsed.players, 12);
  EXPECT_EQ(parsed.maxPlayers, 32);

  ASSERT_GE(b.size(), 6u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'I'}));
  EXPECT_EQ(b[5], 48);
  std::size_t pos = 6;
  EXPECT_EQ(ReadString(b, pos), "Stand-in");
  EXPECT_EQ(ReadString(b, pos), "de_inferno");
  EXPECT_EQ(ReadString(b, pos), "cstrike");
  EXPECT_EQ(ReadString(b, pos), "Counter-Strike");
  ASSERT_EQ(b.size(), pos + 2 + 7 + 6 + 3 + 8);
  EXPECT_EQ(b[pos] | (b[pos + 1] << 8), 0x1234);  // little-endian application id
  pos += 2;
  EXPECT_EQ(b[pos++], 12);   // players
  EXPECT_EQ(b[pos++], 32);   // maximum
  EXPECT_EQ(b[pos++], 2);    // bots
  EXPECT_EQ(b[pos++], 'd');  // dedicated
  EXPECT_EQ(b[pos++], 'w');  // environment
  EXPECT_EQ(b[pos++], 0);    // no password
  EXPECT_EQ(b[pos++], 1);    // VAC
  EXPECT_EQ(ReadString(b, pos), "1.2.3");
  EXPECT_EQ(b[pos++], 0x81);  // extra data: port, game id
  EXPECT_EQ(b[pos] | (b[pos + 1] << 8), 27016);
  pos += 2;
  EXPECT_EQ(b[pos] | (b[pos + 1] << 8) | (b[pos + 2] << 16), 0x1234);  // game id: the app id
}

TEST(FakesrvReplies, TheDetailsReplyHasTheGoldSrcLayout) {
  Settings s = Sample();
  const Bytes b = BuildDetailsReply(s, "127.0.0.1:27016");
  ParsedDatagram parsed = ParseDatagram(b, "127.0.0.1", 27016, 40000);
  EXPECT_EQ(parsed.kind, Kind::Reply);
  EXPECT_EQ(parsed.replyKind, kReplyDetailsNew);
  EXPECT_EQ(parsed.map, "de_inferno");
  EXPECT_EQ(parsed.players, 12);
  EXPECT_EQ(parsed.maxPlayers, 32);

  std::size_t pos = 5;
  EXPECT_EQ(b[4], 'm');
  EXPECT_EQ(ReadString(b, pos), "127.0.0.1:27016");
  EXPECT_EQ(ReadString(b, pos), "Stand-in");
  EXPECT_EQ(ReadString(b, pos), "de_inferno");
  EXPECT_EQ(ReadString(b, pos), "cstrike");
  EXPECT_EQ(ReadString(b, pos), "Counter-Strike");
  ASSERT_EQ(b.size(), pos + 9);
  EXPECT_EQ(Bytes(b.begin() + static_cast<std::ptrdiff_t>(pos), b.end()),
            (Bytes{12, 32, 48, 'd', 'w', 0, 0, 1, 2}));

  s.protocol = 46;
  parsed = ParseDatagram(BuildDetailsReply(s, "x"), "127.0.0.1", 27016, 40000);
  EXPECT_EQ(parsed.replyKind, kReplyDetailsOld);
}

TEST(FakesrvReplies, TheChallengeReplyIsReadAsAChallenge) {
  const Bytes b = BuildChallengeReply(0x11223344u);
  EXPECT_EQ(b, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'A', 0x44, 0x33, 0x22, 0x11}));
  const ParsedDatagram parsed = ParseDatagram(b, "127.0.0.1", 27016, 40000);
  EXPECT_EQ(parsed.kind, Kind::Challenge);
  EXPECT_EQ(parsed.challenge, (std::array<std::uint8_t, 4>{0x44, 0x33, 0x22, 0x11}));
}

TEST(FakesrvReplies, ChallengeValuesAreNeverTheNoChallengeMarks) {
  for (int i = 0; i < 50; ++i) {
    const std::uint32_t c = NewChallenge();
    EXPECT_NE(c, 0u);
    EXPECT_NE(c, 0xFFFFFFFFu);
  }
}

// ------------------------------------------------------------------------ server

constexpr std::uint32_t kChallenge = 0x11223344u;
constexpr std::uint16_t kClient = 40000;

Bytes Info() { return Bytes(InfoQuery.begin(), InfoQuery.end()); }
Bytes Details() { return Bytes(DetailsQuery.begin(), DetailsQuery.end()); }
Bytes Control(const std::string& text) {
  Bytes b(4 + text.size(), 0xFF);
  std::copy(text.begin(), text.end(), b.begin() + 4);
  return b;
}
std::string Text(const Outgoing& out) {
  return std::string(out.bytes.begin() + 4, out.bytes.end());
}

class FakesrvServer : public ::testing::Test {
 protected:
  void Make(Settings s = Settings()) {
    server_.emplace(std::move(s), 1000, kChallenge, 77, "127.0.0.1:27015");
  }
  FakeServer& server() { return *server_; }
  void Send(const Bytes& b, std::int64_t now = 1000, const char* from = "127.0.0.1") {
    server_->Receive(b, from, kClient, now);
  }
  std::vector<Outgoing> Due(std::int64_t now = 1000) { return server_->Advance(now); }
  // The one reply due now, or a failure.
  Outgoing One(std::int64_t now = 1000) {
    auto out = Due(now);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? Outgoing{} : out.front();
  }
  char TypeOf(const Outgoing& out) { return out.bytes.size() > 4 ? char(out.bytes[4]) : 0; }
  std::string Ask(const std::string& command) {
    Send(Control(command));
    const Outgoing out = One();
    return out.bytes.size() >= 4 ? Text(out) : std::string();
  }

  std::optional<FakeServer> server_;
};

TEST_F(FakesrvServer, AnswersBothQueriesOnlyToTheirSender) {
  Make();
  server().Receive(Info(), "127.0.0.1", 5555, 1000);
  server().Receive(Details(), "127.0.0.2", 6666, 1000);
  const auto out = Due();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(TypeOf(out[0]), 'I');
  EXPECT_EQ(out[0].address, "127.0.0.1");
  EXPECT_EQ(out[0].port, 5555);
  EXPECT_EQ(TypeOf(out[1]), 'm');
  EXPECT_EQ(out[1].address, "127.0.0.2");
  EXPECT_EQ(out[1].port, 6666);
  const auto log = server().TakeLogLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find("answered info query from 127.0.0.1:5555"), std::string::npos);
  EXPECT_NE(log[1].find("answered details query from 127.0.0.2:6666"), std::string::npos);
  EXPECT_TRUE(server().TakeLogLines().empty());
}

TEST_F(FakesrvServer, QueryFormsAndForeignDatagrams) {
  Make();
  // Padding after the query, and the details query without its zero byte, are still queries.
  Bytes padded = Info();
  padded.resize(1200, 0);
  Send(padded);
  EXPECT_EQ(TypeOf(One()), 'I');
  Send(Bytes(DetailsQuery.begin(), DetailsQuery.begin() + 11));
  EXPECT_EQ(TypeOf(One()), 'm');
  // Anything else gets nothing, whatever its length.
  Send(Bytes{});
  Send(Bytes{0xFF});
  Send(Bytes{0xFF, 0xFF, 0xFF, 0xFF});
  const Bytes info = Info();
  Send(Bytes(info.begin(), info.end() - 1));  // the query cut before its zero byte
  Send(Control("detailsX"));
  Send(Control("fakesrvexit"));
  Send(Bytes{0xFE, 0xFF, 0xFF, 0xFF, 'f'});
  Send(Bytes(5000, 0xFF));
  EXPECT_TRUE(Due().empty());
  EXPECT_FALSE(server().ExitRequested());
}

TEST_F(FakesrvServer, AnswerModesChooseTheQueries) {
  Settings s;
  s.answer = AnswerMode::Details;
  Make(s);
  Send(Info());
  Send(Details());
  auto out = Due();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(TypeOf(out[0]), 'm');

  EXPECT_EQ(Ask("fakesrv answer info"), "fakesrv ok");
  Send(Info());
  Send(Details());
  out = Due();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(TypeOf(out[0]), 'I');

  EXPECT_EQ(Ask("fakesrv answer none"), "fakesrv ok");
  Send(Info());
  Send(Details());
  EXPECT_TRUE(Due().empty());
  EXPECT_EQ(Ask("fakesrv answer both"), "fakesrv ok");
  Send(Info());
  Send(Details());
  EXPECT_EQ(Due().size(), 2u);
  EXPECT_EQ(Ask("fakesrv answer sometimes"), "fakesrv error bad value");
}

TEST_F(FakesrvServer, ChallengeFlow) {
  Settings s;
  s.challenge = true;
  Make(s);
  Send(Info());
  Outgoing out = One();
  EXPECT_EQ(out.bytes, BuildChallengeReply(kChallenge));

  // The watchdog's own re-send with the challenge is answered.
  const ParsedDatagram challenge = ParseDatagram(out.bytes, "127.0.0.1", 27015, kClient);
  ASSERT_EQ(challenge.kind, Kind::Challenge);
  const auto again = InfoQueryWithChallenge(challenge.challenge);
  Send(Bytes(again.begin(), again.end()));
  EXPECT_EQ(TypeOf(One()), 'I');

  // A wrong or cut challenge gets the challenge again; details need none.
  Bytes wrong = Bytes(again.begin(), again.end());
  wrong[25] ^= 1;
  Send(wrong);
  EXPECT_EQ(TypeOf(One()), 'A');
  Send(Bytes(again.begin(), again.begin() + 27));
  EXPECT_EQ(TypeOf(One()), 'A');
  Bytes minusOne = Info();  // -1: "no challenge yet"
  minusOne.insert(minusOne.end(), 4, 0xFF);
  Send(minusOne);
  EXPECT_EQ(TypeOf(One()), 'A');
  Send(Details());
  EXPECT_EQ(TypeOf(One()), 'm');

  EXPECT_EQ(Ask("fakesrv challenge off"), "fakesrv ok");
  Send(Info());
  EXPECT_EQ(TypeOf(One()), 'I');
  EXPECT_EQ(Ask("fakesrv challenge on"), "fakesrv ok");
  Send(Info());
  EXPECT_EQ(TypeOf(One()), 'A');
  EXPECT_EQ(Ask("fakesrv challenge maybe"), "fakesrv error bad value");
}

TEST_F(FakesrvServer, SilentAndAnswerAgain) {
  Settings s;
  s.silent = true;
  Make(s);
  Send(Info());
  Send(Details());
  EXPECT_TRUE(Due().empty());
  EXPECT_NE(server().TakeLogLines().front().find("(silent)"), std::string::npos);
  EXPECT_EQ(Ask("fakesrv answer"), "fakesrv ok");
  Send(Info());
  EXPECT_EQ(TypeOf(One()), 'I');
  EXPECT_EQ(Ask("fakesrv silent"), "fakesrv ok");
  Send(Info());
  EXPECT_TRUE(Due().empty());
}

TEST_F(FakesrvServer, LateRepliesWaitWithoutHoldingAnythingElse) {
  Make();
  EXPECT_FALSE(server().NextDeadline());
  EXPECT_EQ(Ask("fakesrv delay 700"), "fakesrv ok");
  Send(Info(), 1000);
  EXPECT_EQ(server().NextDeadline(), 1700);
  EXPECT_TRUE(Due(1699).empty());
  // A control command is answered at once while the reply waits.
  Send(Control("fakesrv ping"), 1100);
  auto out = Due(1100);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Text(out[0]), "fakesrv ok");
  // Shortening the delay lets a later query overtake the waiting reply.
  Send(Control("fakesrv delay 100"), 1200);
  Due(1200);
  Send(Details(), 1200);
  out = Due(1300);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(TypeOf(out[0]), 'm');
  out = Due(1700);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(TypeOf(out[0]), 'I');
  EXPECT_FALSE(server().NextDeadline());
  // Replies due at once leave in the order their queries came.
  Send(Control("fakesrv delay 0"), 2000);
  Due(2000);
  Send(Details(), 2000);
  Send(Info(), 2000);
  out = Due(2000);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(TypeOf(out[0]), 'm');
  EXPECT_EQ(TypeOf(out[1]), 'I');
  EXPECT_EQ(Ask("fakesrv delay 600001"), "fakesrv error bad value");
  EXPECT_EQ(Ask("fakesrv delay"), "fakesrv error bad value");
}

TEST_F(FakesrvServer, WaitingRepliesAreBounded) {
  Settings s;
  s.delayMs = 1000;
  Make(s);
  for (std::size_t i = 0; i < FakeServer::kMaxPending + 50; ++i) Send(Info());
  EXPECT_EQ(server().PendingCount(), FakeServer::kMaxPending);
  EXPECT_EQ(Due(2000).size(), FakeServer::kMaxPending);
}

TEST_F(FakesrvServer, ControlCommandsChangeTheReplies) {
  Make();
  EXPECT_EQ(Ask("fakesrv players 5"), "fakesrv ok");
  EXPECT_EQ(Ask("fakesrv maxplayers 10"), "fakesrv ok");
  EXPECT_EQ(Ask("fakesrv bots 1"), "fakesrv ok");
  EXPECT_EQ(Ask("fakesrv map cs_italy"), "fakesrv ok");
  EXPECT_EQ(Ask("fakesrv name Two Words"), "fakesrv ok");
  EXPECT_EQ(Ask("fakesrv protocol 46"), "fakesrv ok");
  Send(Info());
  ParsedDatagram parsed = ParseDatagram(One().bytes, "127.0.0.1", 27015, kClient);
  EXPECT_EQ(parsed.map, "cs_italy");
  EXPECT_EQ(parsed.players, 5);
  EXPECT_EQ(parsed.maxPlayers, 10);
  Send(Details());
  const Outgoing details = One();
  parsed = ParseDatagram(details.bytes, "127.0.0.1", 27015, kClient);
  EXPECT_EQ(parsed.replyKind, kReplyDetailsOld);
  EXPECT_NE(std::string(details.bytes.begin(), details.bytes.end()).find("Two Words"),
            std::string::npos);

  EXPECT_EQ(Ask("fakesrv players 256"), "fakesrv error bad value");
  EXPECT_EQ(Ask("fakesrv players x"), "fakesrv error bad value");
  EXPECT_EQ(Ask("fakesrv map"), "fakesrv error bad value");
  EXPECT_EQ(Ask("fakesrv dance"), "fakesrv error unknown command");
  EXPECT_EQ(Ask("fakesrv"), "fakesrv error unknown command");

  const std::string status = Ask("fakesrv status");
  EXPECT_NE(status.find("pid=77"), std::string::npos) << status;
  EXPECT_NE(status.find("info=1 details=1 answered=2"), std::string::npos) << status;
  EXPECT_NE(status.find("players=5/10 map=cs_italy"), std::string::npos) << status;
}

TEST_F(FakesrvServer, ControlIsObeyedFromThisHostOnly) {
  Make();
  for (const char* from : {"127.0.0.2", "10.0.0.5", "192.168.1.1"}) {
    Send(Control("fakesrv exit"), 1000, from);
    Send(Control("fakesrv silent"), 1000, from);
  }
  EXPECT_TRUE(Due().empty());
  EXPECT_FALSE(server().ExitRequested());
  Send(Info());
  EXPECT_EQ(TypeOf(One()), 'I');
}

TEST_F(FakesrvServer, ExitIsAcknowledgedFirst) {
  Make();
  Send(Control("fakesrv exit"));
  EXPECT_TRUE(server().ExitRequested());
  EXPECT_EQ(Text(One()), "fakesrv ok");
}

TEST_F(FakesrvServer, ExitAfterARunTime) {
  Settings s;
  s.exitAfterMs = 500;
  Make(s);
  EXPECT_EQ(server().NextDeadline(), 1500);
  Due(1499);
  EXPECT_FALSE(server().ExitRequested());
  Due(1500);
  EXPECT_TRUE(server().ExitRequested());
}

TEST_F(FakesrvServer, AFatalErrorHangsTheServerForGood) {
  Settings s;
  s.delayMs = 300;
  Make(s);
  Send(Info());  // waiting when the error comes: never sent
  Send(Control("fakesrv fatal Could not load map de_nowhere"));
  EXPECT_TRUE(server().Crashed());
  auto out = Due();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Text(out[0]), "fakesrv ok");
  EXPECT_EQ(server().TakeFatal(), "Could not load map de_nowhere");
  EXPECT_FALSE(server().TakeFatal());
  EXPECT_TRUE(Due(5000).empty());

  Send(Info(), 5000);
  Send(Details(), 5000);
  EXPECT_TRUE(Due(6000).empty());
  EXPECT_EQ(Ask("fakesrv answer"), "fakesrv ok");
  Send(Info());
  EXPECT_TRUE(Due(6000).empty());
  EXPECT_EQ(Ask("fakesrv fatal again"), "fakesrv error already crashed");
  EXPECT_FALSE(server().TakeFatal());
  EXPECT_NE(Ask("fakesrv status").find("crashed=1"), std::string::npos);
  // A crashed server can still be told to go, so a test never has to leave one behind.
  EXPECT_EQ(Ask("fakesrv exit"), "fakesrv ok");
  EXPECT_TRUE(server().ExitRequested());
}

TEST_F(FakesrvServer, AFatalErrorAfterTheStart) {
  Settings s;
  s.fatalText = "";
  s.fatalAfterMs = 200;
  Make(s);
  EXPECT_EQ(server().NextDeadline(), 1200);
  Due(1199);
  EXPECT_FALSE(server().TakeFatal());
  Send(Info(), 1199);
  EXPECT_EQ(Due(1199).size(), 1u);
  Due(1200);
  EXPECT_EQ(server().TakeFatal(), "");
  EXPECT_TRUE(server().Crashed());
  EXPECT_FALSE(server().NextDeadline());
}

// The version and app id the watchdog reads back are the ones given; a version file, read at
// each reply, wins while it has a first line.
TEST_F(FakesrvServer, VersionAndAppIdReadBackAsGiven) {
  const std::string file =
      (std::filesystem::temp_directory_path() / ("fakesrv_version_" + std::to_string(MonotonicMs()))).string();
  const std::u16string file16(file.begin(), file.end());
  Make(ParseArguments({u"-fakesrv.version", u"1.0.0.1", u"-fakesrv.app-id", u"4000000",
                       u"-fakesrv.version-file", file16}));
  struct Step {
    const char* content;  // nullptr: no file
    std::string version;
  };
  const Step steps[] = {{nullptr, "1.0.0.1"}, {"1.0.0.2\r\nsecond line\n", "1.0.0.2"}, {"", "1.0.0.1"},
                        {"1.0.0.3", "1.0.0.3"}};
  for (const Step& step : steps) {
    if (step.content) std::ofstream(file, std::ios::binary | std::ios::trunc) << step.content;
    Send(Info());
    const ParsedDatagram parsed = ParseDatagram(One().bytes, "127.0.0.1", 27015, kClient);
    EXPECT_EQ(parsed.version, step.version);
    EXPECT_EQ(parsed.appId, 4000000u) << "from the game id: more than the short field holds";
  }
  std::filesystem::remove(file);
}

TEST_F(FakesrvServer, NoticesArePrintedAsLinesOfTheirOwn) {
  Make(ParseArguments({u"-fakesrv.notice-after", u"500", u"-fakesrv.notice", u"MasterRequestRestart"}));
  EXPECT_EQ(server().NextDeadline(), 1500);
  Due(1499);
  EXPECT_TRUE(server().TakePrintedLines().empty());
  Due(1500);
  Due(1600);
  EXPECT_EQ(server().TakePrintedLines(), std::vector<std::string>{"MasterRequestRestart"}) << "once";
  EXPECT_EQ(Ask("fakesrv notice Your server needs to be restarted\nnow"), "fakesrv ok");
  EXPECT_EQ(server().TakePrintedLines(), std::vector<std::string>{"Your server needs to be restarted now"});
}

}  // namespace
}  // namespace tervane::fakesrv
