// TVelUDP with real sockets on 127.0.0.1, driven by the real loop: ports, sends, receives,
// the LocalPort rule, the error reports with their GBK texts, and the handlers' freedom to
// close, reopen or destroy the endpoint.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/vel_udp.h"
#include "support/event_loop.h"

namespace tervane {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kPatience(5000);
constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1

// The texts, as GBK bytes, checked against an encoder outside this program.
const std::string kBindText =
    "\xBD\xA8\xC1\xA2 UDP \xBC\xE0\xCC\xFD\xCA\xB1\xB7\xA2\xC9\xFA\xB4\xED\xCE\xF3";
const std::string kLocalPortText =
    "\xB5\xB1 Socket \xD2\xD1\xBC\xA4\xBB\xEE\xCA\xB1\xB2\xBB\xC4\xDC\xB8\xC4\xB1\xE4 LocalPort";
const std::string kFullStop = "\xA1\xA3";
const std::string kCodeLabel = "\xA3\xAC\xB4\xED\xCE\xF3\xC2\xEB\xA3\xBA";

// What a receive handler saw for one notification.
struct Received {
  int result = 0;
  std::string data;
  std::uint32_t from = 0;
  int port = 0;
  std::thread::id thread;
};

// Reads one datagram per notification.
void ReadInto(IDatagramPort& udp, std::vector<Received>& log) {
  Received r;
  char buffer[256];
  std::uint16_t port = 0;
  r.result = udp.ReceiveWaiting(buffer, sizeof buffer, r.from, port);
  r.data.assign(buffer, static_cast<std::size_t>(std::max(r.result, 0)));
  r.port = port;
  r.thread = std::this_thread::get_id();
  log.push_back(r);
}

int Send(TVelUDP& udp, const std::string& data, int port) {
  return udp.SendBufferTo(data.data(), static_cast<int>(data.size()), kLoopback, static_cast<std::uint16_t>(port));
}

// The program's handler: every socket error is silent.
void Silent(TVelUDP&, const std::string&, int& code) { code = 0; }

class VelUDPTest : public ::testing::Test {
 protected:
  std::unique_ptr<TVelUDP> Opened() {
    auto udp = std::make_unique<TVelUDP>(loop);
    udp->OnError = Silent;
    udp->Open();
    EXPECT_TRUE(udp->Active());
    EXPECT_NE(udp->LocalPort(), 0);
    return udp;
  }
  // Runs the loop until the log holds n entries.
  bool WaitFor(const std::vector<Received>& log, std::size_t n) {
    return loop.RunUntil([&] { return log.size() >= n; }, kPatience);
  }
  EventLoop loop;
};

TEST_F(VelUDPTest, PortZeroTakesTheAssignedPortAndAReopenBindsItAgain) {
  TVelUDP udp(loop);
  EXPECT_FALSE(udp.Active());
  EXPECT_EQ(udp.LocalPort(), 0);
  EXPECT_EQ(Send(udp, "idle", 1), 0) << "inactive: nothing sent";
  udp.OnError = Silent;
  std::vector<Received> log;
  udp.OnReceive = [&](IDatagramPort& s) { ReadInto(s, log); };

  udp.Open();
  ASSERT_TRUE(udp.Active());
  const int port = udp.LocalPort();
  EXPECT_GT(port, 0);
  EXPECT_LT(port, 65536);
  udp.Open();  // already active: nothing happens
  udp.Close();
  EXPECT_FALSE(udp.Active());
  EXPECT_EQ(udp.LocalPort(), port);
  udp.Close();  // inactive: nothing happens
  udp.Open();
  ASSERT_TRUE(udp.Active());
  EXPECT_EQ(udp.LocalPort(), port);

  // The reopened socket receives on that port.
  EXPECT_EQ(Send(udp, "again", port), 5);
  ASSERT_TRUE(WaitFor(log, 1));
  EXPECT_EQ(log[0].data, "again");
  EXPECT_EQ(log[0].port, port);
}

TEST_F(VelUDPTest, ASecondEndpointGetsAPortOfItsOwn) {
  auto first = Opened();
  auto second = Opened();
  EXPECT_NE(first->LocalPort(), second->LocalPort());
}

TEST_F(VelUDPTest, TheSelfTestDatagramIsExactlyEightBytesAndComesBackFromTheOwnPort) {
  auto udp = Opened();
  std::vector<Received> log;
  udp->OnReceive = [&](IDatagramPort& s) { ReadInto(s, log); };
  EXPECT_EQ(Send(*udp, "selftest", udp->LocalPort()), 8);
  ASSERT_TRUE(WaitFor(log, 1));
  EXPECT_EQ(log[0].result, 8);
  EXPECT_EQ(log[0].data, "selftest");
  EXPECT_EQ(log[0].from, kLoopback);
  EXPECT_EQ(log[0].port, udp->LocalPort());
  EXPECT_EQ(log[0].thread, std::this_thread::get_id());
}

TEST_F(VelUDPTest, NothingIsSentWhenInactiveOrForBytesThatAreNotThere) {
  auto receiver = Opened();
  std::vector<Received> log;
  receiver->OnReceive = [&](IDatagramPort& s) { ReadInto(s, log); };
  const int port = receiver->LocalPort();

  TVelUDP idle(loop);
  EXPECT_EQ(Send(idle, "selftest", port), 0);

  auto sender = Opened();
  EXPECT_EQ(sender->SendBufferTo("negative", -1, kLoopback, static_cast<std::uint16_t>(port)), 0);
  EXPECT_EQ(sender->SendBufferTo(nullptr, 4, kLoopback, static_cast<std::uint16_t>(port)), 0);
  // The marker is the first datagram that arrives: none of the above left.
  EXPECT_EQ(Send(*sender, "marker", port), 6);
  ASSERT_TRUE(WaitFor(log, 1));
  EXPECT_EQ(log[0].data, "marker");
  EXPECT_EQ(log[0].port, sender->LocalPort());
}

TEST(VelUDPDestination, TheBroadcastAddressPassesAlthoughItsValueIsTheFailureValue) {
  std::uint32_t address = 0;
  EXPECT_TRUE(ConvertDestination("255.255.255.255", address));
  EXPECT_EQ(address, kAddressNone);
  // Any other spelling of that value is indistinguishable from a rejected text.
  EXPECT_FALSE(ConvertDestination("0xFFFFFFFF", address));
  EXPECT_FALSE(ConvertDestination("localhost", address));
  EXPECT_TRUE(ConvertDestination("127.0.0.1", address));
  EXPECT_EQ(address, 0x7F000001u);
  EXPECT_TRUE(ConvertDestination("0.0.0.0", address));
  EXPECT_EQ(address, 0u);
}

TEST(VelUDPDestination, TheDottedConversionTakesTheClassicForms) {
  EXPECT_EQ(ParseDottedIPv4("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(ParseDottedIPv4("127.1"), 0x7F000001u);
  EXPECT_EQ(ParseDottedIPv4("10.1.258"), 0x0A010102u);
  EXPECT_EQ(ParseDottedIPv4("2130706433"), 0x7F000001u);
  EXPECT_EQ(ParseDottedIPv4("0x7f.0.0.01"), 0x7F000001u);
  EXPECT_EQ(ParseDottedIPv4("0177.0.0.1"), 0x7F000001u);
  EXPECT_EQ(ParseDottedIPv4("127.0.0.1 and more"), 0x7F000001u);
  EXPECT_EQ(ParseDottedIPv4(std::string("127.0.0.1\0x", 11)), 0x7F000001u);

  for (const char* bad : {"", " ", " 127.0.0.1", "256.0.0.1", "1.2.3.256", "1.2.65536",
                          "1.16777216", "4294967296", "99999999999999999999", "1.2.3.4.5",
                          "1.2.3.", "1..2", ".1.2.3", "08.1.1.1", "0x", "0x.1", "1.2.3.4x",
                          "a.b.c.d", "-1.2.3.4", "+1", "\xB1\xBE.1"}) {
    EXPECT_EQ(ParseDottedIPv4(bad), kAddressNone) << '"' << bad << '"';
  }
  EXPECT_EQ(FormatDottedIPv4(0x7F000001u), "127.0.0.1");
  EXPECT_EQ(FormatDottedIPv4(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(FormatDottedIPv4(0u), "0.0.0.0");
}

TEST_F(VelUDPTest, TheLocalPortIsRefusedWhileActiveAndReportedWithCodeMinusOne) {
  TVelUDP udp(loop);
  udp.SetLocalPort(0);
  udp.Open();
  ASSERT_TRUE(udp.Active());
  const int port = udp.LocalPort();

  // No handler: raised, with the code as given.
  try {
    udp.SetLocalPort(port + 1);
    FAIL() << "no EError";
  } catch (const EError& e) {
    EXPECT_EQ(std::string(e.what()), kLocalPortText + kCodeLabel + "-1");
  }
  EXPECT_EQ(udp.LocalPort(), port);

  // The program's handler: the report is heard, nothing is raised, nothing changes.
  std::vector<std::pair<std::string, int>> heard;
  udp.OnError = [&](TVelUDP& sender, const std::string& msg, int& code) {
    EXPECT_EQ(&sender, &udp);
    heard.emplace_back(msg, code);
    code = 0;
  };
  EXPECT_NO_THROW(udp.SetLocalPort(port + 1));
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0], std::make_pair(kLocalPortText + kFullStop, -1));
  EXPECT_EQ(udp.LocalPort(), port);
  EXPECT_TRUE(udp.Active());

  // A handler that changes the code to another non-zero value: raised with the original.
  udp.OnError = [](TVelUDP&, const std::string&, int& code) { code = 12345; };
  try {
    udp.SetLocalPort(port + 2);
    FAIL() << "no EError";
  } catch (const EError& e) {
    EXPECT_EQ(std::string(e.what()), kLocalPortText + kCodeLabel + "-1");
  }

  // The current value is no change, active or not; inactive the value is stored.
  heard.clear();
  udp.OnError = [&](TVelUDP&, const std::string& msg, int& code) {
    heard.emplace_back(msg, code);
    code = 0;
  };
  udp.SetLocalPort(port);
  EXPECT_TRUE(heard.empty());
  udp.Close();
  udp.SetLocalPort(port + 1);
  EXPECT_EQ(udp.LocalPort(), port + 1);
  EXPECT_TRUE(heard.empty());
}

TEST_F(VelUDPTest, AFailedBindLeavesItInactiveWithTheErrorReported) {
  auto holder = Opened();
  const int taken = holder->LocalPort();

  TVelUDP second(loop);
  std::vector<std::pair<std::string, int>> heard;
  second.OnError = [&](TVelUDP&, const std::string& msg, int& code) {
    heard.emplace_back(msg, code);
    code = 0;
  };
  second.SetLocalPort(taken);
  second.Open();
  EXPECT_FALSE(second.Active());
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].first, kBindText + kFullStop);
  EXPECT_NE(heard[0].second, 0) << "the system's error code";
  EXPECT_EQ(second.LocalPort(), taken);
  EXPECT_EQ(Send(second, "x", taken), 0);

  // Without a handler the same failure raises, with the system's code after the label.
  TVelUDP third(loop);
  third.SetLocalPort(taken);
  try {
    third.Open();
    FAIL() << "no EError";
  } catch (const EError& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind(kBindText + kCodeLabel, 0), 0u);
    EXPECT_EQ(text.substr(kBindText.size() + kCodeLabel.size()), std::to_string(heard[0].second));
  }
  EXPECT_FALSE(third.Active());
}

