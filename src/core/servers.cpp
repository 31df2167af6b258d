#include "core/servers.h"

#include <chrono>

#include "support/text.h"

namespace tervane {

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
      clock_(clock ? std::move(clock) : WallClock(SystemWallTime)) {}

void Servers::Log(const ServerEntry& e, std::u16string_view message) { log_.AddLog(e.Name.str(), message); }

void Servers::Render(std::size_t i) { RenderRow(view_, static_cast<int>(i), *list_.at(i), texts_); }

void Servers::RenderAll() {
  for (std::size_t i = 0; i < list_.size(); ++i) Render(i);
}

// ----------------------------------------------------------------------------- supervision

void Servers::FoundRunning(std::size_t i) {
  Server& s = at(i);
  s.LostCount = 0;
  if (s.Restarts < 0) s.Restarts = 0;  // seen running: from now on its restarts count
  s.WaitReply = 1;                      // the queries go out next
  s.Status.process = ProcessState::Running;
  Render(i);
}

void Servers::FoundMissing(std::size_t i) {
  Server& s = at(i);
  s.WaitReply = 0;
  s.TimeoutCount = 0;
  s.Status.network = NetworkState::Unknown;
  s.Status.ClearReply();
  s.LostCount += 1;
  if (s.LostCount > kLostLimit) {
    StartAndRecord(i, RestartReason::ProcessLost, s.FileName.str(), {});
    return;
  }
  s.Status.process = ProcessState::Lost;
  Render(i);
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
  process_.TerminateServerProcess(exe);
  process_.Sleep(timing_.pauseMs);
  StartAndRecord(i, reason, exe, detail);
}

void Servers::RestartByCommand(const std::vector<std::size_t>& rows) {
  for (std::size_t i : rows) process_.TerminateServerProcess(at(i).FileName.str());
  process_.Sleep(timing_.pauseMs);
  for (std::size_t i : rows) StartAndRecord(i, RestartReason::Command, at(i).FileName.str(), {});
}

void Servers::StartAndRecord(std::size_t i, RestartReason reason, const Path& exe, std::u16string_view detail) {
  Server& s = at(i);
  ServerStatus& st = s.Status;
  st.lastStartError = process_.StartServerProcess(exe, s.Params.str(), s.Priority, HideConsole(s), s.Affinity);
  const bool started = st.lastStartError == 0;
  // A failed start is tried again after the same number of lost cycles as a lost process.
  s.TimeoutCount = 0;
  s.LostCount = 0;
  s.WaitReply = 0;
  if (reason == RestartReason::ProcessLost && s.Restarts + (started ? 1 : 0) <= 0) reason = RestartReason::FirstStart;
  // Only a start that happened counts as one.
  if (started && reason != RestartReason::Command) s.Restarts += 1;
  const WallTime now = clock_();
  st.network = NetworkState::Unknown;
  st.ClearReply();
  if (started) {
    st.process = ProcessState::Restarting;
    st.processStarted = now;
    st.lastRestart = now;
    st.lastRestartReason = reason;
    st.restartsByReason[static_cast<std::size_t>(reason)] += 1;
  } else {
    st.process = ProcessState::StartFailed;
    st.startError = SystemErrorText(st.lastStartError);
    st.failedStarts += 1;
  }
  Render(i);
  LogStart(s, reason, detail);
  if (!started) Log(s, FormatText(texts_.Get(ExtraMsg::StartFailed), {st.startError}));
  if (onStart) onStart(StartRecord{i, reason, st.lastStartError, now});
}

void Servers::LogStart(const ServerEntry& s, RestartReason reason, std::u16string_view detail) {
  switch (reason) {
    case RestartReason::FirstStart: Log(s, kLogStarting); break;
    case RestartReason::ProcessLost: Log(s, kLogProcessLost); break;
    case RestartReason::FatalError: Log(s, kLogFatalError + std::u16string(detail)); break;
    case RestartReason::NoResponse: Log(s, kLogNoResponse); break;
    case RestartReason::Command: break;  // the operator's own act is not logged
  }
}

// ----------------------------------------------------------------------------- commands

void Servers::SetPaused(std::size_t i, bool paused) {
  Server& s = at(i);
  s.Paused = paused ? 1 : 0;
  if (!paused) s.Status.crashLoopPaused = false;
  s.TimeoutCount = 0;
  s.LostCount = 0;
  // Unpaused, it shows "-" until the next cycle looks at it.
  s.Status.process = ProcessState::Unknown;
  s.Status.network = NetworkState::Unknown;
  s.Status.ClearReply();
  Render(i);
}

void Servers::Close(std::size_t i) {
  process_.TerminateServerProcess(at(i).FileName.str());
  at(i).WaitReply = 0;
  SetPaused(i, true);
}

void Servers::Add(std::unique_ptr<Server> server) {
  list_.push_back(std::move(server));
  AddServerRow(view_, *list_.back(), texts_);
}

void Servers::Erase(std::size_t i) {
  if (i >= list_.size()) return;
  view_.DeleteServerRow(static_cast<int>(i));
  list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(i));
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
}

}  // namespace tervane
