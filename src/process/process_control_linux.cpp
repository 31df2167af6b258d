// Server process control on Linux: the process list is /proc, a process's executable is the
// target of /proc/<pid>/exe, file identity is (st_dev, st_ino), and servers are started with
// posix_spawn in a session of their own. Linux has no console window and no fatal-error
// dialog: the windows of the servers' processes are not offered.
//
// Three parts, kept apart so that each can move to a file of its own: the reading of /proc
// (ProcReader, which tells an answer from a look the system refused), the deciding of which
// process is a server's (the Target and the search), and the starting of servers.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
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

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "process/output_cap_linux.h"
#include "process/process_control.h"
#include "support/descriptors.h"
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

// ----------------------------------------------------------------------------- reading /proc

// Every look at the processes goes through here. A failure that answers the question (the
// process ended meanwhile, it belongs to another user, the file is not there) is an answer;
// any other (descriptors or memory exhausted, /proc unreadable) spoils the look: it is kept as
// the reader's error, and the look then answers "unknown" instead of "not running".
class ProcReader {
 public:
  explicit ProcReader(std::function<std::uint32_t(LookCall)> fail) : fail_(std::move(fail)) {}

  // The first failure since the last Clear, or 0.
  int Error() const { return error_; }
  void Clear() { error_ = 0; }

