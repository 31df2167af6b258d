#include "monitor/commands.h"

#include <cstddef>
#include <iterator>

namespace tervane {
namespace {

enum Traits : std::uint8_t { kChanges = 1, kOnServers = 2, kAsks = 4 };

struct CommandInfo {
  Command command;
  std::string_view word;
  std::uint8_t traits;
  std::uint8_t doors;
};

// In the order of the enumeration.
constexpr CommandInfo kCommands[] = {
    {Command::List, "list", 0, kCommandLine},
    {Command::Status, "status", 0, kCommandLine},
    {Command::Log, "log", 0, kCommandLine},
    {Command::Add, "add", kChanges, kCommandLine},
    {Command::Edit, "edit", kChanges, kCommandLine},
    {Command::Remove, "remove", kChanges | kOnServers | kAsks, kCommandLine},
    {Command::Move, "move", kChanges, kCommandLine},
    {Command::Pause, "pause", kChanges | kOnServers, kCommandLine | kHttpApi},
    {Command::Unpause, "unpause", kChanges | kOnServers, kCommandLine | kHttpApi},
    {Command::Restart, "restart", kChanges | kOnServers | kAsks, kCommandLine | kHttpApi},
    {Command::Close, "close", kChanges | kOnServers | kAsks, kCommandLine | kHttpApi},
    {Command::Show, "show", kChanges | kOnServers, 0},  // the window's only
    {Command::Hide, "hide", kChanges | kOnServers, 0},
    {Command::Cancel, "cancel", kChanges | kOnServers, kCommandLine | kHttpApi},
    {Command::Rcon, "rcon", kChanges, kCommandLine},
    {Command::Update, "update", kChanges | kOnServers | kAsks, kCommandLine | kHttpApi},
    {Command::Help, "help", 0, kCommandLine},
    {Command::Service, "service", kChanges, kCommandLine},
};

constexpr bool InEnumerationOrder() {
  for (std::size_t i = 0; i < std::size(kCommands); ++i)
    if (static_cast<std::size_t>(kCommands[i].command) != i) return false;
  return true;
}
static_assert(InEnumerationOrder() && std::size(kCommands) == static_cast<std::size_t>(Command::Service) + 1);

const CommandInfo& Info(Command command) { return kCommands[static_cast<std::size_t>(command)]; }

}  // namespace

std::optional<Command> ParseCommand(std::string_view word) {
  if (word == "delete") return Command::Remove;
  if (word == "--help" || word == "-h") return Command::Help;
  for (const CommandInfo& c : kCommands)
    if (c.word == word) return c.command;
  return std::nullopt;
}

std::string_view CommandWord(Command command) { return Info(command).word; }
bool ServedAt(Command command, CommandDoor door) { return (Info(command).doors & door) != 0; }
bool ChangesServers(Command command) { return (Info(command).traits & kChanges) != 0; }
bool ActsOnServers(Command command) { return (Info(command).traits & kOnServers) != 0; }
bool AsksFirst(Command command) { return (Info(command).traits & kAsks) != 0; }

}  // namespace tervane
