// A server's planned restarts, off unless kesp.ini's [Restarts] or [Server <name>] sections turn
// them on: restarted at daily local times or every N hours, its players warned in the game
// beforehand, restarted early when it is empty within a window before the planned time. The
// plan decides; it has no clock, socket or process of its own. Its settings are in
// restart_settings.h, whose they are in restart_assignment.h, the RCON it speaks through in
// rcon_port.h, its time zones in zone_time.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/restart_settings.h"
#include "core/server_status.h"
#include "core/zone_time.h"

namespace tervane {

struct PlanInput {
  WallTime now = 0;
  bool paused = false;
  // The server answered the last query, so players is its count now.
  bool answered = false;
  int players = 0;
  std::optional<int> bots;  // of the same answer, when known: bots are nobody
};

struct PlanStep {
  enum class Kind { None, Warn, Restart };
  Kind kind = Kind::None;
  int minutes = 0;         // Warn: the minutes left, rounded up
  std::u16string text;     // Warn: RestartWarnText filled with them
  bool whenEmpty = false;  // Restart: early, for nobody plays
  bool oneOff = false;     // from the one-off plan rather than the schedule
  // Restart: a warned time the clock jumped over, made late; how far the clock jumped.
  std::int64_t jumpedSeconds = 0;
};

// One server's planned restarts, asked once a cycle. The schedule's next time is a local time
// of day kept with its wall time; a one-off restart is a wall time. At most one thing is done a
// step, the restart before any warning.
//
//   - Warnings: each lead time warns once, when the time left falls to it, while the server
//     answers and is not paused. A warning found late (the plan began, or the server answered
//     again, after its lead time) is said once with the minutes truly left; of several due
//     only the last, so the players never get a burst.
//   - Empty: within RestartWhenEmptyMinutes before the planned time, a server that answered
//     with no player (bots aside) is restarted at once, unless it was restarted by plan since
//     that window opened.
//   - The planned time: restarted whatever the count, unless paused (the time then passes and
//     the next is planned) or found more than a minute late: the wall clock was set forward or
//     the monitor did not run, and a time jumped over is passed over, never made up for;
//     unless its players were warned already: then it is made at once, as they were told.
//   - A restart for another reason changes nothing: the planned time stays.
//   - A planned restart counts too for the other plan's restart when that one is due within
//     the warning or empty window after it, so two never follow within minutes.
//   - The clock set back: the planned time keeps its wall time; set back by more than the
//     schedule's longest gap, the plan is made afresh from the clock, and an occurrence made
//     within that gap before is not made again.
class RestartPlan {
 public:
  explicit RestartPlan(ZoneOffset zone = SystemZoneOffset, int minuteSeconds = 60);

  // New settings; a changed schedule or changed lead times are planned afresh at the next step.
  void Configure(const RestartSettings& settings);
  const RestartSettings& Settings() const { return settings_; }

  // A one-off restart `minutes` from now, warned beforehand at its own length and at the lead
  // times (10, 5 and 1 minutes when the server has none); it replaces one planned before.
  // False, and nothing planned, for minutes outside 0..1440.
  bool PlanOneOff(WallTime now, int minutes);
  // Whether a one-off restart was planned.
  bool CancelOneOff();

  PlanStep Step(const PlanInput& input);

  // When the next planned restart is due, of either plan; none without one.
  std::optional<WallTime> NextRestart() const;
  std::optional<WallTime> NextScheduled() const;
  std::optional<WallTime> OneOffDue() const;

 private:
  struct Due {
    WallTime wall = 0;
    std::int64_t local = 0;  // the schedule's: the local time it stands for
    std::vector<int> leads;  // lead times in minutes, longest first
    std::size_t warned = 0;  // leads handled
    int lengthSeconds = 0;   // the one-off's
  };

  std::int64_t Local(WallTime wall) const { return wall + zone_(wall); }
  // The longest time between two planned times of the schedule.
  std::int64_t LongestGap() const;
  // The first planned time after now (and after an occurrence made shortly ahead of it).
  Due NextOccurrence(WallTime now) const;
  void FinishScheduled(WallTime now);
  // The longest warning lead or the empty window: a restart of one plan counts for the
  // other's due within it.
  std::int64_t Window() const;
  PlanStep Restart(WallTime now, bool oneOff, bool whenEmpty, std::int64_t jumped = 0);

  ZoneOffset zone_;
  int minute_;
  RestartSettings settings_;
  std::optional<Due> next_;
  std::optional<Due> oneOff_;
  std::optional<std::int64_t> lastDoneLocal_;
  std::optional<WallTime> lastPlanned_;  // the last restart this plan asked for
  std::optional<WallTime> lastStep_;     // the clock at the last step
};

}  // namespace tervane
