// Which [Server <name>] section is whose: the servers' settings of planned restarts given by
// their names, and the sections no single server has.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/restart_settings.h"

namespace tervane {

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

}  // namespace tervane
