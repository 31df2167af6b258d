// A server's settings of planned restarts and graceful stops, as kesp.ini's [Restarts] and
// [Server <name>] sections give them; off without the sections.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "net/rcon.h"

namespace tervane {

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

}  // namespace tervane