  // Calls visit(pid) for every process, in directory order, while it answers true; false when
  // the list could not be read whole.
  template <typename Visit>
  bool ForEachProcess(Visit visit) {
    if (!Allowed(LookCall::ProcessList)) return Failed(errno, LookCall::ProcessList);
    const UniqueDir dir(::opendir("/proc"));
    if (!dir) return Failed(errno, LookCall::ProcessList);
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (!entry) return errno == 0 || Failed(errno, LookCall::ProcessList);
      const pid_t id = ParsePid(entry->d_name);
      if (id > 0 && !visit(id)) return true;
    }
  }

  // The same for the threads of a process (none when it ended).
  template <typename Visit>
  void ForEachThread(pid_t pid, Visit visit) {
    if (!Allowed(LookCall::ProcessDetail)) return static_cast<void>(Failed(errno));
    const UniqueDir dir(::opendir(ProcPath(pid, "task").c_str()));
    if (!dir) return static_cast<void>(Failed(errno));
    while (const dirent* entry = ::readdir(dir.get())) {
      const pid_t id = ParsePid(entry->d_name);
      if (id > 0 && !visit(id)) return;
    }
  }

  // The target of /proc/<pid>/<leaf> (exe, cwd); false when there is none to read.
  bool ReadLink(pid_t pid, const char* leaf, std::string& out) {
    if (!Allowed(LookCall::ProcessDetail)) return Failed(errno);
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(ProcPath(pid, leaf).c_str(), buffer, sizeof buffer);
    if (n < 0) return Failed(errno);
    if (n == 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
    out.assign(buffer, static_cast<std::size_t>(n));
    return true;
  }

  // The identity of a file (a folder is never the same file as anything, as on Windows, where
  // it cannot be opened as one); none when it is not there.
  std::optional<Identity> IdentityOf(const char* path, LookCall call) {
    struct stat st {};
    if (!Allowed(call) || ::stat(path, &st) != 0) {
      Failed(errno, call);
      return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) return std::nullopt;
    return Identity{st.st_dev, st.st_ino};
  }

  // The identity of the file a process runs, through the kernel's own link, so that it holds
  // whatever path the process was started by.
  std::optional<Identity> ProcessIdentity(pid_t pid) { return IdentityOf(ProcPath(pid, "exe").c_str(), LookCall::ProcessDetail); }

  // The whole of a small /proc file (cmdline, environ, children), at most limit bytes.
  bool ReadFile(pid_t pid, const char* leaf, std::string& out, std::size_t limit = 64 * 1024) {
    out.clear();
    if (!Allowed(LookCall::ProcessDetail)) return Failed(errno);
    const UniqueFd fd(::open(ProcPath(pid, leaf).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return Failed(errno);
    char buffer[4096];
    for (ssize_t n; out.size() < limit;) {
      n = ::read(fd.get(), buffer, sizeof buffer);
      if (n < 0) return Failed(errno);
      if (n == 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return !out.empty();
  }

  // The process-start time (field 22 of /proc/<pid>/stat, in clock ticks since boot): with the
  // id it names one process for good, since an id can be taken again by a later process. 0
  // when it cannot be read.
  std::uint64_t StartTimeOf(pid_t pid) {
    char buffer[1024];
    UniqueFd fd;
    if (Allowed(LookCall::ProcessDetail)) fd.reset(::open(ProcPath(pid, "stat").c_str(), O_RDONLY | O_CLOEXEC));
    const ssize_t n = fd ? ::read(fd.get(), buffer, sizeof buffer - 1) : -1;
    if (n <= 0) {
      Failed(n < 0 ? errno : ESRCH);
      return 0;
    }
    buffer[n] = '\0';
    // The name (field 2) may hold blanks and parentheses: count from the last ')'.
    const char* at = std::strrchr(buffer, ')');
    if (!at) return 0;
    int field = 2;
    for (++at; *at && field < 22; ++at)
      if (*at == ' ') ++field;
    return std::strtoull(at, nullptr, 10);
  }

  // Notes a failure of a system call of the look; answers false. What answers the question is
  // no failure: of a process's entries, that it ended meanwhile (ENOENT, ESRCH, ENOTDIR) or is
  // another user's (EACCES, EPERM); of an executable, that it is not there (ENOENT, ENOTDIR).
  // For the list itself, everything is.
  bool Failed(int code, LookCall call = LookCall::ProcessDetail) {
    const bool gone = code == ENOENT || code == ENOTDIR;
    const bool answer = call == LookCall::ProcessDetail   ? gone || code == ESRCH || code == EACCES || code == EPERM
                        : call == LookCall::ExecutableFile ? gone
                                                           : false;
    if (!answer && error_ == 0) error_ = code != 0 ? code : EIO;
    return false;
  }

  // Whether the test hook lets the call be made; errno says why not.
  bool Allowed(LookCall call) {
    const std::uint32_t refused = fail_ ? fail_(call) : 0;
    if (refused != 0) errno = static_cast<int>(refused);
    return refused == 0;
  }

 private:
  std::function<std::uint32_t(LookCall)> fail_;
  int error_ = 0;
};

// ----------------------------------------------------------------------------- settings

// Normal, High and Real Time as nice values.
int NiceOf(std::uint8_t priority) {
  if (priority == 0) return 0;
  if (priority == 1) return -10;
  return -20;
}

// Priority and affinity belong to each thread on Linux, so they are set on every one. Each
// answers the first error of a thread (one that ended meanwhile aside), or 0.
int ApplyPriority(ProcReader& proc, pid_t pid, std::uint8_t priority) {
  const int nice = NiceOf(priority);
  int error = 0;
  proc.ForEachThread(pid, [&](pid_t tid) {
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0 && errno != ESRCH && error == 0) error = errno;
    return true;
  });
  return error;
}

// Bit n allows processor n. A mask the system refuses (0, or only absent processors) leaves
// the process as it is.
int ApplyAffinity(ProcReader& proc, pid_t pid, std::uint32_t affinity) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < 32; ++cpu) {
    if ((affinity >> cpu) & 1u) CPU_SET(cpu, &set);
  }
  int error = 0;
  proc.ForEachThread(pid, [&](pid_t tid) {
    if (::sched_setaffinity(tid, sizeof set, &set) != 0 && errno != ESRCH && error == 0) error = errno;
    return true;
  });
  return error;
}

// ----------------------------------------------------------------------------- which process is the server's

constexpr std::string_view kDeletedSuffix = " (deleted)";
// Set in the environment of every server the monitor starts, so that the server is known even
// after its launcher script replaced itself with the game's own executable (exec).
constexpr char kServerMarker[] = "TERVANE_EXECUTABLE=";

// The server's executable as the search needs it: its path as stored and as resolved, their
// file names, its identity, and for a launcher script the file names of its interpreter.
struct Target {
  std::string path;
  std::string output;  // the server's output file, or empty
  std::string real;
  std::string name;      // of path
  std::string realName;  // of real: a symbolic link runs under its target's name
  Identity identity;
  std::vector<std::string> interpreters;
};

std::string Resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

// "#!/bin/sh -e" or "#!/usr/bin/env bash": the program that runs a script, by the file names
// under which it runs (a link such as /bin/sh runs as its target, dash or bash). A file the
// monitor may not read is no script (no interpreter could read it either); one that cannot be
// opened for want of descriptors or memory spoils the look.
std::vector<std::string> InterpretersOf(ProcReader& proc, const std::string& script) {
  std::vector<std::string> names;
  UniqueFd fd;
  if (proc.Allowed(LookCall::ExecutableFile)) fd.reset(::open(script.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    proc.Failed(errno, LookCall::ProcessDetail);
    return names;
  }
  char line[256] = {};
  if (::read(fd.get(), line, sizeof line - 1) < 3 || line[0] != '#' || line[1] != '!') return names;
  std::string text(line + 2);
  text = text.substr(0, text.find('\n'));
  std::vector<std::string> words;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t begin = text.find_first_not_of(" \t\r", at);
    if (begin == std::string::npos) break;
    const std::size_t end = text.find_first_of(" \t\r", begin);
    words.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    at = end == std::string::npos ? text.size() : end;
  }
  if (words.empty()) return names;
  std::string program = words[0];
  if (BaseName(program) == "env" && words.size() > 1) {
    // env finds the program on the PATH.
    const char* pathVariable = std::getenv("PATH");
    const std::string searchPath = pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t at = 0; at <= searchPath.size();) {
      const std::size_t end = std::min(searchPath.find(':', at), searchPath.size());
      const std::string candidate = searchPath.substr(at, end - at) + "/" + words[1];
      if (::access(candidate.c_str(), X_OK) == 0) {
        program = candidate;
        break;
      }
      at = end + 1;
    }
  }
  names.emplace_back(BaseName(program));
  names.emplace_back(BaseName(Resolved(program)));
  return names;
}

