// Starting a server on Linux: posix_spawn, with the arguments split from its run parameters,
// in the executable's folder and a session of its own (the server outlives the monitor and its
// terminal), its standard input from /dev/null and its output appended to its output file,
// which the output cap keeps within its limit. The marker of the server is put in its
// environment. The servers started are the monitor's children until they are collected.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "process/output_cap_linux.h"
#include "support/expected.h"
#include "support/file.h"
#include "support/unique_handle_posix.h"

namespace tervane {

// How kesp starts every program of its own (a server, an admin's command) with posix_spawn:
// standard input from /dev/null, output and errors to `output` (when open), in `folder` (when
// given), none of kesp's descriptors, a session of its own, signals as a new program has them,
// and kesp's environment without any server's marker (with `marker` in its place when given).
// Answers 0 with the process id, or the system's error code.
int SpawnOwnProgram(pid_t& pid, const char* path, char* const argv[], int output, const std::string& folder,
                    const std::string& marker);

class ServerLauncher {
 public:
  // outputFolder: where the output files lie (empty: a server's output is discarded).
  ServerLauncher(Path outputFolder, std::uint64_t outputLimit);

  // Starts the server's executable with its run parameters: its process id. Does not wait.
  [[nodiscard]] Expected<pid_t> Start(const Path& fileName, const std::u16string& params);

  // The file the server's output is appended to; empty without an output folder.
  [[nodiscard]] std::string OutputFileOf(const Path& fileName) const;
  // The output files of the servers seen running stay within their limit, kept so by the cap's
  // own thread; those not kept since the last sweep are let go.
  void KeepOutput(const std::string& outputFile) { outputCap_.Keep(outputFile); }
  void SweepOutputs() { outputCap_.Sweep(); }

  // Collects the servers started here that have ended, so that none stays behind as a zombie.
  // Only these children are waited for: other code that waits for its children is not
  // disturbed.
  void ReapChildren();

 private:
  // Where the server's standard output and error go: appended to its output file, or
  // discarded. The descriptor is close-on-exec and above 2.
  [[nodiscard]] UniqueFd OpenOutput(const Path& fileName);

  Path outputFolder_;
  std::vector<pid_t> children_;
  OutputCap outputCap_;  // last: its thread ends before the rest goes
};

}  // namespace tervane
