// kesp as a systemd service: the unit it installs for itself, and what it tells the service
// manager while it runs (ready after the first cycle, a watchdog keep-alive each cycle, stopping).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tervane {

struct UnitOptions {
  std::string executable;  // kesp's full path
  std::string folder;      // its data folder, given to it with --dir
  bool user = false;       // a unit of the user's own service manager
};

// The unit's text: Type=notify, WatchdogSec, KillMode=process (the servers outlive a restart of
// the monitor), Restart=on-failure.
std::string UnitText(const UnitOptions& options);

// "kesp service install [--user]" and "kesp service uninstall [--user]": writes or removes the
// unit "tervane.service", enables or disables it through systemctl, and says what it did.
int RunServiceCommand(const std::vector<std::string>& args, const std::string& executable, const std::string& folder,
                      std::ostream& out, std::ostream& err);

// The notifications; each does nothing unless systemd started kesp with a notify socket.
void NotifyReady(const std::string& status);
void NotifyWatchdog();
void NotifyStopping();

}  // namespace tervane
