// The commands on the servers: one enumeration for every door. The window maps its menu items
// onto them; the command line, its control socket and the HTTP API read them from their words,
// here and nowhere else. Which door serves which command is said once too.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tervane {

enum class Command : std::uint8_t {
  List,
  Status,
  Log,
  Add,
  Edit,
  Remove,
  Move,
  Pause,
  Unpause,
  Restart,
  Close,
  Show,
  Hide,
  Cancel,  // a one-off planned restart (restart N --in MINUTES plans one)
  Rcon,    // one console command to a server
  Update,  // a game update restart now, or warned in N minutes (update N --in MINUTES)
  Help,
  Service,
};

// The doors that take a command by its word.
enum CommandDoor : std::uint8_t {
  kCommandLine = 1,  // kesp's arguments, and the control socket that forwards them
  kHttpApi = 2,      // POST /api/servers/<number>/<word>
};

// The command a word names ("delete" is remove, "--help" and "-h" are help), or nothing.
std::optional<Command> ParseCommand(std::string_view word);
// Its word, as the doors take it.
std::string_view CommandWord(Command command);
bool ServedAt(Command command, CommandDoor door);
// Whether it changes or drives the servers: everything but list, status, log and help.
bool ChangesServers(Command command);
// Whether it acts on servers given by their numbers (pause 2 3, restart 1, ...).
bool ActsOnServers(Command command);
// Whether each door asks before it runs it (remove, restart, close): the window with its
// message box, the command line with --yes or a question; the HTTP API's token is its answer.
bool AsksFirst(Command command);

}  // namespace tervane
