// The command line's commands: list, status, add, edit, remove, move, pause, unpause, restart
// and close. They run on a monitor, the running one (through its control socket) or one made
// over the list file while none runs, and always through the monitor's command layer: the
// editor's checks with the command line's stricter ones before them, and the confirmations
// asked here, at the command line's own door (--yes, or a question on a terminal).
#pragma once

#include <cstdint>
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
// missing argument, a value of the wrong form), and of an edit that sets nothing.
inline constexpr int kExitUsage = 2;
// The exit code of a confirmation the operator declined (as of one nobody gave).
inline constexpr int kExitDeclined = 3;

// A command line as its parser read it (app/command_line_linux.h): the command and what was
// given with it, each value already of its form (numbers of digits, a known priority...).
struct ParsedCommand {
  std::optional<Command> command;    // none: supervise
  std::vector<std::string> numbers;  // the servers, as list numbers them (digits only)
  bool all = false;                  // update all: every server of the list
  bool yes = false;                  // --yes: the confirmation answered
  bool json = false;                 // status --json
  std::optional<std::string> ids;    // the text after --ids= (a confirmation's answer)
  std::optional<int> inMinutes;      // restart --in, update --in
  // add and edit: what is not given stays as it is (edit) or takes the default (add).
  std::optional<std::string> name, exe, params;
  std::optional<std::uint8_t> priority;
  std::optional<std::uint32_t> affinity;
  bool hide = false, show = false, paused = false;
  std::vector<std::string> rconWords;  // rcon: the command sent, word by word as given
  bool follow = false;                 // log -f
  std::optional<std::size_t> lines;    // log -n
  bool install = false, user = false;  // service install (else uninstall), --user
  std::optional<std::string> as;       // service install --as
  std::string dir;                     // --dir

  // Whether add or edit was given anything to set.
  bool SetsAnything() const { return name || exe || params || priority || affinity || hide || show || paused; }
};

// Runs one command; done gets its exit code: at once for every command but rcon, whose answer
// comes from the server later, on the loop's thread. io must stay until done ran.
void StartServerCommand(Monitor& monitor, const ParsedCommand& command, int processorCount, CommandIo& io,
                        std::function<void(int code)> done);

// Runs one command; answers its exit code. The answer of an rcon is waited for on the monitor's
// loop (an exchange is bounded by its own timeouts).
int RunServerCommand(Monitor& monitor, const ParsedCommand& command, int processorCount, CommandIo& io);

// The name a server added without one gets: its executable's folder ("/srv/cs1/hlds_linux" is
// "cs1"), numbered "cs1 (2)" when taken, within the record's 31 characters; taken names are
// compared as they are. Empty when the path has no such folder.
std::string DefaultServerName(const std::string& executable, const std::vector<std::u16string>& taken);

// kesp status's lines on a server's game updates, each when it has something to say: "Update
// available since: TIME (source: detail)", "Updating since: TIME", "Last update: made|failed|
// timed out|not started at TIME (detail)"; none for a server without updates.
std::vector<std::string> UpdateStatusLines(const UpdateStatus& update, WallTime now);

// Text fit for a terminal: UTF-8 with every control character (terminal escapes among them)
// written as \xNN.
std::string TerminalSafe(std::u16string_view text);

}  // namespace tervane
