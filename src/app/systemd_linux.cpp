#include "app/systemd_linux.h"

#include <systemd/sd-daemon.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tervane {

namespace {

constexpr char kUnitName[] = "tervane.service";
// systemd restarts a monitor that sends no keep-alive for this long: several cycles of 4 s.
constexpr int kWatchdogSeconds = 30;

// A value in a unit file: '%' starts a specifier and must be doubled.
std::string UnitValue(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

// A path in ExecStart: quoted, with the characters systemd treats specially escaped.
std::string ExecPath(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '$') out += '$';
    out += c == '%' ? std::string("%%") : std::string(1, c);
  }
  return out + "\"";
}

std::filesystem::path UnitPath(bool user) {
  if (!user) return std::filesystem::path("/etc/systemd/system") / kUnitName;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::filesystem::path base = config && *config ? std::filesystem::path(config)
                                                       : std::filesystem::path(home ? home : "") / ".config";
  return base / "systemd" / "user" / kUnitName;
}

int Systemctl(bool user, const std::string& arguments, std::ostream& out, std::ostream& err) {
  const std::string command = std::string("systemctl") + (user ? " --user " : " ") + arguments;
  out << "  " << command << "\n";
  const int status = std::system((command + " 2>&1").c_str());
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  if (code != 0) err << "kesp: '" << command << "' failed (exit code " << code << ")\n";
  return code;
}

}  // namespace

std::string UnitText(const UnitOptions& o) {
  return "[Unit]\n"
         "Description=Tervane game server watchdog (" + UnitValue(o.folder) + ")\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         "ExecStart=" + ExecPath(o.executable) + " --dir " + ExecPath(o.folder) + "\n"
         "WorkingDirectory=" + UnitValue(o.folder) + "\n"
         "WatchdogSec=" + std::to_string(kWatchdogSeconds) + "\n"
         "# Only kesp is stopped or restarted: the game servers it started keep running.\n"
         "KillMode=process\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "\n"
         "[Install]\n"
         "WantedBy=" + (o.user ? "default.target" : "multi-user.target") + "\n";
}

int RunServiceCommand(const std::vector<std::string>& args, const std::string& executable, const std::string& folder,
                      std::ostream& out, std::ostream& err) {
  const bool install = args.size() >= 2 && args[1] == "install";
  const bool uninstall = args.size() >= 2 && args[1] == "uninstall";
  const bool user = args.size() == 3 && args[2] == "--user";
  if ((!install && !uninstall) || (args.size() == 3 && !user) || args.size() > 3) {
    err << "usage: kesp service install [--user] | kesp service uninstall [--user]\n";
    return 2;
  }
  const std::filesystem::path unit = UnitPath(user);
  std::error_code ec;
  if (install) {
    std::filesystem::create_directories(unit.parent_path(), ec);
    std::ofstream file(unit, std::ios::binary | std::ios::trunc);
    file << UnitText(UnitOptions{executable, folder, user});
    file.close();
    if (!file) {
      err << "kesp: cannot write " << unit.string() << "\n";
      return 1;
    }
    out << "wrote " << unit.string() << " for " << executable << "\n";
    if (Systemctl(user, "daemon-reload", out, err) != 0) return 1;
    if (Systemctl(user, std::string("enable --now ") + kUnitName, out, err) != 0) return 1;
    out << "kesp runs as the service " << kUnitName << "; 'systemctl" << (user ? " --user" : "")
        << " status " << kUnitName << "' shows it\n";
    return 0;
  }
  if (!std::filesystem::exists(unit, ec)) {
    err << "kesp: no unit " << unit.string() << " is installed\n";
    return 1;
  }
  // Stopping the service ends only kesp; the servers keep running.
  Systemctl(user, std::string("disable --now ") + kUnitName, out, err);
  std::filesystem::remove(unit, ec);
  if (ec) {
    err << "kesp: cannot remove " << unit.string() << ": " << ec.message() << "\n";
    return 1;
  }
  out << "removed " << unit.string() << "\n";
  return Systemctl(user, "daemon-reload", out, err) == 0 ? 0 : 1;
}

void NotifyReady(const std::string& status) { sd_notify(0, ("READY=1\nSTATUS=" + status).c_str()); }
void NotifyWatchdog() { sd_notify(0, "WATCHDOG=1"); }
void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace tervane