// Whether any of a process's arguments after the interpreter's own options names the script:
// relative arguments are taken from the process's working folder.
bool RunsScript(ProcReader& proc, pid_t pid, const Target& target) {
  std::string cmdline;
  if (!proc.ReadFile(pid, "cmdline", cmdline)) return false;
  std::size_t at = cmdline.find('\0');  // past the interpreter itself
  while (at != std::string::npos && at + 1 < cmdline.size()) {
    const std::size_t begin = at + 1;
    at = cmdline.find('\0', begin);
    const std::string argument = cmdline.substr(begin, at == std::string::npos ? std::string::npos : at - begin);
    if (argument == "--") continue;
    if (!argument.empty() && argument[0] == '-') continue;  // an option of the interpreter
    std::string path = argument;
    if (path[0] != '/') {
      std::string cwd;
      if (!proc.ReadLink(pid, "cwd", cwd)) return false;
      path = cwd + "/" + path;
    }
    return proc.IdentityOf(path.c_str(), LookCall::ProcessDetail) == target.identity;
  }
  return false;
}

bool CarriesMarker(ProcReader& proc, pid_t pid, const Target& target) {
  std::string environment;
  if (!proc.ReadFile(pid, "environ", environment, 256 * 1024)) return false;
  for (const std::string* value : {&target.path, &target.real}) {
    const std::string entry = std::string(kServerMarker) + *value;
    for (std::size_t at = environment.find(entry); at != std::string::npos; at = environment.find(entry, at + 1))
      if ((at == 0 || environment[at - 1] == '\0') &&
          (at + entry.size() == environment.size() || environment[at + entry.size()] == '\0'))
        return true;
  }
  return false;
}

