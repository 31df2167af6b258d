// The Prometheus text exposition of a snapshot (GET /metrics) and its JSON (GET /api/servers).
#pragma once

#include <cstdint>
#include <string>

#include "observe/snapshot.h"

namespace tervane {

// What the observers count themselves, beside the snapshot.
struct ObserverCounts {
  std::uint64_t alertsSent = 0;
  std::uint64_t alertsFailed = 0;
  std::uint64_t alertsDropped = 0;
};

// Every metric name the program exports, for the tests of dashboards and alert rules.
const std::vector<std::string>& ExportedMetricNames();

std::string RenderMetrics(const MonitorSnapshot& snapshot, const ObserverCounts& counts, WallTime now,
                          const std::string& version);

std::string RenderServersJson(const MonitorSnapshot& snapshot, WallTime now);

}  // namespace tervane
