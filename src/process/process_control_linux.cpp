// Server process control on Linux: the class that keeps what it found of the servers' processes
// (the process confirmed last for each server, held by a pidfd; the server's executable as
// read; what could not be applied) and acts on them. It reads the processes through the
// ProcReader (proc_reader_linux.h), decides which process is a server's with the rules of
// server_match_linux.h, and starts servers through the ServerLauncher (server_launch_linux.h).
// Linux has no console window and no fatal-error dialog: the servers' windows are not offered.
#include <sched.h>
#include <signal.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "process/proc_reader_linux.h"
#include "process/process_control.h"
#include "process/server_launch_linux.h"
#include "process/server_match_linux.h"
#include "support/descriptors.h"
#include "support/file.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

namespace tervane {
namespace {

// Normal, High and Real Time as nice values.
int NiceOf(std::uint8_t priority) {
  if (priority == 0) return 0;
  if (priority == 1) return -10;
  return -20;
}

// Priority and affinity belong to each thread on Linux, so they are set on every one. A thread
// that ended meanwhile is no failure.
Expected<void> ThreadSetting(int result) {
  if (result == 0 || errno == ESRCH) return {};
  return SystemError{static_cast<std::uint32_t>(errno)};
}

Expected<void> SetNice(pid_t tid, int nice) {
  return ThreadSetting(::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice));
}

// Applies a setting to every thread of a process; fails with the first thread's failure.
template <typename ApplyToThread>
Expected<void> ApplyToThreads(ProcReader& proc, pid_t pid, ApplyToThread apply) {
  Expected<void> first;
  proc.ForEachThread(pid, [&](pid_t tid) {
    if (Expected<void> applied = apply(tid); first) first = applied;
    return true;
  });
  return first;
}

// Bit n allows processor n. A mask the system refuses (0, or only absent processors) leaves
// the process as it is.
cpu_set_t CpuSetOf(std::uint32_t affinity) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < 32; ++cpu) {
    if ((affinity >> cpu) & 1u) CPU_SET(cpu, &set);
  }
  return set;
}

