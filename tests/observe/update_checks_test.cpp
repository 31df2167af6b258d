// The update checks: the answer of a check URL read, the checks made once per URL and per
// installation folder at their interval, never overlapping, failures said once per streak, a
// server gone not told; on Linux the notices in a server's output, and the check URL against
// a stand-in web API on 127.0.0.1 through the real HTTP client.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "observe/update_checks.h"
#include "process/command_runner.h"
#include "support/event_loop.h"
#include "support/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tervane {
namespace {

using namespace std::chrono_literals;
using Clock = UpdateChecks::Clock;

class FakeRunner : public ICommandRunner {
 public:
  void Start(CommandJob job, Done done) override {
    jobs.push_back(std::move(job));
    dones.push_back(std::move(done));
  }
  std::size_t Running() const override { return dones.size(); }
  void EndAll() override {}
  // Ends the oldest job still running as given.
  void Finish(CommandEnd::How how, int code = 0) {
    ASSERT_FALSE(dones.empty());
    Done done = std::move(dones.front());
    dones.erase(dones.begin());
    CommandEnd end;
    end.how = how;
    end.exitCode = code;
    done(end);
  }
  std::vector<CommandJob> jobs;
  std::vector<Done> dones;
};

struct Told {
  ServerId id;
  UpdateSource source;
  std::string detail;
};

class UpdateChecksTest : public ::testing::Test {
 protected:
  UpdateCheckServer Server(ServerId id, const std::string& folder) {
    UpdateCheckServer s;
    s.id = id;
    s.folder = Utf8ToUtf16(folder);
    s.version = "1.0.0.1";
    s.appId = 730;
    s.settings.command = "update.sh";
    s.settings.notices.clear();
    return s;
  }
  void Make(UpdateChecks::Transport transport = nullptr) {
    UpdateChecks::Options options;
    options.lookMs = 3600 * 1000;  // the tests look themselves
    options.now = [this] { return now_; };
    if (transport) options.transport = std::move(transport);
    options.httpTimeoutMs = 1500;
    UpdateCheckHooks hooks;
    hooks.servers = [this] { return servers_; };
    hooks.available = [this](ServerId id, UpdateSource source, std::string detail) {
      told_.push_back(Told{id, source, std::move(detail)});
    };
    hooks.say = [this](const std::string& line) { said_.push_back(line); };
    checks_ = std::make_unique<UpdateChecks>(loop_, runner_, std::move(hooks), options);
  }
  std::vector<ServerId> ToldIds(UpdateSource source) const {
    std::vector<ServerId> ids;
    for (const Told& t : told_)
      if (t.source == source) ids.push_back(t.id);
    return ids;
  }

  EventLoop loop_;
  FakeRunner runner_;
  Clock::time_point now_ = Clock::now();
  std::vector<UpdateCheckServer> servers_;
  std::vector<Told> told_;
  std::vector<std::string> said_;
  std::unique_ptr<UpdateChecks> checks_;
};

TEST(UpToDateAnswer, OnlyTheDocumentedShapeIsAnAnswer) {
  struct Case {
    const char* body;
    bool answered;
    bool upToDate;
    std::optional<std::int64_t> required;
  };
  const Case cases[] = {
      {R"({"response":{"success":true,"up_to_date":false,"version_is_listable":true,"required_version":1234,"message":"m"}})",
       true, false, 1234},
      {R"({"response":{"success":true,"up_to_date":true}})", true, true, std::nullopt},
      {R"({"response":{"success":true,"up_to_date":false,"required_version":18446744073709551615}})", true, false,
       std::nullopt},
      {R"({"response":{"success":false,"up_to_date":false,"error":"bad appid"}})", false, true, std::nullopt},
      {R"({"response":{"success":true,"up_to_date":"false"}})", false, true, std::nullopt},
      {R"({"response":{"success":true}})", false, true, std::nullopt},
      {R"({"response":[true]})", false, true, std::nullopt},
      {R"([{"response":{"success":true,"up_to_date":false}}])", false, true, std::nullopt},
      {R"({"response":{"success":true,"up_to_date":false})", false, true, std::nullopt},
      {"<html>", false, true, std::nullopt},
      {"", false, true, std::nullopt},
  };
  for (const Case& c : cases) {
    const UpToDateAnswer a = ParseUpToDateAnswer(c.body);
    EXPECT_EQ(a.answered, c.answered) << c.body;
    EXPECT_EQ(a.upToDate, c.upToDate) << c.body << " (no answer never says out of date)";
    EXPECT_EQ(a.requiredVersion, c.required) << c.body;
    EXPECT_EQ(a.error.empty(), c.answered) << c.body;
  }
  EXPECT_LE(ParseUpToDateAnswer(R"({"response":{"success":true,"up_to_date":false,"message":")" +
                                std::string(5000, 'x') + "\"}}")
                .message.size(),
            200u);
}