TEST_F(VelUDPTest, OneReceiveCallPerDatagramOnTheLoopsThread) {
  auto receiver = Opened();
  auto sender = Opened();
  std::vector<Received> log;
  receiver->OnReceive = [&](IDatagramPort& s) { ReadInto(s, log); };
  const std::vector<std::string> sent = {"one", "two", "", "three", "a longer fourth datagram"};
  for (const std::string& data : sent) {
    EXPECT_EQ(Send(*sender, data, receiver->LocalPort()), static_cast<int>(data.size()));
  }
  ASSERT_TRUE(WaitFor(log, sent.size()));
  // A last datagram closes the series: no call in between found nothing to read.
  EXPECT_EQ(Send(*sender, "end", receiver->LocalPort()), 3);
  ASSERT_TRUE(WaitFor(log, sent.size() + 1));
  ASSERT_EQ(log.size(), sent.size() + 1);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(log[i].data, sent[i]);
    EXPECT_EQ(log[i].result, static_cast<int>(sent[i].size()));
    EXPECT_EQ(log[i].from, kLoopback);
    EXPECT_EQ(log[i].port, sender->LocalPort());
    EXPECT_EQ(log[i].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(log.back().data, "end");
}

// One notification may take every datagram waiting, each whole (the empty one too) and
// without a size asked first, until a read finds none; the loop then stays quiet.
TEST_F(VelUDPTest, EveryWaitingDatagramIsReadInOneCallUntilNoneWaits) {
  auto receiver = Opened();
  auto sender = Opened();
  const std::vector<std::string> sent = {"one", "", "a longer third datagram"};
  for (const std::string& data : sent) ASSERT_EQ(Send(*sender, data, receiver->LocalPort()), static_cast<int>(data.size()));
  std::vector<std::string> read;
  int calls = 0;
  receiver->OnReceive = [&](IDatagramPort& s) {
    ++calls;
    char buffer[64];
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    for (int n; (n = s.ReceiveWaiting(buffer, sizeof buffer, address, port)) >= 0;) {
      read.emplace_back(buffer, static_cast<std::size_t>(n));
      EXPECT_EQ(port, sender->LocalPort());
    }
  };
  ASSERT_TRUE(loop.RunUntil([&] { return read.size() >= sent.size(); }, kPatience));
  EXPECT_EQ(read, sent);
  EXPECT_EQ(calls, 1) << "on 127.0.0.1 a datagram is there once its send returned";
  TVelUDP idle(loop);
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  char buffer[4];
  EXPECT_EQ(idle.ReceiveWaiting(buffer, sizeof buffer, address, port), -1) << "inactive";
}

// A query to a port where nothing listens brings back an ICMP port-unreachable. It must not
// make a read fail nor keep the next datagram from arriving.
TEST_F(VelUDPTest, AQueryToAClosedPortDoesNotDisturbTheNextReceive) {
  int closedPort = 0;
  {
    auto gone = Opened();
    closedPort = gone->LocalPort();
  }
  auto receiver = Opened();
  auto sender = Opened();
  std::vector<Received> log;
  receiver->OnReceive = [&](IDatagramPort& s) { ReadInto(s, log); };
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Send(*receiver, "query", closedPort), 5);
    const std::string reply = "reply" + std::to_string(round);
    EXPECT_EQ(Send(*sender, reply, receiver->LocalPort()), 6);
    ASSERT_TRUE(loop.RunUntil(
        [&] { return !log.empty() && log.back().data == reply; }, kPatience))
        << "round " << round;
  }
  for (const Received& r : log) {
    EXPECT_EQ(r.result, 6) << "a read failed: " << r.data;
  }
}

