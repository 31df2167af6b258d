// The HTTP endpoint of a whole monitor on a real socket of 127.0.0.1: metrics and JSON of
// running stand-ins, the commands through the monitor's command layer with the token, and a
// flood of bad requests that neither stops the endpoint nor slows the cycle.
#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <future>
#include <sstream>
#include <thread>

#include "app/server_cli.h"
#include "observe_support.h"
#include "raw_tcp.h"

namespace tervane::testing {
namespace {

class Endpoint : public Observed {
 protected:
  nlohmann::json Servers() {
    const Reply r = Get("/api/servers");
    EXPECT_EQ(r.status, 200);
    return r.status == 200 ? nlohmann::json::parse(r.body) : nlohmann::json::object();
  }
  // Runs the loop until the JSON of the servers satisfies done.
  bool WaitForJson(const std::function<bool(const nlohmann::json&)>& done, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (done(Servers())) return true;
      WaitUntil([] { return false; }, 100ms);
    }
    return false;
  }
  long Count(std::u16string_view text) const {
    const auto logs = Logs();
    return std::count_if(logs.begin(), logs.end(), [&](const std::u16string& l) { return l.find(text) != std::u16string::npos; });
  }
  static bool AllUp(const nlohmann::json& j) {
    if (!j.contains("servers") || j["servers"].empty()) return false;
    for (const auto& s : j["servers"])
      if (!s["up"].get<bool>()) return false;
    return true;
  }
};

TEST_F(Endpoint, MetricsJsonAndPageShowTheRunningServers) {
  AddServer("alpha", u" -fakesrv.players 5 -fakesrv.maxplayers 16 -fakesrv.map de_inferno");
  AddServer("beta");
  Run("");
  ASSERT_TRUE(WaitForJson(AllUp));
  const nlohmann::json j = Servers();
  EXPECT_EQ(j["servers"][0]["name"], "alpha");
  EXPECT_EQ(j["servers"][0]["map"], "de_inferno");
  EXPECT_EQ(j["servers"][0]["players"], 5);
  EXPECT_EQ(j["servers"][0]["process"], "running");
  EXPECT_EQ(j["servers"][0]["last_restart_reason"], "first_start");

  const Reply m = Get("/metrics");
  ASSERT_EQ(m.status, 200);
  const std::string alpha = "{name=\"alpha\",address=\"127.0.0.1\",port=\"" +
                            std::to_string(rig->List()[0]->Port) + "\"}";
  for (const std::string& line : {"tervane_server_up" + alpha + " 1", "tervane_server_players" + alpha + " 5",
                                 "tervane_server_max_players" + alpha + " 16",
                                 "tervane_server_process_running" + alpha + " 1", std::string("tervane_self_test_ok 1")})
    EXPECT_NE(m.body.find(line + "\n"), std::string::npos) << line;

  const Reply page = Get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<table id=\"servers\">"), std::string::npos);
  EXPECT_NE(Logs().front().find(u"HTTP endpoint on http://127.0.0.1:"), std::u16string::npos);
}