Expected<void> SetAffinity(pid_t tid, const cpu_set_t& set) {
  return ThreadSetting(::sched_setaffinity(tid, sizeof set, &set));
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

// A confirmed process held by a pidfd: while it has not ended, the id still names that very
// process, so its start time need not be read again. All held processes are asked at once at a
// cycle's start whether they ended; the image is looked at with the server's file.
struct Pinned {
  UniqueFd process;
  pid_t pid = 0;
  std::uint64_t started = 0;
  std::uint64_t runs = 0;            // the cycle at whose start it had not ended
  std::optional<Identity> image;     // what it ran at the last look at its image
  bool Names(const Found& found) const { return pid == found.pid && started == found.started; }
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

// A running server's file, and the image of its held process, are looked at once every this
// many cycles while the process runs on; the servers take their turns in different cycles.
constexpr std::uint64_t kFileLookCycles = 16;

// The process list of one supervision cycle: taken once, then used by every search of the
// cycle that the last cycle's process does not answer.
struct Snapshot {
  std::vector<ProcessEntry> entries;  // directory order
  std::optional<ProcessIndex> index;  // over entries, shared by the cycle's searches
  int error = 0;  // the list could not be read whole: a search that finds nothing knows nothing
};

class LinuxProcessControl final : public IProcessControl {
 public:
  explicit LinuxProcessControl(ProcessControlOptions options)
      : proc_(options.failLook), launcher_(options.outputFolder, options.outputLimit) {}

  bool IsSameFile(const Path& a, const Path& b) override {
    ProcReader plain({});  // a question about two files, no look at the processes
    const auto first = plain.IdentityOf(Utf16ToUtf8(a).c_str(), LookCall::ExecutableFile);
    if (!first) return false;
    const auto second = plain.IdentityOf(Utf16ToUtf8(b).c_str(), LookCall::ExecutableFile);
    return second && *first == *second;
  }

  bool IsServerRunning(const Path& fileName) override { return LookForServer(fileName).IsRunning(); }

  Look LookForServer(const Path& fileName) override {
    if (HeldStillRuns(fileName)) return Look::Running();
    const TargetLookup target = TargetOf(fileName);
    if (!target.target) return target.Result();
    return FindServerProcess(*target.target).Result();
  }

  Expected<void> StartServerProcess(const Path& fileName, const std::u16string& params, std::uint8_t priority,
                                    bool hide, std::uint32_t affinity) override;

  // The server's process and every process it started end; each was pinned (pidfd) before
  // the server's identity was checked again, so no id taken by another program is hit.
  Look TerminateServerProcess(const Path& fileName) override {
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
      const int nice = NiceOf(priority);
      applyErrors_[target.path].priority = ApplyToTree(found.pid, [&](pid_t tid) { return SetNice(tid, nice); }).Error();
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
      // Applied first after a part of the period of the server's own, as the turns of the look.
      const bool first = applied.pid == 0;
      applied = Applied{found.pid, found.started, affinity, cycle_ - (first ? Turn(fileName) : 0)};
      const cpu_set_t set = CpuSetOf(affinity);
      applyErrors_[target.path].affinity =
          ApplyToTree(found.pid, [&](pid_t tid) { return SetAffinity(tid, set); }).Error();
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
    AskHeldProcesses();
  }

  void EndCycle() override {
    inCycle_ = false;
    snapshot_.reset();
    // The output files of the servers seen running stay within their limit, kept so by the
    // cap's own thread; those of servers no longer seen are let go.
    for (const auto& [fileName, entry] : targets_) {
      const auto seen = confirmed_.find(entry.target.path);
      if (!entry.output.empty() && seen != confirmed_.end() && seen->second.cycle == cycle_)
        launcher_.KeepOutput(entry.output);
    }
    launcher_.SweepOutputs();
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

  // The same process, still the server's: its image is the server's file, which one look at
  // the image answers; otherwise every way a process can be the server's. Held, the process is
  // asked whether it still runs after its image was read by its id (then the id named it);
  // otherwise its start time is read first.
  bool IsStillServer(const Found& found, const Target& target) {
    const auto pinned = pinned_.find(target.path);
    if (pinned != pinned_.end() && pinned->second.Names(found))
      return IsStillServerImage(found, target) && proc_.StillRuns(pinned->second.process.get());
    return proc_.StartTimeOf(found.pid) == found.started && IsStillServerImage(found, target);
  }

  bool IsStillServerImage(const Found& found, const Target& target) {
    return proc_.ProcessIdentity(found.pid) == target.identity || IsServerProcess(proc_, found.pid, target, true);
  }

  static std::uint64_t Turn(const Path& fileName) { return std::hash<Path>{}(fileName) % kFileLookCycles; }

  // One question for every held process: which of them ended since the last cycle. The
  // others are the processes found before, whatever their ids meanwhile.
  void AskHeldProcesses() {
    asked_.clear();
    for (const auto& [path, pinned] : pinned_) asked_.push_back({pinned.process.get(), POLLIN, 0});
    proc_.Clear();
    if (asked_.empty() || !proc_.AskEnded(asked_)) return;
    std::size_t i = 0;
    for (auto& [path, pinned] : pinned_)
      if (asked_[i++].revents == 0) pinned.runs = cycle_;
  }

  // The image of the pinned process of the server when it is this one and has not ended;
  // none otherwise. Read by the id, then the held process asked: if it still runs, the id
  // named it when the image was read.
  std::optional<Identity> PinnedImage(const std::string& path, const Found& found) {
    const auto pinned = pinned_.find(path);
    if (pinned == pinned_.end() || !pinned->second.Names(found)) return std::nullopt;
    std::optional<Identity> image = proc_.ProcessIdentity(found.pid);
    if (image && !proc_.StillRuns(pinned->second.process.get())) image.reset();
    pinned->second.image = image;
    return image;
  }

  // A pidfd for the server's process, kept when the server held one already or when it is no
  // descriptor the supervision's margin needs (the descriptor given is the lowest free one).
  UniqueFd HoldProcess(const std::string& path, pid_t pid) {
    UniqueFd process = proc_.OpenProcess(pid);
    if (process && !pinned_.contains(path) && !OptionalDescriptorMayStay(process.get())) process.reset();
    return process;
  }

  // Holds the confirmed process, checked to be the same process after it was taken. Without
  // one (no descriptor to spare above the supervision's reserve, no pidfds) the start time is
  // read instead.
  void Pin(const std::string& path, const Found& found) {
    UniqueFd process = HoldProcess(path, found.pid);
    if (!process || proc_.StartTimeOf(found.pid) != found.started) {
      pinned_.erase(path);
      return;
    }
    pinned_[path] = Pinned{std::move(process), found.pid, found.started, 0, std::nullopt};
  }

  // Applies a setting to every thread of the server's process and of every process it started
  // (the threads as found by the one look at its descendants); fails with the first failure.
  template <typename ApplyToThread>
  Expected<void> ApplyToTree(pid_t root, ApplyToThread apply) {
    DescendantsOf(proc_, root, descendants_);
    Expected<void> first;
    for (const pid_t tid : descendants_.threads)
      if (Expected<void> applied = apply(tid); first) first = applied;
    return first;
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

  // In a cycle, a server whose process is held, had not ended at the cycle's start and ran the
  // server's file at the last look at its image is running: the one question of the cycle's
  // start answers it. Its file and its image are looked at again in the server's turn (a file
  // removed or replaced, or another program run by the process, is seen then), or at once when
  // the process ends.
  bool HeldStillRuns(const Path& fileName) {
    if (!inCycle_) return false;
    const auto known = targets_.find(fileName);
    if (known == targets_.end() || known->second.checked == 0 || cycle_ >= known->second.due) return false;
    TargetEntry& entry = known->second;
    const auto last = confirmed_.find(entry.target.path);
    if (last == confirmed_.end()) return false;
    if (last->second.cycle != cycle_) {
      const auto pinned = pinned_.find(entry.target.path);
      if (pinned == pinned_.end() || !pinned->second.Names(last->second) || pinned->second.runs != cycle_) return false;
      proc_.Clear();
      // Found by a search, the image is read once; then it is known until the server's turn.
      if (!pinned->second.image) PinnedImage(entry.target.path, last->second);
      if (!(pinned->second.image == entry.target.identity)) return false;
      last->second.cycle = cycle_;
    }
    entry.held = cycle_;
    return true;
  }

  // The server's executable, read again only when its file changed, and looked at once a cycle.
  TargetLookup TargetOf(const Path& fileName) {
    auto known = targets_.find(fileName);
    if (known != targets_.end() && inCycle_ && (known->second.checked == cycle_ || known->second.held == cycle_))
      return {&known->second.target, 0};
    std::string converted;  // only for a file not seen before
    if (known == targets_.end()) converted = Utf16ToUtf8(fileName);
    const std::string& path = known != targets_.end() ? known->second.target.path : converted;
    proc_.Clear();
    const std::optional<FileStamp> now = path.empty() ? std::nullopt : proc_.Stat(path.c_str(), LookCall::ExecutableFile);
    if (!now) {
      if (proc_.Error() != 0) return {nullptr, proc_.Error()};  // the file is kept as it was known
      if (known != targets_.end()) targets_.erase(known);
      return {};
    }
    if (known == targets_.end()) known = targets_.emplace(fileName, TargetEntry{}).first;
    TargetEntry& entry = known->second;
    if (entry.target.path.empty() || !(entry.stamp == *now)) {
      Target made = MakeTarget(proc_, path, now->identity);
      if (proc_.Error() != 0) return {nullptr, proc_.Error()};  // read again at the next look
      entry.target = std::move(made);
      entry.output = launcher_.OutputFileOf(fileName);
      entry.stamp = *now;
    }
    // A server's first turn comes after a part of the period of its own, so that servers
    // started together do not all take their turns in the same cycle.
    const std::uint64_t offset = entry.checked == 0 ? Turn(fileName) : 0;
    entry.checked = inCycle_ ? cycle_ : 0;
    entry.due = cycle_ + kFileLookCycles - offset;
    return {&entry.target, 0};
  }

  // The process found last time, when it is still the server's, answers without a look at the
  // whole list; otherwise the list (the cycle's, or a new one outside a cycle) is searched, first
  // by the images, then by the marker. A look the system refused anywhere on the way, with
  // nothing found, is no answer.
  Search FindServerProcess(const Target& target) {
    proc_.Clear();
    if (const auto last = confirmed_.find(target.path); last != confirmed_.end()) {
      if (inCycle_ && last->second.cycle == cycle_) return {last->second, 0};
      // Held, the process is looked at once (its image, then its pidfd asked) while it runs the
      // server's file; otherwise every way it can be the server's is tried.
      const std::optional<Identity> image = PinnedImage(target.path, last->second);
      const bool still = image ? *image == target.identity || IsServerProcess(proc_, last->second.pid, target, true)
                               : IsStillServer(last->second, target);
      if (still) {
        last->second.cycle = inCycle_ ? cycle_ : 0;
        if (!image) Pin(target.path, last->second);
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
    if (const std::optional<pid_t> pid = snapshot_->index->Find(proc_, target)) found = Found{*pid};
    const int error = snapshot_->error != 0 ? snapshot_->error : proc_.Error();
    if (!inCycle_) snapshot_.reset();
    if (!found) return {std::nullopt, error};
    // Held before its start time is read: that one read names the process found and the one
    // held alike.
    UniqueFd process = HoldProcess(target.path, found->pid);
    found->started = proc_.StartTimeOf(found->pid);
    found->cycle = inCycle_ ? cycle_ : 0;
    pinned_.erase(target.path);
    if (found->started != 0) {
      confirmed_[target.path] = *found;
      if (process) pinned_[target.path] = Pinned{std::move(process), found->pid, found->started, 0, std::nullopt};
    }
    return {found, 0};
  }

  void TakeSnapshot() {
    launcher_.ReapChildren();  // before each look at the list: no ended server stays a zombie
    snapshot_.emplace();
    proc_.Clear();
    proc_.ReadProcessList(snapshot_->entries);
    snapshot_->error = proc_.Error();
    snapshot_->index.emplace(snapshot_->entries);
  }

  ProcReader proc_;
  bool inCycle_ = false;
  std::optional<Snapshot> snapshot_;
  std::uint64_t cycle_ = 0;  // counts the cycles begun
  struct TargetEntry {
    Target target;
    std::string output;         // the server's output file, or empty
    FileStamp stamp;            // of the file when target was read
    std::uint64_t checked = 0;  // the cycle the file was last looked at in
    std::uint64_t due = 0;      // the cycle of its next turn
    std::uint64_t held = 0;     // the last cycle its held process answered for it
  };
  // Paths compared as bytes: a lookup, three a server each cycle, costs no unit-by-unit compare.
  struct SamePath {
    bool operator()(const Path& a, const Path& b) const noexcept {
      return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
    }
  };
  std::unordered_map<Path, TargetEntry, std::hash<Path>, SamePath> targets_;  // by the path as stored: a lookup converts nothing
  std::unordered_map<std::string, Found> confirmed_;  // by the server's path
  std::unordered_map<std::string, Pinned> pinned_;    // by the server's path
  std::vector<pollfd> asked_;                         // the question of the cycle's start
  std::unordered_map<std::string, ApplyErrors> applyErrors_;  // by the server's path
  std::unordered_map<std::string, Applied> affinityApplied_;  // by the server's path
  Descendants descendants_;  // the lists of the last look at a server's descendants
  ServerLauncher launcher_;
};

Expected<void> LinuxProcessControl::StartServerProcess(const Path& fileName, const std::u16string& params,
                                                       std::uint8_t priority, bool /*hide*/, std::uint32_t affinity) {
  snapshot_.reset();  // a new process joins the list
  const Expected<pid_t> started = launcher_.Start(fileName, params);
  if (!started) return SystemError{started.Error()};
  const int nice = NiceOf(priority);
  const cpu_set_t set = CpuSetOf(affinity);
  applyErrors_[Utf16ToUtf8(fileName)] =
      ApplyErrors{ApplyToThreads(proc_, *started, [&](pid_t tid) { return SetNice(tid, nice); }).Error(),
                  ApplyToThreads(proc_, *started, [&](pid_t tid) { return SetAffinity(tid, set); }).Error()};
  return {};
}

}  // namespace

std::unique_ptr<IProcessControl> CreateProcessControl(const ProcessControlOptions& options) {
  return std::make_unique<LinuxProcessControl>(options);
}

}  // namespace tervane
