// What a command on the servers is given and what it answers: every door hands the monitor the
// servers by their identities with the command's own arguments, and renders the one result it
// gets back (the window in its log view, the command line in its lines and exit code, the HTTP
// API in its JSON). Nothing of a command's outcome is left behind in the monitor to be read later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/planned_restarts.h"
#include "core/server_list.h"
#include "monitor/server_checks.h"

namespace tervane {

// A server as a door named it: its identity, and the number (from 1) the door knew it by. With a
// number, the command is refused when the server has another number by then or went; without
// one (0), the server is acted on wherever it is, and one that went is left out.
struct CommandTarget {
  ServerId id = 0;
  std::size_t number = 0;
};

// New Server's and Edit Server's checked settings.
struct ServerEdit {
  std::u16string name;
  EditorResult result;
  std::uint8_t priority = 0;
  bool hide = false;
  bool paused = false;  // a new server only
};

// Who asked for a command, for the operator's line in the monthly log: the door it came
// through ("window", "command line", "control socket", "HTTP") and, where the door knows it,
// who stood there ("uid 1000", "127.0.0.1:50312").
struct CommandOrigin {
  std::string door = "window";
  std::string who;
};

// What a command takes beside its servers.
struct CommandArgs {
  CommandOrigin origin;
  std::optional<int> inMinutes;  // restart: a warned one-off restart this many minutes from now
  std::size_t to = 0;            // move: the new position (a row)
  std::optional<ServerEdit> edit;  // add, edit
  std::string rconText;          // rcon: the command sent to the server
  IRcon::Done rconDone;          // rcon: its answer, later, on the loop's thread

  static CommandArgs MoveTo(std::size_t row) {
    CommandArgs args;
    args.to = row;
    return args;
  }
};

// A server whose process a command could not end (the look or the end was refused): it may
// still run, so it was not started again.
struct EndRefused {
  std::size_t row = 0;
  std::uint32_t error = 0;
};

struct CommandResult {
  // Why nothing was done (the servers named went or moved meanwhile, ...); empty when it ran.
  std::string refused;
  // The rows the command acted on, in ascending order (add: the new server's).
  std::vector<std::size_t> rows;
  // Whether the list was written: none when the command changes no setting (restart, plans,
  // rcon), else the system's error of the save (0: saved).
  std::optional<std::uint32_t> saveError;
  // Restart, close: the servers whose process could not be ended.
  std::vector<EndRefused> endsRefused;
  // Restart, close: the servers that began with their stop command; they are restarted or left
  // closed once their process ends (at the latest after their StopSeconds).
  std::vector<std::size_t> stopsBegun;
  // restart --in: when each server's restart is due, in the order of rows (0: minutes out of
  // range).
  std::vector<WallTime> due;
  // cancel: the servers that had no one-off restart planned.
  std::vector<std::size_t> nothingPlanned;
  // pause, unpause: the servers already paused (or not), left as they were.
  std::vector<std::size_t> unchanged;
  // update: the servers it left alone, and why ("kesp.ini names no UpdateCommand for it",
  // "paused", "updating already"); the servers sharing its installation are updated with it.
  std::vector<std::pair<std::size_t, std::string>> skipped;

  bool Done() const { return refused.empty(); }
  bool Saved() const { return !saveError || *saveError == 0; }
};

}  // namespace tervane
