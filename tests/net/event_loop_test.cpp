// The one-thread loop and its timers: periodic ticks, the chain of two one-shot timers the
// supervision runs on, and handlers that change or destroy timers while the loop serves them.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/event_loop.h"

namespace tervane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPatience(5000);

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// A one-shot timer that sets a flag: used to let the loop run for a while when a test must
// show that something does not happen.
struct Marker {
  Marker(EventLoop& loop, unsigned ms) : timer(loop) {
    timer.SetInterval(ms);
    timer.OnTimer = [this] {
      timer.SetEnabled(false);
      fired = true;
    };
    timer.SetEnabled(true);
  }
  Timer timer;
  bool fired = false;
};

TEST(EventLoopTimer, StartsDisabledAndFiresEveryIntervalOnceEnabled) {
  EventLoop loop;
  Timer timer(loop);
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);

  int ticks = 0;
  timer.OnTimer = [&] { ++ticks; };
  timer.SetInterval(30);
  {
    Marker marker(loop, 120);
    ASSERT_TRUE(loop.RunUntil([&] { return marker.fired; }, kPatience));
  }
  EXPECT_EQ(ticks, 0) << "a timer that was never enabled fired";

  const auto start = Clock::now();
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 5; }, kPatience));
  // Five periods; window timers may round a little, never skip a whole period ahead.
  EXPECT_GE(MsSince(start), 5 * 30 - 20);
  EXPECT_TRUE(timer.Enabled());
}

TEST(EventLoopTimer, IntervalZeroNeverFires) {
  EventLoop loop;
  Timer timer(loop);
  int ticks = 0;
  timer.OnTimer = [&] { ++ticks; };
  timer.SetInterval(0);
  timer.SetEnabled(true);
  Marker marker(loop, 150);
  ASSERT_TRUE(loop.RunUntil([&] { return marker.fired; }, kPatience));
  EXPECT_EQ(ticks, 0);
}

TEST(EventLoopTimer, ChangingTheIntervalOrReenablingStartsTheCountAnew) {
  EventLoop loop;
  Timer timer(loop);
  std::vector<long long> ticks;
  Clock::time_point changed;
  timer.OnTimer = [&] {
    ticks.push_back(MsSince(changed));
    timer.SetEnabled(false);
  };
  timer.SetInterval(200);
  timer.SetEnabled(true);

  // 120 ms into the 200 ms count the interval becomes 300 ms: the tick comes 300 ms after
  // the change, not 200 ms after the start.
  Timer changer(loop);
  changer.SetInterval(120);
  changer.OnTimer = [&] {
    changer.SetEnabled(false);
    changed = Clock::now();
    timer.SetInterval(300);
  };
  changer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks.size() == 1; }, kPatience));
  EXPECT_GE(ticks[0], 300 - 20);

  // Disabled and enabled again 100 ms into a count: the count starts at the enabling.
  timer.SetInterval(200);
  timer.SetEnabled(true);
  changer.SetInterval(100);
  changer.OnTimer = [&] {
    changer.SetEnabled(false);
    timer.SetEnabled(false);
    changed = Clock::now();
    timer.SetEnabled(true);
  };
  changer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks.size() == 2; }, kPatience));
  EXPECT_GE(ticks[1], 200 - 20);
}

TEST(EventLoopTimer, AHandlerThatDisablesItsTimerFiresOnce) {
  EventLoop loop;
  Timer timer(loop);
  int ticks = 0;
  timer.SetInterval(20);
  timer.OnTimer = [&] {
    timer.SetEnabled(false);
    ++ticks;
  };
  timer.SetEnabled(true);
  Marker marker(loop, 250);
  ASSERT_TRUE(loop.RunUntil([&] { return marker.fired; }, kPatience));
  EXPECT_EQ(ticks, 1);
  EXPECT_FALSE(timer.Enabled());
}

// The supervision's chain: each handler stops its own timer and arms the other one, so the
// two alternate and are never armed together.
TEST(EventLoopTimer, TwoOneShotTimersAlternateAsAChain) {
  EventLoop loop;
  Timer circle(loop);
  Timer timeout(loop);
  std::string order;
  std::vector<long long> gaps;
  Clock::time_point armed = Clock::now();
  bool bothArmed = false;

  circle.OnTimer = [&] {
    circle.SetEnabled(false);
    bothArmed = bothArmed || timeout.Enabled();
    gaps.push_back(MsSince(armed));
    order += 'C';
    armed = Clock::now();
    timeout.SetInterval(30);
    timeout.SetEnabled(true);
  };
  timeout.OnTimer = [&] {
    timeout.SetEnabled(false);
    bothArmed = bothArmed || circle.Enabled();
    gaps.push_back(MsSince(armed));
    order += 'T';
    armed = Clock::now();
    circle.SetInterval(60);
    circle.SetEnabled(true);
  };
  circle.SetInterval(60);
  circle.SetEnabled(true);

  ASSERT_TRUE(loop.RunUntil([&] { return order.size() >= 8; }, kPatience));
  EXPECT_EQ(order.substr(0, 8), "CTCTCTCT");
  EXPECT_FALSE(bothArmed);
  for (std::size_t i = 0; i < gaps.size(); ++i) {
    EXPECT_GE(gaps[i], (i % 2 == 0 ? 60 : 30) - 20) << "step " << i;
  }
}

