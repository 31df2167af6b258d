// What the benchmarks over real processes share: ending every process of a file, counting the
// host's processes, and a main that keeps one host (stand-ins, idle processes) for all runs.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

#include "process/process_control.h"

namespace tervane {

// Ends every process of the file: a killed process may still be found while it ends, so this
// goes on until none is found, for at most a minute.
inline void EndAll(IProcessControl& control, const Path& file) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (control.IsServerRunning(file) && std::chrono::steady_clock::now() < deadline)
    control.TerminateServerProcess(file);
}

// The processes of the host: the numeric entries of /proc.
inline std::size_t ProcessCount() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) ++n;
  }
  return n;
}

// Runs the benchmarks with one Host made before the first and ended after the last.
template <typename Host>
int RunWithHost(int argc, char** argv, Host*& host) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  {
    Host theHost;
    host = &theHost;
    benchmark::RunSpecifiedBenchmarks();
    host = nullptr;
  }
  benchmark::Shutdown();
  return 0;
}

}  // namespace tervane
