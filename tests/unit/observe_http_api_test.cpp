// What the HTTP endpoint answers, without sockets: the metrics' names and labels, the JSON of
// the statuses, and the token rules of every route.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "observe/http_api.h"
#include "observe/http_request_reader.h"
#include "observe/metrics.h"
#include "support/text.h"

namespace tervane {
namespace {

constexpr WallTime kNow = 1'800'000'100;

MonitorSnapshot TwoServers() {
  MonitorSnapshot m;
  ServerSnapshot a;
  a.number = 1;
  a.name = "Alpha \"1\"\\";
  a.address = "127.0.0.1";
  a.port = 27015;
  a.executable = "/srv/alpha/hlds_linux";
  a.process = ProcessState::Running;
  a.network = NetworkState::Normal;
  a.status.hasReply = true;
  a.status.map = "de_dust2";
  a.status.players = 7;
  a.status.maxPlayers = 32;
  a.status.lastReply = kNow - 3;
  a.status.lastRestart = kNow - 50;
  a.status.lastRestartReason = RestartReason::ProcessLost;
  a.status.restartsByReason[static_cast<std::size_t>(RestartReason::ProcessLost)] = 2;
  a.status.restartsByReason[static_cast<std::size_t>(RestartReason::Command)] = 1;
  a.status.failedStarts = 4;
  a.status.lastStartError = 13;
  ServerSnapshot b;
  b.number = 2;
  b.name = "Beta";
  b.address = "127.0.0.1";
  b.port = 27016;
  b.priority = 2;
  b.process = ProcessState::Paused;
  b.network = NetworkState::Paused;
  b.paused = true;
  b.status.phase = Phase::PausedByGuard;
  b.pauseReason = "Paused Monitor. Reason: 5 restarts within 10 minutes.";
  b.timeoutCount = 3;
  m.servers = {a, b};
  m.cycleSeconds = 0.25;
  return m;
}

TEST(Metrics, EveryNameOfTheDashboardsIsThereWithItsLabels) {
  const std::string text = RenderMetrics(TwoServers(), ObserverCounts{5, 1, 2, {}}, kNow, "2.3");
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
      "tervane_server_restarts_total" + alpha + ",reason=\"planned\"} 0\n",
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

// The document is written as text straight away, exactly as the JSON library writes it (what
// readers of the old documents compared byte for byte): its escapes, UTF-8 kept, bytes that are
// no UTF-8 replaced, numbers, nulls.
TEST(StatusJson, TheTextIsTheJsonLibrarysOwn) {
  MonitorSnapshot m = TwoServers();
  m.cycleSeconds = 2.0;
  m.servers[0].name = std::string("ctl \x01\x1f\x7f\b\f\n\r\t \"q\" \\ caf\xc3\xa9 \xf0\x9f\x98\x80 nul") + '\0';
  m.servers[1].executable = "bad \xff\xfe \xe2\x82 \xed\xa0\x80 \xc0\xaf \xf4\x90\x80\x80";
  m.recentRestarts.push_back({kNow - 9, "Beta \x02", RestartReason::ProcessLost, 2});
  const std::string text = StatusJson(m, kNow);
  EXPECT_EQ(text, nlohmann::ordered_json::parse(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  EXPECT_NE(text.find(R"("name":"ctl \u0001\u001f)" "\x7f" R"(\b\f\n\r\t \"q\" \\ café 😀 nul\u0000")"), std::string::npos) << text;
  EXPECT_NE(text.find("\"cycle_duration_seconds\":2.0,"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(text)["servers"][1]["executable"].get<std::string>().find("\xef\xbf\xbd"), 4u);
}

// The status document of both doors (GET /api/servers, kesp status --json): the state as values.
TEST(StatusJson, TheDocumentCarriesTheStatusModelAsValues) {
  MonitorSnapshot m = TwoServers();
  m.servers[1].name = "bad \xff utf-8";  // replaced, never an exception
  m.servers[0].stopping = true;
  m.servers[0].stoppingSecondsLeft = 42;
  m.servers[0].rconTrouble = "RCON password refused";
  m.recentRestarts.push_back({kNow - 9, "Beta", RestartReason::Command, 0});
  const auto doc = nlohmann::json::parse(StatusJson(m, kNow));
  EXPECT_EQ(doc["recent_restarts"][0]["kind"], "operator");
  EXPECT_EQ(doc["recent_restarts"][0]["reason"], "command");
  EXPECT_EQ(doc["time"], kNow);
  EXPECT_EQ(doc["supervising"], true);
  EXPECT_EQ(doc["cycle_duration_seconds"], 0.25);
  ASSERT_EQ(doc["servers"].size(), 2u);
  const auto& a = doc["servers"][0];
  EXPECT_EQ(a["number"], 1);
  EXPECT_EQ(a["name"], "Alpha \"1\"\\");
  EXPECT_EQ(a["executable"], "/srv/alpha/hlds_linux");
  EXPECT_EQ(a["priority"], "normal");
  EXPECT_EQ(a["process"], "running");
  EXPECT_EQ(a["network"], "normal");
  EXPECT_EQ(a["up"], true);
  EXPECT_EQ(a["map"], "de_dust2");
  EXPECT_EQ(a["players"], 7);
  EXPECT_EQ(a["max_players"], 32);
  EXPECT_EQ(a["last_reply"], kNow - 3);
  EXPECT_EQ(a["last_reply_age_seconds"], 3);
  EXPECT_EQ(a["last_restart_reason"], "process_lost");
  EXPECT_EQ(a["restarts_by_reason"]["failed_start"], 4);
  EXPECT_EQ(a["restarts_by_kind"], nlohmann::json({{"supervised", 2}, {"operator", 1}, {"planned", 0}}));
  EXPECT_EQ(a["last_restart_kind"], "supervised");
  EXPECT_TRUE(a["pause_kind"].is_null());
  EXPECT_EQ(a["stopping"], true);
  EXPECT_EQ(a["stopping_seconds_left"], 42);
  EXPECT_EQ(a["rcon_trouble"], "RCON password refused");
  EXPECT_EQ(a["start_error"]["code"], 13);
  EXPECT_EQ(a["start_error"]["text"], Utf16ToUtf8(SystemErrorText(13)));
  EXPECT_TRUE(a["pause_reason"].is_null());
  const auto& b = doc["servers"][1];
  EXPECT_EQ(b["number"], 2);
  EXPECT_EQ(b["priority"], "realtime");
  EXPECT_EQ(b["process"], "paused");
  EXPECT_EQ(b["crash_loop_paused"], true);
  EXPECT_EQ(b["pause_reason"], "Paused Monitor. Reason: 5 restarts within 10 minutes.");
  EXPECT_EQ(b["pause_kind"], "guard");
  EXPECT_TRUE(b["stopping_seconds_left"].is_null());
  EXPECT_TRUE(b["rcon_trouble"].is_null());
  EXPECT_TRUE(b["last_restart_kind"].is_null());
  EXPECT_EQ(b["timeout_count"], 3);
  EXPECT_TRUE(b["map"].is_null());
  EXPECT_TRUE(b["last_reply_age_seconds"].is_null());
  EXPECT_TRUE(b["last_restart"].is_null());
  EXPECT_TRUE(b["start_error"].is_null());
}

// A server's game updates, as the status document and the metrics give them: one updating after
// a failed update with a newer one known, one that never had any.
TEST(StatusJson, AServersUpdatesAreInTheDocumentAndTheMetrics) {
  MonitorSnapshot m = TwoServers();
  UpdateStatus& u = m.servers[0].status.update;
  u.availableSince = kNow - 600;
  u.source = UpdateSource::Url;
  u.detail = "required version 9559123";
  u.dueBy = kNow + 1200;
  u.updatingSince = kNow - 30;
  u.lastResult = UpdateStatus::Result::TimedOut;
  u.lastAt = kNow - 4000;
  u.lastDetail = "passed its 900 s";
  u.made = 2;
  u.failed = 3;
  m.servers[0].status.phase = Phase::Updating;
  m.servers[0].status.restartsByReason[static_cast<std::size_t>(RestartReason::Update)] = 2;
  const auto doc = nlohmann::json::parse(StatusJson(m, kNow));
  EXPECT_EQ(doc["servers"][0]["update"],
            nlohmann::json({{"available_since", kNow - 600}, {"source", "url"}, {"detail", "required version 9559123"},
                            {"due_by", kNow + 1200}, {"updating", true}, {"updating_since", kNow - 30},
                            {"last_result", "timed_out"}, {"last_at", kNow - 4000}, {"last_detail", "passed its 900 s"},
                            {"made", 2}, {"failed", 3}}));
  EXPECT_EQ(doc["servers"][0]["restarts_by_reason"]["update"], 2);
  EXPECT_EQ(doc["servers"][0]["restarts_by_kind"]["planned"], 2) << "an update restart is a planned one";
  EXPECT_EQ(doc["servers"][1]["update"],
            nlohmann::json({{"available_since", nullptr}, {"source", ""}, {"detail", ""}, {"due_by", nullptr},
                            {"updating", false}, {"updating_since", nullptr}, {"last_result", "none"},
                            {"last_at", nullptr}, {"last_detail", ""}, {"made", 0}, {"failed", 0}}));

  const std::string text = RenderMetrics(m, ObserverCounts{}, kNow, "2.3");
  const std::string alpha = "{name=\"Alpha \\\"1\\\"\\\\\",address=\"127.0.0.1\",port=\"27015\"";
  const std::string beta = "{name=\"Beta\",address=\"127.0.0.1\",port=\"27016\"";
  for (const std::string& line : std::vector<std::string>{
           "tervane_server_update_available" + alpha + "} 1\n",
           "tervane_server_update_available" + beta + "} 0\n",
           "tervane_server_updating" + alpha + "} 1\n",
           "tervane_server_updating" + beta + "} 0\n",
           "tervane_updates_total" + alpha + ",result=\"made\"} 2\n",
           "tervane_updates_total" + alpha + ",result=\"failed\"} 3\n",
           "tervane_updates_total" + beta + ",result=\"failed\"} 0\n",
           "tervane_server_restarts_total" + alpha + ",reason=\"update\"} 2\n",
           "# TYPE tervane_updates_total counter\n",
           "# TYPE tervane_server_updating gauge\n",
           "# HELP tervane_server_update_available ",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

// The answer of a call that answers at once.
HttpResponse Answer(const HttpApi& api, const HttpRequest& request) {
  HttpResponse out;
  out.status = 0;
  api.Handle(request, [&](HttpResponse r) { out = std::move(r); });
  return out;
}

class HttpApiTest : public ::testing::Test {
 protected:
  HttpApiTest() { box.Publish(TwoServers()); }
  HttpResponse Call(const char* method, const char* path, const std::string& auth, bool loopback,
                    const std::string& host = "127.0.0.1:8427") {
    return Answer(api, HttpRequest{method, path, auth, loopback, "", host, "127.0.0.1:5000"});
  }
  SnapshotBox box;
  std::vector<std::pair<Command, std::size_t>> commands;
  CommandRunner runner = [this](Command command, std::size_t number, ServerId, const HttpRequest&,
                                HttpAnswer answer) {
    commands.emplace_back(command, number);
    answer(HttpResponse{});
  };
  HttpApi api{"0123456789abcdef-token", "127.0.0.1", box, runner, [] { return ObserverCounts{}; },
              [] { return kNow; }, "2.3"};
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
      {"POST", "/api/servers/1/pause", "", true, 401},  // loopback too
      {"POST", "/api/servers/1/pause", "Bearer 0123456789abcdef-tokeX", true, 401},
      {"POST", "/api/servers/1/pause", good + " ", true, 401},
      {"POST", "/api/servers/1/pause", "bearer 0123456789abcdef-token", false, 200},  // the scheme in any case
      {"POST", "/api/servers/1/pause", "BEARER  0123456789abcdef-token", false, 200},
      {"POST", "/api/servers/1/pause", "Bearer0123456789abcdef-token", true, 401},
      {"GET", "/metrics", "Bearer wrong", true, 401},  // a wrong token is refused from this host too
      {"POST", "/api/servers/1/explode", good, true, 404},
      {"POST", "/api/servers/1/show", good, true, 404},  // a command of the window only
      {"POST", "/api/servers/x/pause", good, true, 404},
      {"POST", "/api/servers//pause", good, true, 404},
      {"POST", "/api/servers/99999999999/pause", good, true, 404},
      {"DELETE", "/api/servers/1", good, true, 405},
      {"POST", "/api/servers/2/unpause", good, false, 200},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Call(c.method, c.path, c.auth, c.loopback).status, c.status) << c.method << " " << c.path << " " << c.auth;
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0], (std::pair<Command, std::size_t>{Command::Pause, 1}));
  EXPECT_EQ(commands[2], (std::pair<Command, std::size_t>{Command::Unpause, 2}));
  EXPECT_EQ(Call("GET", "/metrics", "", false).headers.at(0).first, "WWW-Authenticate");
}

// restart?in=<minutes> plans a restart, update?in=<minutes> an update: the token as for every
// command, the minutes from 0 to 1440 and nothing else in the query; cancel is a command of its own.
TEST_F(HttpApiTest, APlannedRestartTakesItsMinutesFromTheQueryAndTheToken) {
  const std::string good = "Bearer 0123456789abcdef-token";
  const struct {
    const char* path;
    const char* query;
    std::string auth;
    int status;
  } cases[] = {
      {"/api/servers/1/restart", "in=5", good, 200},     {"/api/servers/1/restart", "in=0", good, 200},
      {"/api/servers/1/restart", "in=1440", good, 200},  {"/api/servers/1/restart", "in=5", "", 401},
      {"/api/servers/1/restart", "in=1441", good, 400},  {"/api/servers/1/restart", "in=", good, 400},
      {"/api/servers/1/restart", "in=-1", good, 400},    {"/api/servers/1/restart", "in=5&x=1", good, 400},
      {"/api/servers/1/restart", "at=5", good, 400},     {"/api/servers/1/cancel", "", good, 200},
      {"/api/servers/1/cancel", "", "", 401},
      {"/api/servers/2/update", "", good, 200},          {"/api/servers/1/update", "in=15", good, 200},
      {"/api/servers/1/update", "", "", 401},            {"/api/servers/1/update", "in=5", "Bearer wrong", 401},
      {"/api/servers/1/update", "in=1441", good, 400},   {"/api/servers/1/update", "in=x", good, 400},
      {"/api/servers/1/update", "minutes=5", good, 400}, {"/api/servers/1/updates", "", good, 404},
  };
  for (const auto& c : cases) {
    const HttpRequest request{"POST", c.path, c.auth, true, "", "127.0.0.1:8427", "127.0.0.1:5000", c.query};
    EXPECT_EQ(Answer(api, request).status, c.status) << c.path << "?" << c.query << " " << c.auth;
  }
  ASSERT_EQ(commands.size(), 6u) << "only the accepted ones run";
  EXPECT_EQ(commands[4], (std::pair<Command, std::size_t>{Command::Update, 2}));
}

TEST_F(HttpApiTest, WithoutATokenNoCommandIsTaken) {
  HttpApi open{"", "127.0.0.1", box, runner, {}, [] { return kNow; }, "2.3"};
  for (const char* auth : {"", "Bearer ", "Bearer"})
    EXPECT_EQ(Answer(open, HttpRequest{"POST", "/api/servers/1/restart", auth, true, "", "localhost", ""}).status, 401);
  EXPECT_TRUE(commands.empty());
  const HttpResponse page = Answer(open, HttpRequest{"GET", "/", "", true, "", "localhost", ""});
  EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("/api/servers"), std::string::npos);
}

// DNS rebinding: a page of another site, led to this host's address, sends its own name as
// Host; without the token this host's clients are served only under this host's names.
TEST_F(HttpApiTest, ThisHostsClientsWithoutTheTokenMustNameThisHost) {
  struct Case {
    std::string host;
    std::string auth;
    bool loopback;
    int status;
  };
  const std::string good = "Bearer 0123456789abcdef-token";
  const Case cases[] = {
      {"127.0.0.1:8427", "", true, 200},     {"localhost:8427", "", true, 200}, {"LocalHost", "", true, 200},
      {"127.0.0.1", "", true, 200},          {"[::1]:8427", "", true, 200},     {"10.1.2.3:80", "", true, 200},
      {"", "", true, 200},  // HTTP/1.0 without Host
      {"evil.example:8427", "", true, 403},  {"evil.example", "", true, 403},   {"localhost.evil.example", "", true, 403},
      {"127.0.0.1:x", "", true, 403},        {"[::1]x", "", true, 403},         {"evil.example:8427", good, true, 200},
      {"evil.example:8427", "", false, 401},  // another host's client needs the token anyway
  };
  for (const Case& c : cases)
    EXPECT_EQ(Call("GET", "/api/servers", c.auth, c.loopback, c.host).status, c.status) << c.host << " " << c.auth;
  EXPECT_EQ(Call("GET", "/", "", true, "evil.example").status, 403);
}

// Requests fed as a connection brings them, in one piece or byte by byte: what is read, and
// the status of what is refused before it is read whole.
TEST(HttpRequestReader, ReadsRequestsWithinTheLimitsAndRefusesTheRest) {
  struct Case {
    std::string bytes;
    HttpRequestReader::Step step;
    int status;        // a refusal's
    std::string body;  // a complete request's
  };
  using S = HttpRequestReader::Step;
  const std::string lines64 = [] {
    std::string h;
    for (int i = 1; i < 64; ++i) h += "X-" + std::to_string(i) + ": y\r\n";
    return h;
  }();
  const Case cases[] = {
      {"GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", S::Complete, 0, ""},
      {"POST /api/servers/0/restart HTTP/1.1\r\nHost: a\r\n\r\n", S::Complete, 0, ""},  // curl's empty POST
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc", S::Complete, 0, "abc"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n1;x=y\r\nc\r\n0\r\n\r\n", S::Complete, 0,
       "abc"},
      {"GET / HTTP/1.0\r\n\r\n", S::Complete, 0, ""},
      {"GET / HTTP/1.1\r\nHost: a\r\n" + lines64 + "\r\n", S::Complete, 0, ""},
      {"GET / HTTP/1.1\r\n", S::NeedMore, 0, ""},
      {"GET / HTTP/1.1\r\nHost: a\r\nX-0: y\r\n" + lines64 + "\r\n", S::Refused, 431, ""},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(kHttpHeadLimit, 'a') + "\r\n\r\n", S::Refused, 431, ""},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(kHttpHeadLimit, 'a'), S::Refused, 431, ""},
      {"GET /" + std::string(kHttpHeadLimit, 'a') + " HTTP/1.1\r\n", S::Refused, 431, ""},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 4097\r\n\r\n", S::Refused, 413, ""},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFF\r\n", S::Refused, 413, ""},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(9000, '0'), S::Refused, 413, ""},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n1;" + std::string(9000, 'e'), S::Refused, 413,
       ""},
      {"GET / HTTP/1.1\r\n\r\n", S::Refused, 400, ""},  // no Host
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", S::Refused, 400, ""},
      {"GET x HTTP/1.1\r\nHost: a\r\n\r\n", S::Refused, 400, ""},
      {"GET / HTTP/2.0\r\nHost: a\r\n\r\n", S::Refused, 400, ""},
      {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", S::Refused, 400, ""},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -5\r\n\r\n", S::Refused, 400, ""},
      {std::string("GET /\0metrics HTTP/1.1\r\n\r\n", 27), S::Refused, 400, ""},
      {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", S::Refused, 400, ""},
  };
  for (const Case& c : cases) {
    for (const bool byteByByte : {false, true}) {
      HttpRequestReader reader;
      HttpRequestReader::Step step = HttpRequestReader::Step::NeedMore;
      if (byteByByte) {
        for (std::size_t i = 0; i < c.bytes.size() && step == S::NeedMore; ++i) step = reader.Feed(c.bytes.substr(i, 1));
      } else {
        step = reader.Feed(c.bytes);
      }
      const std::string what = c.bytes.substr(0, 60) + (byteByByte ? " (byte by byte)" : "");
      ASSERT_EQ(step, c.step) << what;
      EXPECT_EQ(step == S::Refused ? reader.RefusalStatus() : 0, c.status) << what;
      EXPECT_EQ(step == S::Complete ? reader.Request().body : "", c.body) << what;
    }
  }
}

TEST(HttpRequestReader, KeepsWhatFollowsARequestForTheNextOne) {
  HttpRequestReader reader;
  ASSERT_EQ(reader.Feed("GET /metrics?a HTTP/1.1\r\nhost: h\r\nAuthorization: bearer t\r\n\r\nGET / HTTP/1.1\r\n"),
            HttpRequestReader::Step::Complete);
  EXPECT_EQ(reader.Request().method, "GET");
  EXPECT_EQ(reader.Request().path, "/metrics");
  EXPECT_EQ(reader.Request().host, "h");
  EXPECT_EQ(reader.Request().authorization, "bearer t");
  EXPECT_TRUE(reader.KeepAlive());
  EXPECT_EQ(reader.Rest(), "GET / HTTP/1.1\r\n");
  HttpRequestReader closing;
  ASSERT_EQ(closing.Feed("GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"), HttpRequestReader::Step::Complete);
  EXPECT_FALSE(closing.KeepAlive());
}

}  // namespace
}  // namespace tervane
