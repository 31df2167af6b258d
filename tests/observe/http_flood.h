// What a hostile or unlucky crowd of clients does to an HTTP endpoint on 127.0.0.1, the same
// against either program: idle connections, clients that send their head a byte a second, a
// head of endless header lines (up to 200 MB) and a chunked POST of endless chunks (up to
// 100 MB), all at once for a while, with /metrics fetched every 200 ms meanwhile and timed.
// Every client is bounded in count, bytes and time.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tervane::testing {

struct FloodPlan {
  int idle = 16;
  int slow = 4;
  std::chrono::milliseconds hold{7000};
};

struct FloodOutcome {
  std::vector<double> scrapeSeconds;  // each /metrics answer's time; a failed one counts as 99
  long long headerFloodBytes = 0;     // what the endpoint took of each flood before it closed it
  long long chunkedFloodBytes = 0;
  int slowClosed = 0;  // slow and idle clients the endpoint closed within the hold
  int idleClosed = 0;
  double WorstScrape() const;
};

// Runs the plan against 127.0.0.1:port; `sample` is called every 200 ms meanwhile (to read
// the program's memory, say).
FloodOutcome RunFlood(int port, const FloodPlan& plan, const std::function<void()>& sample = {});

// Opens `count` connections at once and holds them for `hold`; answers how many the endpoint
// closed at once (those past its limit).
int ConnectionsClosedAtOnce(int port, int count, std::chrono::milliseconds hold);

// What both programs' tests expect of their endpoint: under the flood of a default plan,
// /metrics answered within a second every time, the program's memory (residentKiB) grown by
// less than 16 MiB, both endless floods cut early, every slow and idle client dropped at the
// deadline; then 8 connections past the limit closed at once. Prints the figures; `sample`
// is called every 200 ms of the flood too.
void ExpectTheFloodHarmless(int port, const std::function<long long()>& residentKiB,
                            const std::function<void()>& sample = {});

// One request on a connection of its own: the whole answer (status line to the end, the
// endpoint closing), or nothing after `limit`.
std::optional<std::string> Fetch(int port, const std::string& request,
                                 std::chrono::milliseconds limit = std::chrono::seconds(5));

// GET path with Host 127.0.0.1 and Connection: close.
std::string GetRequest(const std::string& path);

}  // namespace tervane::testing
