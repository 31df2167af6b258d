// The RCON client's pure parts: which dialect and password a server gets, the Source packet
// stream reader, the GoldSrc datagram reader, and both exchanges as state machines fed with
// what a server may send; the client's order and what it never sends, against GoldSrc servers
// of the test's own on 127.0.0.1. The exchanges with the stand-in are in tests/fakesrv.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/query.h"
#include "net/rcon.h"
#include "net/vel_udp.h"
#include "support/event_loop.h"

namespace tervane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Step = SourcePacketReader::Step;

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
Bytes Repeat(const Bytes& part, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), part.begin(), part.end());
  return out;
}
// A Source packet with a size field and strings of the test's choosing.
Bytes RawPacket(std::int32_t size, std::int32_t id, std::int32_t type, const Bytes& strings) {
  Bytes out;
  for (std::int32_t v : {size, id, type})
    for (int i = 0; i < 4; ++i)
      out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
  out.insert(out.end(), strings.begin(), strings.end());
  return out;
}
Bytes Response(std::int32_t id, std::string_view body) {
  return BuildSourcePacket(id, kServerDataResponseValue, body);
}
Bytes AuthAnswer(std::int32_t id) { return BuildSourcePacket(id, kServerDataAuthResponse, ""); }
Bytes Datagram(std::string_view text) { return Cat({{0xFF, 0xFF, 0xFF, 0xFF}, Text(text)}); }

// ------------------------------------------------------------------------ choices

TEST(RconChoice, TheDialectFollowsTheQueryAnswerUnlessTheSettingSaysOtherwise) {
  struct Case {
    std::int16_t replyKind;
    int protocol;
    std::optional<RconDialect> setting;
    RconDialect expected;
  };
  const Case cases[] = {
      {kReplyDetailsOld, 46, std::nullopt, RconDialect::GoldSrc},
      {kReplyDetailsNew, 48, std::nullopt, RconDialect::GoldSrc},
      {kReplyInfo, 48, std::nullopt, RconDialect::GoldSrc},  // a GoldSrc server's info reply
      {kReplyInfo, 17, std::nullopt, RconDialect::Source},
      {kReplyNone, 0, std::nullopt, RconDialect::Source},
      {kReplyDetailsNew, 48, RconDialect::Source, RconDialect::Source},
      {kReplyInfo, 17, RconDialect::GoldSrc, RconDialect::GoldSrc},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseRconDialect(c.replyKind, c.protocol, c.setting), c.expected)
        << "kind " << c.replyKind << ", protocol " << c.protocol;

  EXPECT_EQ(ParseRconProtocol("source"), RconDialect::Source);
  EXPECT_EQ(ParseRconProtocol(" GoldSrc "), RconDialect::GoldSrc);
  EXPECT_EQ(ParseRconProtocol("SOURCE"), RconDialect::Source);
  for (const char* unknown : {"", "gold src", "hl1", "sourcetv"})
    EXPECT_EQ(ParseRconProtocol(unknown), std::nullopt);
}

TEST(RconChoice, ThePasswordIsReadFromTheRunParametersAsTheServerReadsIt) {
  struct Case {
    std::u16string_view params;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {u"-game cstrike +rcon_password secret -port 27015", "secret"},
      {u"+RCON_PASSWORD MixedCase +map de_dust2",
       "MixedCase"},  // the key in any case, the value kept
      {u"+rcon_password \"two words\" +map de_dust2", "two words"},
      {u"+rcon_password    spaced", "spaced"},
      {u"+rcon_password a\"b c\"d", "ab cd"},
      {u"+rcon_password \"\"", ""},
      {u"+rcon_password one +rcon_password two", "one"},
      {u"-game cstrike -port 27015", std::nullopt},
      {u"-game cstrike +rcon_password", std::nullopt},  // the key ends with its blank
  };
  for (const Case& c : cases)
    EXPECT_EQ(RconPasswordFromParams(c.params), c.expected)
        << std::string(c.params.begin(), c.params.end());

  EXPECT_EQ(ChooseRconPassword(u"+rcon_password own", "configured"), "own");
  EXPECT_EQ(ChooseRconPassword(u"-game cstrike", "configured"), "configured");
}