TEST(UpdateCheckTexts, PlaceholdersAndWanted) {
  EXPECT_EQ(FillUpdateCheckUrl("http://h/c?appid={appid}&version={version}&v2={version}", "1.0 beta/&=", 730),
            "http://h/c?appid=730&version=1.0%20beta%2F%26%3D&v2=1.0%20beta%2F%26%3D");
  EXPECT_EQ(FillUpdateCheckCommand("check {appid} \"{folder}\"", "/srv/a b", std::nullopt), "check  \"/srv/a b\"");

  struct Case {
    std::string command, url, checkCommand;
    std::vector<std::string> notices;
    bool wanted;
  };
  const Case cases[] = {
      {"", "http://h", "c", {"n"}, false},  // updates off without an UpdateCommand
      {"u", "", "", {"n"}, true},
      {"u", "", "", {""}, false},  // an empty notice list given once
      {"u", "http://h", "", {}, true},
      {"u", "", "c", {}, true},
  };
  for (const Case& c : cases) {
    UpdateSettings s;
    s.command = c.command;
    s.checkUrl = c.url;
    s.checkCommand = c.checkCommand;
    s.notices = c.notices;
    EXPECT_EQ(UpdateChecksWanted({UpdateSettings{}, s}), c.wanted) << c.command << "|" << c.url;
  }
}

TEST_F(UpdateChecksTest, CommandChecksOncePerFolderWithoutOverlapAndStreaks) {
  for (auto [id, folder] : {std::pair<ServerId, const char*>{1, "/srv/cs"}, {2, "/srv/cs"}, {3, "/srv/tf"}}) {
    servers_.push_back(Server(id, folder));
    servers_.back().settings.checkCommand = "check {appid} {folder}";
    servers_.back().settings.checkMinutes = 5;
  }
  servers_[2].settings.command.clear();  // updates off here: not checked
  Make();
  checks_->Look();
  ASSERT_EQ(runner_.jobs.size(), 1u);
  EXPECT_EQ(runner_.jobs[0].command, "check 730 /srv/cs");
  EXPECT_EQ(runner_.jobs[0].folder, u"/srv/cs");
  now_ += 10min;
  checks_->Look();
  EXPECT_EQ(runner_.jobs.size(), 1u) << "a check never overlaps itself";

  // Each end, then the next check after the interval: what it tells, what it says.
  struct Step {
    CommandEnd::How how;
    int code;
    std::vector<ServerId> told;
    std::size_t said;  // lines said so far
  };
  const Step steps[] = {
      {CommandEnd::How::Exited, 10, {1, 2}, 0}, {CommandEnd::How::Exited, 0, {}, 0},
      {CommandEnd::How::Exited, 3, {}, 1},      {CommandEnd::How::TimedOut, 0, {}, 1},
      {CommandEnd::How::NotStarted, 0, {}, 1},  {CommandEnd::How::Exited, 0, {}, 2},
      {CommandEnd::How::Exited, 1, {}, 3},
  };
  for (const Step& step : steps) {
    told_.clear();
    runner_.Finish(step.how, step.code);
    EXPECT_EQ(ToldIds(UpdateSource::Command), step.told) << step.code;
    EXPECT_EQ(said_.size(), step.said) << step.code;
    const std::size_t before = runner_.jobs.size();
    now_ += 4min;
    checks_->Look();
    EXPECT_EQ(runner_.jobs.size(), before) << "not before the interval";
    now_ += 1min;
    checks_->Look();
    ASSERT_EQ(runner_.jobs.size(), before + 1);
  }

  // A server gone while its check ran is not told; one without an app id is not checked.
  servers_.erase(servers_.begin(), servers_.begin() + 2);
  told_.clear();
  runner_.Finish(CommandEnd::How::Exited, 10);
  EXPECT_TRUE(told_.empty());
  EXPECT_EQ(said_.size(), 4u) << "a success after failures is said";
  servers_ = {Server(4, "/srv/hl")};
  servers_[0].appId = 0;
  servers_[0].settings.checkCommand = "check {appid}";
  const std::size_t before = runner_.jobs.size();
  checks_->Look();
  checks_->Look();
  EXPECT_EQ(runner_.jobs.size(), before);
  EXPECT_EQ(said_.size(), 5u) << "no app id: said once";
}

