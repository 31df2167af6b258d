// Graceful stops and the plans' steps: a server's StopCommand sent before its process is ended,
// the cycles' looks at it while it stops, and its plan's warnings and restarts.
#include "core/servers.h"

#include <algorithm>
#include <chrono>

#include "support/text.h"

namespace tervane {
namespace {

constexpr char16_t kCannotSendStop[] = u"cannot send the stop command through RCON: ";
// A stop's exchange begun within StopSeconds has reported before the stop gives up on it.
static_assert(GracefulStop::kResultGrace > kRconExchangeTimeout);

}  // namespace

bool Servers::StopsGracefully(std::size_t i) const {
  const Server& s = at(i);
  const ServerStatus& st = s.Status;
  const bool watched = st.phase == Phase::Watched && !s.Paused && st.lookError == 0;
  const bool answering = st.process == ProcessState::Running && st.network == NetworkState::Normal && st.hasReply;
  return plans_.HasRcon() && !plans_.SettingsOf(i).stopCommand.empty() && watched && answering;
}

void Servers::BeginStop(std::size_t i, Want then, RestartReason reason) {
  if (then == Want::Close) SetPaused(i, true);
  Server& s = at(i);
  const RestartSettings& settings = plans_.SettingsOf(i);
  s.WaitReply = 0;  // no query goes out while it stops: the check has nothing to judge
  const auto now = GracefulStop::Clock::now();
  s.Status.phase = Phase::Stopping;
  s.Status.want = then;
  s.Stop.Begin(now, settings.stopSeconds, reason);
  Changed(i, ServerChange::What::State);
  const ServerId server = s.Id;
  // Not begun within StopSeconds, the command is dropped: the process is then ended without it.
  const auto beginBy = now + std::chrono::seconds(s.Stop.StopSeconds());
  plans_.Send(i, settings.stopCommand, beginBy, [this, server, token = plans_.ForProcess(i)](const RconResult& result) {
    const std::optional<std::size_t> at = RowOf(server);
    if (!at) return;  // removed meanwhile
    GracefulStop& stop = list_[*at]->Stop;
    // Its process ended meanwhile: this stop is over, whatever the answer says.
    const bool current = !token->load() && list_[*at]->Stopping();
    if (result.failure == RconFailure::NotSent) {
      if (current) stop.CommandNotSent(result.Reason());  // said when the process is ended
      return;
    }
    plans_.Note(*at, result, kCannotSendStop);
    if (!current) return;
    // A command that may have been taken (sent, or no answer in time) has StopSeconds from when it
    // went (or failed); any other failure ends the process as without it at the next cycle.
    if (result.ok() || result.failure == RconFailure::TimedOut)
      stop.CommandSent(result.commandSent.value_or(GracefulStop::Clock::now()));
    else
      stop.CommandFailed();
  });
}

void Servers::StepStop(std::size_t i) {
  Server& s = at(i);
  const Look look = process_.LookForServer(s.FileName.str());
  if (look.Known())
    LookedAt(i);
  else
    LookFailed(i, look.error);
  switch (s.Stop.Check(GracefulStop::Clock::now(), look)) {
    case GracefulStop::Step::Wait: return;
    case GracefulStop::Step::Ended: return FinishStop(i, false);
    case GracefulStop::Step::EndNow: return FinishStop(i, true);
  }
}

void Servers::FinishStop(std::size_t i, bool endNow) {
  Server& s = at(i);
  const Path exe = s.FileName.str();
  const Want then = s.Status.want;
  EndStop(i);
  if (endNow && s.Stop.NotSent()) {
    const std::string why = !s.Stop.NotSentWhy().empty()
                                ? s.Stop.NotSentWhy()
                                : "RCON command not sent (no result within " +
                                      std::to_string(s.Stop.StopSeconds() + GracefulStop::kResultGrace.count()) +
                                      " s)";
    Log(s, kCannotSendStop + Utf8ToUtf16(why) + u"; ended without it");
  }
  if (then == Want::Update) {
    // Its installation's update runs once every server of it ended; one whose end could not be
    // confirmed keeps it from running.
    WithdrawRcon(i);
    const Look ended = endNow ? process_.TerminateServerProcess(exe) : Look::Absent();
    if (!ended.Known()) {
      LookFailed(i, ended.error);
      return Changed(i, ServerChange::What::State);
    }
    return EnterUpdating(i);
  }
  if (then == Want::Close) {
    // Paused when the close began; ended as Close ends it.
    WithdrawRcon(i);
    const Look ended = endNow ? process_.TerminateServerProcess(exe) : Look::Absent();
    if (!ended.Known()) LookFailed(i, ended.error);
    s.Status.want = ended.Known() ? Want::Closed : Want::Run;
    return Changed(i, ServerChange::What::State);
  }
  if (endNow) return Restart(i, s.Stop.Reason(), exe);
  StartAndRecord(i, s.Stop.Reason(), exe, {});
}

bool Servers::StepPlan(std::size_t i) {
  Server& s = at(i);
  if (!s.Plan) return false;
  const ServerStatus& st = s.Status;
  PlanInput in;
  in.now = clock_();
  // While its installation is updated, its planned times pass as a paused server's.
  in.paused = s.Paused != 0 || st.phase == Phase::Updating;
  in.answered = !in.paused && st.network == NetworkState::Normal && st.hasReply;
  in.players = st.players;
  in.bots = st.bots;
  const PlanStep step = s.Plan->Step(in);
  switch (step.kind) {
    case PlanStep::Kind::None: return false;
    case PlanStep::Kind::Warn: {
      const ServerId server = s.Id;
      // A warning a minute late tells the players a wrong time: dropped instead.
      const auto beginBy = std::chrono::steady_clock::now() + std::chrono::seconds(plans_.MinuteSeconds());
      auto said = [this, server, token = plans_.ForProcess(i)](const RconResult& result) {
        const auto at = RowOf(server);
        // Withdrawn: the process it warned ended meanwhile, and what it said with it.
        if (at && !(result.failure == RconFailure::NotSent && token->load()))
          plans_.Note(*at, result, u"cannot warn the players through RCON: ");
      };
      plans_.Send(i, RconSayCommand(step.text), beginBy, std::move(said));
      return false;
    }
    case PlanStep::Kind::Restart:
      if (step.jumpedSeconds > 0)
        Log(s, u"the clock jumped forward by " + ToU16(static_cast<int>(std::max<std::int64_t>(1, step.jumpedSeconds / 60))) +
                   u" min past the planned restart the players were warned of: restarting now");
      if (StopsGracefully(i))
        BeginStop(i, Want::Restart, RestartReason::Planned);
      else
        Restart(i, RestartReason::Planned, s.FileName.str());
      return true;
  }
  return false;
}

}  // namespace tervane
