// Failures that a catch-all swallowed so that the program runs on (a supervision pass, a
// handler of the message loop, a start-up step, an HTTP request): each is counted (the metrics
// show the count) and said in a line with its place and its text, at most once a minute per
// place so that a failure in every cycle does not flood the log; the line after a quiet spell
// says how many were not said. Noted from any thread; said on the loop's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tervane {

class EventLoop;

// Counts one swallowed failure in `where` (a short name of the pass or step that ended) with
// what it was (an exception's text).
void NoteFailure(const char* where, std::string_view what) noexcept;
// The same from inside a catch block: what is the caught exception's text, or "unknown" for
// one that is no std::exception.
void NoteCaughtFailure(const char* where) noexcept;
std::uint64_t FailureCount() noexcept;

// The record behind NoteFailure: the count, and when each place was last said. Thread-safe.
class FailureRecord {
 public:
  using Clock = std::chrono::steady_clock;
  explicit FailureRecord(Clock::duration quiet = std::chrono::minutes(1)) : quiet_(quiet) {}

  // Counts the failure and answers the line to say, or nothing when the place was said less
  // than the quiet time ago (it is then counted among those not said).
  std::optional<std::string> Note(std::string_view where, std::string_view what, Clock::time_point now);
  std::uint64_t Count() const noexcept { return count_.load(std::memory_order_relaxed); }

 private:
  struct Place {
    Clock::time_point saidAt;
    std::uint64_t unsaid = 0;
  };
  const Clock::duration quiet_;
  std::atomic<std::uint64_t> count_{0};
  mutable std::mutex mutex_;
  std::map<std::string, Place, std::less<>> places_;  // a few fixed names: bounded
};

// While it lives, the lines of NoteFailure are said through `say` on the loop's thread (posted
// from the thread that noted the failure); before and after, they are only counted. One at a
// time; made and destroyed on the loop's thread, before the loop is destroyed.
class FailureNotices {
 public:
  FailureNotices(EventLoop& loop, std::function<void(const std::string& line)> say);
  ~FailureNotices();
  FailureNotices(const FailureNotices&) = delete;
  FailureNotices& operator=(const FailureNotices&) = delete;

 private:
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tervane
