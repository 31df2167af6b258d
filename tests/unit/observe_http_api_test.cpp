// What the HTTP endpoint answers, without sockets: the metrics' names and labels, the JSON of
// the statuses, and the token rules of every route.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "observe/http_api.h"
#include "observe/http_request_head.h"
#include "observe/metrics.h"

namespace tervane {
namespace {

constexpr WallTime kNow = 1'800'000'100;

MonitorSnapshot TwoServers() {
  MonitorSnapshot m;
  ServerSnapshot a;
  a.name = "Alpha \"1\"\\";
  a.address = "127.0.0.1";
  a.port = 27015;
  a.process = ProcessState::Running;
  a.network = NetworkState::Normal;
  a.hasReply = true;
  a.map = "de_dust2";
  a.players = 7;
  a.maxPlayers = 32;
  a.lastReply = kNow - 3;
  a.lastRestart = kNow - 50;
  a.lastRestartReason = RestartReason::ProcessLost;
  a.restartsByReason[static_cast<std::size_t>(RestartReason::ProcessLost)] = 2;
  a.restartsByReason[static_cast<std::size_t>(RestartReason::Command)] = 1;
  a.failedStarts = 4;
  ServerSnapshot b;
  b.row = 1;
  b.name = "Beta";
  b.address = "127.0.0.1";
  b.port = 27016;
  b.process = ProcessState::Paused;
  b.network = NetworkState::Paused;
  b.paused = b.crashLoopPaused = true;
  b.timeoutCount = 3;
  m.servers = {a, b};
  m.cycleSeconds = 0.25;
  return m;
}

TEST(Metrics, EveryNameOfTheDashboardsIsThereWithItsLabels) {
  const std::string text = RenderMetrics(TwoServers(), ObserverCounts{5, 1, 2}, kNow, "2.3");
  const std::string alpha = "{name=\"Alpha \\\"1\\\"\\\\\",address=\"127.0.0.1\",port=\"27015\"";
  const std::string beta = "{name=\"Beta\",address=\"127.0.0.1\",port=\"27016\"";
  const std::string lines[] = {
      "tervane_server_up" + alpha + "} 1\n",
      "tervane_server_up" + beta + "} 0\n",
      "tervane_server_process_running" + alpha + "} 1\n",
      "tervane_server_paused" + beta + "} 1\n",
      "tervane_server_crash_loop_paused" + beta + "} 1\n",
      "tervane_server_players" + alpha + "} 7\n",
      "tervane_server_max_players" + alpha + "} 32\n",
      "tervane_server_restarts_total" + alpha + ",reason=\"process_lost\"} 2\n",
      "tervane_server_restarts_total" + alpha + ",reason=\"command\"} 1\n",
      "tervane_server_restarts_total" + alpha + ",reason=\"failed_start\"} 4\n",
      "tervane_server_restarts_total" + alpha + ",reason=\"fatal_error\"} 0\n",
      "tervane_server_restarts_total" + alpha + ",reason=\"no_response\"} 0\n",
      "tervane_server_last_reply_age_seconds" + alpha + "} 3\n",
      "tervane_server_timeouts" + beta + "} 3\n",
      "tervane_self_test_ok 1\n",
      "tervane_cycle_duration_seconds 0.25\n",
      "tervane_alerts_dropped_total 2\n",
      "tervane_alerts_sent_total 5\n",
      "tervane_build_info{version=\"2.3\"} 1\n",
      "# TYPE tervane_server_restarts_total counter\n",
  };
  for (const std::string& line : lines) EXPECT_NE(text.find(line), std::string::npos) << line;
  // No reply yet: no age sample rather than a made-up one.
  EXPECT_EQ(text.find("tervane_server_last_reply_age_seconds" + beta), std::string::npos);
  // Every sample's name is one the program lists as exported, and each has HELP and TYPE.
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.rfind("# ", 0) == 0) continue;
    const std::string name = line.substr(0, line.find_first_of("{ "));
    EXPECT_NE(std::find(ExportedMetricNames().begin(), ExportedMetricNames().end(), name),
              ExportedMetricNames().end())
        << name;
    EXPECT_NE(text.find("# TYPE " + name + " "), std::string::npos) << name;
  }
}

TEST(Metrics, TheJsonCarriesTheStatusModel) {
  MonitorSnapshot m = TwoServers();
  m.servers[1].name = "bad \xff utf-8";  // replaced, never an exception
  const auto doc = nlohmann::json::parse(RenderServersJson(m, kNow));
  ASSERT_EQ(doc["servers"].size(), 2u);
  const auto& a = doc["servers"][0];
  EXPECT_EQ(a["name"], "Alpha \"1\"\\");
  EXPECT_EQ(a["process"], "running");
  EXPECT_EQ(a["network"], "normal");
  EXPECT_EQ(a["up"], true);
  EXPECT_EQ(a["map"], "de_dust2");
  EXPECT_EQ(a["players"], 7);
  EXPECT_EQ(a["lastReplyAgeSeconds"], 3);
  EXPECT_EQ(a["lastRestartReason"], "process_lost");
  EXPECT_EQ(a["restarts"]["failed_start"], 4);
  const auto& b = doc["servers"][1];
  EXPECT_EQ(b["process"], "paused");
  EXPECT_EQ(b["crashLoopPaused"], true);
  EXPECT_TRUE(b["map"].is_null());
  EXPECT_TRUE(b["lastReplyAgeSeconds"].is_null());
}

