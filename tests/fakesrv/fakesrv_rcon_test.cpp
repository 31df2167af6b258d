// RCON end to end: the client on the loop's thread against the built stand-in as a real
// process, both dialects over real sockets on 127.0.0.1, and the stand-in's RCON state on a
// clock the test controls.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "fakesrv.h"
#include "net/rcon.h"
#include "running_server.h"
#include "support/event_loop.h"

namespace tervane::fakesrv::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr RconDialect kDialects[] = {RconDialect::Source, RconDialect::GoldSrc};

// The server's run parameters as the monitor holds them, and the same as its arguments.
constexpr std::u16string_view kParams = u"-game cstrike +rcon_password \"two words\"";
const std::vector<std::string> kPasswordArgs = {"-game", "cstrike", "+rcon_password", "two words"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Until the server has written this, within kReplyMs.
bool WaitForOutput(const RunningServer& server, const std::string& text) {
  const auto deadline = Clock::now() + milliseconds(kReplyMs);
  while (server.Output().find(text) == std::string::npos) {
    if (Clock::now() >= deadline) return false;
    SleepMs(20);
  }
  return true;
}

class FakesrvRcon : public ::testing::Test {
 protected:
  RconRequest Request(RconDialect dialect, std::uint16_t port, std::string command) {
    RconRequest request;
    request.dialect = dialect;
    request.address = "127.0.0.1";
    request.port = port;
    request.password = RconPasswordFromParams(kParams).value_or("");
    request.command = std::move(command);
    return request;
  }
  // One exchange through the client, its result handed back on the loop's thread.
  RconResult Run(RconRequest request) {
    std::optional<RconResult> result;
    client_->Send(std::move(request), [&](const RconResult& r) { result = r; });
    loop_.RunUntil([&] { return result.has_value(); }, milliseconds(kStartMs));
    return result.value_or(RconResult{RconFailure::Cancelled, "no result came", {}, false, {}});
  }

  EventLoop loop_;
  std::unique_ptr<RconClient> client_ = std::make_unique<RconClient>(loop_);
};

TEST_F(FakesrvRcon, SayIsRecordedAndStatusCountsTheHumansInBothDialects) {
  RunningServer server(
      With(kPasswordArgs, {"-fakesrv.players", "7", "-fakesrv.bots", "2", "+maxplayers", "20"}));
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  for (RconDialect dialect : kDialects) {
    SCOPED_TRACE(RconDialectName(dialect));
    const RconResult said = Run(Request(dialect, server.port(), "say \"restart in 5 minutes\""));
    EXPECT_TRUE(said.ok()) << said.Reason();
    const RconResult status = Run(Request(dialect, server.port(), "status"));
    EXPECT_TRUE(status.ok()) << status.Reason();
    EXPECT_NE(status.answer.find("\nplayers : 5 humans, 2 bots (20 max)\n"), std::string::npos)
        << status.answer;
  }
  EXPECT_EQ(server.Command("fakesrv said"),
            "fakesrv said 2\nrestart in 5 minutes\nrestart in 5 minutes");
}

TEST_F(FakesrvRcon, LongAnswersAreJoinedUpToTheBound) {
  RunningServer server(kPasswordArgs);
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  struct Case {
    RconDialect dialect;
    std::size_t bytes;  // several packets (4096 bytes each) or datagrams (1200 each)
    RconFailure failure;
  };
  const Case cases[] = {
      {RconDialect::Source, 20000, RconFailure::None},
      {RconDialect::GoldSrc, 20000, RconFailure::None},
      {RconDialect::Source, 70000, RconFailure::TooLong},
      {RconDialect::GoldSrc, 70000, RconFailure::TooLong},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(RconDialectName(c.dialect)) + " " + std::to_string(c.bytes));
    const RconResult result =
        Run(Request(c.dialect, server.port(), "fakesrv.long " + std::to_string(c.bytes)));
    EXPECT_EQ(result.failure, c.failure) << result.Reason();
    if (c.failure == RconFailure::None) {
      EXPECT_EQ(result.answer, LongAnswer(c.bytes));
    }
  }
}

