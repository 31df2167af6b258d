#include "support/failures.h"

#include <atomic>
#include <mutex>

namespace tervane {

namespace {
std::atomic<std::uint64_t> failures{0};
std::mutex lastMutex;
const char* last = "";
}  // namespace

void NoteFailure(const char* where) noexcept {
  failures.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(lastMutex);
  last = where ? where : "";
}

std::uint64_t FailureCount() noexcept { return failures.load(std::memory_order_relaxed); }

std::string LastFailure() {
  std::lock_guard<std::mutex> lock(lastMutex);
  return last;
}

}  // namespace tervane
