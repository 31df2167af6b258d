// What the process-control tests need of the system besides the control itself: starting a
// program the way an operator would (not through the control), looking at processes by id,
// and waiting with a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/file.h"

namespace tervane::testing {

using ProcessId = std::int64_t;

// Starts exe with the arguments, in the test's own working folder; -1 on failure.
ProcessId StartByHand(const Path& exe, const std::vector<std::string>& args);
bool IsProcessAlive(ProcessId id);
// Ends the process and, if it is our child, collects it.
void KillByHand(ProcessId id);
// Every process id in the order the system lists them.
std::vector<ProcessId> ProcessListOrder();
// The processes that run exactly this file (by file identity), in list order.
std::vector<ProcessId> ProcessesOf(const Path& exe);

// The stand-in program, built beside the test program.
Path SleeperBuildPath();
std::u16string SleeperFileName();

template <typename Condition>
bool WaitFor(Condition condition,
             std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace tervane::testing