// How a process is the server's, tried in order of cost: its running image is the server's file
// (by file name, then identity); its image is the server's former file, deleted at the same
// path when an update replaced it; it is the interpreter of the server's script; it carries the
// marker of a server the monitor started (only looked for when nothing else was found).
bool IsServerImage(ProcReader& proc, pid_t pid, std::string_view executable, const Target& target) {
  if (executable.ends_with(kDeletedSuffix)) {
    const std::string_view former = executable.substr(0, executable.size() - kDeletedSuffix.size());
    return former == target.real || former == target.path;
  }
  const std::string_view name = BaseName(executable);
  if (name == target.name || name == target.realName) return proc.ProcessIdentity(pid) == target.identity;
  for (const std::string& interpreter : target.interpreters)
    if (name == interpreter) return RunsScript(proc, pid, target);
  return false;
}

bool IsServerProcess(ProcReader& proc, pid_t pid, const Target& target, bool orMarker) {
  std::string executable;
  if (!proc.ReadLink(pid, "exe", executable)) return false;
  return IsServerImage(proc, pid, executable, target) || (orMarker && CarriesMarker(proc, pid, target));
}

// The lists of a look at a process's descendants.
struct Descendants {
  std::vector<pid_t> found;
  std::vector<pid_t> open;
  std::string children;
};

// The processes a server's process started, and theirs, from the kernel's children lists of
// every thread (at most a few hundred, so a fork bomb cannot stall the monitor). Into lists
// kept from call to call: a look costs no allocation once they are large enough.
const std::vector<pid_t>& DescendantsOf(ProcReader& proc, pid_t root, Descendants& lists) {
  std::vector<pid_t>& found = lists.found;
  std::vector<pid_t>& open = lists.open;
  std::string& children = lists.children;
  found.clear();
  open.assign(1, root);
  while (!open.empty() && found.size() < 512) {
    const pid_t pid = open.back();
    open.pop_back();
    proc.ForEachThread(pid, [&](pid_t tid) {
      char leaf[48];
      std::snprintf(leaf, sizeof leaf, "task/%d/children", static_cast<int>(tid));
      if (!proc.ReadFile(pid, leaf, children)) return true;
      for (const char* at = children.c_str(); *at;) {
        char* end = nullptr;
        const long child = std::strtol(at, &end, 10);
        if (end == at) break;
        if (child > 0 && std::find(found.begin(), found.end(), child) == found.end()) {
          found.push_back(static_cast<pid_t>(child));
          open.push_back(static_cast<pid_t>(child));
        }
        at = end;
      }
      return true;
    });
  }
  return found;
}

struct Found {
  pid_t pid = 0;
  std::uint64_t started = 0;  // with the id: this very process
  std::uint64_t cycle = 0;    // the cycle it was last confirmed in; 0: outside any
};

// What a search found: the server's process, or none; error is set when the look was spoiled
// and found nothing, so that "none" is not taken for an answer.
struct Search {
  std::optional<Found> found;
  int error = 0;
  Look Result() const {
    if (found) return Look::Running();
    return error != 0 ? Look::Unknown(static_cast<std::uint32_t>(error)) : Look::Absent();
  }
};

// A confirmed process held by a pidfd: while the pidfd does not report its end, the id still
// names that very process, so its start time need not be read again.
struct Pinned {
  UniqueFd pidfd;
  pid_t pid = 0;
  std::uint64_t started = 0;
};

// The affinity last applied to a server's processes, and when.
struct Applied {
  pid_t pid = 0;
  std::uint64_t started = 0;
  std::uint32_t affinity = 0;
  std::uint64_t cycle = 0;
};

// A mask applied stays: the kernel gives it to every thread and child created later. It is
// applied again when the process or the mask changed, and every this many cycles for what
// changed beside (a thread or a child given another mask, a mask set by hand).
constexpr std::uint64_t kReapplyCycles = 16;

// The process list of one supervision cycle: taken once, then used by every search of the
// cycle that the last cycle's process does not answer.
struct Snapshot {
  struct Entry {
    pid_t pid = 0;
    std::string executable;
  };
  std::vector<Entry> entries;  // directory order
  int error = 0;               // the list could not be read whole: a search that finds nothing knows nothing
};

