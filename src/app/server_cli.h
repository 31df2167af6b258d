// The command line's commands: list, status, add, edit, remove, move, pause, unpause, restart
// and close. They run on a monitor, the running one (through its control socket) or one made
// over the list file while none runs, and always through the monitor's command layer: the
// editor's checks with the command line's stricter ones before them, and the confirmations
// asked here, at the command line's own door (--yes, or a question on a terminal).
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/monitor.h"

namespace tervane {

struct CommandIo {
  std::ostream& out;  // results
  std::ostream& err;  // refusals and questions
  // Asks the operator a confirmation's question; empty when nobody can be asked (then only
  // --yes confirms).
  std::function<bool(const std::string& question)> confirm;
  // Where the command came from; every command it runs carries it.
  CommandOrigin origin{"command line", ""};
};

// The exit code of a command that needs a confirmation nobody gave; the question is on err.
// Asked by the running kesp, the question's last line is "--ids=<id>,...": the identities of
// the servers it names. The command line takes that line off, and sends it back with --yes; the
// running kesp then refuses (exit code 1, with the reason) when those numbers name other servers
// by then (moved or removed), never acting on them.
inline constexpr int kExitNeedsConfirmation = 3;
inline constexpr std::string_view kIdsOption = "--ids=";

// Takes the "--ids=..." line off a question's text; answers it, or "" when there is none.
std::string TakeIdsLine(std::string& question);
// The exit code of status when no kesp supervises (the list is shown as saved), as systemctl
// status answers for a unit that is not active. status never asks for a confirmation, so its 3
// always means this; remove, restart and close never answer it for this.
inline constexpr int kExitNotSupervising = 3;
// The exit code of a command line that cannot be read (an unknown command or option, a
// missing argument).
inline constexpr int kExitUsage = 2;

// The command of a command line: its first word that is not --yes, -y or --json (list when
// there is none). An unknown word, or one the command line does not serve, is said on err
// with a one-line hint, and answers nothing.
std::optional<Command> CommandOf(const std::vector<std::string>& args, std::ostream& err);

// Runs one command; done gets its exit code: at once for every command but rcon, whose answer
// comes from the server later, on the loop's thread. io must stay until done ran.
void StartServerCommand(Monitor& monitor, const std::vector<std::string>& args, int processorCount, CommandIo& io,
                        std::function<void(int code)> done);

// Runs one command; answers its exit code. The answer of an rcon is waited for on the monitor's
// loop (an exchange is bounded by its own timeouts).
int RunServerCommand(Monitor& monitor, const std::vector<std::string>& args, int processorCount, CommandIo& io);

// The command line's help text.
std::string ServerCommandUsage();

// Text fit for a terminal: UTF-8 with every control character (terminal escapes among them)
// written as \xNN.
std::string TerminalSafe(std::u16string_view text);

}  // namespace tervane
