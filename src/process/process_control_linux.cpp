// Server process control on Linux: the process list is /proc, a process's executable is the
// target of /proc/<pid>/exe, file identity is (st_dev, st_ino), and servers are started with
// posix_spawn in a session of their own. Linux has no console window and no fatal-error
// dialog, so the window operations find nothing and do nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "process/process_control.h"
#include "support/file.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

extern char** environ;

namespace tervane {
namespace {

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const Identity&) const = default;
};

// A folder is never the same file as anything, as on Windows, where it cannot be opened as one.
std::optional<Identity> IdentityOf(const char* path) {
  struct stat st {};
  if (::stat(path, &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  return Identity{st.st_dev, st.st_ino};
}

// "/proc/<pid>" or "/proc/<pid>/<leaf>" without allocating.
class ProcPath {
 public:
  ProcPath(pid_t pid, const char* leaf) {
    std::snprintf(text_, sizeof text_, "/proc/%d/%s", static_cast<int>(pid), leaf);
  }
  const char* c_str() const { return text_; }

 private:
  char text_[64];
};

// The identity of the file a process runs, through the kernel's own link, so that it holds
// whatever path the process was started by.
std::optional<Identity> ProcessIdentity(pid_t pid) {
  return IdentityOf(ProcPath(pid, "exe").c_str());
}

// The executable path of a process; false for kernel threads, other users' processes (without
// the right to look) and processes that are ending.
bool ReadExecutable(pid_t pid, std::string& path) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(ProcPath(pid, "exe").c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
  path.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

std::string_view BaseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The number a /proc entry stands for, or 0 for the entries that are no process.
pid_t ParsePid(const char* name) {
  long value = 0;
  if (*name == '\0') return 0;
  for (const char* c = name; *c; ++c) {
    if (*c < '0' || *c > '9') return 0;
    value = value * 10 + (*c - '0');
    if (value > INT_MAX) return 0;
  }
  return static_cast<pid_t>(value);
}

// Calls visit(id) for every numeric entry of folder, in directory order, while it answers true.
template <typename Visit>
void ForEachNumericEntry(const char* folder, Visit visit) {
  const UniqueDir dir(::opendir(folder));
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const pid_t id = ParsePid(entry->d_name);
    if (id > 0 && !visit(id)) break;
  }
}

// Priority and affinity belong to each thread on Linux, so they are set on every one.
template <typename Apply>
void ForEachThread(pid_t pid, Apply apply) {
  ForEachNumericEntry(ProcPath(pid, "task").c_str(), [&](pid_t tid) {
    apply(tid);
    return true;
  });
}

// Normal, High and Real Time as nice values.
int NiceOf(std::uint8_t priority) {
  if (priority == 0) return 0;
  if (priority == 1) return -10;
  return -20;
}

void ApplyPriority(pid_t pid, std::uint8_t priority) {
  const int nice = NiceOf(priority);
  ForEachThread(pid, [&](pid_t tid) { ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice); });
}

// Bit n allows processor n. A mask the system refuses (0, or only absent processors) leaves
// the process as it is.
void ApplyAffinity(pid_t pid, std::uint32_t affinity) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < 32; ++cpu) {
    if ((affinity >> cpu) & 1u) CPU_SET(cpu, &set);
  }
  ForEachThread(pid, [&](pid_t tid) { ::sched_setaffinity(tid, sizeof set, &set); });
}

// The server's executable as the search needs it: its path, its file name and its identity.
struct Target {
  std::string path;
  std::string_view name;  // into path
  Identity identity;
};

std::optional<Target> TargetOf(const Path& fileName) {
  Target target;
  target.path = Utf16ToUtf8(fileName);
  const auto identity = IdentityOf(target.path.c_str());
  if (!identity) return std::nullopt;  // no process can run a file that is not there
  target.identity = *identity;
  target.name = BaseName(target.path);
  return target;
}

// A process is a candidate when the file name of its executable is the file name of the
// server's executable (which is the whole path when it names no folder). Names are compared
// exactly: on Linux two names that differ in letter case are two names, so a link under a
// name that differs only in case is a link under another name.
bool IsCandidate(std::string_view executable, const Target& target) {
  return BaseName(executable) == target.name;
}

struct Found {
  pid_t pid = 0;
  Identity identity;
};

// The process list of one supervision cycle: taken once, then used by every search of the
// cycle. The identities are read when a search first needs them.
struct Snapshot {
  struct Entry {
    pid_t pid = 0;
    bool identityRead = false;
    std::optional<Identity> identity;
  };
  std::vector<Entry> entries;                                  // directory order
  std::unordered_map<std::string, std::vector<std::size_t>> byName;  // in directory order
};