TEST_F(FakesrvRcon, EachFailureEndsWithItsOwnReasonInBoundedTime) {
  RunningServer server(kPasswordArgs);
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  const std::uint16_t closedPort = FreeUdpPort();
  struct Case {
    const char* name;
    const char* mode;  // the stand-in's RCON mode for this case
    RconDialect dialect;
    bool closedPort;
    const char* password;
    RconFailure failure;
  };
  const Case cases[] = {
      {"wrong password", "normal", RconDialect::Source, false, "two", RconFailure::PasswordRefused},
      {"wrong password", "normal", RconDialect::GoldSrc, false, "two",
       RconFailure::PasswordRefused},
      {"closed port", "normal", RconDialect::Source, true, nullptr, RconFailure::ConnectionRefused},
      {"closed port", "normal", RconDialect::GoldSrc, true, nullptr,
       RconFailure::ConnectionRefused},
      {"garbage", "garbage", RconDialect::Source, false, nullptr, RconFailure::Malformed},
      {"garbage", "garbage", RconDialect::GoldSrc, false, nullptr, RconFailure::Malformed},
      {"silent", "silent", RconDialect::Source, false, nullptr, RconFailure::TimedOut},
      {"silent", "silent", RconDialect::GoldSrc, false, nullptr, RconFailure::TimedOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + std::string(RconDialectName(c.dialect)));
    ASSERT_EQ(server.Command(std::string("fakesrv rcon ") + c.mode), "fakesrv ok");
    RconRequest request = Request(c.dialect, c.closedPort ? closedPort : server.port(), "status");
    if (c.password) request.password = c.password;
    request.connectTimeout = milliseconds(1000);
    request.timeout = milliseconds(1500);
    const auto start = Clock::now();
    const RconResult result = Run(request);
    EXPECT_EQ(result.failure, c.failure) << result.Reason();
    EXPECT_LT(MsSince(start), 1500 + 1000);
  }
}

TEST_F(FakesrvRcon, QuitEndsTheProcessAfterItsDelayUnlessItIsIgnored) {
  struct Case {
    RconDialect dialect;
    int delayMs;
    bool ignored;
  };
  const Case cases[] = {
      {RconDialect::Source, 0, false},
      {RconDialect::GoldSrc, 0, false},
      {RconDialect::Source, 800, false},
      {RconDialect::GoldSrc, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(RconDialectName(c.dialect)) + " delay " + std::to_string(c.delayMs) +
                 (c.ignored ? " ignored" : ""));
    std::vector<std::string> args =
        With(kPasswordArgs, {"-fakesrv.quitdelay", std::to_string(c.delayMs)});
    if (c.ignored) args.push_back("-fakesrv.ignorequit");
    RunningServer server(args);
    ASSERT_TRUE(server.WaitReady()) << server.Output();
    const auto start = Clock::now();
    const RconResult result = Run(Request(c.dialect, server.port(), "quit"));
    EXPECT_TRUE(result.ok()) << result.Reason();
    if (c.ignored) {
      EXPECT_FALSE(server.process().WaitExit(kSilenceMs));
      EXPECT_EQ(server.Command("fakesrv ping"), "fakesrv ok");
      continue;
    }
    EXPECT_EQ(server.process().WaitExit(kStartMs), 0) << server.Output();
    EXPECT_GE(MsSince(start), c.delayMs);
  }
}

TEST_F(FakesrvRcon, ExchangesWithOneServerTakeTurnsAndTheQueueIsBounded) {
  RunningServer server(With(kPasswordArgs, {"-fakesrv.rcon", "silent"}));
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  client_ = std::make_unique<RconClient>(loop_, RconClientLimits{2, 2});
  RconRequest request = Request(RconDialect::GoldSrc, server.port(), "status");
  request.connectTimeout = request.timeout = milliseconds(700);

  // Two threads, but the second request to the same server waits for the first: it ends one
  // timeout after the first one.
  std::vector<std::pair<RconFailure, long long>> ended;
  const auto start = Clock::now();
  for (int i = 0; i < 2; ++i)
    client_->Send(request,
                  [&](const RconResult& r) { ended.emplace_back(r.failure, MsSince(start)); });
  loop_.RunUntil([&] { return ended.size() == 2; }, milliseconds(kStartMs));
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_EQ(ended[0].first, RconFailure::TimedOut);
  EXPECT_EQ(ended[1].first, RconFailure::TimedOut);
  EXPECT_GE(ended[1].second, 2 * 700);

  // With two requests waiting behind the running one, the next is answered Busy at once.
  std::vector<RconFailure> failures;
  for (int i = 0; i < 4; ++i)
    client_->Send(request, [&](const RconResult& r) { failures.push_back(r.failure); });
  loop_.RunUntil([&] { return !failures.empty(); }, milliseconds(kStartMs));
  ASSERT_FALSE(failures.empty());
  EXPECT_EQ(failures.front(), RconFailure::Busy);
}