TEST_F(Endpoint, CommandsNeedTheTokenAndGoThroughTheMonitor) {
  AddServer("alpha");
  Run("LogCommands=1\r\n");
  ASSERT_TRUE(WaitForJson(AllUp));
  const Server& s = *rig->List()[0];
  const Path exe = s.FileName.str();

  EXPECT_EQ(Post("/api/servers/1/pause", "").status, 401);
  EXPECT_EQ(Post("/api/servers/1/pause", "wrong-token-wrong-token").status, 401);
  EXPECT_EQ(s.Paused, 0);

  EXPECT_EQ(Post("/api/servers/1/pause").status, 200);
  EXPECT_EQ(s.Paused, 1);
  // Who did what: the client's address and the result, for the operator (not the log file).
  EXPECT_EQ(Count(u"HTTP: pause server 1 (alpha) from 127.0.0.1:"), 1);
  EXPECT_EQ(Count(u"alpha: Pause by the operator (HTTP, 127.0.0.1:"), 1);
  EXPECT_EQ(Count(u": done"), 2);
  EXPECT_EQ(Servers()["servers"][0]["process"], "paused");  // published at once
  // Saved as the Pause command saves.
  const auto saved = ReadBytes(dir.File(u"serverlist.dat"));
  EXPECT_EQ(saved, SerializeServerList(rig->List(), monitor->BossKeySettings()));

  EXPECT_EQ(Post("/api/servers/1/unpause").status, 200);
  EXPECT_EQ(s.Paused, 0);
  ASSERT_TRUE(WaitForJson(AllUp));

  EXPECT_EQ(Post("/api/servers/1/restart").status, 200);
  EXPECT_EQ(s.Status.restartsByReason[static_cast<std::size_t>(RestartReason::Command)], 1u);
  ASSERT_TRUE(WaitForJson([](const nlohmann::json& j) { return AllUp(j) && j["servers"][0]["restarts_by_reason"]["command"] == 1; }));

  EXPECT_EQ(Post("/api/servers/1/close").status, 200);
  EXPECT_EQ(s.Paused, 1);
  EXPECT_TRUE(WaitUntil([&] { return !process->IsServerRunning(exe); }, 5s));

  EXPECT_EQ(Post("/api/servers/2/pause").status, 404);  // no such server
  EXPECT_EQ(Post("/api/servers/0/pause").status, 404);  // numbered from 1
}

// A command waits for the loop's thread; a move or a removal that comes first leaves it nothing
// to act on: 409 with the reason, and no server is touched, though another has its number now.
TEST_F(Endpoint, ACommandRacingAMoveOrARemovalNeverReachesAnotherServer) {
  for (const char* name : {"alpha", "beta", "gamma"}) AddServer(name);
  Run("");
  ASSERT_TRUE(WaitUntil([&] { return cycles > 0; }, 30s));
  const Path gamma = rig->List()[2]->FileName.str();
  const std::tuple<const char*, std::function<void()>, const char*> cases[] = {
      {"/api/servers/1/pause", [&] { monitor->Run(Command::Move, monitor->Targets({0}), CommandArgs::MoveTo(2)); },
       R"({"ok":false,"number":1,"command":"pause","error":"server 1 is now number 3; nothing done"})"},
      {"/api/servers/2/close", [&] { monitor->Run(Command::Remove, monitor->Targets({1})); },
       R"({"ok":false,"number":2,"command":"close","error":"server 2 was deleted; nothing done"})"},
  };
  for (const auto& [path, meanwhile, says] : cases) {
    // The loop's thread stands still until the request was read and handed to it.
    auto reply = std::async(std::launch::async, [&] { return Request("POST", path, kToken); });
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (observing->CommandsWaiting() == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(observing->CommandsWaiting(), 1u);
    meanwhile();
    WaitUntil([&] { return reply.wait_for(0s) == std::future_status::ready; }, 15s);
    const Reply r = reply.get();
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.body, says);
  }
  process->TerminateServerProcess(gamma);  // removed from the list, still running
  for (const auto& s : rig->List()) EXPECT_EQ(s->Paused, 0) << "no other server paused or closed";
  // The new numbering was published with the change: number 1 is beta now.
  EXPECT_EQ(Post("/api/servers/1/pause").status, 200);
  EXPECT_EQ(rig->List()[0]->Name.str(), u"beta");
}