class LinuxProcessControl final : public IProcessControl {
 public:
  explicit LinuxProcessControl(ProcessControlOptions options) : options_(std::move(options)) {
    if (!options_.outputFolder.empty() && options_.outputFolder.back() != u'/')
      options_.outputFolder.push_back(u'/');
  }

  bool IsSameFile(const Path& a, const Path& b) override {
    const auto first = IdentityOf(Utf16ToUtf8(a).c_str());
    if (!first) return false;
    const auto second = IdentityOf(Utf16ToUtf8(b).c_str());
    return second && *first == *second;
  }

  bool IsServerRunning(const Path& fileName) override {
    return FindServerProcess(fileName).has_value();
  }

  std::uint32_t StartServerProcess(const Path& fileName, const std::u16string& params,
                                   std::uint8_t priority, bool hide,
                                   std::uint32_t affinity) override;

  void TerminateServerProcess(const Path& fileName) override {
    ActOnServer(fileName, [](const Found& found) { return KillIfStillServer(found); });
    snapshot_.reset();  // the list no longer holds
  }

  void SetServerPriority(const Path& fileName, std::uint8_t priority) override {
    ActOnServer(fileName, [&](const Found& found) {
      if (!IsStillServer(found)) return false;
      ApplyPriority(found.pid, priority);
      return true;
    });
  }

  void SetServerAffinity(const Path& fileName, std::uint32_t affinity) override {
    ActOnServer(fileName, [&](const Found& found) {
      if (!IsStillServer(found)) return false;
      ApplyAffinity(found.pid, affinity);
      return true;
    });
  }

  // No process has a console window here; the search is not even needed.
  WindowHandle FindServerConsoleWindow(const Path&) override { return 0; }
  Path GetWindowProcessPath(WindowHandle) override { return {}; }
  WindowHandle FindFatalErrorWindow() override { return 0; }
  std::u16string ReadFatalErrorMessage(WindowHandle) override { return {}; }
  void CloseWindow(WindowHandle) override {}
  void SetWindowTitle(WindowHandle, const std::u16string&) override {}
  bool IsIconic(WindowHandle) override { return false; }
  void ShowWindow(WindowHandle, int) override {}