TEST_F(VelUDPTest, AHandlerThatDoesNotReadCannotMakeTheLoopSpin) {
  auto receiver = Opened();
  auto sender = Opened();
  int calls = 0;
  receiver->OnReceive = [&](IDatagramPort&) { ++calls; };
  for (int i = 0; i < 3; ++i) Send(*sender, "unread", receiver->LocalPort());
  Timer marker(loop);
  bool fired = false;
  marker.SetInterval(300);
  marker.OnTimer = [&] {
    marker.SetEnabled(false);
    fired = true;
  };
  marker.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return fired; }, kPatience)) << "timers starved";
  EXPECT_GE(calls, 1);
  EXPECT_LE(calls, 3);
}

TEST_F(VelUDPTest, DestructionClosesTheSocket) {
  int port = 0;
  {
    auto udp = Opened();
    port = udp->LocalPort();
  }
  // The port is free again.
  TVelUDP again(loop);
  again.SetLocalPort(port);
  again.Open();
  EXPECT_TRUE(again.Active());
}

// What the timeout check does: close and reopen drops what was not delivered; destroying the
// endpoint with news pending and creating a new one leaves nothing behind for the old one.
TEST_F(VelUDPTest, ReopeningDropsUndeliveredDatagramsAndRecreatingIsClean) {
  auto udp = Opened();
  std::vector<Received> log;
  auto attach = [&](TVelUDP& u) { u.OnReceive = [&](IDatagramPort& s) { ReadInto(s, log); }; };
  attach(*udp);
  ASSERT_EQ(Send(*udp, "late", udp->LocalPort()), 4);
  udp->Close();
  udp->Open();
  ASSERT_EQ(Send(*udp, "fresh", udp->LocalPort()), 5);
  ASSERT_TRUE(WaitFor(log, 1));
  EXPECT_EQ(log[0].data, "fresh");

  ASSERT_EQ(Send(*udp, "pending", udp->LocalPort()), 7);
  const int oldPort = udp->LocalPort();
  udp = Opened();
  attach(*udp);
  EXPECT_NE(udp->LocalPort(), oldPort);
  ASSERT_EQ(Send(*udp, "selftest", udp->LocalPort()), 8);
  ASSERT_TRUE(WaitFor(log, 2));
  EXPECT_EQ(log[1].data, "selftest");
  EXPECT_EQ(log[1].port, udp->LocalPort());
}

