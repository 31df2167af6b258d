// The live status of one server: what the supervision and the commands last learned about it,
// beside the counters its record keeps. The list view, the console and every other front end
// render it; none of them keeps state of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/update_settings.h"

namespace tervane {

// Cycles a server's process may be missing before it is started again; unanswered queries
// shown as a timeout before the server is restarted.
inline constexpr int kLostLimit = 3;
inline constexpr int kTimeoutLimit = 20;

// What the Process Status cell says.
enum class ProcessState : std::uint8_t {
  Unknown,     // "-": not yet looked at since load, unpause or a menu restart
  Running,     // found running in the last cycle
  Lost,        // missing for LostCount cycles in a row
  Restarting,  // just started or restarted
  StartFailed, // the last start failed; startError says why
  Paused,
};

// What the Network Status cell says.
enum class NetworkState : std::uint8_t {
  Unknown,  // "-"
  Normal,   // the last query was answered
  Timeout,  // TimeoutCount checks in a row found no answer
  Paused,
};

// Why a server's process was started.
enum class RestartReason : std::uint8_t {
  FirstStart,   // missing since load: started for the first time ("Starting server.")
  FatalError,   // its fatal-error dialog was found
  ProcessLost,  // its process disappeared
  NoResponse,   // it stopped answering the query
  Command,      // Restart Server(s)
  Planned,      // a planned restart of kesp.ini, or one planned by a command ("restart in N minutes")
  Update,       // a game update: started after the update command ran (or failed)
};
inline constexpr std::size_t kRestartReasonCount = 7;

// The reason's name for scripts and metrics.
inline const char* RestartReasonName(RestartReason reason) {
  static constexpr const char* kNames[kRestartReasonCount] = {"first_start", "fatal_error", "process_lost",
                                                              "no_response", "command", "planned",
                                                              "update"};
  const auto i = static_cast<std::size_t>(reason);
  return i < kRestartReasonCount ? kNames[i] : "unknown";
}

// Whose doing a start was, the one account every door counts and names restarts by: the
// supervision's (a fatal error, a lost process, no response: the Restarts cell counts these
// alone), the operator's (a restart by command, or the start after their Close and Unpause),
// or a plan's. A first start is no restart at all.
enum class RestartKind : std::uint8_t { FirstStart, Supervised, Operator, Planned };
inline constexpr std::size_t kRestartKindCount = 4;

inline constexpr RestartKind KindOf(RestartReason reason) {
  switch (reason) {
    case RestartReason::FirstStart: return RestartKind::FirstStart;
    case RestartReason::FatalError:
    case RestartReason::ProcessLost:
    case RestartReason::NoResponse: return RestartKind::Supervised;
    case RestartReason::Command: return RestartKind::Operator;
    case RestartReason::Planned:
    case RestartReason::Update: return RestartKind::Planned;
  }
  return RestartKind::Supervised;
}

// The kind's name for scripts and metrics: "first_start", "supervised", "operator", "planned".
inline const char* RestartKindName(RestartKind kind) {
  static constexpr const char* kNames[kRestartKindCount] = {"first_start", "supervised", "operator", "planned"};
  const auto i = static_cast<std::size_t>(kind);
  return i < kRestartKindCount ? kNames[i] : "unknown";
}

// A start as a person reads it: "first start", "supervised restart: process lost", "restart by
// the operator", "planned restart".
inline const char* DescribeStart(RestartReason reason) {
  switch (reason) {
    case RestartReason::FirstStart: return "first start";
    case RestartReason::FatalError: return "supervised restart: fatal error";
    case RestartReason::ProcessLost: return "supervised restart: process lost";
    case RestartReason::NoResponse: return "supervised restart: no network response";
    case RestartReason::Command: return "restart by the operator";
    case RestartReason::Planned: return "planned restart";
    case RestartReason::Update: return "planned restart: game update";
  }
  return "unknown";
}

// The starts of each kind, from the starts counted by reason.
inline std::array<std::uint32_t, kRestartKindCount> RestartsByKind(
    const std::array<std::uint32_t, kRestartReasonCount>& byReason) {
  std::array<std::uint32_t, kRestartKindCount> byKind{};
  for (std::size_t r = 0; r < kRestartReasonCount; ++r)
    byKind[static_cast<std::size_t>(KindOf(static_cast<RestartReason>(r)))] += byReason[r];
  return byKind;
}

// What the supervision does with a server now, beside what its last look found (ProcessState).
// The record's Paused byte is the operator's pause as the list file keeps it: set in both paused
// phases, and while stopping when the stop is Close's or the server was paused meanwhile.
enum class Phase : std::uint8_t {
  Watched,           // looked at every cycle and started whenever its process is missing
  Stopping,          // its stop command went out: looked at until its process ends, then as wanted
  PausedByOperator,  // Pause, Close, or paused in the list file: left alone
  PausedByGuard,     // the crash-loop guard refused a restart: left alone, and said why
  Updating,          // its process ended for a game update: left alone until the update command
                     // ended, then started (never left down)
};

// What the operator or a plan asked of a server.
enum class Want : std::uint8_t {
  Run,      // kept running
  Restart,  // stopping: started again once its process ended
  Close,    // stopping for Close: left ended (and paused) once its process ended
  // Close ended its process: the start that follows the unpause is the operator's doing,
  // neither a crash for the guard nor a lost process for the alerts. Run again once it runs.
  Closed,
  Update,   // stopping for a game update: its installation's update command runs once its
            // process (and those of the servers sharing the installation) ended
};

// Seconds since 1970-01-01 UTC; 0: never.
using WallTime = std::int64_t;

// A server's game updates (kesp.ini's UpdateCommand; all zero without it).
struct UpdateStatus {
  enum class Result : std::uint8_t { None, Made, Failed, TimedOut, NotStarted };
  WallTime availableSince = 0;          // an update is known to exist since (0: none known)
  UpdateSource source = UpdateSource::Notice;
  std::string detail;                   // what told it (the notice, the required version, ...)
  WallTime dueBy = 0;                   // the update restart is made by then at the latest (0: none)
  WallTime updatingSince = 0;           // the update command runs since (0: it does not)
  Result lastResult = Result::None;     // the last update command's end
  WallTime lastAt = 0;
  std::string lastDetail;               // its exit code or why it failed
  WallTime holdUntil = 0;               // no update is begun again before (after a failure or a made one)
  std::uint32_t made = 0, failed = 0;   // update commands ended well and not, since start-up
};

inline const char* UpdateResultName(UpdateStatus::Result r) {
  switch (r) {
    case UpdateStatus::Result::None: return "none";
    case UpdateStatus::Result::Made: return "made";
    case UpdateStatus::Result::Failed: return "failed";
    case UpdateStatus::Result::TimedOut: return "timed_out";
    case UpdateStatus::Result::NotStarted: return "not_started";
  }
  return "unknown";
}

inline const char* UpdateSourceName(UpdateSource s) {
  switch (s) {
    case UpdateSource::Notice: return "notice";
    case UpdateSource::Url: return "url";
    case UpdateSource::Command: return "command";
    case UpdateSource::Operator: return "operator";
  }
  return "unknown";
}

struct ServerStatus {
  ProcessState process = ProcessState::Unknown;
  NetworkState network = NetworkState::Unknown;

