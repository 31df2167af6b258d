// kesp.exe with kesp.ini beside it, driven from outside as an operator's tools would: its HTTP
// endpoint serves the metrics and the status of the running window program, a command with the
// token pauses a server as the window's own Pause Monitor does, a planned restart warns the
// players and stops the server by its own quit, and a flood of idle, slow and endless clients
// changes nothing.
#include <gtest/gtest.h>
#include <winsock2.h>
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

// A control word to the stand-in on port and its answer after FF FF FF FF ("" when none came).
std::string StandInControl(int port, const std::string& word) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return {};
  std::string answer;
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s != INVALID_SOCKET) {
    DWORD timeout = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string datagram = "\xFF\xFF\xFF\xFF" + word;
    char buffer[4096];
    if (sendto(s, datagram.data(), static_cast<int>(datagram.size()), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) > 0) {
      const int n = recv(s, buffer, sizeof buffer, 0);
      if (n > 4) answer.assign(buffer + 4, static_cast<std::size_t>(n) - 4);
    }
    closesocket(s);
  }
  WSACleanup();
  return answer;
}

// restart?in=1 with StopCommand=quit: the warning reaches the stand-in, which ends by its own
// quit when the minute (4 s at this cycle) is over, and is started again as a planned restart.
TEST(KespObserved, APlannedRestartWarnsThePlayersAndTheServerQuitsByItself) {
  Scene scene;
  ServerEntry& alpha = scene.AddServer("Alpha");
  alpha.Params.assign(alpha.Params.str() + u" +rcon_password secret -fakesrv.quitdelay 200");
  scene.SaveList();
  const int port = FreePort();
  {
    std::ofstream ini(scene.Dir() / "kesp.ini", std::ios::binary);
    ini << "[Options]\r\nHttpListen=127.0.0.1:" << port << "\r\nHttpToken=" << kToken
        << "\r\n[Restarts]\r\nRestartWarnMinutes=1\r\nStopCommand=quit\r\nStopSeconds=60\r\n";
  }
  ASSERT_TRUE(scene.StartKesp(300));
  MainWindow window(scene.MainWindow());
  ASSERT_TRUE(WaitFor([&] { return Call("GET", port, "/api/servers").body.find("\"up\":true") != std::string::npos; },
                      60s));
  const auto planned = std::chrono::steady_clock::now();
  const HttpCallResult r = Call("POST", port, "/api/servers/1/restart?in=1", kToken);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_NE(r.body.find("\"in_minutes\":1"), std::string::npos) << r.body;

  ASSERT_TRUE(WaitFor([&] { return StandInControl(alpha.Port, "fakesrv said").rfind("fakesrv said 1\n", 0) == 0; }, 20s));
  EXPECT_EQ(StandInControl(alpha.Port, "fakesrv said"), "fakesrv said 1\nThe server restarts in 1 minute(s).");
  ASSERT_TRUE(WaitFor(
      [&] { return Narrow(window.LogText()).find("Alpha: Restarting. Reason: Planned restart.") != std::string::npos; },
      40s))
      << Narrow(window.LogText());
  EXPECT_LT(std::chrono::steady_clock::now() - planned, 40s) << "ended by itself, long before StopSeconds";
  EXPECT_EQ(Narrow(window.LogText()).find("cannot send the stop command"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return Call("GET", port, "/api/servers").body.find("\"last_restart_reason\":\"planned\"") !=
                                   std::string::npos; },
                      20s));
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