TEST_F(UpdateChecksTest, UrlChecksOncePerFilledUrlAndTellTheirServers) {
  std::mutex mutex;
  std::vector<std::string> asked;
  HttpCallResult answer;
  answer.status = 200;
  answer.body = R"({"response":{"success":true,"up_to_date":false,"required_version":99}})";
  Make([&](const HttpCall& call) {
    std::lock_guard lock(mutex);
    asked.push_back(call.method + " " + call.url);
    return answer;
  });
  for (ServerId id : {1, 2, 3}) {
    servers_.push_back(Server(id, "/srv/" + std::to_string(id)));
    servers_.back().settings.checkUrl = "http://127.0.0.1:9/check?appid={appid}&version={version}";
  }
  servers_[2].version = "1.0.0.2";
  servers_.push_back(Server(5, "/srv/5"));
  servers_.back().settings.checkUrl = "http://127.0.0.1:9/check?version={version}";
  servers_.back().version.clear();  // no reply yet: waits
  checks_->Look();
  const auto count = [&] {
    std::lock_guard lock(mutex);
    return asked.size();
  };
  ASSERT_TRUE(loop_.RunUntil([&] { return told_.size() == 3; }, 5s));
  EXPECT_EQ(count(), 2u);
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked[0], "GET http://127.0.0.1:9/check?appid=730&version=1.0.0.1");
  EXPECT_EQ(told_[0].source, UpdateSource::Url);
  EXPECT_NE(told_[0].detail.find("99"), std::string::npos) << told_[0].detail;

  // Failures: said once per streak; a server gone by the answer is not told.
  struct Step {
    int status;
    const char* body;
    std::size_t said;
    std::size_t told;
  };
  const Step steps[] = {{500, "", 1, 0}, {200, "<html>", 1, 0}, {0, "", 1, 0},
                        {200, R"({"response":{"success":true,"up_to_date":true}})", 2, 0},
                        {200, "[]", 3, 0}};
  servers_.resize(1);
  for (const Step& step : steps) {
    told_.clear();
    answer.status = step.status;
    answer.body = step.body;
    now_ += 10min;
    const std::size_t before = count();
    checks_->Look();
    ASSERT_TRUE(loop_.RunUntil([&] { return count() == before + 1; }, 5s));
    loop_.RunUntil([] { return false; }, 100ms);
    EXPECT_EQ(said_.size(), step.said) << step.status << step.body;
    EXPECT_EQ(told_.size(), step.told);
  }
  answer = HttpCallResult{200, R"({"response":{"success":true,"up_to_date":false}})", ""};
  now_ += 10min;
  checks_->Look();
  servers_.clear();
  loop_.RunUntil([] { return false; }, 300ms);
  EXPECT_TRUE(told_.empty());
}

#ifndef _WIN32
std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("tervane_update_" + name + "_" + std::to_string(::getpid())))
      .string();
}

void Append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

