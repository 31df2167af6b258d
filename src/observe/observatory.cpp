#include "observe/observatory.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <deque>
#include <set>

#include "observe/alerts.h"
#include "observe/http_client.h"
#include "observe/http_endpoint.h"
#include "observe/snapshot.h"
#include "support/text.h"
#include "support/version.h"

namespace tervane {
namespace {

// An update's answer: as a restart's, with the servers it left alone and why. The servers of the
// same installation are updated with the one named; the answer speaks of that one.
void UpdateAnswer(const Monitor& monitor, const CommandResult& result, ServerId id, std::optional<int> inMinutes,
                  nlohmann::ordered_json& body, HttpResponse& r, std::string& outcome, std::string& server) {
  const std::optional<std::size_t> row = monitor.RowOf(id);
  if (row) server += " (" + Utf16ToUtf8(monitor.At(*row).Name.str()) + ")";
  std::size_t k = 0;
  while (k < result.rows.size() && (!row || result.rows[k] != *row)) ++k;
  const bool acted = row && k < result.rows.size();
  nlohmann::ordered_json skipped = nlohmann::ordered_json::array();
  std::string why;
  for (const auto& [at, reason] : result.skipped) {
    if (at >= monitor.Count()) continue;
    skipped.push_back({{"number", at + 1}, {"name", Utf16ToUtf8(monitor.At(at).Name.str())}, {"reason", reason}});
    if (row && at == *row) why = reason;
  }
  const bool refused = std::any_of(result.endsRefused.begin(), result.endsRefused.end(),
                                   [&](const EndRefused& e) { return row && e.row == *row; });
  const WallTime due = inMinutes && acted && k < result.due.size() ? result.due[k] : 0;
  const bool ok = acted && why.empty() && !refused && (!inMinutes || due != 0);
  body["ok"] = ok;
  if (inMinutes) {
    body["in_minutes"] = *inMinutes;
    body["due"] = due;
  }
  if (!inMinutes) body["saved"] = true;  // as a restart's: nothing of it is kept in the list
  body["stop_begun"] = row && std::find(result.stopsBegun.begin(), result.stopsBegun.end(), *row) != result.stopsBegun.end();
  body["skipped"] = std::move(skipped);
  if (ok) {
    outcome = inMinutes ? "planned" : "updating";
    return;
  }
  outcome = !why.empty() ? "not updated: " + why
            : refused    ? "not updated: its process could not be ended"
            : inMinutes  ? "no update was planned"
                         : "not updated";
  r.status = 409;
  body["error"] = outcome;
}

}  // namespace

struct Observatory::Parts {
  SnapshotBox snapshots;
  // Whether the observatory still exists, for tasks posted to the loop before it went.
  std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
  std::unique_ptr<HttpApi> api;
  std::unique_ptr<HttpEndpoint> endpoint;
  std::string listenError;  // the last reason the address could not be had, said once
  AlertLimiter limiter;
  std::unique_ptr<WebhookSender> sender;
  std::string host;  // how alerts name this host
  std::deque<RestartNote> restarts;  // newest first
  // Servers whose failed update was alerted: the start on the files they have that follows is
  // said by that alert already.
  std::set<ServerId> updateFailureAlerted;
  // Commands the HTTP door handed to the loop's thread that have not run yet.
  std::atomic<std::size_t> commandsWaiting{0};
};

Observatory::Observatory(EventLoop& loop, Monitor& monitor, ObserveOptions options, DescriptorTaker takeDescriptor)
    : loop_(loop),
      monitor_(monitor),
      servers_(monitor.LiveState()),
      supervisor_(monitor.Supervision()),
      options_(std::move(options)),
      takeDescriptor_(std::move(takeDescriptor)),
      parts_(std::make_unique<Parts>()) {
  // The numbering the HTTP door binds commands by follows every change of the list at once.
  changeObserver_ = servers_.Changes().Add([this](const ServerChange& change) {
    if (change.IsStart()) OnStart(change.start);
    if (change.what == ServerChange::What::UpdateEnded) OnUpdateEnded(change.row);
    if (change.Renumbers()) Publish();
  });
  cycleObserver_ = supervisor_.CycleEndObservers().Add([this] { OnCycleEnd(); });
  if (!options_.webhookUrl.empty()) {
    std::string why;
    if (HttpClientReady(why)) {
      parts_->host = options_.alertHost.empty() ? ThisHostName() : options_.alertHost;
      parts_->sender = std::make_unique<WebhookSender>(options_.webhookUrl);
    } else {
      monitor_.AddLog(kOptionsFileName, Utf8ToUtf16("no alerts: " + why));
    }
  }
  Publish();
  if (options_.httpListen) StartEndpoint();
}

Observatory::~Observatory() {
  *parts_->alive = false;
  if (parts_->endpoint) parts_->endpoint->Stop();
  parts_->sender.reset();
  servers_.Changes().Remove(changeObserver_);
  supervisor_.CycleEndObservers().Remove(cycleObserver_);
}

std::size_t Observatory::CommandsWaiting() const { return parts_->commandsWaiting.load(); }

int Observatory::HttpPort() const { return parts_->endpoint ? parts_->endpoint->Port() : 0; }

void Observatory::StartEndpoint() {
  auto alive = parts_->alive;
  // The HTTP thread hands the command to the loop's thread, which answers it when it ran it.
  CommandRunner run = [this, alive](Command command, std::size_t number, ServerId id, const HttpRequest& request,
                                    HttpAnswer answer) {
    std::optional<int> in;  // checked by the API already
    if (command == Command::Restart || command == Command::Update) ParseRestartIn(request.query, in);
    ++parts_->commandsWaiting;
    loop_.Post([this, alive, command, number, id, in, origin = request.peer, answer = std::move(answer)] {
      if (!*alive) return;
      --parts_->commandsWaiting;
      answer(RunCommand(command, number, id, in, origin));
    });
  };
  parts_->api = std::make_unique<HttpApi>(options_.httpToken, options_.httpListen->host, parts_->snapshots,
                                          std::move(run), [this] { return Counts(); }, SystemWallTime,
                                          TERVANE_VERSION);
  const HttpApi* api = parts_->api.get();
  parts_->endpoint = std::make_unique<HttpEndpoint>(
      [api](const HttpRequest& r, HttpAnswer answer) { api->Handle(r, answer); }, takeDescriptor_);
  Listen();
}

// An address that is taken (another program, or this one's last run not gone yet) is tried
// again after every cycle until it is free; the log says the first failure and the success.
void Observatory::Listen() {
  std::string error;
  const std::string where = options_.httpListen->host + ":" + std::to_string(options_.httpListen->port);
  if (parts_->endpoint->Start(*options_.httpListen, error)) {
    monitor_.AddLog(kOptionsFileName, Utf8ToUtf16("HTTP endpoint on http://" + where + "/"));
    parts_->listenError.clear();
  } else if (error != parts_->listenError) {
    monitor_.AddLog(kOptionsFileName, Utf8ToUtf16("the HTTP endpoint is not listening: " + error +
                                                  "; it tries again after every cycle"));
    parts_->listenError = error;
  }
}

HttpResponse Observatory::RunCommand(Command command, std::size_t number, ServerId id, std::optional<int> inMinutes,
                                     const std::string& origin) {
  HttpResponse r;
  std::string outcome;
  const std::string verb(CommandWord(command));
  std::string server = "server " + std::to_string(number);
  std::string what = verb;  // for the operator's line
  if (inMinutes) what += " in " + std::to_string(*inMinutes) + " minute(s)";
  // The answer's document, its keys in this order.
  nlohmann::ordered_json body;
  if (id == 0) {
    r.status = 404;
    r.body = "no server number " + std::to_string(number) + "\n";
    outcome = "no such server";
  } else {
    // The server the number named when the request came, wherever it is now: moved or removed
    // meanwhile, nothing is done (another server may have its number now).
    CommandArgs args;
    args.origin = {"HTTP", origin};
    args.inMinutes = inMinutes;
    const CommandResult result = monitor_.Run(command, {{id, number}}, std::move(args));
    body["ok"] = false;
    body["number"] = number;
    body["command"] = verb;
    if (!result.Done()) {
      r.status = 409;
      body["error"] = result.refused;
      outcome = result.refused;
    } else if (command == Command::Update) {
      Publish();
      UpdateAnswer(monitor_, result, id, inMinutes, body, r, outcome, server);
    } else {
      server += " (" + Utf16ToUtf8(monitor_.At(result.rows.front()).Name.str()) + ")";
      Publish();
      // Planned restarts are live state: nothing to save; the other commands say the save.
      const bool planned = inMinutes || command == Command::Cancel;
      const WallTime due = inMinutes ? result.due.front() : 0;
      const bool ok = inMinutes ? due != 0 : planned ? result.nothingPlanned.empty() : result.Saved();
      body["ok"] = ok;
      if (inMinutes) {
        body["in_minutes"] = *inMinutes;
        body["due"] = due;
      }
      if (!planned) body["saved"] = ok;
      if (planned) {
        outcome = ok ? (inMinutes ? "planned" : "cancelled") : "no restart was planned";
      } else {
        // Done on the running monitor, but the list file may not hold it.
        outcome = ok ? "done" : "done, but the server list could not be saved";
      }
      if (!ok) {
        r.status = planned ? 409 : 500;
        body["error"] = outcome;
      }
    }
    r.contentType = "application/json";
    r.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  }
  SystemClock clock;
  monitor_.Tell(FormatLogLine(clock.Now(), u"HTTP", Utf8ToUtf16(what + " " + server + " from " + origin + ": " + outcome)));
  return r;
}

ObserverCounts Observatory::Counts() const {
  ObserverCounts counts = parts_->sender ? parts_->sender->Counts() : ObserverCounts{};
  if (parts_->endpoint) counts.http = parts_->endpoint->Counts();
  return counts;
}

void Observatory::Alert(std::size_t row, AlertKind kind, const StartRecord& start) {
  if (!parts_->sender) return;
  AlertEvent e;
  e.server = Utf16ToUtf8(servers_.at(row).Name.str());
  e.kind = kind;
  e.reason = start.reason;
  e.error = start.error;
  e.time = start.time;
  e.maxRestarts = options_.maxRestarts;
  e.windowMinutes = options_.restartWindowMinutes;
  for (const AlertBatch& b : parts_->limiter.Offer(std::move(e), start.time))
    parts_->sender->Enqueue(FormatAlert(options_.webhookFormat, b, parts_->host));
}

void Observatory::Publish() {
  MonitorSnapshot snapshot = TakeSnapshot(servers_, supervisor_);
  snapshot.recentRestarts.assign(parts_->restarts.begin(), parts_->restarts.end());
  parts_->snapshots.Publish(std::move(snapshot));
}

void Observatory::OnStart(const StartRecord& start) {
  if (start.index >= servers_.size()) return;
  if (start.pausedByGuard) {
    Alert(start.index, AlertKind::CrashLoop, start);
    return;
  }
  const Server& s = servers_.at(start.index);
  parts_->restarts.push_front(RestartNote{start.time, Utf16ToUtf8(s.Name.str()), start.reason, start.error});
  if (parts_->restarts.size() > kRecentRestartsLimit) parts_->restarts.pop_back();
  if (start.error != 0) {
    Alert(start.index, AlertKind::FailedStart, start);
  } else if (start.reason == RestartReason::Update && parts_->updateFailureAlerted.erase(s.Id)) {
    // The failed update's alert said it: started on the files it has.
  } else if (start.reason != RestartReason::FirstStart) {
    Alert(start.index, AlertKind::Restart, start);
  }
}

void Observatory::OnUpdateEnded(std::size_t row) {
  if (row >= servers_.size() || !parts_->sender) return;
  const Server& s = servers_.at(row);
  const UpdateStatus& u = s.Status.update;
  if (u.lastResult == UpdateStatus::Result::None || u.lastResult == UpdateStatus::Result::Made) {
    parts_->updateFailureAlerted.erase(s.Id);
    return;
  }
  AlertEvent e;
  e.server = Utf16ToUtf8(s.Name.str());
  e.kind = AlertKind::UpdateFailed;
  e.reason = RestartReason::Update;
  e.time = u.lastAt ? u.lastAt : servers_.Now();
  e.updateResult = u.lastResult;
  e.detail = u.lastDetail;
  parts_->updateFailureAlerted.insert(s.Id);
  for (const AlertBatch& b : parts_->limiter.Offer(std::move(e), servers_.Now()))
    parts_->sender->Enqueue(FormatAlert(options_.webhookFormat, b, parts_->host));
}

void Observatory::OnCycleEnd() {
  Publish();
  if (parts_->sender)
    for (const AlertBatch& b : parts_->limiter.Flush(servers_.Now()))
      parts_->sender->Enqueue(FormatAlert(options_.webhookFormat, b, parts_->host));
  if (parts_->endpoint && !parts_->endpoint->Listening()) Listen();
}

}  // namespace tervane