TEST_F(VelUDPTest, AReceiveHandlerMayDestroyTheEndpoint) {
  auto udp = Opened();
  int calls = 0;
  udp->OnReceive = [&](IDatagramPort&) {
    ++calls;
    udp.reset();  // without reading: nothing of the endpoint may be touched afterwards
  };
  auto sender = Opened();
  Send(*sender, "a", udp->LocalPort());
  Send(*sender, "b", udp->LocalPort());
  ASSERT_TRUE(loop.RunUntil([&] { return udp == nullptr; }, kPatience));
  Timer marker(loop);
  bool fired = false;
  marker.SetInterval(100);
  marker.OnTimer = [&] {
    marker.SetEnabled(false);
    fired = true;
  };
  marker.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return fired; }, kPatience));
  EXPECT_EQ(calls, 1);
}

TEST_F(VelUDPTest, ATimerHandlerRecreatesTheEndpointAsTheTimeoutCheckDoes) {
  auto udp = Opened();
  std::vector<Received> log;
  Timer check(loop);
  check.SetInterval(20);
  check.OnTimer = [&] {
    check.SetEnabled(false);
    udp.reset();
    udp = std::make_unique<TVelUDP>(loop);
    udp->OnError = Silent;
    udp->OnReceive = [&](IDatagramPort& s) { ReadInto(s, log); };
    udp->Open();
    Send(*udp, "selftest", udp->LocalPort());
  };
  check.SetEnabled(true);
  ASSERT_TRUE(WaitFor(log, 1));
  EXPECT_EQ(log[0].data, "selftest");
  EXPECT_EQ(log[0].port, udp->LocalPort());
}