TEST_F(UpdateChecksTest, NoticesAreTheNewWholeLinesOfTheOutput) {
  const std::string out = TempPath("out");
  std::filesystem::remove(out);
  const std::string notice = DefaultUpdateNotices()[0];
  Append(out, notice + "\n");  // before the watch began: not news
  servers_ = {Server(1, "/srv/cs")};
  servers_[0].out = Utf8ToUtf16(out);
  // A line longer than what is told, its cut falling inside a two-byte letter.
  const std::string longLine = notice + std::string(199 - notice.size(), 'x') + "\xC3\xA9" + std::string(100, 'x');
  servers_[0].settings.notices = DefaultUpdateNotices();
  servers_[0].settings.notices.push_back(longLine);
  Make();
  checks_->Look();

  struct Step {
    std::string action;  // append, truncate, replace
    std::string text;
    std::string told;  // a part of the line told, or nothing
  };
  const Step steps[] = {
      {"append", "nothing here\n", ""},
      {"append", "\x1b[0mYour server is out of date and will be", ""},  // a line cut by the look
      {"append", " shutdown during hibernation or changelevel, whichever comes first.\r\n", " [0mYour server"},
      {"append", longLine + "\n", "Your"},
      // A player's chat line holding the words is no notice; the engine's time-stamped one is.
      {"append", "Player : MasterRequestRestart\nL 12/08/2026 - 15:00:00: say MasterRequestRestart\n", ""},
      {"append", "L 12/08/2026 - 15:00:00: MasterRequestRestart \n", "L 12/08"},
      {"truncate", "MasterRequestRestart\n", "Master"},  // a shorter file starts over
      {"replace", "Your server needs to be restarted in order to receive the latest update.\n", "Your server needs"},
      {"append", std::string(200 * 1024, 'y') + "\nMasterRequestRestart\n", "Master"},  // past the bound
      {"append", "MasterRequest", ""},
  };
  for (const Step& step : steps) {
    told_.clear();
    if (step.action == "truncate") {
      std::ofstream(out, std::ios::binary | std::ios::trunc) << step.text;
    } else if (step.action == "replace") {
      std::filesystem::remove(out);
      std::ofstream(out + ".new", std::ios::binary) << std::string(4096, 'z') + "\n" + step.text;
      std::filesystem::rename(out + ".new", out);
    } else {
      Append(out, step.text);
    }
    checks_->Look();
    ASSERT_EQ(told_.size(), step.told.empty() ? 0u : 1u) << step.action << " " << step.text.substr(0, 60);
    if (!step.told.empty()) {
      EXPECT_EQ(told_[0].source, UpdateSource::Notice);
      EXPECT_LE(told_[0].detail.size(), 200u);
      EXPECT_NE(static_cast<unsigned char>(told_[0].detail.back()), 0xC3) << "no letter cut in half";
      EXPECT_EQ(told_[0].detail.find(step.told), 0u) << told_[0].detail;
      EXPECT_NE(told_[0].detail.back(), '\r');
    }
  }
  std::filesystem::remove(out);
}

#endif

bool UnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

// The check URL through the real HTTP client (the webhook module; WinHTTP) against the stand-in
// API, which runs this test (tests/observe/update_check_server.py --run) and says where it is.
class UpdateCheckServerTest : public UpdateChecksTest {
 protected:
  void SetUp() override {
    for (auto [name, target] : {std::pair{"TERVANE_UPDATE_CHECK_PORT", &port_},
                                {"TERVANE_UPDATE_CHECK_ANSWER", &answerFile_}, {"TERVANE_UPDATE_CHECK_LOG", &log_}})
      if (const char* value = std::getenv(name)) *target = value;
    if (port_.empty() || answerFile_.empty() || log_.empty())
      GTEST_SKIP() << "run by the stand-in check API: update_check_server.py --run";
  }
  std::vector<std::string> Logged() {
    std::ifstream in(log_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string answerFile_, log_, port_;
};

TEST_F(UpdateCheckServerTest, AnswersOfTheStandInApi) {
  std::string why;
  ASSERT_TRUE(HttpClientReady(why)) << why;
  servers_ = {Server(1, "/srv/cs")};
  servers_[0].version = "1.0 beta";
  servers_[0].settings.appId = 10;
  servers_[0].settings.checkUrl = "http://127.0.0.1:" + port_ + "/ISteamApps/UpToDateCheck/v1/?appid={appid}&version={version}";
  Make();
  struct Step {
    const char* answer;
    std::size_t told;
    std::size_t said;
  };
  const Step steps[] = {{"outdated", 1, 0}, {"current", 0, 0}, {"slow", 0, 1}, {"garbage", 0, 1},
                        {"error", 0, 1},    {"outdated", 1, 2}};
  for (const Step& step : steps) {
    // Wine's WinHTTP keeps waiting past its time-out; Windows and libcurl end the call there.
    if (step.answer == std::string("slow") && UnderWine()) continue;
    std::ofstream(answerFile_, std::ios::trunc) << step.answer;
    told_.clear();
    const std::size_t said = said_.size();
    now_ += 10min;
    checks_->Look();
    // Done: told, said, or (for an answer that changes nothing) asked and the answer taken.
    loop_.RunUntil([&] { return !told_.empty() || said_.size() > said; }, 4s);
    loop_.RunUntil([] { return false; }, 200ms);
    EXPECT_EQ(told_.size(), step.told) << step.answer;
    EXPECT_EQ(said_.size(), step.said) << step.answer;
  }
  const auto logged = Logged();
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged[0], "/ISteamApps/UpToDateCheck/v1/?appid=10&version=1.0%20beta");
}

}  // namespace
}  // namespace tervane
