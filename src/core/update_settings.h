// Game updates, off unless kesp.ini's [Updates] or a [Server <name>] section names an
// UpdateCommand: how a server learns that its game has an update, and how the update is made.
#pragma once

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
};

}  // namespace tervane
