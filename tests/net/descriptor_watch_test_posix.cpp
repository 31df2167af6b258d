// The Linux loop's descriptor watches, on pipes: news arrives on the loop's thread, the
// interest can be changed, and a watch removed by an earlier callback of the same pass is
// not called.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "support/event_loop.h"
#include "support/event_loop_posix.h"
#include "support/unique_handle_posix.h"

namespace tervane {
namespace {

constexpr std::chrono::milliseconds kPatience(5000);

struct Pipe {
  Pipe() {
    EXPECT_EQ(::pipe(fds), 0);
    ends[0].reset(fds[0]);
    ends[1].reset(fds[1]);
  }
  void Put() { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
  void Take() {
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), 1);
  }
  int fds[2] = {-1, -1};
  UniqueFd ends[2];
};

TEST(DescriptorWatch, ReportsReadableUntilReadAndStopsWhenNotAskedFor) {
  EventLoop loop;
  Pipe pipe;
  int calls = 0;
  short seen = 0;
  DescriptorWatch watch(loop, pipe.fds[0], POLLIN, [&](short revents) {
    ++calls;
    seen = revents;
    pipe.Take();
  });
  pipe.Put();
  pipe.Put();
  ASSERT_TRUE(loop.RunUntil([&] { return calls == 2; }, kPatience));
  EXPECT_TRUE(seen & POLLIN);

  watch.SetEvents(0);
  EXPECT_EQ(watch.Events(), 0);
  pipe.Put();
  EXPECT_FALSE(loop.RunUntil([&] { return calls > 2; }, std::chrono::milliseconds(100)));
  watch.SetEvents(POLLIN);
  EXPECT_TRUE(loop.RunUntil([&] { return calls == 3; }, kPatience));
}

TEST(DescriptorWatch, AWatchRemovedDuringThePassIsNotCalled) {
  EventLoop loop;
  Pipe a;
  Pipe b;
  std::unique_ptr<DescriptorWatch> first;
  std::unique_ptr<DescriptorWatch> second;
  int calls = 0;
  first = std::make_unique<DescriptorWatch>(loop, a.fds[0], POLLIN, [&](short) {
    ++calls;
    second.reset();
    first.reset();  // its own watch, from inside its callback
  });
  second = std::make_unique<DescriptorWatch>(loop, b.fds[0], POLLIN, [&](short) {
    ++calls;
    first.reset();
    second.reset();
  });
  a.Put();
  b.Put();  // both readable in the same pass
  ASSERT_TRUE(loop.RunUntil([&] { return calls > 0; }, kPatience));
  EXPECT_FALSE(loop.RunUntil([&] { return calls > 1; }, std::chrono::milliseconds(100)));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);
}

}  // namespace
}  // namespace tervane