// ------------------------------------------------------------------------ Source packets

TEST(RconSourcePackets, APacketIsSizeIdTypeAndTwoEndedStrings) {
  EXPECT_EQ(BuildSourcePacket(1, kServerDataAuth, "pw"),
            (Bytes{12, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 'p', 'w', 0, 0}));
  EXPECT_EQ(BuildSourcePacket(-1, kServerDataAuthResponse, ""),
            (Bytes{10, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0, 0}));
}

TEST(RconSourcePackets, TheReaderChecksEverySizeBeforeTakingThePacket) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<std::string> bodies;  // the packets read, in order
    Step last;
  };
  const Case cases[] = {
      {"the smallest packet", Response(5, ""), {""}, Step::NeedMore},
      {"two packets at once",
       Cat({Response(5, "a"), Response(6, "bc")}),
       {"a", "bc"},
       Step::NeedMore},
      {"the largest packet",
       Response(5, std::string(8182, 'x')),
       {std::string(8182, 'x')},
       Step::NeedMore},
      {"a size below 10", RawPacket(9, 5, 0, {0}), {}, Step::Malformed},
      {"a negative size", RawPacket(-1, 5, 0, {0, 0}), {}, Step::Malformed},
      // Refused on its size field alone, before any of its bytes came.
      {"a size over the bound", RawPacket(8193, 5, 0, {}), {}, Step::Malformed},
      {"a last byte that is not zero", RawPacket(10, 5, 0, {'a', 'b'}), {}, Step::Malformed},
      // The packet a Source server sends after mirroring an empty one: zero bytes inside.
      {"zero bytes inside", RawPacket(16, 5, 0, {0, 0, 0, 1, 0, 0, 0, 0}), {""}, Step::NeedMore},
      {"a body up to its first zero",
       RawPacket(13, 5, 0, {'o', 'k', 0, 'x', 0}),
       {"ok"},
       Step::NeedMore},
      {"bytes of no RCON stream", Text("HTTP/1.0 400 Bad Request\r\n\r\n"), {}, Step::Malformed},
      {"a good packet, then garbage",
       Cat({Response(5, "a"), Text("garbage!")}),
       {"a"},
       Step::Malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Whole, and cut into pieces of 1 and 3 bytes: a packet may arrive in any number of reads.
    for (std::size_t piece : {c.stream.size(), std::size_t{1}, std::size_t{3}}) {
      SourcePacketReader reader;
      std::vector<std::string> bodies;
      Step step = Step::NeedMore;
      for (std::size_t at = 0; at < c.stream.size() && step != Step::Malformed; at += piece) {
        reader.Append(std::span(c.stream).subspan(at, std::min(piece, c.stream.size() - at)));
        SourcePacket packet;
        while ((step = reader.Next(packet)) == Step::Packet) bodies.push_back(packet.body);
      }
      EXPECT_EQ(bodies, c.bodies) << "pieces of " << piece;
      EXPECT_EQ(step, c.last) << "pieces of " << piece;
    }
  }
}

// ------------------------------------------------------------------------ Source exchange

TEST(RconSourceSession, SendsThePasswordThenTheCommandWithTheEmptyPacketBehindIt) {
  SourceRconSession session("two words", "status");
  EXPECT_EQ(session.TakeOutgoing(),
            BuildSourcePacket(SourceRconSession::kAuthId, kServerDataAuth, "two words"));
  EXPECT_TRUE(session.TakeOutgoing().empty());
  session.Receive(
      Cat({Response(SourceRconSession::kAuthId, ""), AuthAnswer(SourceRconSession::kAuthId)}));
  EXPECT_TRUE(session.Authenticated());
  EXPECT_EQ(session.TakeOutgoing(),
            Cat({BuildSourcePacket(SourceRconSession::kCommandId, kServerDataExecCommand, "status"),
                 BuildSourcePacket(SourceRconSession::kEndId, kServerDataResponseValue, "")}));
}

