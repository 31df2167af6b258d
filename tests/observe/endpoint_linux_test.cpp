// The endpoint of kesp itself under the clients of http_flood.h: kesp with a descriptor limit
// of 128 (soft and hard, as a service manager may set it) over three stand-ins, its cycles
// counted by the keep-alives it sends to a service manager's socket. And the README's curl
// examples, run by curl as printed.
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "child_posix.h"
#include "http_flood.h"
#include "observe_support.h"
#include "support/unique_handle_posix.h"

namespace tervane::testing {
namespace {

long long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  return -1;
}

nlohmann::json ServersOf(int port) {
  const auto answer = Fetch(port, GetRequest("/api/servers"));
  if (!answer || answer->find("\r\n\r\n") == std::string::npos) return nlohmann::json::object();
  return nlohmann::json::parse(answer->substr(answer->find("\r\n\r\n") + 4), nullptr, false);
}

// The sample of one metric ("name{labels}") in /metrics, or -1. The connections of a burst
// past the limit may still be open for a moment: asked again for up to two seconds.
long long Metric(int port, const std::string& sample) {
  std::optional<std::string> answer;
  for (int attempt = 0; attempt < 20 && !(answer && answer->rfind("HTTP/1.1 200", 0) == 0); ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(100ms);
    answer = Fetch(port, GetRequest("/metrics"));
  }
  const std::size_t at = answer ? answer->find("\n" + sample + " ") : std::string::npos;
  return at == std::string::npos ? -1 : std::stoll(answer->substr(at + sample.size() + 2));
}

// A program folder with kesp, stand-ins in its list, and a kesp.ini whose endpoint listens on
// a free port of 127.0.0.1; the stand-ins are ended at the end.
struct KespFolder {
  explicit KespFolder(std::initializer_list<const char*> names) {
    for (const char* name : names) records.push_back(StandIn(dir, loop, name));
    WriteBytes(dir.File(u"serverlist.dat"), SerializeServerList(records, BossKeyOptions{}));
    const std::string ini = "[Options]\nHttpListen=127.0.0.1:" + std::to_string(port) + "\n";
    WriteBytes(dir.File(u"kesp.ini"), std::vector<std::uint8_t>(ini.begin(), ini.end()));
    std::filesystem::copy_file(TERVANE_KESP, kesp);
  }
  ~KespFolder() {
    for (const auto& e : records) process->TerminateServerProcess(e->FileName.str());
  }
  TempDir dir;
  EventLoop loop;
  std::unique_ptr<IProcessControl> process = CreateProcessControl(ProcessControlOptions{dir.Dir() + u"logs/"});
  ServerList records;
  int port = FreeTcpPort();
  std::filesystem::path kesp = dir.path() / "kesp";
};

TEST(KespEndpoint, AFloodBelowTheConnectionLimitLeavesServersMemoryAndScrapesAlone) {
  KespFolder folder({"alpha", "beta", "gamma"});
  const TempDir& dir = folder.dir;
  const int port = folder.port;
  const auto& kesp = folder.kesp;

  // The service manager's socket: one keep-alive after each cycle.
  const std::string notifyPath = (dir.path() / "notify").string();
  const UniqueFd notify(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(notifyPath.size(), sizeof address.sun_path);
  notifyPath.copy(address.sun_path, notifyPath.size());
  ASSERT_EQ(::bind(notify.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto keepAlives = [&] {
    int n = 0;
    char buffer[256];
    ssize_t got;
    while ((got = ::recv(notify.get(), buffer, sizeof buffer, 0)) > 0)
      n += std::string_view(buffer, static_cast<std::size_t>(got)).find("WATCHDOG=1") != std::string_view::npos ? 1 : 0;
    return n;
  };

  {
    Child monitor({"/bin/sh", "-c", "ulimit -n 128 && exec \"$0\"", kesp.string()}, (dir.path() / "kesp.out").string(),
                  {"TERVANE_TEST_CYCLE_MS=200", "NOTIFY_SOCKET=" + notifyPath});
    ASSERT_TRUE(monitor.Started());
    auto allUp = [&](const nlohmann::json& j) {
      if (!j.is_object() || j["servers"].size() != 3) return false;
      for (const auto& s : j["servers"])
        if (s["up"] != true) return false;
      return true;
    };
    nlohmann::json before;
    for (int attempt = 0; attempt < 150 && !allUp(before); ++attempt) {
      std::this_thread::sleep_for(200ms);
      before = ServersOf(port);
    }
    ASSERT_TRUE(allUp(before)) << before.dump();

    keepAlives();
    int cycles = 0;
    const auto begun = std::chrono::steady_clock::now();
    ExpectTheFloodHarmless(port, [&] { return ResidentKiB(monitor.Pid()); }, [&] { cycles += keepAlives(); });
    cycles += keepAlives();
    // The cycle comes every 200 ms; at least half of those due came during the flood.
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun);
    EXPECT_GE(cycles, static_cast<int>(spent.count() / 200) / 2) << spent.count() << " ms";

    // The metrics say what was refused.
    EXPECT_GE(Metric(port, "tervane_http_connections_refused_total{reason=\"limit\"}"), 8);
    EXPECT_GE(Metric(port, "tervane_http_requests_refused_total{reason=\"timeout\"}"), FloodPlan().slow);
    EXPECT_GE(Metric(port, "tervane_http_requests_refused_total{reason=\"too_large\"}"), 2);

    // No server was started, ended or paused meanwhile.
    const nlohmann::json after = ServersOf(port);
    ASSERT_TRUE(allUp(after)) << after.dump();
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(after["servers"][i]["restarts_by_reason"], before["servers"][i]["restarts_by_reason"]) << i;
      EXPECT_EQ(after["servers"][i]["paused"], false) << i;
    }
    monitor.Stop(SIGTERM);
  }
}

// The keys of a JSON object, and of each object within it (arrays: of their first element).
std::set<std::string> Shape(const nlohmann::json& j, const std::string& at = "") {
  std::set<std::string> keys;
  if (j.is_array() && !j.empty()) return Shape(j[0], at + "[]");
  if (!j.is_object()) return keys;
  for (const auto& [key, value] : j.items()) {
    keys.insert(at + "." + key);
    for (const std::string& inner : Shape(value, at + "." + key)) keys.insert(inner);
  }
  return keys;
}

// kesp status --json (through the running kesp's control socket) and GET /api/servers give one
// document: the same keys, numbered from 1, with the same values for the same server.
TEST(KespEndpoint, StatusJsonAndTheApiGiveTheSameDocument) {
  KespFolder folder({"alpha", "beta"});
  const int port = folder.port;
  const auto& kesp = folder.kesp;
  {
    Child monitor({kesp.string()}, (folder.dir.path() / "kesp.out").string(), {"TERVANE_TEST_CYCLE_MS=200"});
    ASSERT_TRUE(monitor.Started());
    nlohmann::json api;
    for (int attempt = 0; attempt < 150; ++attempt) {
      std::this_thread::sleep_for(200ms);
      api = ServersOf(port);
      if (api.is_object() && api["servers"].size() == 2 && api["servers"][1]["up"] == true) break;
    }
    ASSERT_TRUE(api.is_object() && api["servers"].size() == 2) << api.dump();
    FILE* pipe = ::popen(("'" + kesp.string() + "' status --json 2>/dev/null").c_str(), "r");
    std::string text;
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    ASSERT_EQ(pipe ? ::pclose(pipe) : -1, 0) << text;
    const nlohmann::json cli = nlohmann::json::parse(text, nullptr, false);
    std::set<std::string> cliTop, apiTop;
    for (const auto& [key, value] : cli.items()) cliTop.insert(key);
    for (const auto& [key, value] : api.items()) apiTop.insert(key);
    EXPECT_EQ(cliTop, apiTop);
    EXPECT_EQ(Shape(cli["servers"]), Shape(api["servers"])) << text << "\n" << api.dump();
    for (std::size_t i = 0; i < 2; ++i)
      for (const char* key : {"number", "name", "address", "port", "executable", "priority", "paused", "process"})
        EXPECT_EQ(cli["servers"][i][key], api["servers"][i][key]) << key;
    EXPECT_EQ(api["servers"][1]["number"], 2);
    monitor.Stop(SIGTERM);
  }
}

// Every line of README.md that starts with "curl " works as printed against a real endpoint
// (its port put for 8427), with $TOKEN the token.
class ReadmeCurl : public Observed {};

TEST_F(ReadmeCurl, TheExamplesWorkAsPrinted) {
  AddServer("alpha");
  Run("");
  ASSERT_TRUE(WaitUntil([&] { return rig->List()[0]->Status.network == NetworkState::Normal; }, 30s));
  std::ifstream readme(std::string(TERVANE_SOURCE_DIR) + "/README.md");
  std::vector<std::string> examples;
  for (std::string line; std::getline(readme, line);)
    if (line.rfind("curl ", 0) == 0) examples.push_back(line.substr(0, line.find("  #")));
  ASSERT_GE(examples.size(), 2u);
  for (std::string command : examples) {
    for (std::size_t at; (at = command.find("8427")) != std::string::npos;) command.replace(at, 4, std::to_string(httpPort));
    const auto [code, output] = OffLoop([&] {
      FILE* pipe = ::popen(("TOKEN='" + std::string(kToken) + "' bash -c '" + command + "' 2>&1").c_str(), "r");
      std::string text;
      char buffer[4096];
      for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
      return std::pair{pipe ? ::pclose(pipe) : -1, text};
    });
    EXPECT_EQ(code, 0) << command << "\n" << output;
    EXPECT_FALSE(output.empty()) << command;
    if (command.find("/restart") != std::string::npos) {
      EXPECT_NE(output.find("\"ok\":true"), std::string::npos) << output;
      EXPECT_EQ(rig->List()[0]->Status.restartsByReason[static_cast<std::size_t>(RestartReason::Command)], 1u);
    }
  }
}

}  // namespace
}  // namespace tervane::testing
