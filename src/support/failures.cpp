#include "support/failures.h"

#include <exception>

#include "support/event_loop.h"

namespace tervane {

namespace {

// An exception's text may carry bytes from outside (a peer's, a file's): one line, bounded.
constexpr std::size_t kMostTextBytes = 300;

std::string OneLine(std::string_view text) {
  std::string line(text.substr(0, kMostTextBytes));
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  if (text.size() > kMostTextBytes) line += "...";
  return line;
}

FailureRecord& Record() {
  static FailureRecord record;
  return record;
}

// Where the lines go while a FailureNotices lives; guarded so that it is not taken away while
// a line is handed to it.
std::mutex sinkMutex;
std::function<void(std::string)> sink;

}  // namespace

std::optional<std::string> FailureRecord::Note(std::string_view where, std::string_view what,
                                               Clock::time_point now) {
  count_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = places_.find(where);
  if (it == places_.end()) {
    it = places_.emplace(std::string(where), Place{now, 0}).first;
  } else if (now - it->second.saidAt < quiet_) {
    ++it->second.unsaid;
    return std::nullopt;
  }
  std::string line = "internal failure in " + OneLine(where) + ": " + OneLine(what);
  if (it->second.unsaid > 0) line += " (" + std::to_string(it->second.unsaid) + " more not said)";
  it->second = Place{now, 0};
  return line;
}

void NoteFailure(const char* where, std::string_view what) noexcept {
  try {
    std::optional<std::string> line = Record().Note(where ? where : "", what, FailureRecord::Clock::now());
    if (!line) return;
    std::lock_guard<std::mutex> lock(sinkMutex);
    if (sink) sink(std::move(*line));
  } catch (...) {
    // Out of memory while noting: the count (taken first) is all that is left.
  }
}

void NoteCaughtFailure(const char* where) noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    NoteFailure(where, e.what());
  } catch (...) {
    NoteFailure(where, "unknown");
  }
}

std::uint64_t FailureCount() noexcept { return Record().Count(); }

FailureNotices::FailureNotices(EventLoop& loop, std::function<void(const std::string& line)> say) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  sink = [&loop, alive = alive_, say = std::move(say)](std::string line) {
    loop.Post([alive, say, line = std::move(line)] {
      if (*alive) say(line);
    });
  };
}

FailureNotices::~FailureNotices() {
  *alive_ = false;
  std::lock_guard<std::mutex> lock(sinkMutex);
  sink = nullptr;
}

}  // namespace tervane
