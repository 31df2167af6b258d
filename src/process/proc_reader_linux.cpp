#include "process/proc_reader_linux.h"

#include <fcntl.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tervane {
namespace {

// "/proc/<pid>/<leaf>" without allocating.
class ProcPath {
 public:
  ProcPath(pid_t pid, const char* leaf) {
    std::snprintf(text_, sizeof text_, "/proc/%d/%s", static_cast<int>(pid), leaf);
  }
  const char* c_str() const { return text_; }

 private:
  char text_[64];
};

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

}  // namespace

void ProcReader::ReadProcessList(std::vector<ProcessEntry>& out) {
  out.clear();
  if (!Allowed(LookCall::ProcessList)) return static_cast<void>(Failed(errno, LookCall::ProcessList));
  const UniqueDir dir(::opendir("/proc"));
  if (!dir) return static_cast<void>(Failed(errno, LookCall::ProcessList));
  std::string executable;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) Failed(errno, LookCall::ProcessList);
      return;
    }
    const pid_t pid = ParsePid(entry->d_name);
    if (pid > 0 && ReadLink(pid, "exe", executable)) out.push_back({pid, executable});
  }
}

DIR* ProcReader::OpenTasks(pid_t pid) {
  DIR* dir = Allowed(LookCall::ProcessDetail) ? ::opendir(ProcPath(pid, "task").c_str()) : nullptr;
  if (!dir) Failed(errno);
  return dir;
}

pid_t ProcReader::NextId(DIR* dir) {
  while (const dirent* entry = ::readdir(dir))
    if (const pid_t id = ParsePid(entry->d_name); id > 0) return id;
  return 0;
}

bool ProcReader::ReadLink(pid_t pid, const char* leaf, std::string& out) {
  if (!Allowed(LookCall::ProcessDetail)) return Failed(errno);
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(ProcPath(pid, leaf).c_str(), buffer, sizeof buffer);
  if (n < 0) return Failed(errno);
  if (n == 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
  out.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

std::optional<FileStamp> ProcReader::Stat(const char* path, LookCall call) {
  struct stat st {};
  if (!Allowed(call) || ::stat(path, &st) != 0) {
    Failed(errno, call);
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) return std::nullopt;
  return FileStamp{Identity{st.st_dev, st.st_ino}, st.st_mtim};
}

// Through the kernel's own link, so that it holds whatever path the process was started by.
std::optional<Identity> ProcReader::ProcessIdentity(pid_t pid) {
  return IdentityOf(ProcPath(pid, "exe").c_str(), LookCall::ProcessDetail);
}

UniqueFd ProcReader::OpenProcess(pid_t pid) {
  UniqueFd process(Allowed(LookCall::ProcessDetail) ? ::pidfd_open(pid, 0) : -1);
  if (!process) Failed(errno);
  return process;
}

bool ProcReader::AskEnded(std::vector<pollfd>& held) {
  if (!Allowed(LookCall::ProcessDetail)) return Failed(errno);
  int n;
  while ((n = ::poll(held.data(), held.size(), 0)) < 0 && errno == EINTR) {
  }
  return n >= 0 || Failed(errno);
}

bool ProcReader::StillRuns(int process) {
  pollfd one{process, POLLIN, 0};
  int n;
  while ((n = ::poll(&one, 1, 0)) < 0 && errno == EINTR) {
  }
  if (n < 0) return Failed(errno);
  return n == 0;
}

bool ProcReader::ReadFile(pid_t pid, const char* leaf, std::string& out, std::size_t limit) {
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

std::uint64_t ProcReader::StartTimeOf(pid_t pid) {
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

// A file the monitor may not read is no script (no interpreter could read it either); one that
// cannot be opened for want of descriptors or memory spoils the look.
bool ProcReader::ReadHead(const std::string& path, std::string& out) {
  out.clear();
  UniqueFd fd;
  if (Allowed(LookCall::ExecutableFile)) fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return Failed(errno);
  char head[255];
  const ssize_t n = ::read(fd.get(), head, sizeof head);
  if (n <= 0) return false;
  out.assign(head, static_cast<std::size_t>(n));
  return true;
}

std::string ProcReader::FindProgram(const std::string& name) {
  const char* pathVariable = std::getenv("PATH");
  const std::string searchPath = pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t at = 0; at <= searchPath.size();) {
    const std::size_t end = std::min(searchPath.find(':', at), searchPath.size());
    const std::string candidate = searchPath.substr(at, end - at) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return {};
}

// The kernel's own name of the file once opened: what realpath answers, in three calls
// however deep the path.
std::string ProcReader::Resolved(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_PATH | O_CLOEXEC));
  char link[32];
  char buffer[PATH_MAX];
  if (!file) return path;
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", file.get());
  const ssize_t n = ::readlink(link, buffer, sizeof buffer);
  return n > 0 && static_cast<std::size_t>(n) < sizeof buffer && buffer[0] == '/' ? std::string(buffer, static_cast<std::size_t>(n)) : path;
}

// What answers the question is no failure: of a process's entries, that it ended meanwhile
// (ENOENT, ESRCH, ENOTDIR) or is another user's (EACCES, EPERM); of an executable, that it is
// not there (ENOENT, ENOTDIR). For the list itself, everything is.
bool ProcReader::Failed(int code, LookCall call) {
  const bool gone = code == ENOENT || code == ENOTDIR;
  const bool answer = call == LookCall::ProcessDetail   ? gone || code == ESRCH || code == EACCES || code == EPERM
                      : call == LookCall::ExecutableFile ? gone
                                                         : false;
  if (!answer && error_ == 0) error_ = code != 0 ? code : EIO;
  return false;
}

bool ProcReader::Allowed(LookCall call) {
  const std::uint32_t refused = fail_ ? fail_(call) : 0;
  if (refused != 0) errno = static_cast<int>(refused);
  return refused == 0;
}

const std::vector<pid_t>& DescendantsOf(ProcReader& proc, pid_t root, Descendants& lists) {
  std::vector<pid_t>& found = lists.found;
  std::vector<pid_t>& open = lists.open;
  std::string& children = lists.children;
  found.clear();
  lists.threads.clear();
  open.assign(1, root);
  while (!open.empty() && found.size() < 512) {
    const pid_t pid = open.back();
    open.pop_back();
    proc.ForEachThread(pid, [&](pid_t tid) {
      lists.threads.push_back(tid);
      char leaf[48];
      std::snprintf(leaf, sizeof leaf, "task/%d/children", static_cast<int>(tid));
      if (!proc.ReadFile(pid, leaf, children, 64 * 1024)) return true;
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

}  // namespace tervane
