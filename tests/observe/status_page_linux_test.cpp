// kesp itself with kesp.ini beside it and two stand-ins: a real browser (headless Chromium)
// loads the status page, runs its script, and the rendered rows show the servers.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "observe_support.h"

extern char** environ;

namespace tervane::testing {
namespace {

// A child process with its output in a file; ended (and waited for) at the latest when it goes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& output, const std::vector<std::string>& extraEnv = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { Stop(SIGKILL); }
  bool Started() const { return pid_ > 0; }
  // Waits up to limit for the end; answers the exit status, or -1 when it did not end.
  int Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      if (std::chrono::steady_clock::now() > end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  void Stop(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    Wait(std::chrono::seconds(10));
  }

 private:
  pid_t pid_ = -1;
};

std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(StatusPage, ChromiumRendersTheRowsOfARunningKesp) {
  if (::access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  TempDir dir;
  EventLoop loop;
  auto process = CreateProcessControl(ProcessControlOptions{dir.Dir() + u"logs/"});
  ServerList records;
  for (const auto& [name, extra] : std::vector<std::pair<std::string, std::u16string>>{
           {"alpha", u" -fakesrv.players 5 -fakesrv.maxplayers 16 -fakesrv.map de_inferno"}, {"beta", u""}}) {
    records.push_back(StandIn(dir, loop, name, extra));
  }
  WriteBytes(dir.File(u"serverlist.dat"), SerializeServerList(records, BossKeyOptions{}));
  const int httpPort = FreeTcpPort();
  const std::string ini = "[Options]\nHttpListen=127.0.0.1:" + std::to_string(httpPort) + "\n";
  WriteBytes(dir.File(u"kesp.ini"), std::vector<std::uint8_t>(ini.begin(), ini.end()));
  const auto kesp = dir.path() / "kesp";
  std::filesystem::copy_file(TERVANE_KESP, kesp);

  const std::string base = "http://127.0.0.1:" + std::to_string(httpPort);
  {
    Child monitor({kesp.string()}, (dir.path() / "kesp.out").string(), {"TERVANE_TEST_CYCLE_MS=200"});
    ASSERT_TRUE(monitor.Started());
    // Both stand-ins answering, as the monitor sees them.
    bool up = false;
    for (int attempt = 0; attempt < 150 && !up; ++attempt) {
      std::this_thread::sleep_for(200ms);
      const HttpCallResult r = SendHttp(HttpCall{"GET", base + "/api/servers", "", "", "", 2000});
      if (r.status != 200) continue;
      const auto j = nlohmann::json::parse(r.body, nullptr, false);
      up = j.is_object() && j["servers"].size() == 2 && j["servers"][0]["up"] == true && j["servers"][1]["up"] == true;
    }
    ASSERT_TRUE(up) << ReadText(dir.path() / "kesp.out");

    const auto profile = dir.path() / "chromium-profile";
    const auto dom = dir.path() / "dom.html";
    Child browser({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                   "--no-first-run", "--disable-background-networking", "--disable-component-update",
                   "--disable-sync", "--user-data-dir=" + profile.string(), "--virtual-time-budget=5000",
                   "--dump-dom", base + "/"},
                  dom.string());
    ASSERT_TRUE(browser.Started());
    ASSERT_EQ(browser.Wait(90s), 0);
    const std::string html = ReadText(dom);

    // One row per server, coloured as answering, with map and players filled in by the script.
    const std::regex row("<tr class=\"server up\" data-name=\"(\\w+)\">(.*?)</tr>");
    std::vector<std::string> names;
    std::string alphaRow;
    for (auto it = std::sregex_iterator(html.begin(), html.end(), row); it != std::sregex_iterator(); ++it) {
      names.push_back((*it)[1]);
      if ((*it)[1] == "alpha") alphaRow = (*it)[2];
    }
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta"})) << html;
    EXPECT_NE(alphaRow.find("<td>de_inferno</td>"), std::string::npos) << alphaRow;
    EXPECT_NE(alphaRow.find("<td>5/16</td>"), std::string::npos) << alphaRow;
    EXPECT_NE(alphaRow.find("<td class=\"state ok\">running</td>"), std::string::npos) << alphaRow;
    EXPECT_NE(html.find("2 of 2 servers answering"), std::string::npos);
    EXPECT_NE(html.find("<td>first start</td>"), std::string::npos);  // the last restarts

    monitor.Stop(SIGTERM);
  }
  for (const auto& e : records) process->TerminateServerProcess(e->FileName.str());
}

}  // namespace
}  // namespace tervane::testing
