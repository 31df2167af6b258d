// A supervision over real stand-in servers: each server gets a folder of its own with its own
// copy of the stand-in's executable (servers are told apart by their executable files), the
// timer chain runs with short timings, and the tests wait on the loop with deadlines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "core/supervisor.h"
#include "net/vel_udp.h"
#include "support/text.h"
#include "test_support.h"
#include "testbed.h"

namespace tervane::testing {

using namespace std::chrono_literals;

// The cycle comes every 200 ms; the check 40 ms after it.
constexpr SupervisionTiming kFast{40, 160, 10};

inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

inline int FreeUdpPort(EventLoop& loop) {
  TVelUDP probe(loop);
  probe.Open();
  return probe.LocalPort();
}

// Records every distinct text a cell takes while the loop runs.
class CellTrace {
 public:
  CellTrace(MemoryListView& view, int row, int column) : view_(view), row_(row), column_(column) {}
  void Sample() {
    const auto text = view_.Cell(row_, column_);
    if (seen_.empty() || seen_.back() != text) seen_.push_back(text);
  }
  const std::vector<std::u16string>& Seen() const { return seen_; }

 private:
  MemoryListView& view_;
  int row_, column_;
  std::vector<std::u16string> seen_;
};

// A stand-in server in a folder of its own under dir, on a free port of 127.0.0.1; its run
// parameters always carry "+ip 127.0.0.1".
inline std::unique_ptr<Server> StandIn(const TempDir& dir, EventLoop& loop, const std::string& name,
                                       const std::u16string& extra = u"",
                                       const std::filesystem::path& standIn = TERVANE_FAKESRV) {
  const auto folder = dir.path() / name;
  std::filesystem::create_directories(folder);
  const auto exe = folder / standIn.filename();
  std::filesystem::copy_file(standIn, exe, std::filesystem::copy_options::overwrite_existing);
  auto e = std::make_unique<Server>(NewServerEntry());
  e->Name.assign(Utf8ToUtf16(name));
  e->FileName.assign(exe.u16string());
  const int port = FreeUdpPort(loop);
  e->Params.assign(u"-game cstrike +map de_dust2 -console +ip 127.0.0.1 -port " + ToU16(port) + extra);
  e->IPAddress.assign("127.0.0.1");
  e->Port = static_cast<std::uint16_t>(port);
  e->Priority = 0;
  e->Affinity = 1;
  return e;
}

class Supervision : public ::testing::Test {
 protected:
  Supervision() : Supervision(nullptr) {}
  // A process control whose looks fail as failLook and failOpenProcess say (ProcessControlOptions).
  explicit Supervision(std::function<std::uint32_t(LookCall)> failLook,
                       std::function<std::uint32_t(std::uint32_t)> failOpenProcess = nullptr)
      : process(CreateProcessControl(OptionsIn(dir, std::move(failLook), std::move(failOpenProcess)))),
        rig(loop, *process, {kFast, dir.Dir()}) {}
  ~Supervision() override {
    rig.Stop();
    for (const auto& e : list) process->TerminateServerProcess(e->FileName.str());
    for (const auto& e : list) WaitUntil([&] { return !process->IsServerRunning(e->FileName.str()); }, 5s);
  }

  Server& AddServer(const std::string& name, const std::u16string& extra = u"") {
    return rig.Add(StandIn(dir, loop, name, extra, standIn));
  }

  std::uint32_t StartByHand(const ServerEntry& e) {
    return process->StartServerProcess(e.FileName.str(), e.Params.str(), e.Priority, e.HideServer != 0,
                                       e.Affinity).Error();
  }

  void Start() {
    sup.CreateEndpoint();
    sup.timerCircleCheckTimer();
  }

  // Handles events in short slices, so that a condition that no event announces (a process
  // that ended) is seen soon too.
  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end)
      if (loop.RunUntil(done, 25ms)) return true;
    return done();
  }
  bool WaitForCell(int row, int column, const std::u16string& text, std::chrono::milliseconds limit = 20s) {
    return WaitUntil([&] { return view.Cell(row, column) == text; }, limit);
  }
  // Every text a cell showed, in order, as seen by polling each loop pass.
  std::vector<std::u16string> LogsWithoutTime() {
    std::vector<std::u16string> out;
    for (const auto& l : view.LogLines()) out.push_back(l.substr(22));
    return out;
  }

  static ProcessControlOptions OptionsIn(const TempDir& dir, std::function<std::uint32_t(LookCall)> failLook,
                                         std::function<std::uint32_t(std::uint32_t)> failOpenProcess) {
    ProcessControlOptions options;
    options.outputFolder = dir.Dir() + u"logs" + PathSeparator();
    options.failLook = std::move(failLook);
    options.failOpenProcess = std::move(failOpenProcess);
    return options;
  }

  // The stand-in program each server's folder gets a copy of.
  std::filesystem::path standIn = TERVANE_FAKESRV;
  TempDir dir;
  EventLoop loop;
  std::unique_ptr<IProcessControl> process;
  testbed::SupervisionRig rig;
  ServerList& list = rig.list;
  MemoryListView& view = rig.view;
  Supervisor& sup = rig.supervisor;
};

}  // namespace tervane::testing
