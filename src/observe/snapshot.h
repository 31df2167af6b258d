// What the threads of the HTTP endpoint may see of the monitor: a copy of every server's live
// status, taken on the loop's thread after each cycle and published whole. Readers keep the
// copy they took as long as they need it; the lock guards only the exchange of the pointer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/servers.h"
#include "core/supervisor.h"

namespace tervane {

struct ServerSnapshot {
  std::size_t row = 0;
  std::string name;     // UTF-8, as all texts here
  std::string address;
  int port = 0;
  ProcessState process = ProcessState::Unknown;  // as the cells show it (Paused while paused)
  NetworkState network = NetworkState::Unknown;
  bool paused = false;
  bool crashLoopPaused = false;
  bool hasReply = false;
  std::string map;
  int players = 0;
  int maxPlayers = 0;
  WallTime lastReply = 0;
  WallTime lastRestart = 0;
  RestartReason lastRestartReason = RestartReason::FirstStart;
  std::array<std::uint32_t, kRestartReasonCount> restartsByReason{};
  std::uint32_t failedStarts = 0;
  std::uint32_t lastStartError = 0;
  int timeoutCount = 0;
  int lostCount = 0;
  int restarts = 0;  // the Restarts cell

  // Answered the query within the timeout: its last query came back and it is not paused.
  bool Up() const { return network == NetworkState::Normal; }
  bool Running() const { return process == ProcessState::Running; }
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

MonitorSnapshot TakeSnapshot(const Servers& servers, const Supervisor& supervisor);

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

}  // namespace tervane