TEST(RconSourceSession, EveryAnswerAServerMayGiveEndsAsItShould) {
  constexpr std::int32_t kAuth = SourceRconSession::kAuthId;
  constexpr std::int32_t kCommand = SourceRconSession::kCommandId;
  constexpr std::int32_t kEnd = SourceRconSession::kEndId;
  const Bytes accepted = Cat({Response(kAuth, ""), AuthAnswer(kAuth)});
  const Bytes echo = Cat({Response(kEnd, ""), RawPacket(16, kEnd, 0, {0, 0, 0, 1, 0, 0, 0, 0})});
  struct Case {
    const char* name;
    Bytes stream;
    bool closed;  // the server closes the connection after the stream
    RconFailure failure;
    std::string answer;
    bool closedByServer;
  };
  const Case cases[] = {
      {"an answer in pieces, other ids passed over, ended by the echo",
       Cat({accepted, Response(kCommand, "hello "), Response(7, "other"),
            Response(kCommand, "world"), echo}),
       false, RconFailure::None, "hello world", false},
      {"auth answered without the empty packet first",
       Cat({AuthAnswer(kAuth), Response(kCommand, "x"), echo}), false, RconFailure::None, "x",
       false},
      {"a wrong password", Cat({Response(kAuth, ""), AuthAnswer(-1)}), false,
       RconFailure::PasswordRefused, "", false},
      {"the command refused after the auth", Cat({accepted, AuthAnswer(-1)}), false,
       RconFailure::PasswordRefused, "", false},
      {"an auth answer of another id", AuthAnswer(9), false, RconFailure::Malformed, "", false},
      {"a command answer before the auth answer", BuildSourcePacket(kCommand, 5, "?"), false,
       RconFailure::Malformed, "", false},
      {"garbage", Text("garbage: this is no RCON answer\r\n"), false, RconFailure::Malformed, "",
       false},
      {"closed before the auth answer", Response(kAuth, ""), true, RconFailure::ConnectionClosed,
       "", false},
      {"closed after the command (a quit)", Cat({accepted, Response(kCommand, "bye")}), true,
       RconFailure::None, "bye", true},
      {"an answer over 64 KiB",
       Cat({accepted, Repeat(Response(kCommand, std::string(4000, 'a')), 17)}), false,
       RconFailure::TooLong, std::string(16 * 4000, 'a'), false},
      {"more packets than allowed", Cat({accepted, Repeat(Response(kCommand, ""), 600)}), false,
       RconFailure::TooLong, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SourceRconSession session("pw", "status");
    session.TakeOutgoing();
    for (std::size_t at = 0; at < c.stream.size(); at += 5)
      session.Receive(
          std::span(c.stream).subspan(at, std::min<std::size_t>(5, c.stream.size() - at)));
    if (c.closed) session.ServerClosed();
    ASSERT_TRUE(session.Finished());
    EXPECT_EQ(session.result().failure, c.failure) << session.result().Reason();
    EXPECT_EQ(session.result().answer, c.answer);
    EXPECT_EQ(session.result().closedByServer, c.closedByServer);
  }
}

// ------------------------------------------------------------------------ GoldSrc

TEST(RconGoldSrc, TheDatagramReaderKnowsTheChallengeAndTheTextAnswer) {
  using Kind = GoldSrcDatagram::Kind;
  struct Case {
    Bytes datagram;
    Kind kind;
    std::string text;
  };
  const Case cases[] = {
      {Cat({Datagram("challenge rcon 123456789\n"), {0}}), Kind::Challenge, "123456789"},
      {Datagram("challenge rcon 4294967295"), Kind::Challenge, "4294967295"},
      {Datagram("challenge rcon 4294967296"), Kind::Other, ""},
      {Datagram("challenge rcon 12345678901"), Kind::Other, ""},
      {Datagram("challenge rcon 12a"), Kind::Other, ""},
      {Datagram("challenge rcon \n"), Kind::Other, ""},
      {Cat({Datagram("lHello"), {0}, Text("junk")}), Kind::Text, "Hello"},
      {Datagram("l"), Kind::Text, ""},
      {Cat({{0xFE, 0xFF, 0xFF, 0xFF}, Text("lHello")}), Kind::Other, ""},
      {Datagram(""), Kind::Other, ""},
      {Datagram("mdetails"), Kind::Other, ""},
  };
  for (const Case& c : cases) {
    const GoldSrcDatagram read = ReadGoldSrcDatagram(c.datagram);
    EXPECT_EQ(read.kind, c.kind) << std::string(c.datagram.begin(), c.datagram.end());
    EXPECT_EQ(read.text, c.text);
  }
}

TEST(RconGoldSrc, TheExchangeAsksForTheChallengeAndQuotesThePassword) {
  GoldSrcRconSession session("two words", "say hi");
  EXPECT_EQ(session.TakeOutgoing(), Datagram("challenge rcon\n"));
  session.Receive(Datagram("challenge rcon 42\n"));
  EXPECT_EQ(session.TakeOutgoing(), Datagram("rcon 42 \"two words\" say hi"));
  EXPECT_TRUE(session.CommandSent());
}

// The challenge, then one datagram so many times.
std::vector<Bytes> ChallengeThen(const Bytes& datagram, int times) {
  std::vector<Bytes> datagrams{Datagram("challenge rcon 42\n")};
  datagrams.insert(datagrams.end(), static_cast<std::size_t>(times), datagram);
  return datagrams;
}

TEST(RconGoldSrc, EveryAnswerAServerMayGiveEndsAsItShould) {
  const Bytes challenge = Datagram("challenge rcon 42\n");
  struct Case {
    const char* name;
    std::vector<Bytes> datagrams;
    bool quiet;  // the quiet time passes after them
    RconFailure failure;
    std::string answer;
  };
  const Case cases[] = {
      {"an answer in several datagrams",
       {challenge, Datagram("lpart one, "), Datagram("lpart two")},
       true,
       RconFailure::None,
       "part one, part two"},
      {"an empty answer", {challenge, Datagram("l")}, true, RconFailure::None, ""},
      {"the challenge once more",
       {challenge, challenge, Datagram("lx")},
       true,
       RconFailure::None,
       "x"},
      {"not yet ended", {challenge, Datagram("lx")}, false, RconFailure::None, "x"},
      {"a wrong password",
       {challenge, Datagram("lBad rcon_password.\n")},
       true,
       RconFailure::PasswordRefused,
       ""},
      {"a stale challenge",
       {challenge, Datagram("lBad challenge.\n")},
       true,
       RconFailure::ChallengeRefused,
       ""},
      {"a text for a challenge", {Datagram("lhello")}, false, RconFailure::Malformed, ""},
      {"garbage after the challenge",
       {challenge, Text("garbage: this is no RCON answer")},
       false,
       RconFailure::Malformed,
       ""},
      {"an answer over 64 KiB", ChallengeThen(Datagram("l" + std::string(4000, 'a')), 17), false,
       RconFailure::TooLong, std::string(16 * 4000, 'a')},
      {"more datagrams than allowed", ChallengeThen(Datagram("l."), kRconMaxPackets + 1), false,
       RconFailure::TooLong, std::string(kRconMaxPackets, '.')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GoldSrcRconSession session("pw", "status");
    session.TakeOutgoing();
    for (const Bytes& datagram : c.datagrams) session.Receive(datagram);
    if (c.quiet) session.QuietTimeOver();
    const bool ended = c.quiet || c.failure != RconFailure::None;
    EXPECT_EQ(session.Finished(), ended);
    EXPECT_EQ(session.result().failure, c.failure) << session.result().Reason();
    EXPECT_EQ(session.result().answer, c.answer);
  }
}

// ------------------------------------------------------------------------ requests

TEST(RconRequests, ARequestThatCannotBeSentEndsAtOnceWithItsReason) {
  struct Case {
    std::string address;
    std::uint16_t port;
    std::string password;
    std::string command;
    RconFailure failure;
  };
  const Case cases[] = {
      {"127.0.0.1", 27015, "", "status", RconFailure::NoPassword},
      {"localhost", 27015, "pw", "status", RconFailure::InvalidRequest},
      {"0.0.0.0", 27015, "pw", "status", RconFailure::InvalidRequest},
      {"127.0.0.1", 0, "pw", "status", RconFailure::InvalidRequest},
      {"127.0.0.1", 27015, "pw", "", RconFailure::InvalidRequest},
      {"127.0.0.1", 27015, "pw", std::string("say a\0b", 7), RconFailure::InvalidRequest},
      {"127.0.0.1", 27015, "pw", std::string(kRconMaxCommand + 1, 'x'),
       RconFailure::InvalidRequest},
      {"127.0.0.1", 27015, std::string(kRconMaxPassword + 1, 'p'), "status",
       RconFailure::InvalidRequest},
  };
  for (const Case& c : cases) {
    for (RconDialect dialect : {RconDialect::Source, RconDialect::GoldSrc}) {
      RconRequest request;
      request.dialect = dialect;
      request.address = c.address;
      request.port = c.port;
      request.password = c.password;
      request.command = c.command;
      EXPECT_EQ(RunRconExchange(request).failure, c.failure) << c.address << " " << c.port;
    }
  }
  RconRequest quoted;
  quoted.dialect = RconDialect::GoldSrc;
  quoted.address = "127.0.0.1";
  quoted.port = 27015;
  quoted.password = "a\"b";
  quoted.command = "status";
  EXPECT_EQ(RunRconExchange(quoted).failure, RconFailure::InvalidRequest);

  RconResult result;
  result.failure = RconFailure::NoPassword;
  EXPECT_EQ(result.Reason(), "RCON password not set");
  result.failure = RconFailure::TimedOut;
  result.detail = "while connecting";
  EXPECT_EQ(result.Reason(), "RCON timed out (while connecting)");
}

// ------------------------------------------------------------------------ the client

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A GoldSrc RCON server on the loop's thread: answers the challenge (after onChallenge) and
// records every command; a silent one answers nothing.
struct UdpRconServer {
  UdpRconServer(EventLoop& loop, bool silent) : udp(loop) {
    udp.OnError = [](TVelUDP&, const std::string&, int& code) { code = 0; };
    udp.OnReceive = [this, silent](IDatagramPort& u) {
      char buffer[2048];
      std::uint32_t from = 0;
      std::uint16_t port = 0;
      const int n = u.ReceiveWaiting(buffer, sizeof buffer, from, port);
      const std::string text(buffer + 4, static_cast<std::size_t>(std::max(n, 4)) - 4);
      const bool challenge = text.rfind("challenge rcon", 0) == 0;
      challenges += challenge ? 1 : 0;
      if (silent || n <= 4) return;
      if (challenge && onChallenge) onChallenge();
      if (!challenge) commands.push_back(text.substr(text.find("\" ") + 2));  // rcon 7 "pw" <command>
      const Bytes answer = Datagram(challenge ? "challenge rcon 7\n" : "lok");
      u.SendBufferTo(answer.data(), static_cast<int>(answer.size()), from, port);
    };
    udp.Open();
  }
  TVelUDP udp;
  std::vector<std::string> commands;
  int challenges = 0;
  std::function<void()> onChallenge;
};

// One worker, held by a silent server while the others queue: they run earliest due first, a
// full queue refuses the latest, and what is due or withdrawn (before or after the challenge) is
// answered "not sent" at once and never sent.
TEST(RconClient, RunsEarliestDueFirstAndNeverSendsWhatIsDueOrWithdrawn) {
  EventLoop loop;
  UdpRconServer silent(loop, true), server(loop, false);
  RconClient client(loop, RconClientLimits{1, 4});
  std::vector<std::pair<std::string, RconResult>> results;
  auto send = [&](const UdpRconServer& to, const std::string& command, Clock::time_point beginBy,
                  RconWithdrawal withdrawn = nullptr) {
    RconRequest r;
    r.dialect = RconDialect::GoldSrc;
    r.address = "127.0.0.1";
    r.port = static_cast<std::uint16_t>(to.udp.LocalPort());
    r.password = "pw";
    r.command = command;
    r.connectTimeout = r.timeout = 600ms;
    r.quietTime = 20ms;
    r.beginBy = beginBy;
    r.withdrawn = std::move(withdrawn);
    client.Send(r, [&, command](const RconResult& result) { results.emplace_back(command, result); });
  };
  const auto none = Clock::time_point::max();
  send(silent, "hold", none);
  ASSERT_TRUE(loop.RunUntil([&] { return silent.challenges == 1; }, 5s));
  const auto now = Clock::now();
  const auto early = std::make_shared<std::atomic<bool>>(false), late = std::make_shared<std::atomic<bool>>(false);
  send(server, "late", now + 20s);
  send(server, "due", now + 100ms);
  send(server, "withdrawn", now + 5s, early);
  send(server, "soon", now + 5s, late);
  send(server, "sooner", now + 2s);  // full: "late" makes room
  send(server, "after", none);       // later than all: refused
  early->store(true);
  server.onChallenge = [&] { late->store(server.challenges == 2); };
  ASSERT_TRUE(loop.RunUntil([&] { return results.size() == 7; }, 10s));
  EXPECT_EQ(server.commands, std::vector<std::string>{"sooner"});
  EXPECT_EQ(server.challenges, 2) << "the withdrawn one never connected, the late one stopped after the challenge";
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"late", "RCON busy (4 requests waiting)"},
      {"after", "RCON busy (4 requests waiting)"},
      {"due", "RCON command not sent (not sent within 0 s: 1 requests ahead)"},  // at its time, the worker busy
      {"withdrawn", "RCON command not sent (withdrawn: the process it was meant for has ended)"},
      {"hold", "RCON timed out (while waiting for the challenge)"},
      {"sooner", "RCON answered"},
      {"soon", "RCON command not sent (withdrawn: the process it was meant for has ended)"},
  };
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(results[k].first, expected[k].first);
    EXPECT_EQ(results[k].second.Reason(), expected[k].second) << results[k].first;
    EXPECT_EQ(results[k].second.commandSent.has_value(), results[k].first == "sooner") << results[k].first;
  }
}