// ----------------------------------------------------------------------------- the process control

class LinuxProcessControl final : public IProcessControl {
 public:
  explicit LinuxProcessControl(ProcessControlOptions options)
      : options_(std::move(options)),
        proc_(options_.failLook),
        outputCap_(options_.outputFolder.empty() ? 0 : options_.outputLimit) {
    if (!options_.outputFolder.empty() && options_.outputFolder.back() != u'/')
      options_.outputFolder.push_back(u'/');
  }

  bool IsSameFile(const Path& a, const Path& b) override {
    ProcReader plain({});  // a question about two files, no look at the processes
    const auto first = plain.IdentityOf(Utf16ToUtf8(a).c_str(), LookCall::ExecutableFile);
    if (!first) return false;
    const auto second = plain.IdentityOf(Utf16ToUtf8(b).c_str(), LookCall::ExecutableFile);
    return second && *first == *second;
  }

  bool IsServerRunning(const Path& fileName) override { return LookForServer(fileName).IsRunning(); }

  Look LookForServer(const Path& fileName) override {
    const TargetLookup target = TargetOf(fileName);
    if (!target.target) return target.Result();
    return FindServerProcess(*target.target).Result();
  }

  std::uint32_t StartServerProcess(const Path& fileName, const std::u16string& params,
                                   std::uint8_t priority, bool hide,
                                   std::uint32_t affinity) override;

  void TerminateServerProcess(const Path& fileName) override { EndServerProcess(fileName); }

  // The server's process and every process it started end; each was pinned (pidfd) before
  // the server's identity was checked again, so no id taken by another program is hit.
  Look EndServerProcess(const Path& fileName) override {
    const Look ended = ActOnServer(fileName, [this](const Found& found, const Target& target) {
      std::vector<UniqueFd> pinned;
      pinned.emplace_back(::pidfd_open(found.pid, 0));
      for (pid_t pid : DescendantsOf(proc_, found.pid, descendants_)) pinned.emplace_back(::pidfd_open(pid, 0));
      const Look still = StillServer(found, target);
      if (!still.IsRunning()) return still;
      for (std::size_t i = 1; i < pinned.size(); ++i)
        if (pinned[i]) ::pidfd_send_signal(pinned[i].get(), SIGKILL, nullptr, 0);
      // The server's own process must end: a refusal is said, so that no second one is started.
      const int sent = pinned.front() ? static_cast<int>(::pidfd_send_signal(pinned.front().get(), SIGKILL, nullptr, 0))
                                      : ::kill(found.pid, SIGKILL);  // a kernel without pidfds, or none left
      if (sent != 0 && errno != ESRCH) return Look::Unknown(static_cast<std::uint32_t>(errno));
      return Look::Running();
    });
    snapshot_.reset();  // the list no longer holds
    return ended;
  }

  void SetServerPriority(const Path& fileName, std::uint8_t priority) override {
    ActOnServer(fileName, [&](const Found& found, const Target& target) {
      const Look still = StillServer(found, target);
      if (!still.IsRunning()) return still;
      int error = ApplyPriority(proc_, found.pid, priority);
      for (pid_t pid : DescendantsOf(proc_, found.pid, descendants_)) {
        const int more = ApplyPriority(proc_, pid, priority);
        if (error == 0) error = more;
      }
      applyErrors_[target.path].priority = static_cast<std::uint32_t>(error);
      return Look::Running();
    });
  }

  void SetServerAffinity(const Path& fileName, std::uint32_t affinity) override {
    ActOnServer(fileName, [&](const Found& found, const Target& target) {
      Applied& applied = affinityApplied_[target.path];
      if (applied.pid == found.pid && applied.started == found.started && applied.affinity == affinity &&
          cycle_ - applied.cycle < kReapplyCycles)
        return Look::Running();  // nothing to do, so nothing to check again
      const Look still = StillServer(found, target);
      if (!still.IsRunning()) return still;
      applied = Applied{found.pid, found.started, affinity, cycle_};
      int error = ApplyAffinity(proc_, found.pid, affinity);
      for (pid_t pid : DescendantsOf(proc_, found.pid, descendants_)) {
        const int more = ApplyAffinity(proc_, pid, affinity);
        if (error == 0) error = more;
      }
      applyErrors_[target.path].affinity = static_cast<std::uint32_t>(error);
      return Look::Running();
    });
  }

