// A whole monitor, as kesp puts it together, with kesp.ini's observers over stand-in servers on
// 127.0.0.1: the list file and kesp.ini written first, then the monitor started as the program
// starts it. HTTP clients run on other threads while the test's thread runs the loop.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "app/observing.h"
#include "integration/integration_support.h"
#include "observe/http_client.h"
#include "raw_tcp.h"
#include "testbed.h"

namespace tervane::testing {

constexpr char kToken[] = "0123456789abcdef-token";

class Observed : public ::testing::Test {
 protected:
  Observed() { processOptions.outputFolder = dir.Dir() + u"logs" + PathSeparator(); }
  ~Observed() override {
    updates.reset();
    observing.reset();
    if (monitor) {
      for (const auto& e : rig->List()) process->TerminateServerProcess(e->FileName.str());
      for (const auto& e : rig->List())
        WaitUntil([&] { return !process->IsServerRunning(e->FileName.str()); }, 5s);
    }
    rig.reset();
    if (commandRunner) commandRunner->EndAll();
  }

  // A stand-in in a folder of its own, listening on 127.0.0.1.
  void AddServer(const std::string& name, const std::u16string& extra = u"") {
    records.push_back(StandIn(dir, loop, name, extra));
  }

  // kesp.ini's [Options] lines (and sections after them); HttpListen on httpPort (a free port
  // unless the test set one).
  void Run(std::string options, bool withHttp = true) {
    if (withHttp) {
      if (httpPort == 0) httpPort = FreeTcpPort();
      options = "HttpListen=127.0.0.1:" + std::to_string(httpPort) + "\r\nHttpToken=" + kToken + "\r\n" + options;
    }
    const std::string ini = "[Options]\r\n" + options;
    WriteBytes(dir.File(u"kesp.ini"), std::vector<std::uint8_t>(ini.begin(), ini.end()));
    WriteBytes(dir.File(u"serverlist.dat"), SerializeServerList(records, BossKeyOptions{}));
    MonitorOptions o;
    o.timing = kFast;
    o.localAddress = [] { return std::string("127.0.0.1"); };
    o.wallClock = [this] { return wallClock(); };
    process = CreateProcessControl(processOptions);
    rig = std::make_unique<testbed::MonitorRig>(loop, *process, dir.Dir(), o);
    monitor = &rig->monitor;
    rig->Supervision().CycleEndObservers().Add([this] { ++cycles; });
    monitor->CreateEndpoint();
    observing = StartObserving(loop, *monitor, dir.File(u"kesp.ini"), &commandRunner);
    updates = StartUpdateChecks(loop, *monitor, commandRunner.get(), processOptions.outputFolder);
    monitor->Start();
  }

  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end)
      if (loop.RunUntil(done, 25ms)) return true;
    return done();
  }

  // Runs f on another thread while this one runs the loop; answers f's result.
  template <class F>
  auto OffLoop(F f) {
    auto result = std::async(std::launch::async, std::move(f));
    WaitUntil([&] { return result.wait_for(0s) == std::future_status::ready; }, 30s);
    return result.get();
  }

  struct Reply {
    int status = 0;  // 0: no answer
    std::string body;
  };
  Reply Get(const std::string& path, const std::string& token = "") {
    return OffLoop([=, this] { return Request("GET", path, token); });
  }
  Reply Post(const std::string& path, const std::string& token = kToken) {
    return OffLoop([=, this] { return Request("POST", path, token); });
  }
  Reply Request(const std::string& method, const std::string& path, const std::string& token) const {
    HttpCall call;
    call.method = method;
    call.url = "http://127.0.0.1:" + std::to_string(httpPort) + path;
    call.contentType = method == "GET" ? "" : "text/plain";
    if (!token.empty()) call.authorization = "Bearer " + token;
    call.timeoutMs = 10000;
    const HttpCallResult r = SendHttp(call);
    return Reply{r.status, r.body};
  }

  std::vector<std::u16string> Logs() const {
    std::vector<std::u16string> out;
    for (const auto& l : rig->view.LogLines()) out.push_back(l.substr(22));
    return out;
  }

  TempDir dir;
  EventLoop loop;
  ProcessControlOptions processOptions;
  ServerList records;
  int httpPort = 0;
  // The statuses' clock (alerts and the crash-loop guard go by it); a test may speed it up.
  std::function<WallTime()> wallClock = SystemWallTime;
  // The cycles the monitor ended since it started.
  int cycles = 0;
  std::unique_ptr<IProcessControl> process;
  std::unique_ptr<ICommandRunner> commandRunner;  // kesp.ini's update commands: outlives the monitor
  std::unique_ptr<testbed::MonitorRig> rig;
  Monitor* monitor = nullptr;
  std::unique_ptr<Observatory> observing;
  std::unique_ptr<UpdateWatch> updates;
};

}  // namespace tervane::testing