TEST(EventLoopTimer, ATimerDestroyedWhileDueIsNotCalled) {
  EventLoop loop;
  // Both fall due together; whichever runs first destroys the other one.
  auto first = std::make_unique<Timer>(loop);
  auto second = std::make_unique<Timer>(loop);
  int calls = 0;
  first->OnTimer = [&] {
    ++calls;
    second.reset();
    first->SetEnabled(false);
  };
  second->OnTimer = [&] {
    ++calls;
    first.reset();
    second->SetEnabled(false);
  };
  first->SetInterval(40);
  second->SetInterval(40);
  first->SetEnabled(true);
  second->SetEnabled(true);
  Marker marker(loop, 300);
  ASSERT_TRUE(loop.RunUntil([&] { return marker.fired; }, kPatience));
  EXPECT_EQ(calls, 1);
  EXPECT_NE(first == nullptr, second == nullptr);
}

TEST(EventLoopTimer, AHandlerMayDestroyItsOwnTimerAndMakeANewOne) {
  EventLoop loop;
  auto timer = std::make_unique<Timer>(loop);
  int generations = 0;
  std::function<void()> make = [&] {
    timer = std::make_unique<Timer>(loop);
    timer->SetInterval(20);
    timer->OnTimer = [&] {
      ++generations;
      timer.reset();  // destroys the running timer and its handler
      if (generations < 3) make();
    };
    timer->SetEnabled(true);
  };
  make();
  Marker marker(loop, 300);
  ASSERT_TRUE(loop.RunUntil([&] { return marker.fired; }, kPatience));
  EXPECT_EQ(generations, 3);
  EXPECT_EQ(timer, nullptr);
}

TEST(EventLoop, QuitEndsRunWithItsCode) {
  EventLoop loop;
  Timer timer(loop);
  int ticks = 0;
  timer.SetInterval(10);
  timer.OnTimer = [&] {
    if (++ticks == 3) loop.Quit(7);
  };
  timer.SetEnabled(true);
  EXPECT_EQ(loop.Run(), 7);
  EXPECT_EQ(ticks, 3);

  // A quit asked for before Run ends the next Run at once.
  timer.SetEnabled(false);
  loop.Quit(2);
  EXPECT_EQ(loop.Run(), 2);
}

TEST(EventLoop, QuitFromAnotherThreadEndsRun) {
  EventLoop loop;
  std::thread other([&] { loop.Quit(3); });
  Timer guard(loop);  // ends a hung test instead of hanging the suite
  guard.SetInterval(10000);
  guard.OnTimer = [&] { loop.Quit(-1); };
  guard.SetEnabled(true);
  EXPECT_EQ(loop.Run(), 3);
  other.join();
}

TEST(EventLoop, RunUntilAnswersFalseAtTheDeadline) {
  EventLoop loop;
  const auto start = Clock::now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, milliseconds(150)));
  EXPECT_GE(MsSince(start), 150 - 5);
  EXPECT_TRUE(loop.RunUntil([] { return true; }, milliseconds(0)));
}

TEST(EventLoop, AnExceptionFromAHandlerLeavesTheLoopAndTheLoopGoesOn) {
  EventLoop loop;
  Timer failing(loop);
  failing.SetInterval(10);
  failing.OnTimer = [&] {
    failing.SetEnabled(false);
    throw std::runtime_error("handler failed");
  };
  failing.SetEnabled(true);
  EXPECT_THROW(loop.RunUntil([] { return false; }, kPatience), std::runtime_error);

  Marker marker(loop, 20);
  EXPECT_TRUE(loop.RunUntil([&] { return marker.fired; }, kPatience));
}

// Tasks posted from other threads run on the loop's thread, every one, each thread's in the
// order it posted them, and a task may post again.
TEST(EventLoop, PostedTasksRunOnTheLoopsThreadInOrder) {
  EventLoop loop;
  const auto loopThread = std::this_thread::get_id();
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::vector<int>> seen(kThreads);
  bool offThread = false;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&, t] {
      for (int n = 0; n < kEach; ++n)
        loop.Post([&, t, n] {
          offThread = offThread || std::this_thread::get_id() != loopThread;
          seen[t].push_back(n);
        });
    });
  for (auto& p : posters) p.join();
  bool again = false;
  loop.Post([&] { loop.Post([&] { again = true; }); });
  ASSERT_TRUE(loop.RunUntil([&] { return again; }, kPatience));
  EXPECT_FALSE(offThread);
  for (const auto& s : seen) {
    ASSERT_EQ(s.size(), static_cast<std::size_t>(kEach));
    for (int n = 0; n < kEach; ++n) EXPECT_EQ(s[n], n);
  }
}

// A task posted while Run waits wakes it; tasks left when the loop goes are dropped unrun.
TEST(EventLoop, APostWakesRunAndLeftoversAreDropped) {
  auto ran = std::make_shared<int>(0);
  {
    EventLoop loop;
    std::thread poster([&] {
      std::this_thread::sleep_for(milliseconds(50));
      loop.Post([&] { loop.Quit(7); });
    });
    const auto start = Clock::now();
    EXPECT_EQ(loop.Run(), 7);
    EXPECT_LT(MsSince(start), kPatience.count());
    poster.join();
    loop.Post([ran] { ++*ran; });
  }
  EXPECT_EQ(*ran, 0);
  EXPECT_EQ(ran.use_count(), 1);  // the dropped task's copy is gone too
}

}  // namespace
}  // namespace tervane
