// kesp.ini in the data folder (beside the program on Windows), read at start-up: the planned
// restarts it sets, given to the monitor's servers, and the observers it turns on, hooked into
// the monitor. Nothing when the file is absent.
#pragma once

#include <memory>

#include "observe/observatory.h"
#include "observe/update_checks.h"
#include "monitor/monitor.h"
#include "process/command_runner.h"

namespace tervane {

// Reads the file (by default kesp.ini in the data folder) once, logs each problem with it,
// gives the monitor its planned restarts and game updates, and answers the observers, or nothing
// when the file is absent or turns none on. When it names an UpdateCommand, the runner of the
// update commands is made into commandRunner (the caller's: it must come before the monitor and
// go after it, ended with EndAll when the program ends) and given to the monitor. Call it before
// the first cycle; the result must go before the monitor.
std::unique_ptr<Observatory> StartObserving(EventLoop& loop, Monitor& monitor, const Path& optionsFile = {},
                                            std::unique_ptr<ICommandRunner>* commandRunner = nullptr);

// How the servers learn of a game update (their notices, UpdateCheckUrl, UpdateCheckCommand),
// looked at after each cycle and told to the monitor; made only when kesp.ini named an update
// command (the runner is there), nothing otherwise. outputFolder: where the servers' captured
// output lies (Linux), empty where there is none. Made after the monitor and gone before it.
class UpdateWatch {
 public:
  UpdateWatch(EventLoop& loop, Monitor& monitor, ICommandRunner& runner, Path outputFolder);
  ~UpdateWatch();
  UpdateWatch(const UpdateWatch&) = delete;
  UpdateWatch& operator=(const UpdateWatch&) = delete;

 private:
  Monitor& monitor_;
  UpdateChecks checks_;
  int cycleObserver_ = 0;
};
std::unique_ptr<UpdateWatch> StartUpdateChecks(EventLoop& loop, Monitor& monitor, ICommandRunner* runner,
                                               const Path& outputFolder);

// The planned restarts' sections alone, for a command line that talks to a server itself (its
// passwords and dialects); their problems are the running kesp's to say.
RestartOptions LoadRestartOptions(const Path& optionsFile = {});

}  // namespace tervane
