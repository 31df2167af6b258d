// kesp as a systemd service: the unit it installs for itself, and what it tells the service
// manager while it runs (ready after the first cycle, a watchdog keep-alive each cycle, stopping).
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tervane {

struct UnitOptions {
  std::string executable;  // kesp's full path
  std::string folder;      // its data folder, given to it with --dir
  bool user = false;       // a unit of the user's own service manager
  std::string runAs{};     // the user kesp (and so every server) runs as; empty: the manager's own
  std::string runAsGroup{};  // that user's primary group
};

// The unit's text: Type=notify, WatchdogSec, KillMode=process (the servers outlive a restart of
// the monitor), Restart=on-failure, LimitNOFILE=65536, and User=/Group= when it runs as a user.
std::string UnitText(const UnitOptions& options);

// Where the service command looks; the tests give folders of their own.
struct ServicePlaces {
  std::string systemdRuntime = "/run/systemd/system";  // there while systemd runs the machine
  std::string systemUnits = "/etc/systemd/system";
  std::string userUnits;  // empty: $XDG_CONFIG_HOME/systemd/user, or ~/.config/systemd/user
};

// "kesp service install [--user | --as USER]" and "kesp service uninstall [--user]": writes or
// removes the unit "tervane.service", enables or disables it through systemctl, and says what it
// did. Without systemd, or for a user the system does not know, it says so and leaves no unit.
struct ServiceRequest {
  bool install = false;              // else uninstall
  bool user = false;                 // --user
  std::optional<std::string> as{};   // --as USER
};
int RunServiceCommand(const ServiceRequest& request, const std::string& executable, const std::string& folder,
                      std::ostream& out, std::ostream& err, const ServicePlaces& places = {});

// Sends one message of the notification protocol ("READY=1", "WATCHDOG=1"...) to the socket
// NOTIFY_SOCKET names; false when none is named or the datagram did not go.
bool NotifyServiceManager(const std::string& message);

// The notifications; each does nothing unless systemd started kesp with a notify socket.
void NotifyReady(const std::string& status);
void NotifyWatchdog();
void NotifyStopping();

}  // namespace tervane
