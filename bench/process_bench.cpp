// The cost of finding servers' processes on Linux: one search over the real /proc, and the
// lookups of one supervision cycle (running? affinity, console window) for many servers, each
// call walking /proc anew or the cycle taking one process list, on a host with many processes.
//
// The servers are copies of the system's sleep program, all named hlds_linux as servers of one
// game are (so every one of them is a candidate of every search and identity decides). The
// background processes are sleeps of another copy. All of them end by themselves after
// kLifeSeconds should the benchmark not get to end them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/supervisor.h"
#include "process/process_control.h"
#include "process/server_windows.h"
#include "support/text.h"

namespace tervane {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxServers = 64;
constexpr const char16_t* kLifeSeconds = u"300";

class Host {
 public:
  Host() {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("tervane-process-bench-" + std::to_string(random()));
    fs::create_directories(root_ / "filler");
    filler_ = (root_ / "filler" / "sleep").u16string();
    fs::copy_file("/bin/sleep", fs::path(filler_));
    for (int i = 0; i < kMaxServers; ++i) {
      const fs::path folder = root_ / ("srv" + std::to_string(i));
      fs::create_directories(folder);
      fs::copy_file("/bin/sleep", folder / "hlds_linux");
      servers_.push_back((folder / "hlds_linux").u16string());
    }
    missing_ = (root_ / "missing" / "hlds_linux").u16string();
    fs::create_directories(root_ / "missing");
    fs::copy_file("/bin/sleep", fs::path(missing_));
    StartServers();
  }

  ~Host() {
    StopServers();
    Background(0);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Brings the number of background processes to n. The servers are started again after
  // them, so that they stand late in /proc, as servers on a busy host usually do.
  void SetBackground(int n) {
    if (n == background_) return;
    StopServers();
    Background(n);
    StartServers();
  }

  IProcessControl& Control() { return *control_; }
  const std::vector<Path>& Servers() const { return servers_; }
  const Path& Missing() const { return missing_; }
  static constexpr int kMaxBackground = 1000;

 private:
  void Background(int n) {
    if (n < background_) {  // end them all and start anew
      EndAll(*fillerControl_, filler_);
      background_ = 0;
    }
    for (; background_ < n; ++background_) {
      if (!fillerControl_->StartServerProcess(filler_, kLifeSeconds, 0, false, 0xFFFFFFFFu))
        break;
    }
  }

  void StartServers() {
    for (const Path& server : servers_) {
      static_cast<void>(control_->StartServerProcess(server, kLifeSeconds, 0, false, 0xFFFFFFFFu));
    }
  }

  void StopServers() {
    for (const Path& server : servers_) EndAll(*control_, server);
  }

  fs::path root_;
  Path filler_;
  Path missing_;
  std::vector<Path> servers_;
  std::unique_ptr<IProcessControl> control_ = CreateProcessControl({});
  std::unique_ptr<IProcessControl> fillerControl_ = CreateProcessControl({});
  int background_ = 0;
};

Host* host = nullptr;

// One search that walks the whole of /proc: a server whose process is not running.
void BM_SearchMissingServer(benchmark::State& state) {
  host->SetBackground(static_cast<int>(state.range(0)));
  IProcessControl& control = host->Control();
  for (auto _ : state) benchmark::DoNotOptimize(control.IsServerRunning(host->Missing()));
  state.counters["processes"] = static_cast<double>(ProcessCount());
}

// One search for a running server, the last one started.
void BM_SearchRunningServer(benchmark::State& state) {
  host->SetBackground(static_cast<int>(state.range(0)));
  IProcessControl& control = host->Control();
  const Path& server = host->Servers().back();
  if (!control.IsServerRunning(server)) state.SkipWithError("server not running");
  for (auto _ : state) benchmark::DoNotOptimize(control.IsServerRunning(server));
  state.counters["processes"] = static_cast<double>(ProcessCount());
}

// What a supervision cycle asks for every running server, for the first n servers.
void CycleLookups(benchmark::State& state, bool oneList) {
  const int servers = static_cast<int>(state.range(0));
  host->SetBackground(static_cast<int>(state.range(1)));
  IProcessControl& control = host->Control();
  for (int i = 0; i < servers; ++i) {
    if (!control.IsServerRunning(host->Servers()[i])) state.SkipWithError("server not running");
  }
  for (auto _ : state) {
    if (oneList) control.BeginCycle();
    for (int i = 0; i < servers; ++i) {
      const Path& server = host->Servers()[i];
      if (control.IsServerRunning(server)) {
        control.SetServerAffinity(server, 3);
        if (IServerWindows* windows = control.Windows())
          benchmark::DoNotOptimize(windows->FindServerConsoleWindow(server));
      }
    }
    if (oneList) control.EndCycle();
  }
  state.counters["processes"] = static_cast<double>(ProcessCount());
}

// One whole supervision cycle as the program runs it: the self-test datagram, the fatal-error
// window search, and for every running server the lookups, its cells and its queries (to a
// port on 127.0.0.1 where nothing listens).
void BM_FullSupervisionCycle(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  host->SetBackground(static_cast<int>(state.range(1)));
  const fs::path logs = fs::temp_directory_path() / "tervane-cycle-bench";
  EventLoop loop;
  testbed::SupervisionRig rig(loop, host->Control(),
                              {SupervisionTiming{3600000, 3600000, 10}, logs.u16string() + u"/", {}, false});
  for (int i = 0; i < count; ++i) {
    auto e = BenchServer(i, host->Servers()[static_cast<std::size_t>(i)], 9);
    e->Affinity = 3;
    e->ReplyKind = 3;
    rig.Add(std::move(e));
  }
  Supervisor& supervisor = rig.supervisor;
  MemoryListView& view = rig.view;
  supervisor.CreateEndpoint();
  for (auto _ : state) supervisor.timerCircleCheckTimer();
  for (int i = 0; i < count; ++i)
    if (view.Cell(i, ColProcessStatus) != u"Normal") state.SkipWithError("a server was not seen running");
  state.counters["processes"] = static_cast<double>(ProcessCount());
  std::error_code ignored;
  fs::remove_all(logs, ignored);
}

void FullCycleSizes(benchmark::internal::Benchmark* b) {
  for (int background : {0, Host::kMaxBackground}) {
    for (int servers : {1, 16, kMaxServers}) b->Args({servers, background});
  }
}

void BM_CycleEveryCallWalks(benchmark::State& state) { CycleLookups(state, false); }
void BM_CycleOneList(benchmark::State& state) { CycleLookups(state, true); }

void BackgroundSizes(benchmark::internal::Benchmark* b) {
  for (int background : {0, 250, Host::kMaxBackground}) b->Arg(background);
}

void CycleSizes(benchmark::internal::Benchmark* b) {
  for (int background : {0, Host::kMaxBackground}) {
    for (int servers : {1, 8, 16, kMaxServers}) b->Args({servers, background});
  }
}

// Grouped by the number of background processes, so that it changes only a few times.
BENCHMARK(BM_SearchMissingServer)->Apply(BackgroundSizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SearchRunningServer)->Apply(BackgroundSizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CycleEveryCallWalks)->Apply(CycleSizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CycleOneList)->Apply(CycleSizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FullSupervisionCycle)->Apply(FullCycleSizes)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tervane

int main(int argc, char** argv) { return tervane::RunWithHost(argc, argv, tervane::host); }
