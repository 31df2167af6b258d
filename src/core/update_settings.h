// Game updates, off unless kesp.ini's [Updates] or a [Server <name>] section names an
// UpdateCommand: how a server learns that its game has an update, and how the update is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tervane {

// Where the news of an update came from.
enum class UpdateSource : std::uint8_t {
  Notice,    // a line of the server's own output (UpdateNotice=)
  Url,       // UpdateCheckUrl answered up_to_date false
  Command,   // UpdateCheckCommand exited 10
  Operator,  // kesp update, POST /api/servers/N/update
};

// The engines' own words when their files are out of date.
inline const std::vector<std::string>& DefaultUpdateNotices() {
  static const std::vector<std::string> notices = {
      "Your server is out of date and will be shutdown during hibernation or changelevel, whichever comes first.",
      "Your server needs to be restarted in order to receive the latest update.",
      "MasterRequestRestart",
  };
  return notices;
}

struct UpdateSettings {
  std::vector<std::string> notices = DefaultUpdateNotices();  // UpdateNotice= lines
  std::string checkUrl;                // UpdateCheckUrl: {version} and {appid} filled in
  int checkMinutes = 10;               // UpdateCheckMinutes
  std::string checkCommand;            // UpdateCheckCommand: exit 0 none, 10 one exists
  std::optional<std::uint32_t> appId;  // AppId: else the one the server's reply gives
  std::string command;                 // UpdateCommand: empty, updates off
  int seconds = 900;                   // UpdateSeconds: the update command's time limit
  int withinMinutes = 30;              // UpdateWithinMinutes: made by then, players or not
  int retryMinutes = 60;               // UpdateRetryMinutes: after a failure, or a notice again

  bool On() const { return !command.empty(); }
  bool operator==(const UpdateSettings&) const = default;
};

inline constexpr std::size_t kMaxUpdateNotices = 16;
inline constexpr std::size_t kMaxUpdateNoticeBytes = 200;
// The warnings' text when the admin gives no RestartWarnText of their own.
inline constexpr char16_t kDefaultUpdateWarnText[] = u"The server restarts for a game update in %d minute(s).";

// The keys a section gives, each as a bit of UpdateSection::given: above the bits of RestartKey,
// for one [Server <name>] section gives both.
enum UpdateKey : unsigned {
  kUpdateKeyNotice = 1u << 8,
  kUpdateKeyCheckUrl = 1u << 9,
  kUpdateKeyCheckMinutes = 1u << 10,
  kUpdateKeyCheckCommand = 1u << 11,
  kUpdateKeyAppId = 1u << 12,
  kUpdateKeyCommand = 1u << 13,
  kUpdateKeySeconds = 1u << 14,
  kUpdateKeyWithin = 1u << 15,
  kUpdateKeyRetry = 1u << 16,
};

// One section as read: the values of the keys it gives (a key given empty or refused holds its
// off value), and which keys those are.
struct UpdateSection {
  std::u16string name;  // [Server <name>]: the name as written; [Updates]: empty
  UpdateSettings values;
  unsigned given = 0;
};

struct UpdateOptions {
  std::optional<UpdateSection> all;    // [Updates]
  std::vector<UpdateSection> servers;  // [Server <name>] giving an update key, in file order

  bool Any() const { return all.has_value() || !servers.empty(); }
};

// The settings of a server: the defaults, then what [Updates] gives, then what its own section
// gives.
UpdateSettings EffectiveUpdateSettings(const UpdateOptions& options, std::optional<std::size_t> section);
// Each server's settings, given the servers' names in list order; a section name two servers
// share is used by neither (the restart settings' assignment says so).
std::vector<UpdateSettings> AssignUpdateSettings(const UpdateOptions& options, const std::vector<std::u16string>& names);

}  // namespace tervane
