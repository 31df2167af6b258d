// What the benchmarks over real processes share: ending every process of a file, counting the
// host's processes, the servers they register, and a main that keeps one host (stand-ins, idle
// processes) for all runs. The supervision they measure is the testbed's.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "core/server_list.h"
#include "process/process_control.h"
#include "support/text.h"
#include "testbed.h"

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

// Server i of a benchmark: "Server i", running exe, queried on 127.0.0.1 at port (its parameters
// are before, then "+ip 127.0.0.1 -port <port>"), normal priority, every processor.
inline std::unique_ptr<Server> BenchServer(int i, const Path& exe, int port, std::u16string_view before = u"") {
  auto e = std::make_unique<Server>();
  e->Name.assign(u"Server " + ToU16(i));
  e->FileName.assign(exe);
  e->Params.assign(std::u16string(before) + u"+ip 127.0.0.1 -port " + ToU16(port));
  e->IPAddress.assign("127.0.0.1");
  e->Port = static_cast<std::uint16_t>(port);
  e->Priority = 0;
  e->Affinity = 0xFFFFFFFFu;
  return e;
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
