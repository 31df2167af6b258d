// Webhook alerts of a whole monitor to a receiver on 127.0.0.1: the restarts of a stand-in that
// exits at once and its crash-loop pause arrive as Discord messages, and a receiver that takes
// seconds per message holds up neither the cycle nor the metrics.
#include <nlohmann/json.hpp>

#include <mutex>
#include <thread>

#include "observe/http_endpoint.h"
#include "observe_support.h"

namespace tervane::testing {
namespace {

// An HTTP receiver that keeps every body it is sent; each answer waits `delay`.
class Receiver {
 public:
  explicit Receiver(std::chrono::milliseconds delay = 0ms)
      : endpoint_([this, delay](const HttpRequest& r, HttpAnswer answer) {
          std::this_thread::sleep_for(delay);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            bodies_.push_back(r.method + " " + r.path + " " + r.body);
          }
          answer(HttpResponse{204, "text/plain", "", {}});
        }) {
    std::string error;
    port_ = FreeTcpPort();
    started_ = endpoint_.Start(ListenAddress{"127.0.0.1", static_cast<std::uint16_t>(port_)}, error);
  }
  bool Started() const { return started_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hook"; }
  std::vector<std::string> Bodies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bodies_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> bodies_;
  HttpEndpoint endpoint_;
  int port_ = 0;
  bool started_ = false;
};

class Webhook : public Observed {
 protected:
  // A minute of the statuses' clock passes in 0.6 s: the limit of one message a minute and
  // the crash-loop window come within a test's time.
  void SpeedUpTheClock() {
    const auto start = std::chrono::steady_clock::now();
    const WallTime base = SystemWallTime();
    wallClock = [start, base] {
      return base + std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() / 10;
    };
  }
};

TEST_F(Webhook, RestartsAndTheCrashLoopPauseArriveAsDiscordMessages) {
  Receiver receiver;
  ASSERT_TRUE(receiver.Started());
  SpeedUpTheClock();
  AddServer("crasher", u" -fakesrv.exit-after 0");
  Run("WebhookUrl=" + receiver.Url() +
          "\r\nWebhookFormat=discord\r\nMaxRestarts=3\r\nRestartWindowMinutes=10\r\nAlertHost=gs-eu-1\r\n",
      false);
  const Server& s = *rig->List()[0];
  ASSERT_TRUE(WaitUntil([&] { return s.Paused != 0; }, 30s));
  auto hasText = [&](const std::string& text) {
    for (const std::string& b : receiver.Bodies())
      if (b.find(text) != std::string::npos) return true;
    return false;
  };
  ASSERT_TRUE(WaitUntil([&] { return hasText("paused by the crash-loop guard: 3 restarts within 10 minutes"); }, 10s));
  EXPECT_TRUE(hasText("restarted: process lost"));
  for (const std::string& b : receiver.Bodies()) {
    ASSERT_EQ(b.rfind("POST /hook {", 0), 0u) << b;
    const auto doc = nlohmann::json::parse(b.substr(b.find('{')));
    EXPECT_EQ(doc.size(), 2u);
    EXPECT_EQ(doc["allowed_mentions"], nlohmann::json::parse(R"({"parse": []})")) << b;
    EXPECT_EQ(doc["content"].get<std::string>().rfind("Tervane on gs-eu-1: crasher", 0), 0u) << b;
  }
  // The first start is no alert.
  EXPECT_FALSE(hasText("first start"));
  EXPECT_FALSE(commandRunner || updates) << "no UpdateCommand in kesp.ini: nothing of game updates is made";
}

// An update command that fails: the server runs on, on the files it has, and the receiver gets
// one alert that says so, not another for the start that followed.
TEST_F(Webhook, AFailedUpdateIsOneAlertAndTheServerRunsOn) {
  Receiver receiver;
  ASSERT_TRUE(receiver.Started());
  AddServer("css");
#ifdef _WIN32
  const char* stub = "update_stub.cmd";
#else
  const char* stub = "update_stub.sh";
#endif
  const std::filesystem::path stubPath = std::filesystem::path(dir.Dir()) / stub;
  std::filesystem::copy_file(std::filesystem::path(TERVANE_SOURCE_DIR) / "tests/data/update_stub" / stub, stubPath);
  // Its log in the installation folder, where the command runs: the value ends with a word of
  // its own, as a value that begins and ends with a quote loses them in kesp.ini.
#ifdef _WIN32
  const std::string fail = "\"" + stubPath.string() + "\" fail stub.log";
#else
  const std::string fail = "sh '" + stubPath.string() + "' fail stub.log";
#endif
  Run("WebhookUrl=" + receiver.Url() + "\r\n[Updates]\r\nUpdateCommand=" + fail + "\r\n", false);
  const Server& s = *rig->List()[0];
  ASSERT_TRUE(WaitUntil([&] { return s.Status.network == NetworkState::Normal; }, 20s));
  ASSERT_EQ(monitor->Run(Command::Update, monitor->Targets({0})).rows, std::vector<std::size_t>{0});
  ASSERT_TRUE(WaitUntil([&] { return s.Status.update.lastResult == UpdateStatus::Result::Failed; }, 30s));
  ASSERT_TRUE(WaitUntil([&] { return s.Status.network == NetworkState::Normal; }, 20s)) << "running again";
  WaitUntil([] { return false; }, 1s);  // anything that would still be sent
  const std::vector<std::string> bodies = receiver.Bodies();
  ASSERT_EQ(bodies.size(), 1u) << ::testing::PrintToString(bodies);
  EXPECT_NE(bodies[0].find("game update failed: exit code 3"), std::string::npos) << bodies[0];
}

TEST_F(Webhook, ASlowReceiverHoldsUpNeitherTheCycleNorTheMetrics) {
  Receiver receiver(1500ms);
  ASSERT_TRUE(receiver.Started());
  SpeedUpTheClock();
  AddServer("crasher", u" -fakesrv.exit-after 0");
  AddServer("steady");
  Run("WebhookUrl=" + receiver.Url() + "\r\n");
  cycles = 0;
  const auto begun = std::chrono::steady_clock::now();
  WaitUntil([] { return false; }, 4s);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  EXPECT_GE(cycles, static_cast<int>(seconds / 0.2) / 2) << cycles << " cycles in " << seconds << " s";
  const Reply m = Get("/metrics");
  ASSERT_EQ(m.status, 200);
  EXPECT_NE(m.body.find("tervane_alerts_sent_total "), std::string::npos);
  EXPECT_NE(m.body.find("tervane_alerts_dropped_total 0\n"), std::string::npos);
  EXPECT_FALSE(receiver.Bodies().empty());
}

// A webhook nobody listens on: each message fails, is counted, and the monitor goes on.
TEST_F(Webhook, ADeadWebhookIsCountedAsFailed) {
  SpeedUpTheClock();
  AddServer("crasher", u" -fakesrv.exit-after 0");
  Run("WebhookUrl=http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/hook\r\n");
  ASSERT_TRUE(WaitUntil([&] { return observing && Get("/metrics").body.find("tervane_alerts_failed_total 0\n") == std::string::npos; }, 20s));
}

}  // namespace
}  // namespace tervane::testing
