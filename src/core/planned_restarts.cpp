#include "core/planned_restarts.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iterator>
#include <utility>

#include "support/text.h"

namespace tervane {
namespace {

constexpr std::int64_t kDay = 24 * 60 * 60;
// A daylight-saving change makes a gap between two planned times up to this much longer.
constexpr std::int64_t kZoneSlack = 2 * 60 * 60;
// A one-off restart without lead times of the server's own is warned at these.
constexpr int kOneOffLeads[] = {10, 5, 1};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int Humans(const PlanInput& in) { return std::max(0, in.players - std::max(0, in.bots.value_or(0))); }

}  // namespace

// ----------------------------------------------------------------------------- the plan

RestartPlan::RestartPlan(ZoneOffset zone, int minuteSeconds)
    : zone_(zone ? std::move(zone) : ZoneOffset(SystemZoneOffset)), minute_(std::max(1, minuteSeconds)) {}

void RestartPlan::Configure(const RestartSettings& settings) {
  const bool replan = settings.restartAt != settings_.restartAt || settings.everyHours != settings_.everyHours ||
                      settings.warnMinutes != settings_.warnMinutes;
  settings_ = settings;
  if (replan) next_.reset();
}

bool RestartPlan::PlanOneOff(WallTime now, int minutes) {
  if (minutes < 0 || minutes > kMaxOneOffMinutes) return false;
  Due d;
  d.lengthSeconds = minutes * minute_;
  d.wall = now + d.lengthSeconds;
  d.leads = settings_.warnMinutes;
  if (d.leads.empty()) d.leads.assign(std::begin(kOneOffLeads), std::end(kOneOffLeads));
  if (minutes > 0) d.leads.push_back(minutes);
  std::sort(d.leads.begin(), d.leads.end(), std::greater<>());
  d.leads.erase(std::unique(d.leads.begin(), d.leads.end()), d.leads.end());
  oneOff_ = std::move(d);
  return true;
}

bool RestartPlan::CancelOneOff() {
  const bool had = oneOff_.has_value();
  oneOff_.reset();
  return had;
}

std::optional<WallTime> RestartPlan::NextScheduled() const {
  return next_ ? std::optional<WallTime>(next_->wall) : std::nullopt;
}

std::optional<WallTime> RestartPlan::OneOffDue() const {
  return oneOff_ ? std::optional<WallTime>(oneOff_->wall) : std::nullopt;
}

std::optional<WallTime> RestartPlan::NextRestart() const {
  if (next_ && oneOff_) return std::min(next_->wall, oneOff_->wall);
  return next_ ? NextScheduled() : OneOffDue();
}

std::int64_t RestartPlan::LongestGap() const {
  if (settings_.everyHours > 0) return std::int64_t{settings_.everyHours} * 60 * minute_;
  const std::vector<int>& at = settings_.restartAt;
  if (at.size() < 2) return kDay;
  std::int64_t gap = std::int64_t{at.front() + 24 * 60 - at.back()} * 60;
  for (std::size_t k = 1; k < at.size(); ++k) gap = std::max(gap, std::int64_t{at[k] - at[k - 1]} * 60);
  return gap;
}

RestartPlan::Due RestartPlan::NextOccurrence(WallTime now) const {
  // After an occurrence made shortly ahead of the clock (set back since), the next one follows
  // it; one made further ahead belongs to a clock that was wrong.
  std::int64_t after = Local(now);
  if (lastDoneLocal_ && *lastDoneLocal_ > after && *lastDoneLocal_ - after <= LongestGap()) after = *lastDoneLocal_;
  Due d;
  d.leads = settings_.warnMinutes;
  // Local times the clock skips fall on a wall time already past, or on the same one as the
  // time before them: those are passed over. Bounded, as a gap is an hour at most.
  auto take = [&](std::int64_t local) {
    d.local = local;
    d.wall = LocalToWall(local, zone_);
    return d.wall > now;
  };
  if (settings_.everyHours > 0) {
    const std::int64_t period = LongestGap();
    std::int64_t local = (FloorDiv(after, period) + 1) * period;
    for (int n = 0; n < 10000 && !take(local); ++n) local += period;
    return d;
  }
  const std::int64_t today = FloorDiv(after, kDay);
  for (std::int64_t date = today; date <= today + 3; ++date)
    for (int minute : settings_.restartAt) {
      const std::int64_t local = date * kDay + minute * 60LL;
      if (local > after && take(local)) return d;
    }
  return d;
}

void RestartPlan::FinishScheduled(WallTime now) {
  lastDoneLocal_ = next_->local;
  next_ = NextOccurrence(now);
}

std::int64_t RestartPlan::Window() const {
  const int leadest = settings_.warnMinutes.empty() ? 0 : settings_.warnMinutes.front();
  return std::int64_t{std::max(leadest, settings_.whenEmptyMinutes)} * minute_;
}

PlanStep RestartPlan::Restart(WallTime now, bool oneOff, bool whenEmpty, std::int64_t jumped) {
  // It counts for the other plan's restart due within the window after it.
  if (oneOff && next_ && next_->wall - now <= Window()) FinishScheduled(now);
  if (!oneOff && oneOff_ && oneOff_->wall - now <= Window()) oneOff_.reset();
  lastPlanned_ = now;
  PlanStep step;
  step.kind = PlanStep::Kind::Restart;
  step.whenEmpty = whenEmpty;
  step.oneOff = oneOff;
  step.jumpedSeconds = jumped;
  return step;
}

PlanStep RestartPlan::Step(const PlanInput& in) {
  const WallTime now = in.now;
  const std::optional<WallTime> before = std::exchange(lastStep_, now);
  if (!settings_.Scheduled()) {
    next_.reset();
  } else if (!next_ || next_->wall - now > LongestGap() + kZoneSlack) {
    next_ = NextOccurrence(now);
  }
  // The clock set back: a one-off restart is never further away than it was planned.
  if (oneOff_ && oneOff_->wall - now > oneOff_->lengthSeconds) oneOff_->wall = now + oneOff_->lengthSeconds;

  // The planned times reached: the one-off first, the operator's own. One jumped over is made
  // only when its players were warned of it.
  const std::int64_t lateLimit = minute_;
  auto jumped = [&](const Due& d) -> std::int64_t {
    if (now - d.wall <= lateLimit || d.warned == 0) return 0;
    return before && *before < now ? now - *before : now - d.wall;
  };
  if (oneOff_ && oneOff_->wall <= now) {
    const std::int64_t jump = jumped(*oneOff_);
    const bool make = !in.paused && (now - oneOff_->wall <= lateLimit || jump > 0);
    oneOff_.reset();
    if (make) return Restart(now, true, false, jump);
  }
  if (next_ && next_->wall <= now) {
    const std::int64_t jump = jumped(*next_);
    const bool make = !in.paused && (now - next_->wall <= lateLimit || jump > 0);
    FinishScheduled(now);
    if (make) return Restart(now, false, false, jump);
  }
  if (in.paused || !in.answered) return {};

  if (settings_.whenEmptyMinutes > 0 && Humans(in) == 0) {
    // Once a window: a server restarted by plan since the window opened is not restarted for
    // being empty again (with a window longer than the gap between planned times it would be
    // at every planned time ahead).
    const std::int64_t window = std::int64_t{settings_.whenEmptyMinutes} * minute_;
    auto opened = [&](const Due& d) {
      return d.wall - now <= window && !(lastPlanned_ && *lastPlanned_ >= d.wall - window);
    };
    if (oneOff_ && opened(*oneOff_)) {
      oneOff_.reset();
      return Restart(now, true, true);
    }
    if (next_ && opened(*next_)) {
      FinishScheduled(now);
      return Restart(now, false, true);
    }
  }

  // The warnings of the plan due first, then of the other unless the first one's restart will
  // count for it.
  struct Plan {
    Due* due;
    bool oneOff;
  };
  Plan plans[2] = {{oneOff_ ? &*oneOff_ : nullptr, true}, {next_ ? &*next_ : nullptr, false}};
  if (plans[0].due && plans[1].due && plans[1].due->wall < plans[0].due->wall) std::swap(plans[0], plans[1]);
  for (const Plan& plan : plans) {
    Due* d = plan.due;
    if (!d || (&plan == &plans[1] && plans[0].due && d->wall - plans[0].due->wall <= Window())) continue;
    const std::int64_t left = d->wall - now;
    std::size_t due = 0;
    while (due < d->leads.size() && std::int64_t{d->leads[due]} * minute_ >= left) ++due;
    if (due <= d->warned) continue;
    d->warned = due;
    PlanStep step;
    step.kind = PlanStep::Kind::Warn;
    step.minutes = static_cast<int>((left + minute_ - 1) / minute_);
    step.text = FormatText(settings_.warnText, {static_cast<long long>(step.minutes)});
    step.oneOff = plan.oneOff;
    return step;
  }
  return {};
}

}  // namespace tervane
