#include "observe/snapshot.h"

#include <nlohmann/json.hpp>

#include "support/text.h"

namespace tervane {

MonitorSnapshot TakeSnapshot(const Servers& servers, const Supervisor& supervisor) {
  MonitorSnapshot m;
  m.servers.reserve(servers.size());
  const ServerList& list = servers.List();
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Server& s = *list[i];
    ServerSnapshot o;
    o.number = i + 1;
    o.id = s.Id;
    o.name = Utf16ToUtf8(s.Name.str());
    o.address = Utf16ToUtf8(FromSystem8(s.IPAddress.str()));
    o.port = s.Port;
    o.executable = Utf16ToUtf8(s.FileName.str());
    o.priority = s.Priority;
    o.process = s.ProcessStatus();
    o.network = s.NetworkStatus();
    o.paused = s.Paused != 0;
    if (o.paused && s.Status.crashLoopPaused) o.pauseReason = Utf16ToUtf8(servers.CrashLoopText());
    o.timeoutCount = s.TimeoutCount;
    o.lostCount = s.LostCount;
    o.restarts = s.Restarts < 0 ? 0 : s.Restarts;
    o.stopping = s.Stop.Stopping();
    o.nextPlanned = servers.NextPlannedRestart(i);
    o.status = s.Status;
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

namespace {

// Keys in the order written here, for people reading it too.
using Json = nlohmann::ordered_json;

// A time, or null for never.
Json Time(WallTime t) { return t > 0 ? Json(t) : Json(); }

// An error the system gave: its code and its text, or null for none.
Json Error(std::uint32_t code) {
  if (code == 0) return Json();
  return Json{{"code", code}, {"text", Utf16ToUtf8(SystemErrorText(code))}};
}

Json ServerJson(const ServerSnapshot& s, WallTime now) {
  const ServerStatus& st = s.status;
  const bool reply = s.HasReply();
  Json restarts = Json::object();
  for (std::size_t r = 0; r < kRestartReasonCount; ++r)
    restarts[RestartReasonName(static_cast<RestartReason>(r))] = st.restartsByReason[r];
  restarts["failed_start"] = st.failedStarts;
  return Json{
      {"number", s.number},
      {"name", s.name},
      {"address", s.address},
      {"port", s.port},
      {"executable", s.executable},
      {"priority", PriorityName(s.priority)},
      {"process", ProcessStateName(s.process)},
      {"network", NetworkStateName(s.network)},
      {"up", s.Up()},
      {"paused", s.paused},
      {"crash_loop_paused", st.crashLoopPaused},
      {"pause_reason", s.pauseReason.empty() ? Json() : Json(s.pauseReason)},
      {"stopping", s.stopping},
      {"lost_count", s.lostCount},
      {"timeout_count", s.timeoutCount},
      // The server's own bytes, made valid UTF-8 on the way.
      {"map", reply ? Json(Utf16ToUtf8(FromSystem8(st.map))) : Json()},
      {"players", reply ? Json(st.players) : Json()},
      {"max_players", reply ? Json(st.maxPlayers) : Json()},
      {"bots", reply && st.bots ? Json(*st.bots) : Json()},
      {"restarts", s.restarts},
      {"restarts_by_reason", std::move(restarts)},
      {"last_reply", Time(st.lastReply)},
      {"last_reply_age_seconds", st.lastReply > 0 ? Json(now > st.lastReply ? now - st.lastReply : 0) : Json()},
      {"last_restart", Time(st.lastRestart)},
      {"last_restart_reason", st.lastRestart > 0 ? Json(RestartReasonName(st.lastRestartReason)) : Json()},
      {"next_planned_restart", Time(s.nextPlanned)},
      {"start_error", Error(st.lastStartError)},
      {"priority_error", Error(st.priorityError)},
      {"affinity_error", Error(st.affinityError)},
      {"look_error", Error(st.lookError)},
  };
}

}  // namespace

std::string StatusJson(const MonitorSnapshot& m, WallTime now) {
  Json servers = Json::array();
  for (const ServerSnapshot& s : m.servers) servers.push_back(ServerJson(s, now));
  Json recent = Json::array();
  for (const RestartNote& r : m.recentRestarts)
    recent.push_back({{"time", r.time}, {"name", r.name}, {"reason", RestartReasonName(r.reason)}, {"error", Error(r.error)}});
  const Json doc = {
      {"time", now},
      {"supervising", m.supervising},
      {"self_test_ok", m.selfTestOk},
      {"self_test_failures", m.selfTestFailures},
      {"cycle_duration_seconds", m.cycleSeconds},
      {"endpoint_recreations", m.endpointRecreations},
      {"servers", std::move(servers)},
      {"recent_restarts", std::move(recent)},
  };
  return doc.dump(-1, ' ', false, Json::error_handler_t::replace);
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

const char* PriorityName(std::uint8_t priority) {
  return priority == 0 ? "normal" : priority == 1 ? "high" : "realtime";
}

}  // namespace tervane
