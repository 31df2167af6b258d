#include "observe/metrics.h"

#include <array>
#include <charconv>
#include <optional>
#include <string_view>

#include "support/failures.h"

namespace tervane {
namespace {

// A label value with the three escapes of the exposition format.
void AppendEscaped(std::string& out, std::string_view value) {
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

// What one metric reads its samples from: a server's snapshot, or the monitor as a whole.
struct ServerReading {
  const ServerSnapshot& s;
  WallTime now;
};
struct MonitorReading {
  const MonitorSnapshot& m;
  const ObserverCounts& counts;
  const std::string& version;
};

// One sample of a metric: the value of its label (none: nullptr), and its value (none: no
// sample, as before a server's first reply).
template <typename Reading>
struct Sample {
  std::string_view (*label)(const Reading&);
  std::optional<double> (*value)(const Reading&);
};

template <typename Reading>
struct Metric {
  const char* name;
  const char* type;
  const char* help;
  const char* label;  // the name of the samples' label, or nullptr
  std::array<Sample<Reading>, 7> samples;  // those with a value function
};

using ServerMetric = Metric<ServerReading>;
using MonitorMetric = Metric<MonitorReading>;

template <auto Field>
std::optional<double> Count(const MonitorReading& r) {
  return static_cast<double>(r.counts.*Field);
}
template <auto Field>
std::optional<double> HttpCount(const MonitorReading& r) {
  return static_cast<double>(r.counts.http.*Field);
}
template <RestartReason Reason>
std::string_view ReasonName(const ServerReading&) {
  return RestartReasonName(Reason);
}
template <RestartReason Reason>
std::optional<double> Restarts(const ServerReading& r) {
  return r.s.status.restartsByReason[static_cast<std::size_t>(Reason)];
}

// The labels every per-server sample carries: name, address, port.
const ServerMetric kPerServer[] = {
    {"tervane_server_up", "gauge", "1 when the server answered the last query within the timeout.", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> { return r.s.Up() ? 1 : 0; }}}}},
    {"tervane_server_process_running", "gauge", "1 when the server's process was found running in the last cycle.",
     nullptr, {{{nullptr, [](const ServerReading& r) -> std::optional<double> { return r.s.Running() ? 1 : 0; }}}}},
    {"tervane_server_paused", "gauge", "1 when the server's supervision is paused.", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> { return r.s.paused ? 1 : 0; }}}}},
    {"tervane_server_crash_loop_paused", "gauge", "1 when the crash-loop guard paused the server.", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> { return r.s.status.phase == Phase::PausedByGuard ? 1 : 0; }}}}},
    {"tervane_server_players", "gauge", "Players of the last reply.", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> { return r.s.HasReply() ? r.s.status.players : 0; }}}}},
    {"tervane_server_max_players", "gauge", "Maximum players of the last reply.", nullptr,
     {{{nullptr,
        [](const ServerReading& r) -> std::optional<double> { return r.s.HasReply() ? r.s.status.maxPlayers : 0; }}}}},
    {"tervane_server_timeouts", "gauge", "Unanswered checks in a row (restarted past 20).", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> { return r.s.timeoutCount; }}}}},
    {"tervane_server_lost", "gauge", "Cycles in a row the process was missing (started past 3).", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> { return r.s.lostCount; }}}}},
    {"tervane_server_restarts_total", "counter",
     "Starts by this monitor since it started, by reason: fatal_error, process_lost, no_response (the supervised "
     "restarts), command (by the operator), planned, update (after a game update); failed_start counts starts the "
     "system refused.",
     "reason",
     {{{ReasonName<RestartReason::FatalError>, Restarts<RestartReason::FatalError>},
       {ReasonName<RestartReason::ProcessLost>, Restarts<RestartReason::ProcessLost>},
       {ReasonName<RestartReason::NoResponse>, Restarts<RestartReason::NoResponse>},
       {ReasonName<RestartReason::Command>, Restarts<RestartReason::Command>},
       {ReasonName<RestartReason::Planned>, Restarts<RestartReason::Planned>},
       {ReasonName<RestartReason::Update>, Restarts<RestartReason::Update>},
       {[](const ServerReading&) -> std::string_view { return "failed_start"; },
        [](const ServerReading& r) -> std::optional<double> { return r.s.status.failedStarts; }}}}},
    {"tervane_server_update_available", "gauge", "1 when a game update is known to exist and not yet made.", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> { return r.s.status.update.availableSince > 0 ? 1 : 0; }}}}},
    {"tervane_server_updating", "gauge", "1 while the update command of the server's installation runs.", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> {
          return r.s.status.update.updatingSince > 0 || r.s.status.phase == Phase::Updating ? 1 : 0;
        }}}}},
    {"tervane_updates_total", "counter",
     "Update commands of the server's installation ended since the monitor started, by result: made, or failed "
     "(failed, timed out or not started).",
     "result",
     {{{[](const ServerReading&) -> std::string_view { return "made"; },
        [](const ServerReading& r) -> std::optional<double> { return r.s.status.update.made; }},
       {[](const ServerReading&) -> std::string_view { return "failed"; },
        [](const ServerReading& r) -> std::optional<double> { return r.s.status.update.failed; }}}}},
    {"tervane_server_last_reply_age_seconds", "gauge",
     "Seconds since the server's last reply (no sample before the first one).", nullptr,
     {{{nullptr, [](const ServerReading& r) -> std::optional<double> {
          const WallTime last = r.s.status.lastReply;
          if (last <= 0) return std::nullopt;
          return static_cast<double>(r.now > last ? r.now - last : 0);
        }}}}},
};

