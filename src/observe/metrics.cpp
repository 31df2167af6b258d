#include "observe/metrics.h"

#include <charconv>
#include <nlohmann/json.hpp>

namespace tervane {
namespace {

// A label value with the three escapes of the exposition format.
void AppendEscaped(std::string& out, const std::string& value) {
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
}

void AppendNumber(std::string& out, double v) {
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
  out.append(buffer, r.ptr);
}

void AppendNumber(std::string& out, long long v) {
  char buffer[24];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
  out.append(buffer, r.ptr);
}

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// name[{label="value"}] value: a sample of the monitor as a whole.
void Sample(std::string& out, const char* name, long long value, const char* label = nullptr,
            const char* labelValue = nullptr) {
  out += name;
  if (label) {
    out += '{';
    out += label;
    out += "=\"";
    out += labelValue;
    out += "\"}";
  }
  out += ' ';
  AppendNumber(out, value);
  out += '\n';
}

// name{name="..",address="..",port="..."[,extra]} value
void ServerSample(std::string& out, const char* metric, const ServerSnapshot& s, long long value,
                  const char* extraLabel = nullptr, const char* extraValue = nullptr) {
  out += metric;
  out += "{name=\"";
  AppendEscaped(out, s.name);
  out += "\",address=\"";
  AppendEscaped(out, s.address);
  out += "\",port=\"";
  AppendNumber(out, static_cast<long long>(s.port));
  if (extraLabel) {
    out += "\",";
    out += extraLabel;
    out += "=\"";
    out += extraValue;
  }
  out += "\"} ";
  AppendNumber(out, value);
  out += '\n';
}

struct PerServer {
  const char* name;
  const char* type;
  const char* help;
  long long (*value)(const ServerSnapshot&);
};

const PerServer kPerServer[] = {
    {"tervane_server_up", "gauge", "1 when the server answered the last query within the timeout.",
     [](const ServerSnapshot& s) -> long long { return s.Up() ? 1 : 0; }},
    {"tervane_server_process_running", "gauge", "1 when the server's process was found running in the last cycle.",
     [](const ServerSnapshot& s) -> long long { return s.Running() ? 1 : 0; }},
    {"tervane_server_paused", "gauge", "1 when the server's supervision is paused.",
     [](const ServerSnapshot& s) -> long long { return s.paused ? 1 : 0; }},
    {"tervane_server_crash_loop_paused", "gauge", "1 when the crash-loop guard paused the server.",
     [](const ServerSnapshot& s) -> long long { return s.crashLoopPaused ? 1 : 0; }},
    {"tervane_server_players", "gauge", "Players of the last reply.",
     [](const ServerSnapshot& s) -> long long { return s.players; }},
    {"tervane_server_max_players", "gauge", "Maximum players of the last reply.",
     [](const ServerSnapshot& s) -> long long { return s.maxPlayers; }},
    {"tervane_server_timeouts", "gauge", "Unanswered checks in a row (restarted past 20).",
     [](const ServerSnapshot& s) -> long long { return s.timeoutCount; }},
    {"tervane_server_lost", "gauge", "Cycles in a row the process was missing (started past 3).",
     [](const ServerSnapshot& s) -> long long { return s.lostCount; }},
};

constexpr RestartReason kExportedReasons[] = {RestartReason::FatalError, RestartReason::ProcessLost,
                                              RestartReason::NoResponse, RestartReason::Command,
                                              RestartReason::Planned};

}  // namespace

const std::vector<std::string>& ExportedMetricNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const PerServer& p : kPerServer) n.emplace_back(p.name);
    for (const char* m : {"tervane_server_restarts_total", "tervane_server_last_reply_age_seconds",
                          "tervane_self_test_ok", "tervane_self_test_failures", "tervane_cycle_duration_seconds",
                          "tervane_endpoint_recreations_total", "tervane_process_look_failures_total",
                          "tervane_list_save_failures_total", "tervane_list_save_pending",
                          "tervane_log_write_failures_total", "tervane_servers", "tervane_alerts_sent_total",
                          "tervane_alerts_failed_total", "tervane_alerts_dropped_total", "tervane_http_connections",
                          "tervane_http_connections_refused_total", "tervane_http_accepts_deferred_total",
                          "tervane_http_requests_refused_total", "tervane_build_info"})
      n.emplace_back(m);
    return n;
  }();
  return names;
}

