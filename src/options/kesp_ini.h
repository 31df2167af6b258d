// kesp.ini, the options beyond the list's own settings, read once at start-up through one
// table of keys: [Options] (the observers and the crash-loop guard), [Restarts] and [Updates]
// for every server and [Server <name>] for one (planned restarts and stops, game updates). A
// section the reader does not know is left alone.
//
// Every value is read by the same rules, whatever its section:
//   - a trailing "; comment" (a semicolon after a blank) is not part of it, as operators write
//     them after the README's example; blanks around it are left out;
//   - longer than the profile reader holds, it is refused, never used cut short (a cut token
//     or URL is another one), and read as if given empty;
//   - given empty, or refused, the key sets its option's off value: in [Options] the option
//     stays off, in a [Server <name>] section the off value overrides [Restarts] as well;
//   - a number is decimal digits alone within the key's bounds;
//   - a key the section does not know and a value that cannot be used each give one problem
//     line, naming the key and the section and quoting the value (a password never).
// A key given twice counts once (the first; UpdateNotice alone takes up to 16 lines), a section
// given twice too; a restart or update section not read (a second one, [Server] without a name,
// past the 256th) is said as well.
//
//   [Options]
//   HttpListen=127.0.0.1:8427  the HTTP endpoint; another than loopback needs HttpToken
//   HttpToken=...              16 printable characters or more: the API's commands
//   WebhookUrl=https://...     alerts, in WebhookFormat=json|discord|slack, naming AlertHost
//   MaxRestarts=N              the crash-loop guard: N restarts within RestartWindowMinutes
//   LogCommands=1              each operator's command on a server in the monthly log, naming
//                              the door and who (0: not; the Linux program always writes them)
//   [Restarts] / [Server <name>]
//   RestartAt=05:00,17:00      daily local times, HH:MM (up to 24)
//   RestartEveryHours=6        or every N hours, counted from local midnight (1..168; 0: none)
//   RestartWarnMinutes=10,5,1  warnings before, in minutes (up to 10, each under a day)
//   RestartWarnText=...        "%d" is the minutes left
//   RestartWhenEmptyMinutes=N  restarted early when found empty within N minutes before
//   StopCommand=quit           sent through RCON before the process is ended
//   StopSeconds=20             how long the server may take to end by itself (1..600)
//   RconProtocol=source|goldsrc
//   RconPassword=...           when the run parameters hold no +rcon_password
//   [Updates] / [Server <name>]
//   UpdateCommand=...          the game's update tool, run in the installation folder (the
//                              executable's); {appid} and {folder} are filled in. Empty: no updates
//   UpdateNotice=...           a line of the server's output that says an update exists; one
//                              line each (up to 16); given empty: none (the engines' own by default)
//   UpdateCheckUrl=https://... asks whether {version} of {appid} is out of date
//   UpdateCheckMinutes=10      how often it, or UpdateCheckCommand, is asked (1..1440)
//   UpdateCheckCommand=...     exits 10 when an update exists, 0 when none
//   AppId=N                    else the one the server's reply gives
//   UpdateSeconds=900          the update command's time limit (10..86400)
//   UpdateWithinMinutes=30     made by then even with players; at once when empty (0..1439)
//   UpdateRetryMinutes=60      after a failed update, or a notice right after one (1..10080)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/planned_restarts.h"
#include "core/update_settings.h"
#include "options/settings.h"
#include "support/file.h"

namespace tervane {

inline constexpr std::uint64_t kOptionsFileLimit = 64 * 1024;

struct KespIni {
  ObserveOptions observe;   // [Options]
  RestartOptions restarts;  // [Restarts], [Server <name>]
  UpdateOptions updates;    // [Updates], [Server <name>]
};

// The options of a decoded kesp.ini text. `problems` receives one line per unknown key,
// unusable value and section not read (UTF-8, without the file's name, which the log line
// carries), [Options] first, then the others in file order.
KespIni ParseKespIni(std::u16string_view text, std::vector<std::string>& problems);

// The options of the file, decoded as the profile reader decodes (UTF-16LE with its mark,
// UTF-8, or 8-bit text); none when it is absent. A file larger than the reader reads is not
// read in part: every option stays off, with a problem.
std::optional<KespIni> LoadKespIni(const Path& file, std::vector<std::string>& problems);

}  // namespace tervane