  void Sleep(unsigned milliseconds) override {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  // The list is taken at the first search of the cycle, so a cycle with nothing to look up
  // costs nothing.
  void BeginCycle() override {
    inCycle_ = true;
    snapshot_.reset();
  }

  void EndCycle() override {
    inCycle_ = false;
    snapshot_.reset();
  }

 private:
  static bool IsStillServer(const Found& found) {
    return ProcessIdentity(found.pid) == found.identity;
  }

  // Ends the process only if it still runs the server's executable. Through a pidfd the check
  // and the signal reach the same process even if the id is reused in between.
  static bool KillIfStillServer(const Found& found) {
    const UniqueFd pidfd(::pidfd_open(found.pid, 0));
    if (pidfd) {
      const bool still = IsStillServer(found);
      if (still) ::pidfd_send_signal(pidfd.get(), SIGKILL, nullptr, 0);
      return still;
    }
    if (errno == ESRCH) return false;
    if (!IsStillServer(found)) return false;  // a kernel without pidfds
    ::kill(found.pid, SIGKILL);
    return true;
  }

  // Finds the server's process and acts on it. Inside a cycle the process found may have
  // ended, or its id may have been taken by another program, since the list was taken; the
  // action then answers false, and one new list decides.
  template <typename Action>
  void ActOnServer(const Path& fileName, Action action) {
    auto found = FindServerProcess(fileName);
    if (!found || action(*found) || !inCycle_) return;
    snapshot_.reset();
    found = FindServerProcess(fileName);
    if (found) action(*found);
  }

  std::optional<Found> FindServerProcess(const Path& fileName) {
    const auto target = TargetOf(fileName);
    if (!target) return std::nullopt;
    return inCycle_ ? FindInSnapshot(*target) : FindInProc(*target);
  }

  // The first process, in /proc order, whose executable is the server's file.
  std::optional<Found> FindInProc(const Target& target) {
    ReapChildren();
    std::optional<Found> found;
    std::string executable;
    ForEachNumericEntry("/proc", [&](pid_t pid) {
      if (!ReadExecutable(pid, executable) || !IsCandidate(executable, target)) return true;
      if (ProcessIdentity(pid) != target.identity) return true;
      found = Found{pid, target.identity};
      return false;
    });
    return found;
  }

  std::optional<Found> FindInSnapshot(const Target& target) {
    if (!snapshot_) TakeSnapshot();
    const auto candidates = snapshot_->byName.find(std::string(target.name));
    if (candidates == snapshot_->byName.end()) return std::nullopt;
    for (std::size_t index : candidates->second) {
      Snapshot::Entry& entry = snapshot_->entries[index];
      if (!entry.identityRead) {
        entry.identity = ProcessIdentity(entry.pid);
        entry.identityRead = true;
      }
      if (entry.identity == target.identity) return Found{entry.pid, target.identity};
    }
    return std::nullopt;
  }

  void TakeSnapshot() {
    ReapChildren();
    snapshot_.emplace();
    std::string executable;
    ForEachNumericEntry("/proc", [&](pid_t pid) {
      if (!ReadExecutable(pid, executable)) return true;
      snapshot_->byName[std::string(BaseName(executable))].push_back(snapshot_->entries.size());
      snapshot_->entries.push_back({pid, false, std::nullopt});
      return true;
    });
  }

  // The servers this monitor started are its children: an ended one is collected here, before
  // each look at the process list, so that none stays behind as a zombie. Only our own
  // children are waited for, so other code that waits for its children is not disturbed.
  void ReapChildren() {
    for (std::size_t i = 0; i < children_.size();) {
      int status = 0;
      const pid_t result = ::waitpid(children_[i], &status, WNOHANG);
      if (result == children_[i] || (result < 0 && errno == ECHILD)) {
        children_[i] = children_.back();
        children_.pop_back();
      } else {
        ++i;
      }
    }
  }

  // Where the server's standard output and error go: appended to its output file, or
  // discarded when there is none. The descriptor is close-on-exec and above 2.
  [[nodiscard]] UniqueFd OpenOutput(const Path& fileName) const {
    UniqueFd fd;
    if (!options_.outputFolder.empty()) {
      CreateDirectories(options_.outputFolder);
      const std::string path = Utf16ToUtf8(ServerOutputFile(options_.outputFolder, fileName));
      fd.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
    }
    if (!fd) fd.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (fd && fd.get() < 3) fd.reset(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    return fd;
  }

  ProcessControlOptions options_;
  bool inCycle_ = false;
  std::optional<Snapshot> snapshot_;
  std::vector<pid_t> children_;
};

std::uint32_t LinuxProcessControl::StartServerProcess(const Path& fileName,
                                                      const std::u16string& params,
                                                      std::uint8_t priority, bool /*hide*/,
                                                      std::uint32_t affinity) {
  snapshot_.reset();  // a new process joins the list
  const std::string executable = Utf16ToUtf8(fileName);
  if (executable.empty()) return ENOENT;

  // The working folder changes before the program is loaded, so a relative path is made
  // absolute first; the program still sees its path as written.
  std::string program = executable;
  if (program.front() != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return static_cast<std::uint32_t>(errno);
    program = std::string(cwd) + "/" + program;
  }
  const std::size_t slash = executable.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : executable.substr(0, slash + 1);

  std::vector<std::string> arguments{executable};
  for (const std::u16string& parameter : SplitParameters(params))
    arguments.push_back(Utf16ToUtf8(parameter));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const UniqueFd output = OpenOutput(fileName);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output) {
    ::posix_spawn_file_actions_adddup2(&actions, output.get(), 1);
    ::posix_spawn_file_actions_adddup2(&actions, output.get(), 2);
  }
  if (!folder.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // Nothing of the monitor's (its socket, its log file) stays open in a server, whether or
  // not it was opened close-on-exec.
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // A session of its own: the server outlives the monitor and its terminal. Signal mask and
  // dispositions start clean, whatever the monitor ignores or blocks.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none;
  ::sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t all;
  ::sigfillset(&all);
  ::sigdelset(&all, SIGKILL);
  ::sigdelset(&all, SIGSTOP);
  ::posix_spawnattr_setsigdefault(&attributes, &all);

  pid_t pid = 0;
  const int result =
      ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return static_cast<std::uint32_t>(result);

  children_.push_back(pid);
  ApplyPriority(pid, priority);
  ApplyAffinity(pid, affinity);
  return 0;
}

}  // namespace

std::unique_ptr<IProcessControl> CreateProcessControl(const ProcessControlOptions& options) {
  return std::make_unique<LinuxProcessControl>(options);
}

}  // namespace tervane