std::string RenderMetrics(const MonitorSnapshot& m, const ObserverCounts& counts, WallTime now,
                          const std::string& version) {
  std::string out;
  out.reserve(2048 + m.servers.size() * 1600);
  for (const PerServer& p : kPerServer) {
    Header(out, p.name, p.type, p.help);
    for (const ServerSnapshot& s : m.servers) ServerSample(out, p.name, s, p.value(s));
  }
  Header(out, "tervane_server_restarts_total", "counter",
         "Starts by this monitor since it started, by reason; failed_start counts starts the system refused.");
  for (const ServerSnapshot& s : m.servers) {
    for (RestartReason r : kExportedReasons)
      ServerSample(out, "tervane_server_restarts_total", s, s.restartsByReason[static_cast<std::size_t>(r)], "reason",
                   RestartReasonName(r));
    ServerSample(out, "tervane_server_restarts_total", s, s.failedStarts, "reason", "failed_start");
  }
  Header(out, "tervane_server_last_reply_age_seconds", "gauge",
         "Seconds since the server's last reply (no sample before the first one).");
  for (const ServerSnapshot& s : m.servers)
    if (s.lastReply > 0) ServerSample(out, "tervane_server_last_reply_age_seconds", s, now > s.lastReply ? now - s.lastReply : 0);

  Header(out, "tervane_self_test_ok", "gauge", "1 when the monitor's own query came back in the last check.");
  Sample(out, "tervane_self_test_ok", m.selfTestOk ? 1 : 0);
  Header(out, "tervane_self_test_failures", "gauge", "Failed self-tests in a row.");
  Sample(out, "tervane_self_test_failures", m.selfTestFailures);
  Header(out, "tervane_cycle_duration_seconds", "gauge", "How long the last supervision cycle took.");
  out += "tervane_cycle_duration_seconds ";
  AppendNumber(out, m.cycleSeconds);
  out += '\n';
  Header(out, "tervane_endpoint_recreations_total", "counter", "Times the query endpoint was created anew.");
  Sample(out, "tervane_endpoint_recreations_total", m.endpointRecreations);
  const struct {
    const char* name;
    const char* type;
    const char* help;
    long long value;
  } troubles[] = {
      {"tervane_process_look_failures_total", "counter",
       "Looks for a server's process the system refused (nothing was started or ended on them).",
       static_cast<long long>(m.lookFailures)},
      {"tervane_list_save_failures_total", "counter", "Saves of the server list that failed.",
       static_cast<long long>(m.saveFailures)},
      {"tervane_list_save_pending", "gauge", "1 while a failed save of the server list waits to be made again.",
       m.savePending ? 1LL : 0LL},
      {"tervane_log_write_failures_total", "counter", "Log lines the monthly log file did not take.",
       static_cast<long long>(m.logWriteFailures)},
  };
  for (const auto& t : troubles) {
    Header(out, t.name, t.type, t.help);
    Sample(out, t.name, t.value);
  }
  Header(out, "tervane_servers", "gauge", "Servers in the list.");
  Sample(out, "tervane_servers", static_cast<long long>(m.servers.size()));
  Header(out, "tervane_alerts_sent_total", "counter", "Webhook messages delivered.");
  Sample(out, "tervane_alerts_sent_total", static_cast<long long>(counts.alertsSent));
  Header(out, "tervane_alerts_failed_total", "counter", "Webhook messages the receiver did not take.");
  Sample(out, "tervane_alerts_failed_total", static_cast<long long>(counts.alertsFailed));
  Header(out, "tervane_alerts_dropped_total", "counter", "Webhook messages dropped because the queue was full.");
  Sample(out, "tervane_alerts_dropped_total", static_cast<long long>(counts.alertsDropped));
  const HttpEndpointCounts& http = counts.http;
  Header(out, "tervane_http_connections", "gauge", "Connections to the HTTP endpoint open now.");
  Sample(out, "tervane_http_connections", static_cast<long long>(http.open));
  const char* refused = "tervane_http_connections_refused_total";
  Header(out, refused, "counter",
         "Connections closed at accept: the limit of connections was reached (limit) or the system refused the "
         "accept (accept_error).");
  Sample(out, refused, static_cast<long long>(http.refusedAtLimit), "reason", "limit");
  Sample(out, refused, static_cast<long long>(http.acceptFailures), "reason", "accept_error");
  Header(out, "tervane_http_accepts_deferred_total", "counter",
         "Waits of the HTTP endpoint before accepting, to leave the supervision its descriptors.");
  Sample(out, "tervane_http_accepts_deferred_total", static_cast<long long>(http.acceptsDeferred));
  const char* requests = "tervane_http_requests_refused_total";
  Header(out, requests, "counter",
         "Requests the HTTP endpoint refused and closed: not whole in time (timeout), past a size limit "
         "(too_large), not HTTP/1.x (malformed).");
  Sample(out, requests, static_cast<long long>(http.timedOut), "reason", "timeout");
  Sample(out, requests, static_cast<long long>(http.tooLarge), "reason", "too_large");
  Sample(out, requests, static_cast<long long>(http.malformed), "reason", "malformed");
  Header(out, "tervane_build_info", "gauge", "The program's version.");
  out += "tervane_build_info{version=\"";
  AppendEscaped(out, version);
  out += "\"} 1\n";
  return out;
}

