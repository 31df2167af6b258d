// What the threads of the HTTP endpoint may see of the monitor: a copy of every server's live
// status, taken on the loop's thread after each cycle and published whole. Readers keep the
// copy they took as long as they need it; the lock guards only the exchange of the pointer.
// The command line takes one too, for the same status document.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/servers.h"
#include "core/supervisor.h"
#include "monitor/monitor.h"

namespace tervane {

struct ServerSnapshot {
  std::size_t number = 0;  // from 1, as the list shows it
  ServerId id = 0;         // its identity: what a command on that number is bound to
  std::string name;        // UTF-8, as every text here but the status's own
  std::string address;
  int port = 0;
  std::string executable;
  std::uint8_t priority = 0;
  ProcessState process = ProcessState::Unknown;  // as the cells show it (Paused while paused)
  NetworkState network = NetworkState::Unknown;
  bool paused = false;
  std::string pauseReason;  // why it is paused (by the operator, or the crash-loop guard's text), or empty
  int timeoutCount = 0;
  int lostCount = 0;
  int restarts = 0;  // the Restarts cell
  bool stopping = false;     // its StopCommand was sent; waiting for its process to end
  long long stoppingSecondsLeft = 0;  // while stopping: seconds until it is ended without the command
  WallTime nextPlanned = 0;  // its next planned restart, 0: none (none while paused)
  std::string rconTrouble;   // the last RCON failure said of it, or empty
  ServerStatus status;  // the live status as it was

  // Answered the query within the timeout: its last query came back and it is not paused.
  bool Up() const { return network == NetworkState::Normal; }
  bool Running() const { return process == ProcessState::Running; }
  // Map and players are known: a reply came since the last start, and it is not paused.
  bool HasReply() const { return status.hasReply && !paused; }
  // Who paused it: "operator", "guard", or nullptr when it is not paused.
  const char* PauseKind() const {
    if (!paused) return nullptr;
    return status.phase == Phase::PausedByGuard ? "guard" : "operator";
  }
};

// One start the observers were told of: the status page lists the last ones of every server.
struct RestartNote {
  WallTime time = 0;
  std::string name;  // the server's name then
  RestartReason reason = RestartReason::FirstStart;
  std::uint32_t error = 0;  // a start the system refused: its error
};
inline constexpr std::size_t kRecentRestartsLimit = 20;

struct MonitorSnapshot {
  std::vector<ServerSnapshot> servers;
  bool supervising = true;  // false: the list as saved, with no supervision running
  std::vector<RestartNote> recentRestarts;  // newest first, at most kRecentRestartsLimit
  bool selfTestOk = true;
  int selfTestFailures = 0;
  double cycleSeconds = 0;
  int endpointRecreations = 0;
  WallTime taken = 0;
  // The monitor's own troubles: looks the system refused, saves and log lines that failed.
  std::uint64_t lookFailures = 0;
  std::uint64_t saveFailures = 0;
  bool savePending = false;
  std::uint64_t logWriteFailures = 0;
};

// Takes the snapshot of a monitor's servers and supervision, whether the supervision runs or
// the list was only loaded.
MonitorSnapshot TakeSnapshot(const Servers& servers, const Supervisor& supervisor);
MonitorSnapshot TakeSnapshot(const Monitor& monitor);

// The status document of every server, one JSON shape for every door (GET /api/servers and
// kesp status --json): snake_case keys, numbers as numbers, times as seconds since 1970 (UTC),
// null where nothing is known; servers numbered from 1 as the list shows them. `now` gives
// "time" and the ages.
std::string StatusJson(const MonitorSnapshot& snapshot, WallTime now);

class SnapshotBox {
 public:
  SnapshotBox() : latest_(std::make_shared<const MonitorSnapshot>()) {}
  void Publish(MonitorSnapshot snapshot) {
    auto next = std::make_shared<const MonitorSnapshot>(std::move(snapshot));
    std::lock_guard<std::mutex> lock(mutex_);
    latest_.swap(next);
  }
  std::shared_ptr<const MonitorSnapshot> Latest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const MonitorSnapshot> latest_;
};

// The names the metrics, the JSON and the alerts use.
const char* ProcessStateName(ProcessState state);
const char* NetworkStateName(NetworkState state);
// "normal", "high", "realtime": the names the command line takes.
const char* PriorityName(std::uint8_t priority);

}  // namespace tervane
