// A swallowed failure is counted and said with its place and text, at most once a quiet time
// per place, from any thread.
#include "support/failures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/event_log.h"
#include "support/event_loop.h"
#include "support/expected.h"
#include "support/file.h"
#include "test_support.h"

namespace tervane {
namespace {

using namespace std::chrono_literals;
using namespace testing;

TEST(FailureRecord, SaysEachPlaceOnceAQuietTimeWithTheCountNotSaid) {
  FailureRecord record(60s);
  const FailureRecord::Clock::time_point t0{};
  struct Case {
    const char* where;
    std::string what;
    std::chrono::seconds at;
    const char* said;  // nullptr: only counted
  };
  const Case cases[] = {
      {"supervision cycle", "bad_alloc", 0s, "internal failure in supervision cycle: bad_alloc"},
      {"supervision cycle", "again", 10s, nullptr},
      {"HTTP request", "other place", 20s, "internal failure in HTTP request: other place"},
      {"supervision cycle", "again", 59s, nullptr},
      {"supervision cycle", "later", 60s, "internal failure in supervision cycle: later (2 more not said)"},
      {"supervision cycle", "line\nbreak\x7f", 200s, "internal failure in supervision cycle: line?break?"},
      {"start-up", std::string(400, 'x'), 0s, nullptr},  // checked below: cut
  };
  std::uint64_t count = 0;
  for (const Case& c : cases) {
    const auto line = record.Note(c.where, c.what, t0 + c.at);
    EXPECT_EQ(record.Count(), ++count);
    if (c.what.size() == 400) {
      ASSERT_TRUE(line);
      EXPECT_EQ(line->size(), std::string("internal failure in start-up: ").size() + 300 + 3);
    } else if (c.said) {
      EXPECT_EQ(line.value_or("(nothing)"), c.said);
    } else {
      EXPECT_FALSE(line) << *line;
    }
  }
}

// A failure noted in a catch block, on another thread too, is said on the loop's thread with the
// exception's text, or "unknown"; after the notices end it is only counted.
TEST(FailureNotices, SayCaughtFailuresOfAnyThreadOnTheLoopsThread) {
  EventLoop loop;
  std::vector<std::string> lines;
  const std::thread::id loopThread = std::this_thread::get_id();
  bool onLoopThread = true;
  const std::uint64_t before = FailureCount();
  {
    FailureNotices notices(loop, [&](const std::string& line) {
      lines.push_back(line);
      onLoopThread = onLoopThread && std::this_thread::get_id() == loopThread;
    });
    try {
      throw std::runtime_error("boom");
    } catch (...) {
      NoteCaughtFailure("test std exception");
    }
    std::thread other([] {
      try {
        throw 42;
      } catch (...) {
        NoteCaughtFailure("test other thread");
      }
    });
    other.join();
    ASSERT_TRUE(loop.RunUntil([&] { return lines.size() == 2; }, 5s));
  }
  NoteFailure("test after the notices", "unsaid");
  EXPECT_FALSE(loop.RunUntil([&] { return lines.size() > 2; }, 50ms));
  EXPECT_EQ(lines, (std::vector<std::string>{"internal failure in test std exception: boom",
                                             "internal failure in test other thread: unknown"}));
  EXPECT_TRUE(onLoopThread);
  EXPECT_EQ(FailureCount(), before + 3);
}


struct MarchClock : IClock {
  LocalTime Now() override { return {2024, 3, 5, 7, 8, 9}; }
};

// A file step that fails says the system's error, never a success without one: the missing
// folder, the step abandoned before the move (the old content kept), something in the way.
TEST(FileSteps, AFailureCarriesTheSystemsError) {
  TempDir dir;
  WriteBytes(dir.File(u"list"), {1});
  WriteBytes(dir.File(u"logs"), {2});  // a file where a folder should be
  MarchClock clock;
  const std::vector<std::uint8_t> bytes{9};
  struct Case {
    const char* what;
    std::function<Expected<void>()> step;
    std::function<bool(std::uint32_t)> expected;
  };
  const Case cases[] = {
      {"replace in a missing folder", [&] { return ReplaceFileAtomically(dir.File(u"none") + PathSeparator() + u"x", bytes); },
       IsNotFoundError},
      {"replace abandoned", [&] { return ReplaceFileAtomically(dir.File(u"list"), bytes, [] { return false; }); },
       [](std::uint32_t code) { return code == CancelledError(); }},
      {"remove a missing file", [&] { return RemoveFile(dir.File(u"missing")); }, IsNotFoundError},
      {"folder where a file is", [&] { return CreateDirectories(dir.File(u"logs")); },
       [](std::uint32_t code) { return code != 0; }},
      {"log line without its folder", [&] { return WriteLogFile(dir.File(u"logs"), u"lost", clock); },
       [](std::uint32_t code) { return code != 0; }},
  };
  for (const Case& c : cases) {
    const Expected<void> result = c.step();
    EXPECT_FALSE(result) << c.what;
    EXPECT_TRUE(c.expected(result.Error())) << c.what << ": " << result.Error();
    EXPECT_FALSE(result.ErrorText().empty()) << c.what;
  }
  EXPECT_EQ(ReadBytes(dir.File(u"list")), std::vector<std::uint8_t>{1});
  EXPECT_TRUE(ReplaceFileAtomically(dir.File(u"list"), bytes));
  EXPECT_EQ(ReadBytes(dir.File(u"list")), bytes);
}

}  // namespace
}  // namespace tervane
