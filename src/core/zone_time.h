// Local times of day against wall times: the time zone the daily planned restarts are read in.
#pragma once

#include <cstdint>
#include <functional>

#include "core/server_status.h"

namespace tervane {

// Seconds east of UTC of the local time at a wall time: local = wall + offset.
using ZoneOffset = std::function<std::int32_t(WallTime)>;
// The system's time zone, as the C library's local time has it (0 where it has none); on the
// loop's thread only, as that is not made for several threads.
std::int32_t SystemZoneOffset(WallTime wall);
// The wall time at which the local clock shows `local` (seconds since 1970-01-01 00:00 local).
// A local time shown twice (the clock set back in autumn): the first. A local time never shown
// (set forward in spring): as far after the change as it lies after the change's start.
WallTime LocalToWall(std::int64_t local, const ZoneOffset& zone);

// The length of a planned restart's minute: 60 seconds for the shipped cycle of 4000 ms; a
// cycle shortened for tests shortens it in proportion (15 cycles a minute, at least 1 s).
int MinuteSecondsForCycle(unsigned cycleMs);

}  // namespace tervane
