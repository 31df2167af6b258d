// The planned restarts' decisions with a pinned clock and time zone: a scenario steps one
// server's plan every 4 s and lists what it was told to do when.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "core/graceful_stop.h"
#include "core/planned_restarts.h"
#include "core/rcon_port.h"
#include "core/restart_assignment.h"

namespace tervane {
namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kJan = 20460;    // 2026-01-07: local time is UTC+1
constexpr std::int64_t kMar29 = 20541;  // 01:00 UTC: 02:00 CET becomes 03:00 CEST
constexpr std::int64_t kOct25 = 20751;  // 01:00 UTC: 03:00 CEST becomes 02:00 CET

std::int32_t Berlin(WallTime t) { return t >= kMar29 * kDay + 3600 && t < kOct25 * kDay + 3600 ? 7200 : 3600; }

// A winter day's local time as a wall time.
WallTime W(std::int64_t day, int h, int m, int s = 0) { return day * kDay + h * 3600 + m * 60 + s - 3600; }

RestartSettings Daily(std::vector<int> minutes, std::vector<int> leads = {10, 5, 1}, int whenEmpty = 0) {
  RestartSettings s;
  s.restartAt = std::move(minutes);
  s.warnMinutes = std::move(leads);
  s.whenEmptyMinutes = whenEmpty;
  return s;
}

RestartSettings Every(int hours) {
  RestartSettings s;
  s.everyHours = hours;
  return s;
}

using Server = std::function<PlanInput(WallTime now)>;
Server Players(int n, std::optional<int> bots = {}) {
  return [=](WallTime) { return PlanInput{0, false, true, n, bots}; };
}

struct Seen {
  WallTime at;
  PlanStep::Kind kind;
  int minutes = 0;
  bool whenEmpty = false;
  bool oneOff = false;
  std::int64_t jumped = 0;
  bool operator==(const Seen&) const = default;
};
Seen Warn(WallTime at, int minutes, bool oneOff = false) { return {at, PlanStep::Kind::Warn, minutes, false, oneOff}; }
Seen Restart(WallTime at, bool whenEmpty = false, bool oneOff = false, std::int64_t jumped = 0) {
  return {at, PlanStep::Kind::Restart, 0, whenEmpty, oneOff, jumped};
}
void PrintTo(const Seen& s, std::ostream* os) {
  *os << (s.kind == PlanStep::Kind::Warn ? "warn " + std::to_string(s.minutes) : std::string("restart")) << " at "
      << s.at << (s.whenEmpty ? " (empty)" : "") << (s.oneOff ? " (one-off)" : "")
      << (s.jumped ? " (jumped " + std::to_string(s.jumped) + " s)" : "");
}

struct Scenario {
  const char* what;
  RestartSettings settings;
  WallTime from;
  int seconds;
  Server server;
  std::vector<Seen> expected;
  std::optional<WallTime> nextAfter = {};
  // The wall clock at each real time (set forward or back), and a one-off planned first.
  std::function<WallTime(WallTime)> clock = [](WallTime t) { return t; };
  int oneOffMinutes = -1;
  int minuteSeconds = 60;
};

std::vector<Seen> Simulate(const Scenario& c, RestartPlan& plan) {
  std::vector<Seen> seen;
  if (c.oneOffMinutes >= 0) {
    EXPECT_TRUE(plan.PlanOneOff(c.clock(c.from), c.oneOffMinutes));
  }
  for (WallTime t = c.from; t < c.from + c.seconds; t += 4) {
    PlanInput in = c.server(c.clock(t));
    in.now = c.clock(t);
    const PlanStep step = plan.Step(in);
    if (step.kind != PlanStep::Kind::None) seen.push_back({in.now, step.kind, step.minutes, step.whenEmpty, step.oneOff, step.jumpedSeconds});
  }
  return seen;
}

TEST(RestartPlan, Scenarios) {
  const Server busy = Players(12);
  const Scenario scenarios[] = {
      {"warned at each lead time in order, restarted at the planned time though busy", Daily({5 * 60}, {10, 5, 1}, 15),
       W(kJan, 4, 40), 1800, busy,
       {Warn(W(kJan, 4, 50), 10), Warn(W(kJan, 4, 55), 5), Warn(W(kJan, 4, 59), 1), Restart(W(kJan, 5, 0))},
       W(kJan + 1, 5, 0)},
      {"empty within the window: restarted at the first cycle that finds it so, and not again",
       Daily({5 * 60}, {10, 5, 1}, 15), W(kJan, 4, 40), 1800,
       [](WallTime now) { return PlanInput{0, false, true, now < W(kJan, 4, 52) ? 3 : 0, {}}; },
       {Warn(W(kJan, 4, 50), 10), Restart(W(kJan, 4, 52), true)}, W(kJan + 1, 5, 0)},
      {"an empty server is restarted when the window opens, once for each planned time", Daily({5 * 60, 6 * 60}, {}, 90),
       W(kJan, 3, 0), 4 * 3600, Players(0), {Restart(W(kJan, 3, 30), true), Restart(W(kJan, 4, 30), true)}},
      {"a window longer than the gap: one early restart, then one at each planned time", [] {
         RestartSettings s = Every(1);
         s.whenEmptyMinutes = 150;
         return s;
       }(), W(kJan, 0, 10), 4 * 3600, Players(0),
       {Restart(W(kJan, 0, 10), true), Restart(W(kJan, 2, 0)), Restart(W(kJan, 3, 0)), Restart(W(kJan, 4, 0))}},
      {"bots are nobody", Daily({5 * 60}, {}, 15), W(kJan, 4, 30), 1800, Players(6, 6), {Restart(W(kJan, 4, 45), true)}},
      {"a silent server is neither warned nor taken for empty, and restarted at the planned time",
       Daily({5 * 60}, {10, 5, 1}, 15), W(kJan, 4, 40), 1800, [](WallTime) { return PlanInput{}; },
       {Restart(W(kJan, 5, 0))}},
      {"restarted for another reason (silent a while): the planned time stays, the warning missed comes late",
       Daily({5 * 60}), W(kJan, 4, 40), 1800,
       [](WallTime now) { return PlanInput{0, false, now < W(kJan, 4, 58, 40) || now > W(kJan, 4, 59, 30), 12, {}}; },
       {Warn(W(kJan, 4, 50), 10), Warn(W(kJan, 4, 55), 5), Warn(W(kJan, 4, 59, 32), 1), Restart(W(kJan, 5, 0))}},
      {"paused: no warning, no restart, the next time planned", Daily({5 * 60}, {10}, 15), W(kJan, 4, 40), 1800,
       [](WallTime) { return PlanInput{0, true, true, 0, {}}; }, {}, W(kJan + 1, 5, 0)},
      {"every 6 hours from local midnight", Every(6), W(kJan, 23, 0), 14 * 3600, busy,
       {Restart(W(kJan + 1, 0, 0)), Restart(W(kJan + 1, 6, 0)), Restart(W(kJan + 1, 12, 0))}},
      {"the clock set forward past the planned time passes it over and keeps the next",
       Daily({5 * 60, 17 * 60}, {10}), W(kJan, 4, 0), 10 * 3600, busy,
       {Warn(W(kJan, 16, 50), 10), Restart(W(kJan, 17, 0))}, {},
       [](WallTime t) { return t >= W(kJan, 4, 30) ? t + 4 * 3600 : t; }},
      {"the clock set forward past a time already warned of restarts at once; set back, not again",
       Daily({5 * 60}), W(kJan, 4, 40), 1800, busy,
       {Warn(W(kJan, 4, 50), 10), Warn(W(kJan, 4, 55), 5), Restart(W(kJan, 6, 56), false, false, 7204)},
       W(kJan + 1, 5, 0),
       [](WallTime t) { return t >= W(kJan, 4, 56) && t < W(kJan, 4, 57) ? t + 2 * 3600 : t; }},
      {"a one-off already warned of is made at once when the clock jumps past it", {}, W(kJan, 12, 0), 600, busy,
       {Warn(W(kJan, 12, 0), 3, true), Restart(W(kJan, 13, 1), false, true, 3604)}, std::nullopt,
       [](WallTime t) { return t >= W(kJan, 12, 1) ? t + 3600 : t; }, 3},
      {"the clock set forward by days skips only the days it jumped over", Daily({5 * 60}, {}), W(kJan, 4, 0), 7200,
       busy, {Restart(W(kJan + 3, 5, 0))}, {},
       [](WallTime t) { return t >= W(kJan, 4, 30) ? t + 3 * kDay : t; }},
      {"the clock set back hours after the restart does not make it again", Daily({5 * 60}, {}), W(kJan, 4, 59),
       4 * 3600, busy, {Restart(W(kJan, 5, 0))}, W(kJan + 1, 5, 0),
       [](WallTime t) { return t >= W(kJan, 5, 1) ? t - 3 * 3600 : t; }},
      {"the clock set back by days plans afresh from the clock", Daily({5 * 60}, {}), W(kJan, 4, 59), 2 * 3600, busy,
       {Restart(W(kJan, 5, 0)), Restart(W(kJan - 3, 5, 0))}, {},
       [](WallTime t) { return t >= W(kJan, 5, 1) ? t - 3 * kDay - 3600 : t; }},
      {"a time the spring change skips is made as far after it", Daily({2 * 60 + 30}, {}), kMar29 * kDay, 3 * 3600, busy,
       {Restart(kMar29 * kDay + 5400)}},
      {"a time the autumn change shows twice is made once", Daily({2 * 60 + 30}, {}), kOct25 * kDay - 3600, 4 * 3600,
       busy, {Restart(kOct25 * kDay + 1800)}},
      {"every hour across the spring change: once an hour, never twice at one moment", Every(1),
       kMar29 * kDay - 1800, 3 * 3600, busy,
       {Restart(kMar29 * kDay), Restart(kMar29 * kDay + 3600), Restart(kMar29 * kDay + 7200)}},
      {"a one-off is warned at once and at the lead times left", {}, W(kJan, 12, 0), 600, busy,
       {Warn(W(kJan, 12, 0), 3, true), Warn(W(kJan, 12, 2), 1, true), Restart(W(kJan, 12, 3), false, true)},
       std::nullopt, [](WallTime t) { return t; }, 3},
      {"a one-off just before the planned time counts for it, and only its warnings are said",
       Daily({5 * 60}), W(kJan, 4, 50), 1200, busy,
       {Warn(W(kJan, 4, 50), 5, true), Warn(W(kJan, 4, 54), 1, true), Restart(W(kJan, 4, 55), false, true)},
       W(kJan + 1, 5, 0), [](WallTime t) { return t; }, 5},
      {"minutes shortened for tests: 4 s", {}, W(kJan, 12, 0), 60, busy,
       {Warn(W(kJan, 12, 0), 10, true), Warn(W(kJan, 12, 0, 20), 5, true), Warn(W(kJan, 12, 0, 36), 1, true),
        Restart(W(kJan, 12, 0, 40), false, true)},
       std::nullopt, [](WallTime t) { return t; }, 10, 4},
  };
  for (const Scenario& c : scenarios) {
    RestartPlan plan(Berlin, c.minuteSeconds);
    plan.Configure(c.settings);
    EXPECT_EQ(Simulate(c, plan), c.expected) << c.what;
    if (c.nextAfter) {
      EXPECT_EQ(plan.NextScheduled(), c.nextAfter) << c.what;
    }
  }
}

TEST(RestartPlan, AOneOffCanBeCancelledAndSaysItsText) {
  RestartSettings settings = Daily({}, {});
  settings.warnText = u"Neustart in %d Minuten; %d";
  RestartPlan plan(Berlin);
  plan.Configure(settings);
  EXPECT_FALSE(plan.PlanOneOff(W(kJan, 12, 0), -1));
  EXPECT_FALSE(plan.PlanOneOff(W(kJan, 12, 0), kMaxOneOffMinutes + 1));
  EXPECT_FALSE(plan.NextRestart());
  ASSERT_TRUE(plan.PlanOneOff(W(kJan, 12, 0), 30));
  EXPECT_EQ(plan.NextRestart(), W(kJan, 12, 30));
  const PlanStep first = plan.Step(PlanInput{W(kJan, 12, 0), false, true, 3, {}});
  EXPECT_EQ(first.text, u"Neustart in 30 Minuten; ");
  EXPECT_TRUE(plan.CancelOneOff());
  EXPECT_FALSE(plan.CancelOneOff());
  EXPECT_FALSE(plan.NextRestart());
  EXPECT_EQ(plan.Step(PlanInput{W(kJan, 12, 30), false, true, 0, {}}).kind, PlanStep::Kind::None);
}

// The zone's changes are the scenarios'; here the system's zone agrees with itself both ways.
TEST(RestartPlan, TheSystemZoneMapsLocalTimesBack) {
  const WallTime now = W(kJan, 12, 0);
  EXPECT_EQ(LocalToWall(now + SystemZoneOffset(now), SystemZoneOffset), now);
}

TEST(RestartPlan, MinutesFollowTheTestCycleOnly) {
  const std::pair<unsigned, int> cases[] = {{4000, 60}, {8000, 60}, {200, 3}, {80, 1}, {0, 1}};
  for (const auto& [cycle, minute] : cases) EXPECT_EQ(MinuteSecondsForCycle(cycle), minute) << cycle;
}

TEST(GracefulStop, WaitsStopSecondsFromTheSendingThenEndsIt) {
  using namespace std::chrono_literals;
  const GracefulStop::Clock::time_point t0{};
  enum class Result { None, SentAtOnce, SentLate, Failed };
  struct Case {
    const char* what;
    Result result;
    std::chrono::seconds at;
    Look look;
    GracefulStop::Step step;
    bool notSent;  // ended without the command: the line the end writes
  } cases[] = {
      {"ended by itself", Result::SentAtOnce, 5s, Look::Absent(), GracefulStop::Step::Ended, false},
      {"still running in time", Result::SentAtOnce, 19s, Look::Running(), GracefulStop::Step::Wait, false},
      {"not looked at in time", Result::SentAtOnce, 19s, Look::Unknown(5), GracefulStop::Step::Wait, false},
      {"still running at the end of its time", Result::SentAtOnce, 20s, Look::Running(), GracefulStop::Step::EndNow,
       false},
      {"sent late: its time counts from the sending", Result::SentLate, 27s, Look::Running(),
       GracefulStop::Step::Wait, false},
      {"the command never arrived", Result::Failed, 1s, Look::Running(), GracefulStop::Step::EndNow, false},
      {"no result within its time and an exchange's", Result::None, 26s, Look::Running(), GracefulStop::Step::EndNow, true},
  };
  for (const Case& c : cases) {
    GracefulStop stop;
    stop.Begin(t0, 20, RestartReason::Planned);
    switch (c.result) {
      case Result::None: break;
      case Result::SentAtOnce: stop.CommandSent(t0); break;
      case Result::SentLate: stop.CommandSent(t0 + 10s); break;
      case Result::Failed: stop.CommandFailed(); break;
    }
    EXPECT_EQ(stop.Check(t0 + c.at, c.look), c.step) << c.what;
    if (c.step == GracefulStop::Step::EndNow) {
      EXPECT_EQ(stop.NotSent(), c.notSent) << c.what;
    }
    EXPECT_EQ(stop.Reason(), RestartReason::Planned);
  }
}

}  // namespace
}  // namespace tervane
