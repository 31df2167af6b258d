// The command line's commands: list, status, add, edit, remove, move, pause, unpause, restart
// and close. They run on a monitor, the running one (through its control socket) or one made
// over the list file while none runs, and always through the monitor's command layer, with the
// checks and confirmations of the window.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "ui/monitor.h"

namespace tervane {

struct CommandIo {
  std::ostream& out;  // results
  std::ostream& err;  // refusals and questions
  // Asks the operator a confirmation's question; empty when nobody can be asked (then only
  // --yes confirms).
  std::function<bool(const std::string& question)> confirm;
};

// The exit code of a command that needs a confirmation nobody gave; the question is on err.
inline constexpr int kExitNeedsConfirmation = 3;
// The exit code of status when no kesp supervises (the list is shown as saved), as systemctl
// status answers for a unit that is not active. status never asks for a confirmation, so its 3
// always means this; remove, restart and close never answer it for this.
inline constexpr int kExitNotSupervising = 3;

// Runs one command; answers its exit code.
int RunServerCommand(Monitor& monitor, const std::vector<std::string>& args, int processorCount, CommandIo& io);

// Whether a command changes or drives the servers (everything but list, status and help).
bool IsChangingCommand(const std::string& command);

// The command line's help text.
std::string ServerCommandUsage();

// Text fit for a terminal: UTF-8 with every control character (terminal escapes among them)
// written as \xNN.
std::string TerminalSafe(std::u16string_view text);

}  // namespace tervane