std::string RenderServersJson(const MonitorSnapshot& m, WallTime now) {
  nlohmann::json servers = nlohmann::json::array();
  for (const ServerSnapshot& s : m.servers) {
    nlohmann::json restarts = nlohmann::json::object();
    for (std::size_t r = 0; r < kRestartReasonCount; ++r)
      restarts[RestartReasonName(static_cast<RestartReason>(r))] = s.restartsByReason[r];
    restarts["failed_start"] = s.failedStarts;
    nlohmann::json o = {
        {"row", s.row},
        {"name", s.name},
        {"address", s.address},
        {"port", s.port},
        {"process", ProcessStateName(s.process)},
        {"network", NetworkStateName(s.network)},
        {"up", s.Up()},
        {"paused", s.paused},
        {"crashLoopPaused", s.crashLoopPaused},
        {"map", s.hasReply ? nlohmann::json(s.map) : nlohmann::json()},
        {"players", s.hasReply ? nlohmann::json(s.players) : nlohmann::json()},
        {"maxPlayers", s.hasReply ? nlohmann::json(s.maxPlayers) : nlohmann::json()},
        {"lastReply", s.lastReply},
        {"lastReplyAgeSeconds", s.lastReply > 0 ? nlohmann::json(now > s.lastReply ? now - s.lastReply : 0)
                                                : nlohmann::json()},
        {"lastRestart", s.lastRestart},
        {"lastRestartReason", s.lastRestart > 0 ? nlohmann::json(RestartReasonName(s.lastRestartReason)) : nlohmann::json()},
        {"lastStartError", s.lastStartError},
        {"restarts", restarts},
        {"restartCount", s.restarts},
        {"timeoutCount", s.timeoutCount},
        {"lostCount", s.lostCount},
    };
    servers.push_back(std::move(o));
  }
  nlohmann::json recent = nlohmann::json::array();
  for (const RestartNote& r : m.recentRestarts)
    recent.push_back({{"time", r.time}, {"name", r.name}, {"reason", RestartReasonName(r.reason)}, {"error", r.error}});
  const nlohmann::json doc = {
      {"time", now},
      {"selfTestOk", m.selfTestOk},
      {"cycleDurationSeconds", m.cycleSeconds},
      {"endpointRecreations", m.endpointRecreations},
      {"servers", std::move(servers)},
      {"recentRestarts", std::move(recent)},
  };
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tervane
