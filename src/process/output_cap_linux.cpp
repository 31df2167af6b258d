#include "process/output_cap_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "support/unique_handle_posix.h"

namespace tervane {
namespace {

// Copies n bytes from offset at of in to the end of out: in the kernel where it can, else
// through a buffer.
bool CopyRange(int in, off_t at, int out, std::uint64_t n) {
  while (n > 0) {
    off_t from = at;
    const ssize_t moved = ::copy_file_range(in, &from, out, nullptr, static_cast<std::size_t>(n), 0);
    if (moved <= 0) break;
    at = from;
    n -= static_cast<std::uint64_t>(moved);
  }
  char buffer[65536];
  while (n > 0) {
    const ssize_t got = ::pread(in, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof buffer)), at);
    if (got <= 0 || ::write(out, buffer, static_cast<std::size_t>(got)) != got) return false;
    at += got;
    n -= static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

bool CapOutputFile(const std::string& path, std::uint64_t limit) {
  struct stat st {};
  if (limit == 0 || ::stat(path.c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) <= limit) return false;
  const UniqueFd file(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t copied = size < 2 * limit ? size : limit;
  const std::string rotated = path + ".1";
  const std::string partial = rotated + ".new";
  {
    const UniqueFd out(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!out || !CopyRange(file.get(), static_cast<off_t>(size - copied), out.get(), copied) ||
        ::rename(partial.c_str(), rotated.c_str()) != 0) {
      ::unlink(partial.c_str());  // a full disk: keep everything as it is
      return false;
    }
  }
  // The head goes in whole blocks of the file system; what is left of the copied part is less
  // than one block, which must be small beside the limit. A range that reaches the end is
  // refused: then, as on a file system that cannot do it, the file is emptied.
  const auto block = static_cast<std::uint64_t>(st.st_blksize > 0 ? st.st_blksize : 4096);
  const std::uint64_t head = size / block * block;
  if (block > limit / 4 || head == 0 ||
      ::fallocate(file.get(), FALLOC_FL_COLLAPSE_RANGE, 0, static_cast<off_t>(head)) != 0) {
    [[maybe_unused]] const int emptied = ::ftruncate(file.get(), 0);
  }
  return true;
}

OutputCap::OutputCap(std::uint64_t limit) : limit_(limit) {}

OutputCap::~OutputCap() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  if (thread_.joinable()) {
    Wake();
    thread_.join();
  }
  for (const int fd : {inotify_, wake_})
    if (fd >= 0) ::close(fd);
}

void OutputCap::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void OutputCap::Keep(const std::string& path) {
  if (limit_ == 0 || path.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto known = files_.find(path);
  if (known != files_.end()) {
    known->second.keptSinceSweep = true;
    if (!known->second.rewatch) return;
  } else {
    if (!thread_.joinable()) {
      inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      if (wake_ < 0) return;  // no thread could be woken: nothing is kept
      thread_ = std::thread([this] { Run(); });
    }
    known = files_.emplace(path, Kept{}).first;
  }
  // A file that is not there has nothing to cap: it is watched once a server starts on it
  // (CapNow). A watch the system refuses otherwise (inotify's limits) leaves the file looked at
  // once each period.
  Kept& kept = known->second;
  kept.watch = inotify_ >= 0 ? ::inotify_add_watch(inotify_, path.c_str(), IN_MODIFY) : -1;
  kept.polled = kept.watch < 0 && !(inotify_ >= 0 && (errno == ENOENT || errno == ENOTDIR));
  kept.rewatch = false;
  kept.due = true;  // past its cap already, perhaps
  // The files of a cycle are taken in one wake-up, at the sweep; one without a watch starts
  // its period at once, and a watched one wakes the thread itself when it is written to.
  if (kept.polled) {
    Wake();
  } else {
    wakeAtSweep_ = true;
  }
}

void OutputCap::Sweep() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : files_) {
    const Kept& k = entry.second;
    // A watch shared by a link to the same file stays while the other path is kept.
    if (k.keptSinceSweep || k.watch < 0) continue;
    const bool shared = std::any_of(files_.begin(), files_.end(), [&](const auto& other) {
      return other.second.watch == k.watch && other.second.keptSinceSweep;
    });
    if (!shared) ::inotify_rm_watch(inotify_, k.watch);
  }
  std::erase_if(files_, [](const auto& k) { return !k.second.keptSinceSweep; });
  for (auto& [path, k] : files_) k.keptSinceSweep = false;
  if (wakeAtSweep_ && wake_ >= 0) Wake();
  wakeAtSweep_ = false;
}

void OutputCap::CapNow(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto known = files_.find(path);
    if (known != files_.end() && known->second.watch < 0)
      known->second.rewatch = true;  // the file is made now: watched at the next Keep
  }
  std::lock_guard<std::mutex> lock(capping_);
  CapOutputFile(path, limit_);
}

void OutputCap::Run() {
  constexpr int kPeriodMs = 10;  // for a file without a watch: the writer's pace allows no less
  std::vector<std::string> due;
  alignas(inotify_event) char events[16 * 1024];
  for (bool polled = false;;) {
    pollfd waits[2] = {{wake_, POLLIN, 0}, {inotify_, POLLIN, 0}};
    const int woken = ::poll(waits, inotify_ >= 0 ? 2 : 1, polled ? kPeriodMs : -1);
    if (woken < 0 && errno != EINTR) return;
    std::uint64_t count = 0;
    if (waits[0].revents & POLLIN) [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stop_) return;
    // Every change waiting is taken at once: a file written many times since is looked at once.
    for (ssize_t n; inotify_ >= 0 && (n = ::read(inotify_, events, sizeof events)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        for (auto& [path, k] : files_) {
          if (k.watch != event->wd) continue;
          if (event->mask & IN_IGNORED) k.watch = -1;  // the file went: watched again once a server starts on it
          k.due = true;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    due.clear();
    polled = false;
    for (auto& [path, k] : files_) {
      if (k.due || (woken == 0 && k.polled)) due.push_back(path);
      k.due = false;
      polled = polled || k.polled;
    }
    lock.unlock();
    // A file that was past its cap may be written faster than a cap takes: it is looked at
    // again at once (a few times), so the cap keeps up with the writer.
    for (const std::string& path : due) {
      std::lock_guard<std::mutex> one(capping_);
      for (int again = 0; again < 4 && CapOutputFile(path, limit_); ++again) {
      }
    }
  }
}

}  // namespace tervane
