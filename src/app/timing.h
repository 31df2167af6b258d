// The one timing setting of the tests: TERVANE_TEST_CYCLE_MS shortens the time from one
// supervision cycle to the next. It is meant for the tests, not for operators; without it, and
// always in the Windows service, the shipped timings hold.
#pragma once

#include <optional>
#include <string_view>

#include "core/supervisor.h"

namespace tervane {

// The timings for a cycle time in milliseconds, split between the two timers as the shipped
// 500 ms and 3500 ms are (one eighth to the check); a missing, malformed or too short value
// (below 80 ms) keeps the shipped timings.
SupervisionTiming TimingForCycle(std::optional<std::string_view> cycleMs);

// The timings of a run given the test setting's value: the service never takes it.
SupervisionTiming TimingForRun(bool asService, std::optional<std::string_view> testCycleMs);

// TimingForRun with the environment variable TERVANE_TEST_CYCLE_MS.
SupervisionTiming TimingFromEnvironment(bool asService = false);

}  // namespace tervane
