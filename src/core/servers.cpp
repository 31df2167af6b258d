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

WallTime SystemWallTime() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Servers::Servers(ServerList& list, IListView& view, const MessageTexts& texts, IProcessControl& process,
                 EventLog& log, SupervisionTiming timing, WallClock clock)
    : list_(list),
      view_(view),
      texts_(texts),
      process_(process),
      log_(log),
      timing_(timing),
      clock_(clock ? std::move(clock) : WallClock(SystemWallTime)),
      zone_(SystemZoneOffset),
      minuteSeconds_(MinuteSecondsForCycle(timing.checkDelayMs + timing.cycleDelayMs)) {}

void Servers::Log(const ServerEntry& e, std::u16string_view message) { log_.AddLog(e.Name.str(), message); }

void Servers::Render(std::size_t i) { RenderRow(view_, static_cast<int>(i), *list_.at(i), texts_); }

void Servers::RenderAll() {
  for (std::size_t i = 0; i < list_.size(); ++i) Render(i);
}

// ----------------------------------------------------------------------------- supervision

void Servers::FoundRunning(std::size_t i) {
  LookedAt(i);
  Server& s = at(i);
  s.Status.closedByOperator = false;  // running again, by whatever hand
  s.LostCount = 0;
  if (s.Restarts < 0) s.Restarts = 0;  // seen running: from now on its restarts count
  s.WaitReply = 1;                      // the queries go out next
  s.Status.process = ProcessState::Running;
  Render(i);
}

void Servers::FoundMissing(std::size_t i) {
  LookedAt(i);
  WithdrawRcon(i);  // its process is gone
  Server& s = at(i);
  s.WaitReply = 0;
  s.TimeoutCount = 0;
  s.Status.network = NetworkState::Unknown;
  s.Status.ClearReply();
  s.LostCount += 1;
  if (s.LostCount > kLostLimit) {
    // A first start since load is no crash, whatever the guard's count.
    if (!GuardLets(i, s.Restarts < 0 ? RestartReason::FirstStart : RestartReason::ProcessLost)) return;
    StartAndRecord(i, RestartReason::ProcessLost, s.FileName.str(), {});
    return;
  }
  s.Status.process = ProcessState::Lost;
  Render(i);
}

void Servers::LookFailed(std::size_t i, std::uint32_t error) {
  Server& s = at(i);
  ++health_.lookFailures;
  s.WaitReply = 0;  // no query went out: the check has nothing to judge
  if (s.Status.lookError == 0)
    NoticeFor(i, u"cannot look for its process: " + SystemErrorText(error) +
                     u"; nothing is started or ended on it until it can");
  s.Status.lookError = error;
}

void Servers::LookedAt(std::size_t i) {
  ServerStatus& st = at(i).Status;
  if (st.lookError == 0) return;
  st.lookError = 0;
  NoticeFor(i, u"its process can be looked for again");
}

void Servers::ReplyReceived(std::size_t i, const ParsedDatagram& reply) {
  Server& s = at(i);
  s.TimeoutCount = 0;
  s.WaitReply = 0;
  s.ReplyKind = reply.replyKind;
  ServerStatus& st = s.Status;
  st.network = NetworkState::Normal;
  st.hasReply = true;
  st.map = reply.map;
  st.players = reply.players;
  st.maxPlayers = reply.maxPlayers;
  st.bots = reply.bots;
  st.protocol = reply.protocol;
  st.lastReply = clock_();
  Render(i);
}

void Servers::NoteApplyErrors(std::size_t i, const ApplyErrors& errors) {
  Server& s = at(i);
  ServerStatus& st = s.Status;
  if (errors.priority != st.priorityError && errors.priority != 0)
    Log(s, FormatText(texts_.Get(ExtraMsg::PriorityNotApplied), {SystemErrorText(errors.priority)}));
  if (errors.affinity != st.affinityError && errors.affinity != 0)
    Log(s, FormatText(texts_.Get(ExtraMsg::AffinityNotApplied), {SystemErrorText(errors.affinity)}));
  st.priorityError = errors.priority;
  st.affinityError = errors.affinity;
}

