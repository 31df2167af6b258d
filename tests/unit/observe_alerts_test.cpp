// The alerts' limit of one message per server per minute, their formats, and the sender's
// bounded queue in front of a webhook that does not answer.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>

#include "observe/alerts.h"

namespace tervane {
namespace {

AlertEvent Event(const std::string& server, WallTime at, RestartReason reason = RestartReason::ProcessLost) {
  AlertEvent e;
  e.server = server;
  e.reason = reason;
  e.time = at;
  return e;
}

std::vector<std::size_t> Sizes(const std::vector<AlertBatch>& batches) {
  std::vector<std::size_t> out;
  for (const auto& b : batches) out.push_back(b.events.size() + static_cast<std::size_t>(b.more));
  return out;
}

TEST(AlertLimiter, OneMessagePerServerPerMinuteTheRestSummedIntoTheNext) {
  AlertLimiter limiter;
  using V = std::vector<std::size_t>;
  EXPECT_EQ(Sizes(limiter.Offer(Event("a", 1000), 1000)), V{1});  // the first goes at once
  EXPECT_EQ(Sizes(limiter.Offer(Event("b", 1001), 1001)), V{1});  // each server on its own
  EXPECT_EQ(Sizes(limiter.Offer(Event("a", 1010), 1010)), V{});   // within a's minute: held
  EXPECT_EQ(Sizes(limiter.Offer(Event("a", 1020), 1020)), V{});
  EXPECT_EQ(Sizes(limiter.Flush(1059)), V{});
  const auto due = limiter.Flush(1060);
  ASSERT_EQ(Sizes(due), V{2});
  EXPECT_EQ(due[0].server, "a");
  EXPECT_EQ(due[0].events[0].time, 1010);
  EXPECT_EQ(Sizes(limiter.Offer(Event("a", 1070), 1070)), V{});  // a minute from the last message
  EXPECT_EQ(Sizes(limiter.Offer(Event("a", 1121), 1121)), V{2});  // due: the held one with it

  // A storm: the first few events kept, the rest counted.
  for (int n = 0; n < 25; ++n) limiter.Offer(Event("c", 2000 + n), 2000 + n);
  const auto storm = limiter.Flush(2100);
  ASSERT_EQ(storm.size(), 1u);
  EXPECT_EQ(storm[0].events.size(), AlertLimiter::kHeldLimit);
  EXPECT_EQ(storm[0].more, 24 - static_cast<int>(AlertLimiter::kHeldLimit));
}

// A failed start and a crash-loop pause are what an operator must hear of now: they go at
// once, within the minute too, and take what was held with them.
TEST(AlertLimiter, FailedStartsAndCrashLoopPausesNeverWait) {
  AlertLimiter limiter;
  using V = std::vector<std::size_t>;
  EXPECT_EQ(Sizes(limiter.Offer(Event("a", 1000), 1000)), V{1});
  EXPECT_EQ(Sizes(limiter.Offer(Event("a", 1005), 1005)), V{});  // a restart waits
  for (const AlertKind kind : {AlertKind::FailedStart, AlertKind::CrashLoop, AlertKind::UpdateFailed}) {
    AlertEvent urgent = Event("a", 1010);
    urgent.kind = kind;
    const auto now = limiter.Offer(urgent, 1010);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].events.back().kind, kind);
  }
}

// The operator's and the plans' restarts are named as such, never as trouble.
TEST(AlertFormat, EachRestartIsNamedByItsKind) {
  const std::tuple<RestartReason, const char*, const char*> cases[] = {
      {RestartReason::NoResponse, "restarted: no network response", "supervised"},
      {RestartReason::Command, "restarted by the operator", "operator"},
      {RestartReason::Planned, "restarted: planned restart", "planned"},
      {RestartReason::Update, "restarted: game update", "planned"},
  };
  for (const auto& [reason, text, kind] : cases) {
    const AlertBatch one{"alpha", {Event("alpha", 1800000000, reason)}, 0};
    EXPECT_EQ(DescribeAlert(one.events[0]), text);
    const auto json = nlohmann::json::parse(FormatAlert(WebhookFormat::Json, one, "gs-1"));
    EXPECT_EQ(json["events"][0]["restartKind"], kind) << text;
  }
}

// A failed update: how it ended and why, and that the server runs on the files it has.
TEST(AlertFormat, AFailedUpdateSaysHowItEndedAndThatTheServerRunsOn) {
  using R = UpdateStatus::Result;
  const std::tuple<R, std::string, std::string> cases[] = {
      {R::Failed, "exit code 3", "game update failed: exit code 3; started on the files it has"},
      {R::TimedOut, "passed its 900 s", "game update timed out: passed its 900 s; started on the files it has"},
      {R::NotStarted, "", "game update could not be started; started on the files it has"},
      {R::Failed, std::string(500, 'x'), "game update failed: " + std::string(200, 'x') + "...; started on the files it has"},
  };
  for (const auto& [result, detail, text] : cases) {
    AlertEvent e = Event("alpha", 1800000000, RestartReason::Update);
    e.kind = AlertKind::UpdateFailed;
    e.updateResult = result;
    e.detail = detail;
    EXPECT_EQ(DescribeAlert(e), text);
    const auto json = nlohmann::json::parse(FormatAlert(WebhookFormat::Json, AlertBatch{"alpha", {e}, 0}, "gs-1"));
    EXPECT_EQ(json["events"][0]["kind"], "update_failed");
    EXPECT_EQ(json["events"][0]["result"], UpdateResultName(result));
    EXPECT_EQ(json["text"], "Tervane on gs-1: alpha " + text);
  }
}