// The size asked for before Open and while open: the buffer grows to it, a small request never
// shrinks it, and a request beyond every system limit still opens.
TEST_F(VelUDPTest, TheReceiveBufferGrowsToTheRequestAndNeverFailsTheOpen) {
  auto plain = Opened();
  const int systemSize = plain->ReceiveBufferGranted();
  EXPECT_GT(systemSize, 0);
  constexpr int kLarge = 256 * 1024;
  struct Case {
    int request;
    bool whileOpen;
    int atLeast;
  } const cases[] = {
      {kLarge, false, kLarge}, {kLarge, true, kLarge}, {1, false, systemSize}, {1, true, systemSize},
      {0x7FFFFFFF, false, systemSize}, {0x7FFFFFFF, true, systemSize},
  };
  for (const Case& c : cases) {
    TVelUDP udp(loop);
    udp.OnError = Silent;
    if (!c.whileOpen) udp.SetReceiveBufferSize(c.request);
    udp.Open();
    if (c.whileOpen) udp.SetReceiveBufferSize(c.request);
    EXPECT_TRUE(udp.Active()) << c.request;
    EXPECT_EQ(udp.ReceiveBufferSize(), c.request);
    EXPECT_GE(udp.ReceiveBufferGranted(), c.atLeast) << c.request << (c.whileOpen ? " while open" : "");
  }
  EXPECT_EQ(TVelUDP(loop).ReceiveBufferGranted(), 0);
}

}  // namespace
}  // namespace tervane