void Servers::ReplyMissed(std::size_t i) {
  Server& s = at(i);
  s.TimeoutCount += 1;
  if (s.TimeoutCount <= kTimeoutLimit) {
    s.Status.network = NetworkState::Timeout;
    Render(i);
    return;
  }
  Restart(i, RestartReason::NoResponse, s.FileName.str());
}

// ----------------------------------------------------------------------------- restarts

void Servers::Restart(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail) {
  if (!GuardLets(i, reason)) return;
  WithdrawRcon(i);
  const Look ended = process_.TerminateServerProcess(exe);
  if (!ended.Known()) {
    // The process may still run: a second one is not started beside it. A silent server's
    // next unanswered check tries again.
    LookFailed(i, ended.error);
    if (reason == RestartReason::NoResponse) at(i).TimeoutCount = kTimeoutLimit;
    return;
  }
  LookedAt(i);
  process_.Sleep(timing_.pauseMs);
  StartAndRecord(i, reason, exe, detail);
}

std::vector<std::size_t> Servers::RestartByCommand(const std::vector<std::size_t>& rows) {
  std::vector<Look> ended;
  ended.reserve(rows.size());
  for (std::size_t i : rows) {
    at(i).Stop.Abandon();  // a stop under way is overtaken: the process is ended now
    WithdrawRcon(i);
    ended.push_back(process_.TerminateServerProcess(at(i).FileName.str()));
  }
  process_.Sleep(timing_.pauseMs);
  std::vector<std::size_t> notStarted;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const std::size_t i = rows[k];
    if (!ended[k].Known()) {
      LookFailed(i, ended[k].error);
      notStarted.push_back(i);
      continue;
    }
    LookedAt(i);
    StartAndRecord(i, RestartReason::Command, at(i).FileName.str(), {});
  }
  return notStarted;
}

bool Servers::GuardLets(std::size_t i, RestartReason reason) {
  Server& s = at(i);
  ServerStatus& st = s.Status;
  const bool afterClose = st.closedByOperator && reason == RestartReason::ProcessLost;
  if (!CountsAsCrash(reason) || afterClose || !guard_.Refuses(st.recentRestarts, clock_())) return true;
  // The server is left as it is: a process that still runs keeps running, unsupervised.
  SetPaused(i, true);
  st.crashLoopPaused = true;
  Log(s, CrashLoopText());
  Tell(StartRecord{i, reason, 0, clock_(), true});
  return false;
}

std::u16string Servers::CrashLoopText() const {
  return FormatText(texts_.Get(ExtraMsg::CrashLoopPaused), {guard_.MaxRestarts(), guard_.WindowMinutes()});
}

void Servers::Tell(const StartRecord& record) { startObservers_.Notify("after a start", record); }

void Servers::StartAndRecord(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail) {
  Server& s = at(i);
  ServerStatus& st = s.Status;
  // The start that follows the operator's close and unpause is theirs: counted and reported as
  // a command, though logged by the rule of a lost process.
  const bool afterClose = st.closedByOperator && reason == RestartReason::ProcessLost;
  st.closedByOperator = false;
  WithdrawRcon(i);  // what was asked before the start was not meant for the new process
  st.lastStartError = process_.StartServerProcess(exe, s.Params.str(), s.Priority, HideConsole(s), s.Affinity).Error();
  const bool started = st.lastStartError == 0;
  // A failed start is tried again after the same number of lost cycles as a lost process.
  s.TimeoutCount = 0;
  s.LostCount = 0;
  s.WaitReply = 0;
  if (reason == RestartReason::ProcessLost && s.Restarts + (started ? 1 : 0) <= 0) reason = RestartReason::FirstStart;
  // Only a start that happened counts as one.
  if (started && reason != RestartReason::Command) s.Restarts += 1;
  const WallTime now = clock_();
  const RestartReason counted = afterClose && reason == RestartReason::ProcessLost ? RestartReason::Command : reason;
  if (CountsAsCrash(counted)) guard_.Note(st.recentRestarts, now);
  st.network = NetworkState::Unknown;
  st.ClearReply();
  if (started) {
    st.process = ProcessState::Restarting;
    st.processStarted = now;
    st.lastRestart = now;
    st.lastRestartReason = counted;
    st.restartsByReason[static_cast<std::size_t>(counted)] += 1;
  } else {
    st.process = ProcessState::StartFailed;
    st.startError = SystemErrorText(st.lastStartError);
    st.failedStarts += 1;
  }
  Render(i);
  LogStart(s, reason, detail);
  if (!started) Log(s, FormatText(texts_.Get(ExtraMsg::StartFailed), {st.startError}));
  Tell(StartRecord{i, counted, st.lastStartError, now, false});
}

