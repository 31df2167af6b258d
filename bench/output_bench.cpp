// A server that writes 200 MB/s of output, under the real supervision (cycle every 200 ms, the
// shipped cap of 10 MB): the largest sizes its ".out" and ".out.1" reach, and the cycle's pace
// (the time from one cycle's start to the next, and the longest cycle). The server is a launcher
// script that starts this program as its writer and then becomes the stand-in server, which
// answers the queries, so that nothing but the output is out of the ordinary.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "core/supervisor.h"
#include "net/vel_udp.h"

namespace tervane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kMegabytesPerSecond = 200;
constexpr auto kMeasured = std::chrono::seconds(10);

// The writer: blocks of 64 KiB of lines on standard output at the rate, for seconds.
int Spew(int megabytesPerSecond, int seconds) {
  std::string block;
  for (int line = 0; block.size() < 64 * 1024; ++line) block += "line " + std::to_string(line) + " of the output\n";
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  for (std::uint64_t written = 0; Clock::now() < end;) {
    if (std::fwrite(block.data(), 1, block.size(), stdout) != block.size()) return 1;
    std::fflush(stdout);
    written += block.size();
    std::this_thread::sleep_until(start + std::chrono::microseconds(written / megabytesPerSecond));
  }
  return 0;
}

std::string Self() { return fs::read_symlink("/proc/self/exe").string(); }

void BM_OutputAt200MBps(benchmark::State& state) {
  const fs::path root = fs::temp_directory_path() / ("tervane-output-bench-" + std::to_string(::getpid()));
  fs::create_directories(root / "srv");
  fs::copy_file(TERVANE_FAKESRV, root / "srv" / "fakesrv", fs::copy_options::overwrite_existing);
  const fs::path script = root / "srv" / "run.sh";
  std::ofstream(script) << "#!/bin/sh\n\"" << Self() << "\" --spew " << kMegabytesPerSecond << " --life 14 &\n"
                        << "exec \"" << (root / "srv" / "fakesrv").string() << "\" \"$@\"\n";
  fs::permissions(script, fs::perms::owner_all);

  for (auto _ : state) {
    EventLoop loop;
    TVelUDP probe(loop);
    probe.Open();
    const int port = probe.LocalPort();
    probe.Close();
    auto process = CreateProcessControl(ProcessControlOptions{(root / "logs" / "").u16string()});
    testbed::SupervisionRig rig(loop, *process, {SupervisionTiming{40, 160, 10}, (root / "").u16string(), {}, false});
    rig.Add(BenchServer(0, script.u16string(), port));
    Supervisor& supervisor = rig.supervisor;
    std::vector<Clock::time_point> cycles;
    double longestCycle = 0;
    supervisor.CycleEndObservers().Add([&] {
      cycles.push_back(Clock::now());
      longestCycle = std::max(longestCycle, supervisor.LastCycleSeconds());
    });
    supervisor.CreateEndpoint();
    supervisor.timerCircleCheckTimer();

    const fs::path output = ServerOutputFile((root / "logs" / "").u16string(), script.u16string());
    const fs::path rotated = output.string() + ".1";
    std::uintmax_t most = 0, mostRotated = 0;
    const auto end = Clock::now() + kMeasured;
    while (Clock::now() < end) {
      loop.RunUntil([] { return false; }, std::chrono::milliseconds(1));
      std::error_code ec;
      const std::uintmax_t size = fs::file_size(output, ec);
      if (!ec) most = std::max(most, size);
      const std::uintmax_t kept = fs::file_size(rotated, ec);
      if (!ec) mostRotated = std::max(mostRotated, kept);
    }
    double mostGap = 0, sum = 0;
    for (std::size_t i = 1; i < cycles.size(); ++i) {
      const double gap = std::chrono::duration<double>(cycles[i] - cycles[i - 1]).count();
      mostGap = std::max(mostGap, gap);
      sum += gap;
    }
    state.counters["out_max_MB"] = static_cast<double>(most) / (1024 * 1024);
    state.counters["out1_max_MB"] = static_cast<double>(mostRotated) / (1024 * 1024);
    state.counters["cycles"] = static_cast<double>(cycles.size());
    state.counters["cycle_gap_mean_ms"] = cycles.size() > 1 ? 1000 * sum / static_cast<double>(cycles.size() - 1) : 0;
    state.counters["cycle_gap_max_ms"] = 1000 * mostGap;
    state.counters["cycle_work_max_ms"] = 1000 * longestCycle;
    state.counters["answered"] = rig.view.Cell(0, ColNetworkStatus) == u"Normal" ? 1 : 0;
    state.counters["restarts"] = static_cast<double>(static_cast<int>(rig.list[0]->Restarts));
    EndAll(*process, script.u16string());
  }
  std::error_code ec;
  fs::remove_all(root, ec);
}
BENCHMARK(BM_OutputAt200MBps)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tervane

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--spew") == 0) return tervane::Spew(std::atoi(argv[2]), std::atoi(argv[4]));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