  // The last reply since the process was (re)started; map and players show only while hasReply.
  bool hasReply = false;
  std::string map;  // as the server sent it (8-bit)
  int players = 0;
  int maxPlayers = 0;
  std::optional<int> bots;  // of the players, when the reply says
  int protocol = 0;
  WallTime lastReply = 0;
  // The game's version and app id as the last info reply gave them (empty, 0: not said).
  std::string gameVersion;
  std::uint32_t appId = 0;

  // Starts by this monitor: when and why the last one happened, and how many of each kind.
  WallTime lastRestart = 0;
  RestartReason lastRestartReason = RestartReason::FirstStart;
  std::array<std::uint32_t, kRestartReasonCount> restartsByReason{};
  // When the process running now was started by this monitor (0: found running, or none).
  WallTime processStarted = 0;
  // What the system answered to the last start: 0, or its error code with its text; starts
  // that failed are counted apart and never as restarts.
  std::uint32_t lastStartError = 0;
  std::u16string startError;
  std::uint32_t failedStarts = 0;
  // What the system refused of the server's priority and affinity: 0, or its error code.
  std::uint32_t priorityError = 0;
  std::uint32_t affinityError = 0;
  Phase phase = Phase::Watched;
  Want want = Want::Run;
  // The crash-loop guard's memory (kesp.ini's MaxRestarts; empty without it): when the recent
  // restarts happened.
  std::vector<WallTime> recentRestarts;
  // The system's error code while its process cannot be looked for (nothing is then started or
  // ended on it), 0 otherwise.
  std::uint32_t lookError = 0;
  UpdateStatus update;

  // Forgets the last reply: the cells show "-" until the next one.
  void ClearReply() {
    hasReply = false;
    map.clear();
    players = maxPlayers = protocol = 0;
    bots.reset();
  }
};

}  // namespace tervane
