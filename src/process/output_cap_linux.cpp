#include "process/output_cap_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

OutputCap::OutputCap(std::uint64_t limit, std::chrono::milliseconds period) : limit_(limit), period_(period) {}

OutputCap::~OutputCap() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void OutputCap::Keep(const std::string& path) {
  if (limit_ == 0 || path.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto known = std::find_if(files_.begin(), files_.end(), [&](const Kept& k) { return k.path == path; });
  if (known != files_.end()) {
    known->keptSinceSweep = true;
    return;
  }
  files_.push_back(Kept{path, true});
  ++generation_;
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  wake_.notify_all();
}

void OutputCap::Sweep() {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t before = files_.size();
  std::erase_if(files_, [](const Kept& k) { return !k.keptSinceSweep; });
  if (files_.size() != before) ++generation_;
  for (Kept& k : files_) k.keptSinceSweep = false;
}

void OutputCap::CapNow(const std::string& path) {
  std::lock_guard<std::mutex> lock(capping_);
  CapOutputFile(path, limit_);
}

void OutputCap::Run() {
  std::vector<std::string> paths;  // the thread's own copy, taken again when the set changed
  std::uint64_t seen = ~std::uint64_t{0};
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (generation_ != seen) {
      paths.clear();
      for (const Kept& k : files_) paths.push_back(k.path);
      seen = generation_;
    }
    if (paths.empty()) {
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      continue;
    }
    lock.unlock();
    bool capped = false;
    for (const std::string& path : paths) {
      std::lock_guard<std::mutex> one(capping_);
      capped = CapOutputFile(path, limit_) || capped;
    }
    lock.lock();
    // A file that was past its cap may be written faster than one period allows for: it is
    // looked at again at once, so the cap keeps up with the writer rather than with the clock.
    if (!capped) wake_.wait_for(lock, period_, [&] { return stop_; });
  }
}

}  // namespace tervane
