// kesp.ini's planned restarts: section [Restarts] for every server and [Server <name>] sections,
// each overriding any key for the one server of that name. Read as [Options] is read: a key
// given twice counts once (the first), a value longer than the reader holds is refused rather
// than cut, and each unknown key and unusable value gives one line and leaves its option off.
//
//   RestartAt=05:00,17:00      daily local times, HH:MM (up to 24)
//   RestartEveryHours=6        or every N hours, counted from local midnight (1..168; 0: none)
//   RestartWarnMinutes=10,5,1  warnings before, in minutes (up to 10, each under a day)
//   RestartWarnText=...        "%d" is the minutes left
//   RestartWhenEmptyMinutes=N  restarted early when found empty within N minutes before
//   StopCommand=quit           sent through RCON before the process is ended
//   StopSeconds=20             how long the server may take to end by itself (1..600)
//   RconProtocol=source|goldsrc
//   RconPassword=...           when the run parameters hold no +rcon_password
//
// A key given in a section, even empty, sets its value there: empty or refused, the option's
// off value (no times, no warnings, the shipped text, no stop command, 20 seconds, the query's
// dialect, no password), which in a [Server <name>] section overrides [Restarts] as well.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/planned_restarts.h"

namespace tervane {

inline constexpr char16_t kRestartsSection[] = u"Restarts";

// The sections of a decoded kesp.ini text. `problems` receives one line per unknown key,
// unusable value and [Server <name>] section that is not read (UTF-8, without the file's name).
RestartOptions ParseRestartOptions(std::u16string_view text, std::vector<std::string>& problems);

// "05:00,17:00": minutes after midnight, ascending, each once; none when any part is unusable.
std::optional<std::vector<int>> ParseRestartTimes(std::string_view text);
// "10,5,1": longest first, each once; none when any part is unusable.
std::optional<std::vector<int>> ParseLeadMinutes(std::string_view text);

}  // namespace tervane