const MonitorMetric kMonitorWide[] = {
    {"tervane_self_test_ok", "gauge", "1 when the monitor's own query came back in the last check.", nullptr,
     {{{nullptr, [](const MonitorReading& r) -> std::optional<double> { return r.m.selfTestOk ? 1 : 0; }}}}},
    {"tervane_self_test_failures", "gauge", "Failed self-tests in a row.", nullptr,
     {{{nullptr, [](const MonitorReading& r) -> std::optional<double> { return r.m.selfTestFailures; }}}}},
    {"tervane_cycle_duration_seconds", "gauge", "How long the last supervision cycle took.", nullptr,
     {{{nullptr, [](const MonitorReading& r) -> std::optional<double> { return r.m.cycleSeconds; }}}}},
    {"tervane_endpoint_recreations_total", "counter", "Times the query endpoint was created anew.", nullptr,
     {{{nullptr, [](const MonitorReading& r) -> std::optional<double> { return r.m.endpointRecreations; }}}}},
    {"tervane_process_look_failures_total", "counter",
     "Looks for a server's process the system refused (nothing was started or ended on them).", nullptr,
     {{{nullptr, [](const MonitorReading& r) -> std::optional<double> { return static_cast<double>(r.m.lookFailures); }}}}},
    {"tervane_list_save_failures_total", "counter", "Saves of the server list that failed.", nullptr,
     {{{nullptr, [](const MonitorReading& r) -> std::optional<double> { return static_cast<double>(r.m.saveFailures); }}}}},
    {"tervane_list_save_pending", "gauge", "1 while a failed save of the server list waits to be made again.", nullptr,
     {{{nullptr, [](const MonitorReading& r) -> std::optional<double> { return r.m.savePending ? 1 : 0; }}}}},
    {"tervane_log_write_failures_total", "counter", "Log lines the monthly log file did not take.", nullptr,
     {{{nullptr,
        [](const MonitorReading& r) -> std::optional<double> { return static_cast<double>(r.m.logWriteFailures); }}}}},
    {"tervane_internal_failures_total", "counter",
     "Failures inside the program that were caught so that it runs on (each said in a log line).", nullptr,
     {{{nullptr, [](const MonitorReading&) -> std::optional<double> { return static_cast<double>(FailureCount()); }}}}},
    {"tervane_servers", "gauge", "Servers in the list.", nullptr,
     {{{nullptr, [](const MonitorReading& r) -> std::optional<double> { return static_cast<double>(r.m.servers.size()); }}}}},
    {"tervane_alerts_sent_total", "counter", "Webhook messages delivered.", nullptr,
     {{{nullptr, Count<&ObserverCounts::alertsSent>}}}},
    {"tervane_alerts_failed_total", "counter", "Webhook messages the receiver did not take.", nullptr,
     {{{nullptr, Count<&ObserverCounts::alertsFailed>}}}},
    {"tervane_alerts_dropped_total", "counter", "Webhook messages dropped because the queue was full.", nullptr,
     {{{nullptr, Count<&ObserverCounts::alertsDropped>}}}},
    {"tervane_http_connections", "gauge", "Connections to the HTTP endpoint open now.", nullptr,
     {{{nullptr, HttpCount<&HttpEndpointCounts::open>}}}},
    {"tervane_http_connections_refused_total", "counter",
     "Connections closed at accept: the limit of connections was reached (limit), the descriptors left to the "
     "doors were used up (descriptors) or the system refused the accept (accept_error).",
     "reason",
     {{{[](const MonitorReading&) -> std::string_view { return "limit"; }, HttpCount<&HttpEndpointCounts::refusedAtLimit>},
       {[](const MonitorReading&) -> std::string_view { return "descriptors"; },
        HttpCount<&HttpEndpointCounts::refusedForDescriptors>},
       {[](const MonitorReading&) -> std::string_view { return "accept_error"; },
        HttpCount<&HttpEndpointCounts::acceptFailures>}}}},
    {"tervane_http_accepts_deferred_total", "counter",
     "Waits of the HTTP endpoint before accepting again, as the system gave no descriptor to accept with.", nullptr,
     {{{nullptr, HttpCount<&HttpEndpointCounts::acceptsDeferred>}}}},
    {"tervane_http_requests_refused_total", "counter",
     "Requests the HTTP endpoint refused and closed: not whole in time (timeout), past a size limit "
     "(too_large), not HTTP/1.x (malformed).",
     "reason",
     {{{[](const MonitorReading&) -> std::string_view { return "timeout"; }, HttpCount<&HttpEndpointCounts::timedOut>},
       {[](const MonitorReading&) -> std::string_view { return "too_large"; }, HttpCount<&HttpEndpointCounts::tooLarge>},
       {[](const MonitorReading&) -> std::string_view { return "malformed"; }, HttpCount<&HttpEndpointCounts::malformed>}}}},
    {"tervane_build_info", "gauge", "The program's version.", "version",
     {{{[](const MonitorReading& r) -> std::string_view { return r.version; },
        [](const MonitorReading&) -> std::optional<double> { return 1; }}}}},
};

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ");
  out.append(name).append(" ").append(type).append("\n");
}

