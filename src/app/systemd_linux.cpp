#include "app/systemd_linux.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

namespace tervane {

namespace {

constexpr char kUnitName[] = "tervane.service";
// systemd restarts a monitor that sends no keep-alive for this long: several cycles of 4 s.
constexpr int kWatchdogSeconds = 30;
// Descriptors for kesp: enough for many servers and its doors (it raises its soft limit to this).
constexpr int kDescriptorLimit = 65536;

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

std::filesystem::path UnitPath(bool user, const ServicePlaces& places) {
  if (!user) return std::filesystem::path(places.systemUnits) / kUnitName;
  if (!places.userUnits.empty()) return std::filesystem::path(places.userUnits) / kUnitName;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::filesystem::path base = config && *config ? std::filesystem::path(config)
                                                       : std::filesystem::path(home ? home : "") / ".config";
  return base / "systemd" / "user" / kUnitName;
}

// A user of this system: its name and its primary group's name (the number when the group has
// none).
struct Account {
  std::string user;
  std::string group;
  uid_t uid = 0;
  gid_t gid = 0;
};

std::optional<Account> FindAccount(const std::string& name) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (name.empty() || ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::nullopt;
  Account account{found->pw_name, std::to_string(found->pw_gid), found->pw_uid, found->pw_gid};
  std::vector<char> groupBuffer(16384);
  group g{};
  group* primary = nullptr;
  if (::getgrgid_r(found->pw_gid, &g, groupBuffer.data(), groupBuffer.size(), &primary) == 0 && primary)
    account.group = primary->gr_name;
  return account;
}

// Whether the account may write the folder, by its mode and owner (kesp keeps its lock, its list
// and its logs there).
bool MayWrite(const Account& account, const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return false;
  if (account.uid == 0) return true;
  if (st.st_uid == account.uid) return (st.st_mode & S_IWUSR) != 0;
  if (st.st_gid == account.gid) return (st.st_mode & S_IWGRP) != 0;
  return (st.st_mode & S_IWOTH) != 0;
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
         "WorkingDirectory=" + UnitValue(o.folder) + "\n" +
         (o.runAs.empty() ? std::string()
                          : "# kesp, and so every game server it starts, runs as this user.\n"
                            "User=" + UnitValue(o.runAs) + "\n"
                            "Group=" + UnitValue(o.runAsGroup) + "\n") +
         "LimitNOFILE=" + std::to_string(kDescriptorLimit) + "\n"
         "WatchdogSec=" + std::to_string(kWatchdogSeconds) + "\n"
         "# Only kesp is stopped or restarted: the game servers it started keep running.\n"
         "KillMode=process\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "\n"
         "[Install]\n"
         "WantedBy=" + (o.user ? "default.target" : "multi-user.target") + "\n";
}

int RunServiceCommand(const ServiceRequest& request, const std::string& executable, const std::string& folder,
                      std::ostream& out, std::ostream& err, const ServicePlaces& places) {
  const bool install = request.install, user = request.user;
  const std::optional<std::string>& as = request.as;
  if (user && as) {
    err << "kesp: --as is for the system's service manager; a unit of your own (--user) runs as you\n";
    return 2;
  }
  std::error_code ec;
  const bool systemd = std::filesystem::is_directory(places.systemdRuntime, ec);
  if (!systemd && install) {
    err << "kesp: systemd is not running on this machine (no " << places.systemdRuntime
        << "): no unit was installed; run kesp in the foreground or under another supervisor\n";
    return 1;
  }
  UnitOptions options{executable, folder, user, {}, {}};
  if (as) {
    const std::optional<Account> account = FindAccount(*as);
    if (!account) {
      err << "kesp: there is no user '" << *as << "' on this system; nothing was installed\n";
      return 1;
    }
    options.runAs = account->user;
    options.runAsGroup = account->group;
    if (!MayWrite(*account, folder))
      err << "kesp: warning: " << account->user << " may not write " << folder
          << " (its list, lock and logs lie there): 'chown -R " << account->user << " " << folder << "'\n";
  }
  const std::filesystem::path unit = UnitPath(user, places);
  if (install) {
    std::filesystem::create_directories(unit.parent_path(), ec);
    std::ofstream file(unit, std::ios::binary | std::ios::trunc);
    file << UnitText(options);
    file.close();
    if (!file) {
      err << "kesp: cannot write " << unit.string() << "\n";
      std::filesystem::remove(unit, ec);
      return 1;
    }
    out << "wrote " << unit.string() << " for " << executable
        << (options.runAs.empty() ? std::string() : " to run as " + options.runAs) << "\n";
    if (Systemctl(user, "daemon-reload", out, err) != 0 ||
        Systemctl(user, std::string("enable --now ") + kUnitName, out, err) != 0) {
      // A unit the service manager did not take is not left behind.
      std::filesystem::remove(unit, ec);
      err << "kesp: removed " << unit.string() << " again\n";
      return 1;
    }
    out << "kesp runs as the service " << kUnitName << "; 'systemctl" << (user ? " --user" : "")
        << " status " << kUnitName << "' shows it\n";
    return 0;
  }
  if (!std::filesystem::exists(unit, ec)) {
    err << "kesp: no unit " << unit.string() << " is installed\n";
    return 1;
  }
  // Stopping the service ends only kesp; the servers keep running. Without systemd there is
  // nothing to stop, only the file to remove.
  if (systemd) Systemctl(user, std::string("disable --now ") + kUnitName, out, err);
  std::filesystem::remove(unit, ec);
  if (ec) {
    err << "kesp: cannot remove " << unit.string() << ": " << ec.message() << "\n";
    return 1;
  }
  out << "removed " << unit.string() << "\n";
  return !systemd || Systemctl(user, "daemon-reload", out, err) == 0 ? 0 : 1;
}

bool NotifyServiceManager(const std::string& message) {
  // The service manager's protocol: one datagram to the socket named in NOTIFY_SOCKET, a path
  // or, after '@', an abstract address. No socket named: not under a service manager.
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (!name || (name[0] != '/' && name[0] != '@')) return false;
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(name);
  if (length >= sizeof to.sun_path) return false;
  std::memcpy(to.sun_path, name, length);
  if (name[0] == '@') to.sun_path[0] = '\0';
  // One socket for the whole run: the keep-alive comes every cycle. Never waited on: a service
  // manager that does not read must not stop the supervision (a keep-alive lost is sent again
  // next cycle).
  static const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/' ? 1 : 0));
  return ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), size) ==
         static_cast<ssize_t>(message.size());
}

void NotifyReady(const std::string& status) { NotifyServiceManager("READY=1\nSTATUS=" + status); }
void NotifyWatchdog() { NotifyServiceManager("WATCHDOG=1"); }
void NotifyStopping() { NotifyServiceManager("STOPPING=1"); }

}  // namespace tervane