// Garbage, oversized headers and bodies, requests cut off: each is refused or dropped, the
// metrics answer afterwards, and the cycle kept coming meanwhile.
TEST_F(Endpoint, ABoundedFloodOfBadRequestsChangesNothing) {
  AddServer("alpha");
  Run("");
  ASSERT_TRUE(WaitForJson(AllUp));
  cycles = 0;

  const std::string bodyTooLong = "POST /api/servers/1/pause HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                                  std::string(kToken) + "\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'x');
  const std::string requests[] = {
      "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 not http at all\r\n\r\n",
      "GET\r\n\r\n",
      "GET /metrics HTTP/9.9\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\n" + std::string(200000, 'A') + "\r\n\r\n",
      "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
      "POST /api/servers/1/pause HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n",
      "POST /api/servers/1/pause HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n",
      bodyTooLong,
      "GET /metrics HTTP/1.1\r\nHost: x\r\n",  // never finished
      std::string("GET /\0metrics HTTP/1.1\r\n\r\n", 27),
  };
  constexpr int kRounds = 3;
  const auto begun = std::chrono::steady_clock::now();
  const int answered = OffLoop([&] {
    int n = 0;
    for (int round = 0; round < kRounds; ++round) {
      std::vector<std::thread> clients;
      std::atomic<int> replies{0};
      for (const std::string& r : requests)
        clients.emplace_back([&, r] {
          if (!RawExchange(httpPort, r).empty()) ++replies;
        });
      for (auto& c : clients) c.join();
      n += replies;
    }
    return n;
  });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  EXPECT_GT(answered, 0);
  EXPECT_EQ(rig->List()[0]->Paused, 0);  // the oversized body with the token did nothing

  const Reply m = Get("/metrics");
  EXPECT_EQ(m.status, 200);
  EXPECT_NE(m.body.find("tervane_server_up{name=\"alpha\""), std::string::npos);
  // The cycle comes every 200 ms; at least half of those due came during the flood.
  const int due = static_cast<int>(seconds / 0.2);
  EXPECT_GE(cycles, due / 2) << seconds << " s, " << cycles << " cycles";
}

// The options that cannot be used are logged, and what could be used still starts.
TEST_F(Endpoint, EachProblemOfTheFileIsLoggedOnce) {
  AddServer("alpha");
  Run("Colour=blue\r\nMaxRestarts=lots\r\nWebhookUrl=https://example.invalid/" + std::string(600, 'p') + "\r\n");
  EXPECT_EQ(Count(u"kesp.ini: unknown key \"Colour\""), 1);
  EXPECT_EQ(Count(u"kesp.ini: MaxRestarts="), 1);
  EXPECT_EQ(Count(u"kesp.ini: WebhookUrl is longer than"), 1);  // refused, not posted to a cut address
  EXPECT_EQ(Count(u"kesp.ini: kesp.ini"), 0);
  EXPECT_EQ(Get("/metrics").status, 200);
}

