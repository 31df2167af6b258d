// Planned restarts, off unless kesp.ini's [Restarts] or [Server <name>] sections turn them on:
// a server restarted at daily local times or every N hours, its players warned in the game
// beforehand, restarted early when it is empty within a window before the planned time, and
// stopped by a console command before its process is ended.
//
// Here is what decides; nothing here has a clock, a socket or a process of its own:
//   - RestartSettings: one server's settings, as its sections give them;
//   - AssignRestartSettings: which [Server <name>] section is whose, given the list's names;
//   - RestartPlan: one server's plan, asked once a cycle what to do now.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/server_status.h"
#include "net/rcon.h"

namespace tervane {

// ------------------------------------------------------------------------ settings

inline constexpr char16_t kDefaultRestartWarnText[] = u"The server restarts in %d minute(s).";

inline constexpr std::size_t kMaxRestartTimes = 24;     // RestartAt
inline constexpr int kMaxEveryHours = 168;               // RestartEveryHours: a week
inline constexpr std::size_t kMaxRestartWarnings = 10;  // RestartWarnMinutes
inline constexpr int kMaxLeadMinutes = 24 * 60 - 1;      // a lead time or window: under a day
inline constexpr std::size_t kMaxWarnTextBytes = 200;   // RestartWarnText, as UTF-8
inline constexpr std::size_t kMaxStopCommandBytes = 255;
inline constexpr int kMinStopSeconds = 1;
inline constexpr int kMaxStopSeconds = 600;
inline constexpr int kDefaultStopSeconds = 20;
inline constexpr int kMaxOneOffMinutes = 24 * 60;

struct RestartSettings {
  // The schedule: daily local times (minutes after midnight, ascending, each once), or every
  // N hours: the local times that are whole multiples of N hours since 1970-01-01 00:00 local
  // (for N dividing 24, the same times every day from midnight); never both.
  std::vector<int> restartAt;
  int everyHours = 0;
  // Lead times of the warnings in minutes, longest first, each once.
  std::vector<int> warnMinutes;
  std::u16string warnText = kDefaultRestartWarnText;
  // From this many minutes before the planned time a server found empty is restarted; 0: only
  // at the planned time.
  int whenEmptyMinutes = 0;
  // Sent through RCON before the process is ended; empty: ended at once, as without it.
  // Like the password, in the system's 8-bit text, as the server took its run parameters.
  std::string stopCommand;
  int stopSeconds = kDefaultStopSeconds;
  std::optional<RconDialect> rconProtocol;  // none: as the server's query answer says
  std::string rconPassword;                 // used when the run parameters hold none

  bool Scheduled() const { return !restartAt.empty() || everyHours > 0; }
  bool operator==(const RestartSettings&) const = default;
};

// The keys a section gives, each as a bit of RestartSection::given. RestartAt and
// RestartEveryHours are one setting, the schedule, in two forms.
enum RestartKey : unsigned {
  kRestartKeySchedule = 1u << 0,
  kRestartKeyWarnMinutes = 1u << 1,
  kRestartKeyWarnText = 1u << 2,
  kRestartKeyWhenEmpty = 1u << 3,
  kRestartKeyStopCommand = 1u << 4,
  kRestartKeyStopSeconds = 1u << 5,
  kRestartKeyRconProtocol = 1u << 6,
  kRestartKeyRconPassword = 1u << 7,
};

// One section as read: the values of the keys it gives (a key given empty or refused holds its
// off value), and which keys those are.
struct RestartSection {
  std::u16string name;  // [Server <name>]: the name as written; [Restarts]: empty
  RestartSettings values;
  unsigned given = 0;
};

struct RestartOptions {
  std::optional<RestartSection> all;    // [Restarts]
  std::vector<RestartSection> servers;  // [Server <name>], in file order, each name once

  bool Any() const { return all.has_value() || !servers.empty(); }
};

// The settings of a server: the defaults, then what [Restarts] gives, then what its own section
// gives (a section giving either form of the schedule replaces both forms).
RestartSettings EffectiveRestartSettings(const RestartOptions& options, std::optional<std::size_t> section);

struct RestartAssignment {
  std::vector<std::optional<std::size_t>> section;  // per server in list order: its section
  std::vector<RestartSettings> settings;            // per server in list order
  std::vector<std::u16string> shared;     // section names two or more servers have: not used
  std::vector<std::u16string> unmatched;  // section names no server has
};

// Which [Server <name>] section is whose, given the servers' names in list order. Names match
// as the profile reader matches section names: blanks at the ends left out, ASCII letters
// without regard to case.
RestartAssignment AssignRestartSettings(const RestartOptions& options, const std::vector<std::u16string>& names);
// One line for each section not used (UTF-8, without the file's name, which the log line carries).
std::vector<std::string> AssignmentProblems(const RestartAssignment& assignment);

// The RCON request of a command to a server: its own address and port, the dialect its query
// answer shows unless RconProtocol names one, the password of its run parameters or else the
// configured one.
RconRequest RconRequestFor(const RestartSettings& settings, std::string address, std::uint16_t port,
                           std::u16string_view params, std::int16_t replyKind, int protocol, std::string command);
// say "<text>" in UTF-8: the quotes keep a ';' of the text from ending the command. The text
// holds no quote or control character (RestartWarnText refuses them).
std::string RconSayCommand(std::u16string_view text);

// ------------------------------------------------------------------------ RCON

// The RCON the live-state model sends its warnings and stop commands through: the monitor's
// client, whose exchanges run on threads of their own; a fake in unit tests. done runs later,
// on the loop's thread, exactly once.
class IRcon {
 public:
  using Done = std::function<void(const RconResult& result)>;
  virtual ~IRcon() = default;
  virtual void Send(RconRequest request, Done done) = 0;
};

// The RCON client on the loop, made when first used: without planned restarts or an RCON
// command its threads are never started.
class LoopRcon final : public IRcon {
 public:
  explicit LoopRcon(EventLoop& loop) : loop_(loop) {}
  void Send(RconRequest request, Done done) override;

 private:
  EventLoop& loop_;
  std::unique_ptr<RconClient> client_;
};

// ------------------------------------------------------------------------ time

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

// ------------------------------------------------------------------------ the plan

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
