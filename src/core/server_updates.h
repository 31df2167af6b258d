// Game updates of the servers, off unless kesp.ini gives a server an UpdateCommand. The servers
// whose executables lie in one folder (an installation) are updated together: once an update is
// known, each is warned through RCON at the lead times of its restarts, and the installation's
// update is begun at once when every one of them answered with nobody playing (bots aside), else
// when the first of them is due (UpdateWithinMinutes after the news). Each is then stopped (its
// StopCommand first, when it has one), the update command runs once in the folder within its
// time limit, and each is started again, whatever the command's end: never left down. A server
// whose process could not be ended keeps the command from running: the others are started again.
// A server paused by the operator or the guard is left out; the servers are found by their
// identities at each step, so that one removed or moved meanwhile is never mistaken for another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/server.h"
#include "core/update_settings.h"
#include "process/command_runner.h"

namespace tervane {

class Servers;

// The folder that holds a server's executable, without its trailing separator.
Path InstallationFolder(const Path& fileName);
// The file beside the server's captured output that an update's output is appended to.
Path UpdateOutputFile(const Path& outputFolder, const Path& fileName);
// The command with {appid} and {folder} filled in (an unknown app id as nothing).
std::string FillUpdateCommand(const std::string& command, std::uint32_t appId, const Path& folder);

// What a begun update did to the servers: those that were sent their StopCommand, and those
// whose process could not be ended (with the system's error).
struct UpdateBegun {
  std::vector<std::size_t> stopsBegun;
  std::vector<std::pair<std::size_t, std::uint32_t>> endsRefused;
};

class ServerUpdates {
 public:
  explicit ServerUpdates(Servers& servers);
  ~ServerUpdates();
  ServerUpdates(const ServerUpdates&) = delete;
  ServerUpdates& operator=(const ServerUpdates&) = delete;

  // The sections as read; each server gets its settings by its name, now and whenever the list
  // changes (Reassign).
  void SetOptions(UpdateOptions options);
  void Reassign();
  const UpdateSettings& SettingsOf(std::size_t i) const;
  // Whether any server's settings are on.
  bool AnyOn() const;
  // The runner of the update commands (the program's); none: no update can be made.
  void SetRunner(ICommandRunner* runner) { runner_ = runner; }
  // Where the servers' output files lie (with its trailing separator); empty: output discarded.
  void SetOutputFolder(Path folder) { outputFolder_ = std::move(folder); }

  // An update exists for the server: it and the servers of its installation become pending.
  // Nothing for a server whose settings are off, paused, held after an update, or pending or
  // updating already; a notice again soon after a made update is logged once.
  void NoteAvailable(ServerId id, UpdateSource source, std::string detail);
  // Why the operator's update cannot be made on the server ("" when it can).
  std::string Refusal(std::size_t i) const;
  // The operator's update `minutes` from now, warned beforehand: when it is due.
  WallTime PlanByOperator(std::size_t i, int minutes);
  // The operator's update now: the server's installation is stopped at once.
  UpdateBegun BeginByOperator(std::size_t i);

  // One cycle's step: warnings, updates begun, stops looked at, update commands run.
  void Step();
  // Whether the server's installation is being updated (stopping or running the command).
  bool Busy(std::size_t i) const;

 private:
  struct Job {
    std::uint64_t id = 0;
    Path folder;
    std::vector<ServerId> members;
    UpdateSettings settings;
    bool running = false;
  };
  struct Warned {
    WallTime due = 0;
    std::size_t leads = 0;  // lead times handled
  };

  // The servers of the folder an update is made for: settings on, not paused, by row.
  std::vector<std::size_t> Members(const Path& folder) const;
  void MarkPending(std::size_t i, UpdateSource source, const std::string& detail, WallTime dueBy);
  void Warn(std::size_t i, WallTime now);
  UpdateBegun Begin(const Path& folder);
  // A stopping installation looked at: the command run once every process ended.
  void Progress(Job& job);
  void Ended(std::uint64_t id, const CommandEnd& end);
  // The installation's servers after its update: results set, logged, told, and started.
  void Finish(const Job& job, UpdateStatus::Result result, const std::string& detail, const std::u16string& line);
  int MinuteSeconds() const;

  Servers& servers_;
  UpdateOptions options_;
  std::map<ServerId, UpdateSettings> settings_;
  std::map<ServerId, Warned> warned_;
  std::map<ServerId, WallTime> heldNoticeSaid_;  // the hold a notice again was said for
  std::vector<Job> jobs_;
  std::uint64_t nextJob_ = 1;
  ICommandRunner* runner_ = nullptr;
  bool noRunnerSaid_ = false;
  Path outputFolder_;
  // The commands' ends come later: one after this is gone finds nothing.
  std::shared_ptr<ServerUpdates*> self_;
};

}  // namespace tervane