void Servers::LogStart(const ServerEntry& s, RestartReason reason, std::u16string_view detail) {
  switch (reason) {
    case RestartReason::FirstStart: Log(s, kLogStarting); break;
    case RestartReason::ProcessLost: Log(s, kLogProcessLost); break;
    case RestartReason::FatalError: Log(s, kLogFatalError + std::u16string(detail)); break;
    case RestartReason::NoResponse: Log(s, kLogNoResponse); break;
    case RestartReason::Command: break;  // the operator's own act is not logged
    case RestartReason::Planned: Log(s, texts_.Get(ExtraMsg::PlannedRestart)); break;
  }
}

// ----------------------------------------------------------------------------- commands

void Servers::SetPaused(std::size_t i, bool paused) {
  Server& s = at(i);
  s.Paused = paused ? 1 : 0;
  if (!paused) s.Status.crashLoopPaused = false;
  // Unpaused while its close waited for the process to end: it is no longer to be closed.
  if (!paused && s.Stop.Stopping() && s.Stop.What() == GracefulStop::Then::Close) s.Stop.Abandon();
  s.TimeoutCount = 0;
  s.LostCount = 0;
  // Unpaused, it shows "-" until the next cycle looks at it.
  s.Status.process = ProcessState::Unknown;
  s.Status.network = NetworkState::Unknown;
  s.Status.ClearReply();
  Render(i);
}

Look Servers::Close(std::size_t i) {
  at(i).Stop.Abandon();
  WithdrawRcon(i);
  const Look ended = process_.TerminateServerProcess(at(i).FileName.str());
  if (ended.Known())
    LookedAt(i);
  else
    LookFailed(i, ended.error);
  at(i).WaitReply = 0;
  SetPaused(i, true);
  at(i).Status.closedByOperator = ended.Known();
  return ended;
}

void Servers::Add(std::unique_ptr<Server> server) {
  list_.push_back(std::move(server));
  AddServerRow(view_, *list_.back(), texts_);
  ReassignRestarts();
  listObservers_.Notify("list change");
}

void Servers::Replace(ServerList servers) {
  for (int i = view_.RowCount() - 1; i >= 0; --i) view_.DeleteServerRow(i);
  for (std::size_t i = 0; i < list_.size(); ++i) WithdrawRcon(i);
  list_.clear();
  for (auto& server : servers) {
    list_.push_back(std::move(server));
    AddServerRow(view_, *list_.back(), texts_);
  }
  ReassignRestarts();
  listObservers_.Notify("list change");
}

void Servers::Erase(std::size_t i) {
  if (i >= list_.size()) return;
  WithdrawRcon(i);
  view_.DeleteServerRow(static_cast<int>(i));
  list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(i));
  ReassignRestarts();
  listObservers_.Notify("list change");
}

void Servers::Move(std::size_t s, std::size_t t) {
  const std::size_t count = list_.size();
  if (s >= count || t >= count || s == t) return;
  // The row is inserted at its new place before the old one goes, so the selection follows it.
  std::unique_ptr<Server> server = std::move(list_[s]);
  const std::size_t insertAt = t > s ? t + 1 : t;
  const std::size_t eraseAt = t > s ? s : s + 1;
  view_.InsertRow(static_cast<int>(insertAt), server->Shown);
  view_.DeleteServerRow(static_cast<int>(eraseAt));
  list_.insert(list_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(server));
  list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(eraseAt));
  listObservers_.Notify("list change");
}

std::optional<std::size_t> Servers::RowOf(ServerId id) const {
  if (id == 0) return std::nullopt;
  for (std::size_t i = 0; i < list_.size(); ++i)
    if (list_[i]->Id == id) return i;
  return std::nullopt;
}

std::optional<std::size_t> Servers::Resolve(ServerId id, std::size_t number, std::string* why) const {
  const std::string named = "server " + std::to_string(number);
  const std::optional<std::size_t> row = RowOf(id);
  std::string reason;
  if (id == 0)
    reason = "no server number " + std::to_string(number);
  else if (!row)
    reason = named + " was deleted; nothing done";
  else if (*row + 1 != number)
    reason = named + " is now number " + std::to_string(*row + 1) + "; nothing done";
  else
    return row;
  if (why) *why = std::move(reason);
  return std::nullopt;
}

