// Webhook alerts of kesp.ini's WebhookUrl: the events (a restart with its reason, a failed
// start, a crash-loop pause), the limit of one message per server per minute with the rest
// summed into the next one (a failed start and a crash-loop pause go at once), the message
// formats, and the sender with its bounded queue on a thread of its own, so that a slow or
// dead webhook never holds up the loop. Every message names its host; names from the list are
// text, never markup or mentions, in every format.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/server_status.h"
#include "observe/http_client.h"
#include "observe/metrics.h"
#include "options/settings.h"

namespace tervane {

enum class AlertKind { Restart, FailedStart, CrashLoop, UpdateFailed };

struct AlertEvent {
  std::string server;  // UTF-8 name
  AlertKind kind = AlertKind::Restart;
  RestartReason reason = RestartReason::FirstStart;
  std::uint32_t error = 0;  // a failed start's system error
  WallTime time = 0;
  int maxRestarts = 0;  // a crash-loop pause: the limit ...
  int windowMinutes = 0;  // ... and its window
  UpdateStatus::Result updateResult = UpdateStatus::Result::None;  // a failed update: how it ended ...
  std::string detail;                                              // ... and why (an exit code, ...)
};

// The events of one server that go out as one message, oldest first; `more` were held too but
// are only counted.
struct AlertBatch {
  std::string server;
  std::vector<AlertEvent> events;
  int more = 0;
};

// At most one message per server per interval; what comes in between waits for the next one.
// Failed starts, crash-loop pauses and failed updates never wait: they go at once, with what was held.
class AlertLimiter {
 public:
  explicit AlertLimiter(WallTime intervalSeconds = 60) : interval_(intervalSeconds) {}
  // The event's message when its server's interval is over (with what was held), else nothing.
  std::vector<AlertBatch> Offer(AlertEvent event, WallTime now);
  // The held events of every server whose interval is over.
  std::vector<AlertBatch> Flush(WallTime now);

  static constexpr std::size_t kHeldLimit = 10;

 private:
  struct PerServer {
    bool sentOnce = false;
    WallTime lastSent = 0;
    AlertBatch held;
  };
  bool Due(const PerServer& s, WallTime now) const { return !s.sentOnce || now - s.lastSent >= interval_ || now < s.lastSent; }
  AlertBatch Take(PerServer& s, WallTime now);

  WallTime interval_;
  std::map<std::string, PerServer> servers_;
};

// One line of text per event: "restarted: process lost", "restarted by the operator",
// "restarted: planned restart", "could not be started (first start, error 2)", "game update
// failed: exit code 3; started on the files it has"...
std::string DescribeAlert(const AlertEvent& event);
// The message's body: Discord {"content"} that mentions nobody, Slack {"text"} with its
// control characters escaped, or the events as JSON; `host` names this host in each.
std::string FormatAlert(WebhookFormat format, const AlertBatch& batch, const std::string& host);

// Sends bodies to the URL one after the other on its own thread. The queue holds at most
// kQueueLimit messages; more are dropped and counted.
class WebhookSender {
 public:
  using Transport = std::function<HttpCallResult(const HttpCall&)>;
  WebhookSender(std::string url, Transport transport = SendHttp);
  // Waits for the message being sent (its time-out bounds it); the queued ones are dropped.
  ~WebhookSender();
  WebhookSender(const WebhookSender&) = delete;
  WebhookSender& operator=(const WebhookSender&) = delete;

  // Never blocks; false when the queue was full and the message dropped.
  bool Enqueue(std::string body);
  ObserverCounts Counts() const { return ObserverCounts{sent_.load(), failed_.load(), dropped_.load(), {}}; }

  static constexpr std::size_t kQueueLimit = 32;
  static constexpr int kTimeoutMs = 5000;

 private:
  void Run();

  std::string url_;
  Transport transport_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  bool stopping_ = false;
  std::atomic<std::uint64_t> sent_{0}, failed_{0}, dropped_{0};
  std::thread thread_;
};

}  // namespace tervane
