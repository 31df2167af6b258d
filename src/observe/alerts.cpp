#include "observe/alerts.h"

#include <nlohmann/json.hpp>

#include "observe/snapshot.h"

namespace tervane {
namespace {

const char* KindName(AlertKind kind) {
  switch (kind) {
    case AlertKind::Restart: return "restart";
    case AlertKind::FailedStart: return "failed_start";
    case AlertKind::CrashLoop: return "crash_loop";
    case AlertKind::UpdateFailed: return "update_failed";
  }
  return "restart";
}


// What set a start off. Only the supervision's are reasons that read as trouble; the
// operator's and a plan's are named as such.
const char* ReasonText(RestartReason reason) {
  switch (reason) {
    case RestartReason::FirstStart: return "first start";
    case RestartReason::FatalError: return "fatal error";
    case RestartReason::ProcessLost: return "process lost";
    case RestartReason::NoResponse: return "no network response";
    case RestartReason::Command: return "restart by the operator";
    case RestartReason::Planned: return "planned restart";
    case RestartReason::Update: return "game update";
  }
  return "unknown";
}

// Discord takes at most 2000 characters of content; the text is cut well before at a line.
constexpr std::size_t kTextLimit = 1900;

std::string Text(const AlertBatch& b, const std::string& host) {
  std::string text = "Tervane on " + host + ": " + b.server;
  if (b.events.size() == 1 && b.more == 0) return text + " " + DescribeAlert(b.events.front());
  text += ": " + std::to_string(b.events.size() + static_cast<std::size_t>(b.more)) + " events";
  for (const AlertEvent& e : b.events) {
    const std::string line = "\n- " + DescribeAlert(e);
    if (text.size() + line.size() > kTextLimit) break;
    text += line;
  }
  if (b.more > 0) text += "\n- and " + std::to_string(b.more) + " more";
  return text;
}

// Slack reads "<...>" as links and mentions and "&" as the start of an entity.
std::string SlackEscaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

}  // namespace

std::string DescribeAlert(const AlertEvent& e) {
  switch (e.kind) {
    case AlertKind::Restart:
      if (KindOf(e.reason) == RestartKind::Operator) return "restarted by the operator";
      return std::string("restarted: ") + ReasonText(e.reason);
    case AlertKind::FailedStart:
      return std::string("could not be started (") + ReasonText(e.reason) + ", error " + std::to_string(e.error) + ")";
    case AlertKind::CrashLoop:
      return "paused by the crash-loop guard: " + std::to_string(e.maxRestarts) + " restarts within " +
             std::to_string(e.windowMinutes) + " minutes";
    case AlertKind::UpdateFailed: {
      const char* how = e.updateResult == UpdateStatus::Result::TimedOut     ? "game update timed out"
                        : e.updateResult == UpdateStatus::Result::NotStarted ? "game update could not be started"
                                                                             : "game update failed";
      // The command's own words may be long: a line's worth is kept.
      const std::string detail = e.detail.size() > 200 ? e.detail.substr(0, 200) + "..." : e.detail;
      return std::string(how) + (detail.empty() ? "" : ": " + detail) + "; started on the files it has";
    }
  }
  return {};
}

AlertBatch AlertLimiter::Take(PerServer& s, WallTime now) {
  AlertBatch batch = std::move(s.held);
  s.held = AlertBatch{batch.server, {}, 0};
  s.sentOnce = true;
  s.lastSent = now;
  return batch;
}

std::vector<AlertBatch> AlertLimiter::Offer(AlertEvent event, WallTime now) {
  const bool urgent = event.kind != AlertKind::Restart;
  PerServer& s = servers_[event.server];
  s.held.server = event.server;
  if (s.held.events.size() < kHeldLimit) {
    s.held.events.push_back(std::move(event));
  } else {
    s.held.more += 1;
  }
  if (!urgent && !Due(s, now)) return {};
  return {Take(s, now)};
}

std::vector<AlertBatch> AlertLimiter::Flush(WallTime now) {
  std::vector<AlertBatch> due;
  for (auto it = servers_.begin(); it != servers_.end();) {
    PerServer& s = it->second;
    if (!s.held.events.empty() && Due(s, now)) due.push_back(Take(s, now));
    // A server quiet for a whole interval needs no memory: its next event goes out at once.
    if (s.held.events.empty() && now - s.lastSent >= interval_)
      it = servers_.erase(it);
    else
      ++it;
  }
  return due;
}

std::string FormatAlert(WebhookFormat format, const AlertBatch& b, const std::string& host) {
  nlohmann::json doc;
  if (format == WebhookFormat::Discord) {
    // A server named "@everyone" pings nobody.
    doc = {{"content", Text(b, host)}, {"allowed_mentions", {{"parse", nlohmann::json::array()}}}};
  } else if (format == WebhookFormat::Slack) {
    doc = {{"text", SlackEscaped(Text(b, host))}};
  } else {
    nlohmann::json events = nlohmann::json::array();
    for (const AlertEvent& e : b.events) {
      nlohmann::json o = {{"kind", KindName(e.kind)}, {"reason", RestartReasonName(e.reason)},
                          {"restartKind", RestartKindName(KindOf(e.reason))}, {"time", e.time}, {"text", DescribeAlert(e)}};
      if (e.kind == AlertKind::FailedStart) o["error"] = e.error;
      if (e.kind == AlertKind::UpdateFailed) {
        o["result"] = UpdateResultName(e.updateResult);
        o["detail"] = e.detail;
      }
      if (e.kind == AlertKind::CrashLoop) {
        o["maxRestarts"] = e.maxRestarts;
        o["windowMinutes"] = e.windowMinutes;
      }
      events.push_back(std::move(o));
    }
    doc = {{"source", "tervane"}, {"host", host}, {"server", b.server}, {"events", std::move(events)},
           {"more", b.more}, {"text", Text(b, host)}};
  }
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

WebhookSender::WebhookSender(std::string url, Transport transport)
    : url_(std::move(url)), transport_(std::move(transport)), thread_([this] { Run(); }) {}

WebhookSender::~WebhookSender() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool WebhookSender::Enqueue(std::string body) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= kQueueLimit) {
      ++dropped_;
      return false;
    }
    queue_.push_back(std::move(body));
  }
  wake_.notify_one();
  return true;
}

void WebhookSender::Run() {
  for (;;) {
    std::string body;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      body = std::move(queue_.front());
      queue_.pop_front();
    }
    HttpCall call;
    call.url = url_;
    call.body = std::move(body);
    call.timeoutMs = kTimeoutMs;
    const HttpCallResult r = transport_(call);
    if (r.status >= 200 && r.status < 300)
      ++sent_;
    else
      ++failed_;
  }
}

}  // namespace tervane