// ----------------------------------------------------------------------------- planned restarts

void Servers::SetRestartOptions(RestartOptions options, ZoneOffset zone) {
  restartOptions_ = std::move(options);
  if (zone) zone_ = std::move(zone);
  ReassignRestarts();
}

void Servers::ReassignRestarts() {
  // Without the sections nothing is made: the servers keep no plan.
  if (!restartOptions_.Any()) return;
  std::vector<std::u16string> names;
  names.reserve(list_.size());
  for (const auto& s : list_) names.push_back(s->Name.str());
  const RestartAssignment assignment = AssignRestartSettings(restartOptions_, names);
  for (std::size_t i = 0; i < list_.size(); ++i) PlanOf(i).Configure(assignment.settings[i]);
  restartProblems_ = AssignmentProblems(assignment);
}

void Servers::LogRestartProblems() {
  if (restartProblems_ == loggedProblems_) return;
  for (const std::string& line : restartProblems_)
    if (std::find(loggedProblems_.begin(), loggedProblems_.end(), line) == loggedProblems_.end())
      log_.AddLog(kOptionsFileName, Utf8ToUtf16(line));
  loggedProblems_ = restartProblems_;
}

RestartPlan& Servers::PlanOf(std::size_t i) {
  std::optional<RestartPlan>& plan = at(i).Plan;
  if (!plan) plan.emplace(zone_, minuteSeconds_);
  return *plan;
}

const RestartSettings& Servers::SettingsOf(std::size_t i) const {
  static const RestartSettings kDefaults;
  const std::optional<RestartPlan>& plan = at(i).Plan;
  return plan ? plan->Settings() : kDefaults;
}

WallTime Servers::PlanRestart(std::size_t i, int minutes) {
  RestartPlan& plan = PlanOf(i);
  return plan.PlanOneOff(clock_(), minutes) ? plan.OneOffDue().value_or(0) : 0;
}

bool Servers::CancelRestart(std::size_t i) { return at(i).Plan && at(i).Plan->CancelOneOff(); }

WallTime Servers::NextPlannedRestart(std::size_t i) const {
  const std::optional<RestartPlan>& plan = at(i).Plan;
  return plan ? plan->NextRestart().value_or(0) : 0;
}

RconRequest Servers::RconRequestOf(std::size_t i, std::string command) {
  Server& s = at(i);
  RconRequest request = RconRequestFor(SettingsOf(i), s.IPAddress.str(), s.Port, s.Params.str(), s.ReplyKind,
                                       s.Status.protocol, std::move(command));
  request.withdrawn = RconForProcess(i);
  return request;
}

RconWithdrawal Servers::RconForProcess(std::size_t i) {
  RconWithdrawal& token = at(i).RconFor;
  if (!token) token = std::make_shared<std::atomic<bool>>(false);
  return token;
}

void Servers::WithdrawRcon(std::size_t i) {
  if (RconWithdrawal& token = at(i).RconFor) {
    token->store(true);
    token.reset();
  }
}

void Servers::SendRcon(std::size_t i, std::string command, std::chrono::steady_clock::time_point beginBy,
                       IRcon::Done done) {
  RconRequest request = RconRequestOf(i, std::move(command));
  request.beginBy = beginBy;
  if (rcon_) return rcon_->Send(std::move(request), std::move(done));
  RconResult none;
  none.failure = RconFailure::Cancelled;
  none.detail = "no RCON client";
  done(none);
}

void Servers::NoteRcon(std::size_t i, const RconResult& result, std::u16string_view what) {
  Server& s = at(i);
  if (result.ok()) {
    s.RconTrouble.clear();
    return;
  }
  std::string reason = result.Reason();
  if (reason == s.RconTrouble) return;
  s.RconTrouble = reason;
  for (char& c : reason)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  Log(s, std::u16string(what) + Utf8ToUtf16(reason));
}