TEST_F(FakesrvRcon, DestroyingTheClientEndsAHangingExchangeAtOnceAndCallsNothingBack) {
  RunningServer server(With(kPasswordArgs, {"-fakesrv.rcon", "silent"}));
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  for (RconDialect dialect : kDialects) {
    SCOPED_TRACE(RconDialectName(dialect));
    client_ = std::make_unique<RconClient>(loop_);
    RconRequest request = Request(dialect, server.port(), "status");
    request.connectTimeout = request.timeout = milliseconds(60000);
    int called = 0;
    client_->Send(request, [&](const RconResult&) { ++called; });
    client_->Send(request, [&](const RconResult&) { ++called; });  // waits behind the first
    ASSERT_TRUE(WaitForOutput(server, dialect == RconDialect::Source
                                          ? "bytes on Source RCON connection"
                                          : "ignored GoldSrc RCON"))
        << server.Output();
    EXPECT_EQ(client_->Pending(), 2u);

    const auto start = Clock::now();
    client_.reset();
    EXPECT_LT(MsSince(start), 1000);
    loop_.RunUntil([&] { return false; }, milliseconds(200));
    EXPECT_EQ(called, 0);
  }
}

// ------------------------------------------------------------------ the stand-in's own part

std::vector<std::uint8_t> Datagram(std::string_view text) { return BuildControlDatagram(text); }

TEST(FakesrvRconCore, ItsSwitchesAreRead) {
  const Settings s = ParseArguments({u"+RCON_PASSWORD", u"two words", u"-fakesrv.rcon", u"GARBAGE",
                                     u"-fakesrv.quitdelay", u"1500", u"-fakesrv.ignorequit"});
  EXPECT_EQ(s.rconPassword, "two words");
  EXPECT_EQ(s.rcon, RconMode::Garbage);
  EXPECT_EQ(s.quitDelayMs, 1500);
  EXPECT_TRUE(s.ignoreQuit);
  EXPECT_TRUE(s.warnings.empty());

  const Settings none = ParseArguments({u"+rcon_password", u"", u"-fakesrv.rcon", u"loud"});
  EXPECT_FALSE(none.rconPassword);  // an empty password leaves RCON off
  EXPECT_EQ(none.rcon, RconMode::Normal);
  EXPECT_EQ(none.warnings.size(), 1u);
}

TEST(FakesrvRconCore, WithoutAPasswordEveryPasswordIsRefused) {
  FakeServer server(Settings{}, 1000, 42, 7, "127.0.0.1:27015");
  // Source: the empty packet, then the auth answer with id -1.
  const auto stream = server.RconStream(1, BuildSourcePacket(5, kServerDataAuth, ""), 1000);
  EXPECT_EQ(stream.bytes, [] {
    auto bytes = BuildSourcePacket(5, kServerDataResponseValue, "");
    const auto refused = BuildSourcePacket(-1, kServerDataAuthResponse, "");
    bytes.insert(bytes.end(), refused.begin(), refused.end());
    return bytes;
  }());
  // GoldSrc: the challenge all the same, then the refusal.
  server.Receive(Datagram("rcon 42 \"\" status"), "127.0.0.1", 40000, 1000);
  const auto out = server.Advance(1000);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(ReadGoldSrcDatagram(out[0].bytes).text,
            "Bad rcon_password.\nNo password set for this server.\n");
}

TEST(FakesrvRconCore, AQuitEndsTheServerAfterItsDelay) {
  Settings settings;
  settings.rconPassword = "pw";
  settings.quitDelayMs = 500;
  FakeServer server(settings, 1000, 42, 7, "127.0.0.1:27015");
  server.Receive(Datagram("rcon 42 \"pw\" quit"), "127.0.0.1", 40000, 1000);
  EXPECT_EQ(server.NextDeadline(), 1000);  // the answer, at once
  server.Advance(1000);
  EXPECT_EQ(server.NextDeadline(), 1500);
  server.Advance(1499);
  EXPECT_FALSE(server.ExitRequested());
  server.Advance(1500);
  EXPECT_TRUE(server.ExitRequested());
}

}  // namespace
}  // namespace tervane::fakesrv::test
