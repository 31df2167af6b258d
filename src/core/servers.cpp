#include "core/servers.h"

#include <algorithm>
#include <chrono>

#include "support/text.h"

namespace tervane {

WallTime SystemWallTime() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Servers::Servers(ServerList& list, const MessageTexts& texts, IProcessControl& process, EventLog& log,
                 SupervisionTiming timing, WallClock clock)
    : list_(list),
      texts_(texts),
      process_(process),
      log_(log),
      timing_(timing),
      clock_(clock ? std::move(clock) : WallClock(SystemWallTime)),
      plans_(list, log, [this] { return clock_(); }, MinuteSecondsForCycle(timing.checkDelayMs + timing.cycleDelayMs)) {}

void Servers::Log(const ServerEntry& e, std::u16string_view message) { log_.AddLog(e.Name.str(), message); }

void Servers::Changed(std::size_t i, ServerChange::What what, const StartRecord& start) {
  ServerChange change;
  change.what = what;
  change.row = i;
  change.id = i < list_.size() ? list_[i]->Id : 0;
  change.start = start;
  changes_.Notify("after a change of a server", change);
}

void Servers::Edited(std::size_t i) { Changed(i, ServerChange::What::Edited); }

// ----------------------------------------------------------------------------- supervision

void Servers::FoundRunning(std::size_t i) {
  LookedAt(i);
  Server& s = at(i);
  if (s.Status.want == Want::Closed) s.Status.want = Want::Run;  // running again, by whatever hand
  s.LostCount = 0;
  if (s.Restarts < 0) s.Restarts = 0;  // seen running: from now on its restarts count
  s.WaitReply = 1;                      // the queries go out next
  s.Status.process = ProcessState::Running;
  Changed(i, ServerChange::What::State);
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
  Changed(i, ServerChange::What::State);
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
  st.gameVersion = reply.version;
  st.appId = reply.appId;
  st.lastReply = clock_();
  Changed(i, ServerChange::What::State);
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
    Changed(i, ServerChange::What::State);
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
    EndStop(i);  // a stop under way is overtaken: the process is ended now
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
  const bool afterClose = st.want == Want::Closed && reason == RestartReason::ProcessLost;
  if (!CountsAsCrash(reason) || afterClose || !guard_.Refuses(st.recentRestarts, clock_())) return true;
  // The server is left as it is: a process that still runs keeps running, unsupervised.
  SetPaused(i, true);
  st.phase = Phase::PausedByGuard;
  Log(s, CrashLoopText());
  Changed(i, ServerChange::What::Guarded, StartRecord{i, reason, 0, clock_(), true});
  return false;
}

std::u16string Servers::CrashLoopText() const {
  return FormatText(texts_.Get(ExtraMsg::CrashLoopPaused), {guard_.MaxRestarts(), guard_.WindowMinutes()});
}

void Servers::StartAndRecord(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail) {
  Server& s = at(i);
  ServerStatus& st = s.Status;
  // The start that follows the operator's close and unpause is theirs: reported as a command,
  // though logged and counted in the Restarts cell by the rule of a lost process.
  const bool afterClose = st.want == Want::Closed && reason == RestartReason::ProcessLost;
  if (st.want == Want::Closed) st.want = Want::Run;
  WithdrawRcon(i);  // what was asked before the start was not meant for the new process
  st.lastStartError = process_.StartServerProcess(exe, s.Params.str(), s.Priority, HideConsole(s), s.Affinity).Error();
  const bool started = st.lastStartError == 0;
  // A failed start is tried again after the same number of lost cycles as a lost process.
  s.TimeoutCount = 0;
  s.LostCount = 0;
  s.WaitReply = 0;
  if (reason == RestartReason::ProcessLost && s.Restarts + (started ? 1 : 0) <= 0) reason = RestartReason::FirstStart;
  const WallTime now = clock_();
  const RestartReason counted = afterClose && reason == RestartReason::ProcessLost ? RestartReason::Command : reason;
  // Only a start that happened counts. The Restarts cell counts the starts the supervision made,
  // as the list always has: the first (from -1 to 0), its restarts, and the start after a close
  // and unpause (found missing, started like a lost process); neither a restart by command nor
  // a plan's.
  const RestartKind kind = KindOf(counted);
  if (started && (kind == RestartKind::FirstStart || kind == RestartKind::Supervised || afterClose)) s.Restarts += 1;
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
  Changed(i, ServerChange::What::State);
  LogStart(s, reason, detail);
  if (!started) Log(s, FormatText(texts_.Get(ExtraMsg::StartFailed), {st.startError}));
  Changed(i, ServerChange::What::Started, StartRecord{i, counted, st.lastStartError, now, false});
}

void Servers::LogStart(const ServerEntry& s, RestartReason reason, std::u16string_view detail) {
  switch (reason) {
    case RestartReason::FirstStart: Log(s, kLogStarting); break;
    case RestartReason::ProcessLost: Log(s, kLogProcessLost); break;
    case RestartReason::FatalError: Log(s, kLogFatalError + std::u16string(detail)); break;
    case RestartReason::NoResponse: Log(s, kLogNoResponse); break;
    case RestartReason::Command: break;  // the operator's own act is not logged
    case RestartReason::Planned: Log(s, texts_.Get(ExtraMsg::PlannedRestart)); break;
    case RestartReason::Update: Log(s, texts_.Get(ExtraMsg::GameUpdate)); break;
  }
}

// ----------------------------------------------------------------------------- commands

bool Servers::PauseAsAsked(std::size_t i, bool paused) {
  // Already so: its state, its last reply and its process's cells stay as they are.
  if ((at(i).Paused != 0) == paused) return false;
  SetPaused(i, paused);
  return true;
}

void Servers::SetPaused(std::size_t i, bool paused) {
  Server& s = at(i);
  ServerStatus& st = s.Status;
  s.Paused = paused ? 1 : 0;
  // A stop under way runs its course, and leaves the server paused or not as the byte says;
  // one for Close is given up by the unpause: the server is no longer to be closed. An update
  // under way runs its course too, and starts the server after it only when it is not paused.
  const bool stopGoesOn = (s.Stopping() && (paused || st.want != Want::Close)) || st.phase == Phase::Updating;
  if (!stopGoesOn && !paused) {
    st.phase = Phase::Watched;
    if (st.want == Want::Close) st.want = Want::Run;
  } else if (!stopGoesOn && st.phase != Phase::PausedByGuard) {
    st.phase = Phase::PausedByOperator;  // paused again by the operator, it stays the guard's
  }
  s.TimeoutCount = 0;
  s.LostCount = 0;
  // Unpaused, it shows "-" until the next cycle looks at it.
  s.Status.process = ProcessState::Unknown;
  s.Status.network = NetworkState::Unknown;
  s.Status.ClearReply();
  Changed(i, ServerChange::What::State);
}

Look Servers::Close(std::size_t i) {
  EndStop(i);
  WithdrawRcon(i);
  const Look ended = process_.TerminateServerProcess(at(i).FileName.str());
  if (ended.Known())
    LookedAt(i);
  else
    LookFailed(i, ended.error);
  at(i).WaitReply = 0;
  SetPaused(i, true);
  at(i).Status.want = ended.Known() ? Want::Closed : Want::Run;
  return ended;
}

void Servers::EndStop(std::size_t i) {
  ServerStatus& st = at(i).Status;
  if (st.phase != Phase::Stopping) return;
  st.phase = at(i).Paused ? Phase::PausedByOperator : Phase::Watched;
  if (st.want == Want::Restart || st.want == Want::Close || st.want == Want::Update) st.want = Want::Run;
}

void Servers::EnterUpdating(std::size_t i) {
  LookedAt(i);
  Server& s = at(i);
  ServerStatus& st = s.Status;
  s.WaitReply = 0;
  s.TimeoutCount = 0;
  s.LostCount = 0;
  st.phase = Phase::Updating;
  st.want = Want::Update;
  st.process = ProcessState::Unknown;
  st.network = NetworkState::Unknown;
  st.ClearReply();
  Changed(i, ServerChange::What::State);
}

void Servers::LeaveUpdating(std::size_t i) {
  Server& s = at(i);
  ServerStatus& st = s.Status;
  if (st.phase != Phase::Updating) return;
  if (st.want == Want::Update) st.want = Want::Run;
  if (s.Paused) {
    // Paused meanwhile (or closed): left down, as paused.
    st.phase = Phase::PausedByOperator;
    return Changed(i, ServerChange::What::State);
  }
  st.phase = Phase::Watched;
  StartAndRecord(i, RestartReason::Update, s.FileName.str(), {});
}


}  // namespace tervane
