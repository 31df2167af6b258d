// kesp.ini in the data folder (beside the program on Windows), read at start-up: the observers
// it turns on, hooked into the monitor, with the monitor's commands for the HTTP endpoint.
// Nothing when the file is absent.
#pragma once

#include <memory>

#include "observe/observatory.h"
#include "monitor/monitor.h"

namespace tervane {

// Reads the file (by default kesp.ini in the data folder), logs each problem with it, and
// answers the observers, or nothing when the file is absent or turns nothing on. Call it
// before the monitor's Start; the result must go before the monitor.
std::unique_ptr<Observatory> StartObserving(EventLoop& loop, Monitor& monitor, const Path& optionsFile = {});

}  // namespace tervane
