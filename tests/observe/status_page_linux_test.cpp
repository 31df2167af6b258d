// kesp itself with kesp.ini beside it and two stand-ins: a real browser (headless Chromium)
// loads the status page, runs its script, and the rendered rows show the servers.
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "child_posix.h"
#include "observe_support.h"

namespace tervane::testing {
namespace {

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
