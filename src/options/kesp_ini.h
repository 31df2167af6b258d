// kesp.ini, the options beyond the list's own settings, read once at start-up through one
// table of keys: [Options] (the observers and the crash-loop guard), [Restarts] for every
// server and [Server <name>] for one (planned restarts and stops). A section the reader does
// not know is left alone.
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
// A key given twice counts once (the first), a section given twice too; a restart section not
// read (a second one, [Server] without a name, past the 256th) is said as well.
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
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/planned_restarts.h"
#include "options/settings.h"
#include "support/file.h"

namespace tervane {

inline constexpr std::uint64_t kOptionsFileLimit = 64 * 1024;

struct KespIni {
  ObserveOptions observe;   // [Options]
  RestartOptions restarts;  // [Restarts], [Server <name>]
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
