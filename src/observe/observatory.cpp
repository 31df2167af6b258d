#include "observe/observatory.h"

#include <atomic>
#include <chrono>
#include <future>

#include "observe/alerts.h"
#include "observe/http_endpoint.h"
#include "observe/snapshot.h"
#include "support/text.h"
#include "support/version.h"

namespace tervane {

namespace {
// How long an HTTP command waits for the loop's thread to run it.
constexpr auto kCommandPatience = std::chrono::seconds(5);
}  // namespace

struct Observatory::Parts {
  SnapshotBox snapshots;
  // Whether the observatory still exists, for tasks posted to the loop before it went.
  std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
  std::unique_ptr<HttpApi> api;
  std::unique_ptr<HttpEndpoint> endpoint;
  AlertLimiter limiter;
  std::unique_ptr<WebhookSender> sender;
};

Observatory::Observatory(EventLoop& loop, Servers& servers, Supervisor& supervisor, EventLog& log,
                         ObserveOptions options, ObservatoryHooks hooks)
    : loop_(loop),
      servers_(servers),
      supervisor_(supervisor),
      log_(log),
      options_(std::move(options)),
      hooks_(std::move(hooks)),
      guard_(options_.maxRestarts, options_.restartWindowMinutes),
      parts_(std::make_unique<Parts>()) {
  servers_.onStart = [this](const StartRecord& start) { OnStart(start); };
  supervisor_.onCycleEnd = [this] { OnCycleEnd(); };
  if (!options_.webhookUrl.empty()) parts_->sender = std::make_unique<WebhookSender>(options_.webhookUrl);
  Publish();
  if (options_.httpListen) StartEndpoint();
}

Observatory::~Observatory() {
  *parts_->alive = false;
  if (parts_->endpoint) parts_->endpoint->Stop();
  parts_->sender.reset();
  servers_.onStart = nullptr;
  supervisor_.onCycleEnd = nullptr;
}

int Observatory::HttpPort() const { return parts_->endpoint ? parts_->endpoint->Port() : 0; }

void Observatory::StartEndpoint() {
  auto alive = parts_->alive;
  // The HTTP thread hands the command to the loop's thread and waits for its outcome there.
  CommandRunner run = [this, alive](const std::string& verb, std::size_t row) {
    auto done = std::make_shared<std::promise<HttpResponse>>();
    std::future<HttpResponse> outcome = done->get_future();
    loop_.Post([this, alive, done, verb, row] {
      if (!*alive) return;
      HttpResponse r;
      if (row >= servers_.size()) {
        r.status = 404;
        r.body = "no server in row " + std::to_string(row) + "\n";
      } else {
        if (hooks_.command) hooks_.command(verb, row);
        Publish();
        r.contentType = "application/json";
        r.body = "{\"ok\":true,\"row\":" + std::to_string(row) + ",\"command\":\"" + verb + "\"}";
      }
      done->set_value(std::move(r));
    });
    if (outcome.wait_for(kCommandPatience) != std::future_status::ready) {
      HttpResponse r;
      r.status = 503;
      r.body = "the monitor did not take the command in time\n";
      return r;
    }
    try {
      return outcome.get();
    } catch (...) {
      HttpResponse r;
      r.status = 503;
      r.body = "the monitor is stopping\n";
      return r;
    }
  };
  parts_->api = std::make_unique<HttpApi>(options_.httpToken, parts_->snapshots, std::move(run),
                                          [this] { return Counts(); }, SystemWallTime, TERVANE_VERSION);
  const HttpApi* api = parts_->api.get();
  parts_->endpoint = std::make_unique<HttpEndpoint>([api](const HttpRequest& r) { return api->Handle(r); });
  std::string error;
  const std::string where = options_.httpListen->host + ":" + std::to_string(options_.httpListen->port);
  if (parts_->endpoint->Start(*options_.httpListen, error)) {
    log_.AddLog(kOptionsFileName, Utf8ToUtf16("HTTP endpoint on http://" + where + "/"));
  } else {
    parts_->endpoint.reset();
    log_.AddLog(kOptionsFileName, Utf8ToUtf16("the HTTP endpoint is off: " + error));
  }
}

ObserverCounts Observatory::Counts() const { return parts_->sender ? parts_->sender->Counts() : ObserverCounts{}; }

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
    parts_->sender->Enqueue(FormatAlert(options_.webhookFormat, b));
}

void Observatory::Publish() { parts_->snapshots.Publish(TakeSnapshot(servers_, supervisor_)); }

void Observatory::OnStart(const StartRecord& start) {
  if (start.index >= servers_.size()) return;
  Server& s = servers_.at(start.index);
  if (start.error != 0) {
    Alert(start.index, AlertKind::FailedStart, start);
  } else if (start.reason != RestartReason::FirstStart) {
    Alert(start.index, AlertKind::Restart, start);
  }
  if (CountsAsCrash(start.reason) && guard_.RecordRestart(s.Status.recentRestarts, start.time)) {
    servers_.SetPaused(start.index, true);
    s.Status.crashLoopPaused = true;
    servers_.LogFor(start.index, FormatText(servers_.Texts().Get(ExtraMsg::CrashLoopPaused),
                                            {options_.maxRestarts, options_.restartWindowMinutes}));
    if (hooks_.save) hooks_.save();
    Alert(start.index, AlertKind::CrashLoop, start);
  }
}

void Observatory::OnCycleEnd() {
  Publish();
  if (parts_->sender)
    for (const AlertBatch& b : parts_->limiter.Flush(servers_.Now()))
      parts_->sender->Enqueue(FormatAlert(options_.webhookFormat, b));
}

}  // namespace tervane