  ApplyErrors LastApplyErrors(const Path& fileName) override {
    const auto target = targets_.find(fileName);
    const auto known = target != targets_.end() ? applyErrors_.find(target->second.target.path)
                                                : applyErrors_.find(Utf16ToUtf8(fileName));
    return known == applyErrors_.end() ? ApplyErrors{} : known->second;
  }

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
    ++cycle_;
    snapshot_.reset();
  }

  void EndCycle() override {
    inCycle_ = false;
    snapshot_.reset();
    // The output files of the servers seen running stay within their limit, kept so by the
    // cap's own thread; those of servers no longer seen are let go.
    for (const auto& [fileName, entry] : targets_) {
      const auto seen = confirmed_.find(entry.target.path);
      if (!entry.target.output.empty() && seen != confirmed_.end() && seen->second.cycle == cycle_)
        outputCap_.Keep(entry.target.output);
    }
    outputCap_.Sweep();
    // A server not looked at in this cycle (paused, removed) keeps no descriptor.
    std::erase_if(pinned_, [this](const auto& entry) {
      const auto found = confirmed_.find(entry.first);
      return found == confirmed_.end() || found->second.cycle != cycle_;
    });
  }

 private:
  // The server's executable, or none with why: absent (no process can run a file that is not
  // there) or a look the system refused.
  struct TargetLookup {
    const Target* target = nullptr;
    int error = 0;
    Look Result() const {
      return error != 0 ? Look::Unknown(static_cast<std::uint32_t>(error)) : Look::Absent();
    }
  };

  // The same process (start time), still the server's: its image is the server's file, which
  // one look at the image answers; otherwise every way a process can be the server's.
  bool IsStillServer(const Found& found, const Target& target) {
    return proc_.StartTimeOf(found.pid) == found.started && IsStillServerImage(found, target);
  }

  bool IsStillServerImage(const Found& found, const Target& target) {
    return proc_.ProcessIdentity(found.pid) == target.identity || IsServerProcess(proc_, found.pid, target, true);
  }

  // Whether the pinned process of the server is this one and has not ended; a pidfd reports
  // the end of its process as readable.
  bool PinnedAlive(const std::string& path, const Found& found) const {
    const auto pinned = pinned_.find(path);
    if (pinned == pinned_.end() || pinned->second.pid != found.pid || pinned->second.started != found.started)
      return false;
    pollfd p{pinned->second.pidfd.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }

  // Holds the confirmed process by a pidfd, checked to be the same process after it was opened.
  // Without one (no pidfds, or no descriptor to spare above the supervision's reserve) the
  // start time is read instead.
  void Pin(const std::string& path, const Found& found) {
    if (!pinned_.contains(path) && !FrontDoorMayTakeDescriptor()) return;
    UniqueFd pidfd(static_cast<int>(::pidfd_open(found.pid, 0)));
    if (!pidfd || proc_.StartTimeOf(found.pid) != found.started) {
      pinned_.erase(path);
      return;
    }
    pinned_[path] = Pinned{std::move(pidfd), found.pid, found.started};
  }

  // Checked again right before an action: the process found earlier in the cycle may have
  // ended or turned into another program since. Running: still the server's; Absent: not any
  // more; Unknown: the check itself was refused.
  Look StillServer(const Found& found, const Target& target) {
    proc_.Clear();
    if (IsStillServer(found, target)) return Look::Running();
    return proc_.Error() != 0 ? Look::Unknown(static_cast<std::uint32_t>(proc_.Error())) : Look::Absent();
  }

  // Finds the server's process and acts on it; the action answers Running when done, Absent
  // when the process is no longer the server's, Unknown when it could not be done. Inside a
  // cycle the process found may have ended, or its id may have been taken by another program,
  // since the list was taken; then one new list decides.
  template <typename Action>
  Look ActOnServer(const Path& fileName, Action action) {
    const TargetLookup lookup = TargetOf(fileName);
    if (!lookup.target) return lookup.Result();
    const Target& target = *lookup.target;
    Search search = FindServerProcess(target);
    if (!search.found) return search.Result();
    const Look done = action(*search.found, target);
    if (done.presence != Presence::Absent || !inCycle_) return done;
    snapshot_.reset();
    confirmed_.erase(target.path);
    pinned_.erase(target.path);
    search = FindServerProcess(target);
    if (!search.found) return search.Result();
    return action(*search.found, target);
  }

  // The server's executable, read again only when its file changed, and looked at once a cycle.
  TargetLookup TargetOf(const Path& fileName) {
    auto known = targets_.find(fileName);
    if (known != targets_.end() && inCycle_ && known->second.checked == cycle_) return {&known->second.target, 0};
    std::string converted;  // only for a file not seen before
    if (known == targets_.end()) converted = Utf16ToUtf8(fileName);
    const std::string& path = known != targets_.end() ? known->second.target.path : converted;
    struct stat st {};
    proc_.Clear();
    if (path.empty() || !proc_.Allowed(LookCall::ExecutableFile) || ::stat(path.c_str(), &st) != 0 ||
        S_ISDIR(st.st_mode)) {
      if (!path.empty() && !S_ISDIR(st.st_mode)) proc_.Failed(errno, LookCall::ExecutableFile);
      if (proc_.Error() != 0) return {nullptr, proc_.Error()};  // the file is kept as it was known
      if (known != targets_.end()) targets_.erase(known);
      return {};
    }
    if (known == targets_.end()) known = targets_.emplace(fileName, TargetEntry{}).first;
    TargetEntry& entry = known->second;
    Target& target = entry.target;
    const std::pair<timespec, Identity> now{st.st_mtim, Identity{st.st_dev, st.st_ino}};
    if (target.path.empty() || entry.stamp.second != now.second || entry.stamp.first.tv_sec != now.first.tv_sec ||
        entry.stamp.first.tv_nsec != now.first.tv_nsec) {
      std::vector<std::string> interpreters = InterpretersOf(proc_, path);
      if (proc_.Error() != 0) return {nullptr, proc_.Error()};  // read again at the next look
      target.path = path;
      target.output = options_.outputFolder.empty() ? std::string()
                                                    : Utf16ToUtf8(ServerOutputFile(options_.outputFolder, fileName));
      target.real = Resolved(path);
      target.name = std::string(BaseName(target.path));
      target.realName = std::string(BaseName(target.real));
      target.identity = now.second;
      target.interpreters = std::move(interpreters);
      entry.stamp = now;
    }
    entry.checked = inCycle_ ? cycle_ : 0;
    return {&target, 0};
  }

  // The process found last time, when it is still the server's, answers without a look at the
  // whole list; otherwise the list (the cycle's, or a new one outside a cycle) is searched, first
  // by the images, then by the marker. A look the system refused anywhere on the way, with
  // nothing found, is no answer.
  Search FindServerProcess(const Target& target) {
    proc_.Clear();
    if (const auto last = confirmed_.find(target.path); last != confirmed_.end()) {
      if (inCycle_ && last->second.cycle == cycle_) return {last->second, 0};
      const bool pinned = PinnedAlive(target.path, last->second);
      if (pinned ? IsStillServerImage(last->second, target) : IsStillServer(last->second, target)) {
        last->second.cycle = inCycle_ ? cycle_ : 0;
        if (!pinned) Pin(target.path, last->second);
        return {last->second, 0};
      }
      // A check the system refused says nothing: the process is kept for the next look.
      if (proc_.Error() != 0) return {std::nullopt, proc_.Error()};
      // The process changed since it was found: whatever list was taken before is stale too.
      confirmed_.erase(last);
      pinned_.erase(target.path);
      snapshot_.reset();
    }
    if (!inCycle_) snapshot_.reset();
    if (!snapshot_) TakeSnapshot();
    proc_.Clear();
    std::optional<Found> found;
    for (const Snapshot::Entry& entry : snapshot_->entries)
      if (IsServerImage(proc_, entry.pid, entry.executable, target)) {
        found = Found{entry.pid};
        break;
      }
    if (!found)
      for (const Snapshot::Entry& entry : snapshot_->entries)
        if (CarriesMarker(proc_, entry.pid, target)) {
          found = Found{entry.pid};
          break;
        }
    const int error = snapshot_->error != 0 ? snapshot_->error : proc_.Error();
    if (!inCycle_) snapshot_.reset();
    if (!found) return {std::nullopt, error};
    found->started = proc_.StartTimeOf(found->pid);
    found->cycle = inCycle_ ? cycle_ : 0;
    if (found->started != 0) {
      confirmed_[target.path] = *found;
      Pin(target.path, *found);
    }
    return {found, 0};
  }

  void TakeSnapshot() {
    ReapChildren();
    snapshot_.emplace();
    proc_.Clear();
    std::string executable;
    proc_.ForEachProcess([&](pid_t pid) {
      if (proc_.ReadLink(pid, "exe", executable)) snapshot_->entries.push_back({pid, executable});
      return true;
    });
    snapshot_->error = proc_.Error();
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
  [[nodiscard]] UniqueFd OpenOutput(const Path& fileName) {
    UniqueFd fd;
    if (!options_.outputFolder.empty()) {
      CreateDirectories(options_.outputFolder);
      const std::string path = Utf16ToUtf8(ServerOutputFile(options_.outputFolder, fileName));
      outputCap_.CapNow(path);
      fd.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
      if (fd) outputCap_.Keep(path);
    }
    if (!fd) fd.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (fd && fd.get() < 3) fd.reset(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    return fd;
  }

  ProcessControlOptions options_;
  ProcReader proc_;
  bool inCycle_ = false;
  std::optional<Snapshot> snapshot_;
  std::vector<pid_t> children_;
  std::uint64_t cycle_ = 0;  // counts the cycles begun
  struct TargetEntry {
    Target target;
    std::pair<timespec, Identity> stamp{};  // of the file when target was read
    std::uint64_t checked = 0;              // the cycle the file was last looked at in
  };
  std::unordered_map<Path, TargetEntry> targets_;  // by the path as stored: a lookup converts nothing
  std::unordered_map<std::string, Found> confirmed_;  // by the server's path
  std::unordered_map<std::string, Pinned> pinned_;    // by the server's path
  std::unordered_map<std::string, ApplyErrors> applyErrors_;  // by the server's path
  std::unordered_map<std::string, Applied> affinityApplied_;  // by the server's path
  Descendants descendants_;  // the lists of the last look at a server's descendants
  OutputCap outputCap_;      // last: its thread ends before the rest goes
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

  // The monitor's environment, with the marker of this server in place of any inherited one.
  std::vector<char*> environment;
  for (char** variable = environ; variable && *variable; ++variable)
    if (std::strncmp(*variable, kServerMarker, sizeof kServerMarker - 1) != 0) environment.push_back(*variable);
  std::string marker = std::string(kServerMarker) + executable;
  environment.push_back(marker.data());
  environment.push_back(nullptr);

  pid_t pid = 0;
  const int result =
      ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environment.data());
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return static_cast<std::uint32_t>(result);

  children_.push_back(pid);
  applyErrors_[executable] = ApplyErrors{static_cast<std::uint32_t>(ApplyPriority(proc_, pid, priority)),
                                         static_cast<std::uint32_t>(ApplyAffinity(proc_, pid, affinity))};
  return 0;
}

}  // namespace

std::unique_ptr<IProcessControl> CreateProcessControl(const ProcessControlOptions& options) {
  return std::make_unique<LinuxProcessControl>(options);
}

}  // namespace tervane
