// The Prometheus text exposition of a snapshot (GET /metrics): every metric a row of one of two
// tables, per server and of the monitor as a whole, so the exported names follow from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "observe/snapshot.h"

namespace tervane {

// What the HTTP endpoint counts: its connections and what it refused.
struct HttpEndpointCounts {
  std::uint64_t open = 0;                // connections open now
  std::uint64_t refusedAtLimit = 0;      // closed at accept: the connection limit was reached
  std::uint64_t refusedForDescriptors = 0;  // closed at accept: the doors' share of descriptors was used up
  std::uint64_t acceptsDeferred = 0;     // waits before accepting: the system gave no descriptor
  std::uint64_t acceptFailures = 0;      // accepts the system refused (descriptors exhausted...)
  std::uint64_t timedOut = 0;            // requests not whole (or answers not taken) in time
  std::uint64_t tooLarge = 0;            // heads or bodies past their limits
  std::uint64_t malformed = 0;           // requests that are not HTTP/1.x
};

// What the observers count themselves, beside the snapshot.
struct ObserverCounts {
  std::uint64_t alertsSent = 0;
  std::uint64_t alertsFailed = 0;
  std::uint64_t alertsDropped = 0;
  HttpEndpointCounts http;
};

// Every metric name the program exports (the tables' names), for the tests of dashboards and
// alert rules.
const std::vector<std::string>& ExportedMetricNames();

std::string RenderMetrics(const MonitorSnapshot& snapshot, const ObserverCounts& counts, WallTime now,
                          const std::string& version);

}  // namespace tervane