bool Servers::StopsGracefully(std::size_t i) const {
  const Server& s = at(i);
  const ServerStatus& st = s.Status;
  return rcon_ && !SettingsOf(i).stopCommand.empty() && !s.Paused && !s.Stop.Stopping() && st.lookError == 0 &&
         st.process == ProcessState::Running && st.network == NetworkState::Normal && st.hasReply;
}

void Servers::BeginStop(std::size_t i, GracefulStop::Then then, RestartReason reason) {
  if (then == GracefulStop::Then::Close) SetPaused(i, true);
  Server& s = at(i);
  const RestartSettings& settings = SettingsOf(i);
  s.WaitReply = 0;  // no query goes out while it stops: the check has nothing to judge
  const auto now = GracefulStop::Clock::now();
  s.Stop.Begin(now, settings.stopSeconds, then, reason);
  const ServerId server = s.Id;
  // Not begun within StopSeconds, the command is dropped: the process is then ended without it.
  const auto beginBy = now + std::chrono::seconds(s.Stop.StopSeconds());
  SendRcon(i, settings.stopCommand, beginBy, [this, server, token = RconForProcess(i)](const RconResult& result) {
    const std::optional<std::size_t> at = RowOf(server);
    if (!at) return;  // removed meanwhile
    GracefulStop& stop = list_[*at]->Stop;
    // Its process ended meanwhile: this stop is over, whatever the answer says.
    const bool current = !token->load() && stop.Stopping();
    if (result.failure == RconFailure::NotSent) {
      if (current) stop.CommandNotSent(result.Reason());  // said when the process is ended
      return;
    }
    NoteRcon(*at, result, kCannotSendStop);
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
    case GracefulStop::Step::None:
    case GracefulStop::Step::Wait: return;
    case GracefulStop::Step::Ended: return FinishStop(i, false);
    case GracefulStop::Step::EndNow: return FinishStop(i, true);
  }
}

void Servers::FinishStop(std::size_t i, bool endNow) {
  Server& s = at(i);
  const Path exe = s.FileName.str();
  if (endNow && s.Stop.NotSent()) {
    const std::string why = !s.Stop.NotSentWhy().empty()
                                ? s.Stop.NotSentWhy()
                                : "RCON command not sent (no result within " +
                                      std::to_string(s.Stop.StopSeconds() + GracefulStop::kResultGrace.count()) +
                                      " s)";
    Log(s, kCannotSendStop + Utf8ToUtf16(why) + u"; ended without it");
  }
  if (s.Stop.What() == GracefulStop::Then::Close) {
    // Paused when the close began; ended as Close ends it.
    WithdrawRcon(i);
    const Look ended = endNow ? process_.TerminateServerProcess(exe) : Look::Absent();
    if (!ended.Known()) LookFailed(i, ended.error);
    s.Status.closedByOperator = ended.Known();
    return;
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
  in.paused = s.Paused != 0;
  in.answered = !in.paused && st.network == NetworkState::Normal && st.hasReply;
  in.players = st.players;
  in.bots = st.bots;
  const PlanStep step = s.Plan->Step(in);
  switch (step.kind) {
    case PlanStep::Kind::None: return false;
    case PlanStep::Kind::Warn: {
      const ServerId server = s.Id;
      // A warning a minute late tells the players a wrong time: dropped instead.
      const auto beginBy = std::chrono::steady_clock::now() + std::chrono::seconds(minuteSeconds_);
      auto said = [this, server, token = RconForProcess(i)](const RconResult& result) {
        const auto at = RowOf(server);
        // Withdrawn: the process it warned ended meanwhile, and what it said with it.
        if (at && !(result.failure == RconFailure::NotSent && token->load()))
          NoteRcon(*at, result, u"cannot warn the players through RCON: ");
      };
      SendRcon(i, RconSayCommand(step.text), beginBy, std::move(said));
      return false;
    }
    case PlanStep::Kind::Restart:
      if (step.jumpedSeconds > 0)
        Log(s, u"the clock jumped forward by " + ToU16(static_cast<int>(std::max<std::int64_t>(1, step.jumpedSeconds / 60))) +
                   u" min past the planned restart the players were warned of: restarting now");
      if (StopsGracefully(i))
        BeginStop(i, GracefulStop::Then::Restart, RestartReason::Planned);
      else
        Restart(i, RestartReason::Planned, s.FileName.str());
      return true;
  }
  return false;
}

}  // namespace tervane
