// kesp.ini in the data folder (beside the program on Windows), read at start-up: the planned
// restarts it sets, given to the monitor's servers, and the observers it turns on, hooked into
// the monitor. Nothing when the file is absent.
#pragma once

#include <memory>

#include "observe/observatory.h"
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

// The planned restarts' sections alone, for a command line that talks to a server itself (its
// passwords and dialects); their problems are the running kesp's to say.
RestartOptions LoadRestartOptions(const Path& optionsFile = {});

}  // namespace tervane
