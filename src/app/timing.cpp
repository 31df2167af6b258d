#include "app/timing.h"

#include <cstdlib>

#include "support/text.h"

namespace tervane {

SupervisionTiming TimingForCycle(std::optional<std::string_view> cycleMs) {
  SupervisionTiming timing;
  if (!cycleMs) return timing;
  const auto ms = ParseInt32(*cycleMs);
  if (ms && *ms >= 80) {
    timing.checkDelayMs = static_cast<unsigned>(*ms) / 8;
    timing.cycleDelayMs = static_cast<unsigned>(*ms) - timing.checkDelayMs;
  }
  return timing;
}

SupervisionTiming TimingForRun(bool asService, std::optional<std::string_view> testCycleMs) {
  return asService ? SupervisionTiming{} : TimingForCycle(testCycleMs);
}

SupervisionTiming TimingFromEnvironment(bool asService) {
  const char* cycle = std::getenv("TERVANE_TEST_CYCLE_MS");
  return TimingForRun(asService, cycle ? std::optional<std::string_view>(cycle) : std::nullopt);
}

}  // namespace tervane