// Workers end when idle, so that a quiet program holds no RCON thread, and a later request
// starts one again.
TEST(RconClient, IdleWorkersEndAndANewRequestIsServedAfterwards) {
  EventLoop loop;
  UdpRconServer server(loop, false);
  RconClient client(loop, RconClientLimits{2, 4, 50ms});
  auto ask = [&](const std::string& command) {
    RconRequest r;
    r.dialect = RconDialect::GoldSrc;
    r.address = "127.0.0.1";
    r.port = static_cast<std::uint16_t>(server.udp.LocalPort());
    r.password = "pw";
    r.command = command;
    r.connectTimeout = r.timeout = 2s;
    r.quietTime = 20ms;
    std::string reason;
    client.Send(r, [&](const RconResult& result) { reason = result.Reason(); });
    EXPECT_TRUE(loop.RunUntil([&] { return !reason.empty(); }, 5s)) << command;
    return reason;
  };
  auto workersAfterIdle = [&] {
    for (int k = 0; k < 300 && client.Workers() != 0; ++k) std::this_thread::sleep_for(10ms);
    return client.Workers();
  };
  EXPECT_EQ(ask("first"), "RCON answered");
  EXPECT_EQ(workersAfterIdle(), 0u);
  EXPECT_EQ(ask("second"), "RCON answered");
  EXPECT_EQ(workersAfterIdle(), 0u);
  EXPECT_EQ(server.commands, (std::vector<std::string>{"first", "second"}));
}

}  // namespace
}  // namespace tervane