TEST(AlertFormat, DiscordSlackAndJson) {
  AlertBatch one{"alpha", {Event("alpha", 1800000000)}, 0};
  AlertEvent loop = Event("alpha", 1800000005, RestartReason::NoResponse);
  loop.kind = AlertKind::CrashLoop;
  loop.maxRestarts = 5;
  loop.windowMinutes = 10;
  AlertEvent failed = Event("alpha", 1800000006);
  failed.kind = AlertKind::FailedStart;
  failed.error = 2;
  AlertBatch many{"alpha", {Event("alpha", 1800000001), loop, failed}, 4};

  const auto discord = nlohmann::json::parse(FormatAlert(WebhookFormat::Discord, one, "gs-1"));
  EXPECT_EQ(discord["content"], "Tervane on gs-1: alpha restarted: process lost");
  EXPECT_EQ(discord.size(), 2u);
  const auto slack = nlohmann::json::parse(FormatAlert(WebhookFormat::Slack, many, "gs-1"));
  const std::string text = slack["text"];
  EXPECT_EQ(text.rfind("Tervane on gs-1: alpha: 7 events", 0), 0u) << text;
  EXPECT_NE(text.find("paused by the crash-loop guard: 5 restarts within 10 minutes"), std::string::npos);
  EXPECT_NE(text.find("could not be started (process lost, error 2)"), std::string::npos);
  EXPECT_NE(text.find("and 4 more"), std::string::npos);

  const auto json = nlohmann::json::parse(FormatAlert(WebhookFormat::Json, many, "gs-1"));
  EXPECT_EQ(json["server"], "alpha");
  EXPECT_EQ(json["host"], "gs-1");
  EXPECT_EQ(json["more"], 4);
  ASSERT_EQ(json["events"].size(), 3u);
  EXPECT_EQ(json["events"][0]["kind"], "restart");
  EXPECT_EQ(json["events"][0]["reason"], "process_lost");
  EXPECT_EQ(json["events"][1]["kind"], "crash_loop");
  EXPECT_EQ(json["events"][1]["maxRestarts"], 5);
  EXPECT_EQ(json["events"][2]["kind"], "failed_start");
  EXPECT_EQ(json["events"][2]["error"], 2);

  // A long name and many lines stay within Discord's 2000 characters.
  AlertBatch huge{std::string(300, 'n'), std::vector<AlertEvent>(AlertLimiter::kHeldLimit, loop), 0};
  for (auto& e : huge.events) e.server = huge.server;
  EXPECT_LE(nlohmann::json::parse(FormatAlert(WebhookFormat::Discord, huge, std::string(100, 'h')))["content"]
                .get<std::string>()
                .size(),
            2000u);
}

// A server's name is text in every format: it mentions nobody on Discord, and Slack's markup
// characters are escaped.
TEST(AlertFormat, NamesMentionNobodyAndAreNoMarkup) {
  const AlertBatch b{"@everyone <!channel> & <https://x|y>", {Event("@everyone <!channel> & <https://x|y>", 1800000000)}, 0};
  const auto discord = nlohmann::json::parse(FormatAlert(WebhookFormat::Discord, b, "h"));
  EXPECT_EQ(discord["allowed_mentions"], nlohmann::json::parse(R"({"parse": []})"));
  const std::string slack = nlohmann::json::parse(FormatAlert(WebhookFormat::Slack, b, "a<b>&c"))["text"];
  EXPECT_EQ(slack, "Tervane on a&lt;b&gt;&amp;c: @everyone &lt;!channel&gt; &amp; &lt;https://x|y&gt; restarted: process lost");
}

// A webhook that hangs: Enqueue never waits, the queue stops at its limit and the rest is
// dropped and counted; what was sent and what failed are counted too.
TEST(WebhookSender, AHangingWebhookFillsTheBoundedQueueAndDropsAreCounted) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  int calls = 0;
  {
    WebhookSender sender("http://127.0.0.1:9/", [&](const HttpCall& call) {
      std::unique_lock<std::mutex> lock(m);
      ++calls;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
      return HttpCallResult{call.body == "fail" ? 500 : 204, "", ""};
    });
    ASSERT_TRUE(sender.Enqueue("fail"));
    {
      std::unique_lock<std::mutex> lock(m);
      ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return calls == 1; }));
    }
    int accepted = 0;
    for (int n = 0; n < 50; ++n) accepted += sender.Enqueue("ok") ? 1 : 0;
    EXPECT_EQ(accepted, static_cast<int>(WebhookSender::kQueueLimit));
    EXPECT_EQ(sender.Counts().alertsDropped, 50 - WebhookSender::kQueueLimit);
    {
      std::lock_guard<std::mutex> lock(m);
      release = true;
    }
    cv.notify_all();
    for (int n = 0; n < 500 && sender.Counts().alertsSent < WebhookSender::kQueueLimit; ++n)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sender.Counts().alertsSent, WebhookSender::kQueueLimit);
    EXPECT_EQ(sender.Counts().alertsFailed, 1u);
  }
}

}  // namespace
}  // namespace tervane
