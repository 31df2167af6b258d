// Every look at the processes on Linux goes through here: the process list is /proc, a
// process's image the target of /proc/<pid>/exe, file identity (st_dev, st_ino). A failure that
// answers the question (the process ended meanwhile, it belongs to another user, the file is
// not there) is an answer; any other (descriptors or memory exhausted, /proc unreadable) spoils
// the look: it is kept as the reader's error, and the look then answers "unknown" instead of
// "not running". The tests make a call of a kind fail at the system-call seam (failLook).
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "process/process_control.h"
#include "process/server_match_linux.h"
#include "support/unique_handle_posix.h"

namespace tervane {

// A file's identity and when its content last changed.
struct FileStamp {
  Identity identity;
  timespec changed{};
  bool operator==(const FileStamp& other) const {
    return identity == other.identity && changed.tv_sec == other.changed.tv_sec &&
           changed.tv_nsec == other.changed.tv_nsec;
  }
};

class ProcReader final : public ProcessFacts {
 public:
  explicit ProcReader(std::function<std::uint32_t(LookCall)> fail) : fail_(std::move(fail)) {}

  // The first failure since the last Clear, or 0.
  int Error() const { return error_; }
  void Clear() { error_ = 0; }

  // Every process with its running image, in directory order (a process without a readable
  // image, a kernel thread or another user's, is left out); the error is set when the list
  // could not be read whole.
  void ReadProcessList(std::vector<ProcessEntry>& out);

  // Calls visit(tid) for every thread of a process while it answers true (none when it ended).
  template <typename Visit>
  void ForEachThread(pid_t pid, Visit visit) {
    const UniqueDir dir(OpenTasks(pid));
    if (!dir) return;
    for (pid_t tid; (tid = NextId(dir.get())) > 0;)
      if (!visit(tid)) return;
  }

  // The identity of a file and when it changed (a folder is never the same file as anything,
  // as on Windows, where it cannot be opened as one); none when it is not there.
  std::optional<FileStamp> Stat(const char* path, LookCall call);
  std::optional<Identity> IdentityOf(const char* path, LookCall call) {
    const std::optional<FileStamp> stamp = Stat(path, call);
    return stamp ? std::optional(stamp->identity) : std::nullopt;
  }

  // The process-start time (field 22 of /proc/<pid>/stat, in clock ticks since boot): with the
  // id it names one process for good, since an id can be taken again by a later process. 0
  // when it cannot be read.
  std::uint64_t StartTimeOf(pid_t pid);

  // The process itself, held (pidfd): it turns readable once the process ended, and an id taken
  // again by a later process does not fool it. None where the system has none to give.
  UniqueFd OpenProcess(pid_t pid);
  // Which of the held processes ended: the revents of each entry, all in one question. False
  // when the question was refused (nothing is known then).
  bool AskEnded(std::vector<pollfd>& held);
  // Whether the held process still runs; false once it ended or when that cannot be told.
  bool StillRuns(int process);

  // What the decision of which process is a server's asks.
  bool ReadLink(pid_t pid, const char* leaf, std::string& out) override;
  bool ReadFile(pid_t pid, const char* leaf, std::string& out, std::size_t limit) override;
  std::optional<Identity> ProcessIdentity(pid_t pid) override;
  std::optional<Identity> PathIdentity(const std::string& path) override {
    return IdentityOf(path.c_str(), LookCall::ProcessDetail);
  }
  bool ReadHead(const std::string& path, std::string& out) override;
  std::string FindProgram(const std::string& name) override;
  std::string Resolved(const std::string& path) override;

 private:
  DIR* OpenTasks(pid_t pid);
  static pid_t NextId(DIR* dir);
  // Notes a failure of a system call of the look; answers false.
  bool Failed(int code, LookCall call = LookCall::ProcessDetail);
  // Whether the test hook lets the call be made; errno says why not.
  bool Allowed(LookCall call);

  std::function<std::uint32_t(LookCall)> fail_;
  int error_ = 0;
};

// The lists of a look at a process's descendants, kept from call to call: a look costs no
// allocation once they are large enough.
struct Descendants {
  std::vector<pid_t> found;
  std::vector<pid_t> threads;  // of the root and of each process found
  std::vector<pid_t> open;
  std::string children;
};

// The processes a server's process started, and theirs, from the kernel's children lists of
// every thread (at most a few hundred, so that a fork bomb cannot stall the monitor); the
// threads seen on the way are kept in lists.threads.
const std::vector<pid_t>& DescendantsOf(ProcReader& proc, pid_t root, Descendants& lists);

}  // namespace tervane
