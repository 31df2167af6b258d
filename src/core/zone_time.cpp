#include "core/zone_time.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>

namespace tervane {
namespace {

constexpr std::int64_t kDay = 24 * 60 * 60;

}  // namespace

std::int32_t SystemZoneOffset(WallTime wall) {
  const std::time_t t = static_cast<std::time_t>(wall);
  const std::tm* tm = std::localtime(&t);
  if (!tm) return 0;
  using namespace std::chrono;
  const sys_days date = year{tm->tm_year + 1900} / month{static_cast<unsigned>(tm->tm_mon + 1)} /
                        day{static_cast<unsigned>(tm->tm_mday)};
  const std::int64_t local =
      static_cast<std::int64_t>(date.time_since_epoch().count()) * kDay + tm->tm_hour * 3600 + tm->tm_min * 60 + tm->tm_sec;
  return static_cast<std::int32_t>(local - wall);
}

WallTime LocalToWall(std::int64_t local, const ZoneOffset& zone) {
  // The offsets in force around that time: a zone changes its offset at most once in a day.
  std::optional<WallTime> first;
  WallTime latest = local - zone(local);
  for (const std::int64_t near : {local - kDay, local, local + kDay}) {
    const WallTime wall = local - zone(near);
    if (wall + zone(wall) == local && (!first || wall < *first)) first = wall;
    latest = std::max(latest, wall);
  }
  return first ? *first : latest;
}

int MinuteSecondsForCycle(unsigned cycleMs) {
  return static_cast<int>(std::clamp<unsigned long long>(cycleMs * 3ULL / 200, 1, 60));
}

}  // namespace tervane
