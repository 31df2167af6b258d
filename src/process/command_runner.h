// The admin's own commands that kesp.ini names (a game update, an update check): run through the
// system's shell in a folder, their output appended to a file, within a time limit past which
// the command and everything it started are ended together. One interface, a Linux half (a
// process group of its own) and a Windows half (a job object).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "support/file.h"

namespace tervane {

class EventLoop;

struct CommandJob {
  std::string command;  // UTF-8; given to /bin/sh -c on Linux, to cmd.exe /c on Windows
  Path folder;          // the folder it runs in
  Path output;          // its standard output and error are appended here; empty: discarded
  std::chrono::seconds limit{900};
};

struct CommandEnd {
  enum class How : std::uint8_t {
    Exited,      // it ended by itself: exitCode
    TimedOut,    // it passed its limit and was ended, with all it started
    NotStarted,  // the system refused to start it: error
    Abandoned,   // the runner was closed while it ran (the program ends): ended too
  };
  How how = How::NotStarted;
  int exitCode = -1;
  std::string error;
  std::chrono::milliseconds took{0};
};

class ICommandRunner {
 public:
  virtual ~ICommandRunner() = default;
  using Done = std::function<void(const CommandEnd&)>;
  // Starts the job; done runs once, later, on the loop's thread (never inside Start).
  virtual void Start(CommandJob job, Done done) = 0;
  // How many jobs run now.
  virtual std::size_t Running() const = 0;
  // Ends every job that runs, as at its limit, and waits for their ends; their done is not
  // called. For the program's end: nothing it started is left running.
  virtual void EndAll() = 0;
};

std::unique_ptr<ICommandRunner> MakeCommandRunner(EventLoop& loop);

}  // namespace tervane
