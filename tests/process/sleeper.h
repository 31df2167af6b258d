// The stand-in program the process-control tests start: it sleeps until it is killed (or its
// lifetime ends), and on request starts threads, reports its working folder and arguments,
// writes to its output, and on Windows opens a console-like window and a fatal-error dialog.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tervane::sleeper {

struct Options {
  int lifeSeconds = 120;  // a stray sleeper never outlives this
  int threads = 0;        // extra threads besides the main one
  std::string report;     // file (relative to the working folder) for the report
  std::string say;        // written once to standard output and once to standard error
  bool console = false;   // a top-level window of class "ConsoleWindowClass"
  bool decoy = false;     // a top-level window of a class that only starts like it
  bool fatal = false;     // a window captioned "Fatal error - Dedicated server"
  std::vector<std::string> statics;  // its "Static" children, in order
  std::string messageBox;            // a real message box with that caption and text instead
  bool hang = false;                 // stop answering messages once the windows exist
  std::vector<std::string> execOnSignal;  // POSIX: on SIGUSR1 become this program
  int spewMBps = 0;                       // lines written to standard output at this rate, until the end
};

using Deadline = std::chrono::steady_clock::time_point;

// Platform halves.
void Prepare(const Options& options);
void WaitUntil(const Options& options, Deadline deadline);
// The command line as the system handed it over (empty where there is none).
std::string RawCommandLine();

}  // namespace tervane::sleeper
