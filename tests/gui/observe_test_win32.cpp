// kesp.exe with kesp.ini beside it, driven from outside as an operator's tools would: its HTTP
// endpoint serves the metrics and the status of the running window program, a command with the
// token pauses a server as the window's own Pause Monitor does, and a flood of idle, slow and
// endless clients changes nothing.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "gui_driver_win32.h"
#include "observe/http_client.h"
#include "observe/http_flood.h"

namespace tervane::gui {
namespace {

constexpr char kToken[] = "0123456789abcdef-token";

// A TCP port that was free on 127.0.0.1 a moment ago: the UDP one's number is as good a guess,
// and a port taken is seen as a failed start below.
int FreePort() { return FreeUdpPort(); }

HttpCallResult Call(const std::string& method, int port, const std::string& path, const std::string& token = "") {
  HttpCall call;
  call.method = method;
  call.url = "http://127.0.0.1:" + std::to_string(port) + path;
  call.contentType = method == "GET" ? "" : "text/plain";
  if (!token.empty()) call.authorization = "Bearer " + token;
  return SendHttp(call);
}

TEST(KespObserved, TheWindowProgramServesMetricsAndTakesCommands) {
  Scene scene;
  scene.AddServer("Alpha");
  scene.SaveList();
  const int port = FreePort();
  {
    std::ofstream ini(scene.Dir() / "kesp.ini", std::ios::binary);
    ini << "[Options]\r\nHttpListen=127.0.0.1:" << port << "\r\nHttpToken=" << kToken << "\r\n";
  }
  ASSERT_TRUE(scene.StartKesp(300));
  MainWindow window(scene.MainWindow());

  const std::string up = "tervane_server_up{name=\"Alpha\",address=\"127.0.0.1\"";
  ASSERT_TRUE(WaitFor(
      [&] {
        const HttpCallResult r = Call("GET", port, "/metrics");
        const std::size_t at = r.body.find(up);
        return r.status == 200 && at != std::string::npos && r.body.find("} 1\n", at) == r.body.find('}', at);
      },
      60s))
      << Narrow(window.LogText());
  EXPECT_EQ(Call("GET", port, "/").status, 200);
  EXPECT_NE(Narrow(window.LogText()).find("HTTP endpoint on http://127.0.0.1:" + std::to_string(port)),
            std::string::npos);

  EXPECT_EQ(Call("POST", port, "/api/servers/1/pause").status, 401);
  EXPECT_EQ(Call("POST", port, "/api/servers/1/pause", kToken).status, 200);
  EXPECT_TRUE(WaitFor([&] { return window.View().Cell(0, ColProcessStatus) == u"Paused Monitor"; }, 10s));
  EXPECT_TRUE(WaitFor([&] { return !scene.ReadList().empty() && scene.ReadList()[0].Paused == 1; }, 10s))
      << "saved as Pause Monitor saves";
  EXPECT_NE(Call("GET", port, "/api/servers").body.find("\"paused\":true"), std::string::npos);
}

// The flood of tests/observe/http_flood.h, as against kesp on Linux.
TEST(KespObserved, AFloodBelowTheConnectionLimitLeavesServersMemoryAndScrapesAlone) {
  Scene scene;
  scene.AddServer("Alpha");
  scene.AddServer("Beta");
  scene.SaveList();
  const int port = FreePort();
  {
    std::ofstream ini(scene.Dir() / "kesp.ini", std::ios::binary);
    ini << "[Options]\r\nHttpListen=127.0.0.1:" << port << "\r\n";
  }
  ASSERT_TRUE(scene.StartKesp(300));
  auto servers = [&] {
    const auto j = nlohmann::json::parse(Call("GET", port, "/api/servers").body, nullptr, false);
    return j.is_object() && j["servers"].size() == 2 ? j : nlohmann::json();
  };
  auto allUp = [](const nlohmann::json& j) {
    return !j.is_null() && j["servers"][0]["up"] == true && j["servers"][1]["up"] == true;
  };
  nlohmann::json before;
  ASSERT_TRUE(WaitFor([&] { return allUp(before = servers()); }, 60s));

  const HANDLE kesp = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, scene.KespProcessId());
  tervane::testing::ExpectTheFloodHarmless(port, [&]() -> long long {
    PROCESS_MEMORY_COUNTERS c{};
    return GetProcessMemoryInfo(kesp, &c, sizeof c) ? static_cast<long long>(c.WorkingSetSize / 1024) : -1;
  });
  CloseHandle(kesp);

  // The burst's connections past the limit may be open a moment longer.
  nlohmann::json after;
  ASSERT_TRUE(WaitFor([&] { return allUp(after = servers()); }, 10s)) << after.dump();
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(after["servers"][i]["restarts_by_reason"], before["servers"][i]["restarts_by_reason"]) << i;
    EXPECT_EQ(after["servers"][i]["paused"], false) << i;
  }
}

}  // namespace
}  // namespace tervane::gui