// One account of restarts at every door: close and unpause, a restart by command, a planned
// restart and a kill give the same counts and kinds in the status text, the JSON the page
// draws, and the metrics; the Restarts cell counts the supervision's starts: the one after the
// close and the kill.
TEST_F(Endpoint, EveryDoorCountsAndNamesTheRestartsAlike) {
  AddServer("alpha");
  Run("");
  ASSERT_TRUE(WaitForJson(AllUp));
  const Path exe = rig->List()[0]->FileName.str();
  const auto reasons = [](const nlohmann::json& j) { return j["servers"][0]["restarts_by_reason"]; };
  ASSERT_EQ(Post("/api/servers/1/close").status, 200);
  ASSERT_TRUE(WaitUntil([&] { return !process->IsServerRunning(exe); }, 5s));
  ASSERT_EQ(Post("/api/servers/1/unpause").status, 200);
  ASSERT_TRUE(WaitForJson([&](const nlohmann::json& j) { return AllUp(j) && reasons(j)["command"] == 1; }));
  ASSERT_EQ(Post("/api/servers/1/restart").status, 200);
  ASSERT_TRUE(WaitForJson([&](const nlohmann::json& j) { return AllUp(j) && reasons(j)["command"] == 2; }));
  ASSERT_EQ(Post("/api/servers/1/restart?in=0").status, 200);
  ASSERT_TRUE(WaitForJson([&](const nlohmann::json& j) { return AllUp(j) && reasons(j)["planned"] == 1; }));
  ASSERT_TRUE(process->TerminateServerProcess(exe).Known());  // killed from outside
  ASSERT_TRUE(WaitForJson([&](const nlohmann::json& j) { return AllUp(j) && reasons(j)["process_lost"] == 1; }));

  EXPECT_EQ(rig->List()[0]->Restarts, 2);
  const nlohmann::json j = Servers();
  const auto& a = j["servers"][0];
  EXPECT_EQ(a["restarts"], 2);
  EXPECT_EQ(a["restarts_by_kind"], nlohmann::json({{"supervised", 1}, {"operator", 2}, {"planned", 1}}));
  EXPECT_EQ(a["last_restart_kind"], "supervised");
  std::vector<std::string> kinds;
  for (const auto& r : j["recent_restarts"]) kinds.push_back(r["kind"]);
  EXPECT_EQ(kinds, (std::vector<std::string>{"supervised", "planned", "operator", "operator", "first_start"}));

  const Reply m = Get("/metrics");
  const std::string alpha = "tervane_server_restarts_total{name=\"alpha\",address=\"127.0.0.1\",port=\"" +
                            std::to_string(rig->List()[0]->Port) + "\",reason=";
  for (const char* sample : {"\"process_lost\"} 1\n", "\"command\"} 2\n", "\"planned\"} 1\n", "\"fatal_error\"} 0\n"})
    EXPECT_NE(m.body.find(alpha + sample), std::string::npos) << sample;

  std::ostringstream out, err;
  CommandIo io{out, err, {}};
  ParsedCommand status;
  status.command = Command::Status;
  RunServerCommand(*monitor, status, 1, io);
  EXPECT_NE(out.str().find("  Restarts: 2\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("   Restarts by kind: supervised 1, by the operator 2, planned 1\n"), std::string::npos);
  EXPECT_NE(out.str().find(" (supervised restart: process lost)\n"), std::string::npos) << out.str();
  // The start after the close is the operator's, logged by the rule of a lost process.
  EXPECT_EQ(Count(u"alpha: Restarting. Reason: Process lost."), 2);
  EXPECT_EQ(Count(u"alpha: Restarting. Reason: Planned restart."), 1);
}

// A command the monitor ran but could not save says so: the list file is a folder now.
TEST_F(Endpoint, ACommandWhoseSaveFailedSaysSo) {
  AddServer("alpha");
  Run("");
  ASSERT_TRUE(WaitForJson(AllUp));
  const std::filesystem::path list = dir.path() / "serverlist.dat";
  std::filesystem::remove(list);
  std::filesystem::create_directories(list / "in-the-way");
  const Reply r = Post("/api/servers/1/pause");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, R"({"ok":false,"number":1,"command":"pause","saved":false,"error":"done, but the server list could not be saved"})");
  EXPECT_EQ(rig->List()[0]->Paused, 1);  // done all the same
  EXPECT_EQ(Count(u"HTTP: pause server 1 (alpha) from 127.0.0.1:"), 1);
  EXPECT_EQ(Count(u"done, but the server list could not be saved"), 1);
  // Planned restarts are live state: nothing to save, so the failed save is not theirs.
  const std::pair<const char*, const char*> plans[] = {
      {"/api/servers/1/cancel", R"({"ok":false,"number":1,"command":"cancel","error":"no restart was planned"})"},
      {"/api/servers/1/restart?in=30", R"({"ok":true,"number":1,"command":"restart","in_minutes":30,"due":)"},
      {"/api/servers/1/cancel", R"({"ok":true,"number":1,"command":"cancel"})"},
  };
  for (const auto& [path, body] : plans) {
    const Reply p = Post(path);
    EXPECT_EQ(p.body.substr(0, std::string_view(body).size()), body) << path;
  }
  std::filesystem::remove_all(list);
}

// An address that is taken is tried again after every cycle; the log says the first failure
// once and then when the endpoint listens.
TEST_F(Endpoint, ATakenAddressIsTriedAgainUntilItIsFree) {
  AddServer("alpha");
  httpPort = FreeTcpPort();
  boost::asio::io_context io;
  auto taken = std::make_unique<boost::asio::ip::tcp::acceptor>(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(httpPort)));
  Run("");
  cycles = 0;
  ASSERT_TRUE(WaitUntil([&] { return cycles >= 3; }, 10s));
  EXPECT_EQ(Count(u"kesp.ini: the HTTP endpoint is not listening: cannot listen on 127.0.0.1:"), 1);
  EXPECT_EQ(observing->HttpPort(), 0);
  taken.reset();
  const std::u16string listening = u"kesp.ini: HTTP endpoint on http://127.0.0.1:" + ToU16(httpPort) + u"/";
  ASSERT_TRUE(WaitUntil([&] { return Count(listening) == 1; }, 10s));
  EXPECT_EQ(Get("/metrics").status, 200);
}

}  // namespace
}  // namespace tervane::testing
