#include <signal.h>
#include <unistd.h>

#include <thread>

#include "sleeper.h"

namespace tervane::sleeper {
namespace {

std::vector<std::string> gProgram;
std::vector<char*> gArgv;

void BecomeOtherProgram(int) {
  if (!gArgv.empty() && gArgv.front()) ::execv(gArgv.front(), gArgv.data());
}

}  // namespace

void Prepare(const Options& options) {
  if (options.execOnSignal.empty()) return;
  gProgram = options.execOnSignal;
  for (std::string& part : gProgram) gArgv.push_back(part.data());
  gArgv.push_back(nullptr);
  struct sigaction action {};
  action.sa_handler = BecomeOtherProgram;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, nullptr);
}

void WaitUntil(const Options&, Deadline deadline) { std::this_thread::sleep_until(deadline); }

std::string RawCommandLine() { return {}; }

}  // namespace tervane::sleeper
