#include "observe/snapshot.h"

#include "support/text.h"

namespace tervane {

MonitorSnapshot TakeSnapshot(const Servers& servers, const Supervisor& supervisor) {
  MonitorSnapshot m;
  m.servers.reserve(servers.size());
  const ServerList& list = servers.List();
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Server& s = *list[i];
    const ServerStatus& st = s.Status;
    ServerSnapshot o;
    o.row = i;
    o.name = Utf16ToUtf8(s.Name.str());
    o.address = Utf16ToUtf8(FromSystem8(s.IPAddress.str()));
    o.port = s.Port;
    o.process = s.ProcessStatus();
    o.network = s.NetworkStatus();
    o.paused = s.Paused != 0;
    o.crashLoopPaused = st.crashLoopPaused;
    o.hasReply = st.hasReply && !o.paused;
    if (o.hasReply) {
      // The server's own bytes, made valid UTF-8 on the way.
      o.map = Utf16ToUtf8(FromSystem8(st.map));
      o.players = st.players;
      o.maxPlayers = st.maxPlayers;
    }
    o.lastReply = st.lastReply;
    o.lastRestart = st.lastRestart;
    o.lastRestartReason = st.lastRestartReason;
    o.restartsByReason = st.restartsByReason;
    o.failedStarts = st.failedStarts;
    o.lastStartError = st.lastStartError;
    o.timeoutCount = s.TimeoutCount;
    o.lostCount = s.LostCount;
    o.restarts = s.Restarts < 0 ? 0 : s.Restarts;
    m.servers.push_back(std::move(o));
  }
  m.selfTestFailures = supervisor.SelfTestFailures();
  m.selfTestOk = m.selfTestFailures == 0;
  m.cycleSeconds = supervisor.LastCycleSeconds();
  m.endpointRecreations = supervisor.EndpointRecreations();
  m.taken = servers.Now();
  m.lookFailures = servers.Health().lookFailures;
  m.saveFailures = servers.Health().saveFailures;
  m.savePending = servers.Health().savePending;
  m.logWriteFailures = servers.LogWriteFailures();
  return m;
}

const char* ProcessStateName(ProcessState state) {
  switch (state) {
    case ProcessState::Unknown: return "unknown";
    case ProcessState::Running: return "running";
    case ProcessState::Lost: return "lost";
    case ProcessState::Restarting: return "restarting";
    case ProcessState::StartFailed: return "start_failed";
    case ProcessState::Paused: return "paused";
  }
  return "unknown";
}

const char* NetworkStateName(NetworkState state) {
  switch (state) {
    case NetworkState::Unknown: return "unknown";
    case NetworkState::Normal: return "normal";
    case NetworkState::Timeout: return "timeout";
    case NetworkState::Paused: return "paused";
  }
  return "unknown";
}

}  // namespace tervane