// name{[fixed labels,]label="value"} value, for each sample that has a value. fixedLabels: the
// labels every sample of the reading carries (the server's), without braces.
template <typename Reading>
void Samples(std::string& out, const Metric<Reading>& metric, const Reading& reading, std::string_view fixedLabels) {
  for (const Sample<Reading>& sample : metric.samples) {
    if (!sample.value) break;
    const std::optional<double> value = sample.value(reading);
    if (!value) continue;
    out += metric.name;
    const bool labelled = metric.label && sample.label;
    if (!fixedLabels.empty() || labelled) {
      out += '{';
      out += fixedLabels;
      if (labelled) {
        if (!fixedLabels.empty()) out += ',';
        out.append(metric.label).append("=\"");
        AppendEscaped(out, sample.label(reading));
        out += '"';
      }
      out += '}';
    }
    out += ' ';
    AppendNumber(out, *value);
    out += '\n';
  }
}

}  // namespace

const std::vector<std::string>& ExportedMetricNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const ServerMetric& m : kPerServer) n.emplace_back(m.name);
    for (const MonitorMetric& m : kMonitorWide) n.emplace_back(m.name);
    return n;
  }();
  return names;
}

std::string RenderMetrics(const MonitorSnapshot& m, const ObserverCounts& counts, WallTime now,
                          const std::string& version) {
  std::string out;
  out.reserve(2048 + m.servers.size() * 1600);
  // Each server's identity labels, once.
  std::vector<std::string> identities;
  identities.reserve(m.servers.size());
  for (const ServerSnapshot& s : m.servers) {
    std::string& labels = identities.emplace_back("name=\"");
    AppendEscaped(labels, s.name);
    labels += "\",address=\"";
    AppendEscaped(labels, s.address);
    labels += "\",port=\"";
    AppendNumber(labels, s.port);
    labels += '"';
  }
  for (const ServerMetric& metric : kPerServer) {
    Header(out, metric.name, metric.type, metric.help);
    for (std::size_t i = 0; i < m.servers.size(); ++i)
      Samples(out, metric, ServerReading{m.servers[i], now}, identities[i]);
  }
  const MonitorReading reading{m, counts, version};
  for (const MonitorMetric& metric : kMonitorWide) {
    Header(out, metric.name, metric.type, metric.help);
    Samples(out, metric, reading, {});
  }
  return out;
}

}  // namespace tervane