class HttpApiTest : public ::testing::Test {
 protected:
  HttpApiTest() { box.Publish(TwoServers()); }
  HttpResponse Call(const char* method, const char* path, const std::string& auth, bool loopback) {
    return api.Handle(HttpRequest{method, path, auth, loopback, ""});
  }
  SnapshotBox box;
  std::vector<std::pair<std::string, std::size_t>> commands;
  HttpApi api{"0123456789abcdef-token", box,
              [this](const std::string& verb, std::size_t row) {
                commands.emplace_back(verb, row);
                return HttpResponse{};
              },
              [] { return ObserverCounts{}; }, [] { return kNow; }, "2.3"};
};

TEST_F(HttpApiTest, EachRouteAnswersAsTheTokenRulesSay) {
  const std::string good = "Bearer 0123456789abcdef-token";
  struct Case {
    const char* method;
    const char* path;
    std::string auth;
    bool loopback;
    int status;
  };
  const Case cases[] = {
      {"GET", "/", "", false, 200},  // the page holds no data
      {"GET", "/metrics", "", true, 200},
      {"GET", "/api/servers", "", true, 200},
      {"GET", "/metrics", "", false, 401},
      {"GET", "/api/servers", "Bearer wrong", false, 401},
      {"GET", "/metrics", good, false, 200},
      {"GET", "/api/servers", good, false, 200},
      {"GET", "/nothing", "", true, 404},
      {"POST", "/api/servers/0/pause", "", true, 401},  // loopback too
      {"POST", "/api/servers/0/pause", "Bearer 0123456789abcdef-tokeX", true, 401},
      {"POST", "/api/servers/0/pause", good + " ", true, 401},
      {"POST", "/api/servers/0/pause", "bearer 0123456789abcdef-token", true, 401},
      {"POST", "/api/servers/0/explode", good, true, 404},
      {"POST", "/api/servers/x/pause", good, true, 404},
      {"POST", "/api/servers//pause", good, true, 404},
      {"POST", "/api/servers/99999999999/pause", good, true, 404},
      {"DELETE", "/api/servers/0", good, true, 405},
      {"POST", "/api/servers/1/unpause", good, false, 200},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Call(c.method, c.path, c.auth, c.loopback).status, c.status) << c.method << " " << c.path << " " << c.auth;
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], (std::pair<std::string, std::size_t>{"unpause", 1}));
  EXPECT_EQ(Call("GET", "/metrics", "", false).headers.at(0).first, "WWW-Authenticate");
}

TEST_F(HttpApiTest, WithoutATokenNoCommandIsTaken) {
  HttpApi open{"", box, [this](const std::string& v, std::size_t r) {
                 commands.emplace_back(v, r);
                 return HttpResponse{};
               },
               {}, [] { return kNow; }, "2.3"};
  for (const char* auth : {"", "Bearer ", "Bearer"})
    EXPECT_EQ(open.Handle(HttpRequest{"POST", "/api/servers/0/restart", auth, true, ""}).status, 401);
  EXPECT_TRUE(commands.empty());
  const HttpResponse page = open.Handle(HttpRequest{"GET", "/", "", true, ""});
  EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("/api/servers"), std::string::npos);
}

// The Windows endpoint's reading of request heads.
TEST(HttpRequestHead, WellFormedHeadsAreReadAndEverythingElseRefused) {
  const auto get = ParseHttpRequestHead("GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\nauthorization:  Bearer t \r\n"
                                        "Content-Length: 12");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->method, "GET");
  EXPECT_EQ(get->path, "/metrics");
  EXPECT_EQ(get->authorization, "Bearer t");
  EXPECT_EQ(get->contentLength, 12u);
  EXPECT_FALSE(get->chunked);
  EXPECT_TRUE(ParseHttpRequestHead("POST /api/servers/0/pause HTTP/1.0\r\nTransfer-Encoding: chunked")->chunked);
  for (const std::string& bad : std::vector<std::string>{"", "GET", "GET /", "GET / HTTP/2.0", "GET  / HTTP/1.1", "GET x HTTP/1.1",
                                "G(T / HTTP/1.1", "GET /\x01 HTTP/1.1", "GET / HTTP/1.1\r\nNoColon",
                                "GET / HTTP/1.1\r\n: empty name", "GET / HTTP/1.1\r\nContent-Length: -1",
                                "GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2",
                                "GET / HTTP/1.1\r\nContent-Length: 9999999999999",
                                "GET / HTTP/1.1\r\nX: a\x01" "b", "GET / HTTP/1.1\r\n\r\nX: y",
                                "GET / HTTP/1.1\r\nX: " + std::string(kHttpHeadLimit, 'a')})
    EXPECT_FALSE(ParseHttpRequestHead(bad)) << bad;
}

}  // namespace
}  // namespace tervane
