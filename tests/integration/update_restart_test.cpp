// Game updates over real stand-ins: the news of an update, the warnings, the graceful stop, the
// update command through the system's shell (a stub of the update tool that notes each run in a
// log), and the start, for one server and for two of one installation; a failing and a hanging
// command leave the servers running.
#include <filesystem>
#include <fstream>

#include "core/server_updates.h"
#include "integration_support.h"
#include "observe/update_checks.h"
#include "planned_restart_support.h"
#include "process/command_runner.h"

namespace tervane::testing {
namespace {

using Clock = std::chrono::steady_clock;

const std::u16string kPassword = u" +rcon_password secret";

class UpdateRestarts : public PlannedRestarts {
 protected:
  UpdateRestarts() {
    rig.servers.Updates().SetRunner(runner.get());
#ifdef _WIN32
    const char* stub = "update_stub.cmd";
#else
    const char* stub = "update_stub.sh";
#endif
    // A copy in the test's folder: a path every shell takes as it is.
    stubPath = std::filesystem::path(dir.Dir()) / stub;
    std::filesystem::copy_file(std::filesystem::path(TERVANE_SOURCE_DIR) / "tests/data/update_stub" / stub, stubPath);
  }
  ~UpdateRestarts() override { runner->EndAll(); }

  // The stub's command line in this mode, noting its runs in stubLog (and writing text to file).
  std::string Stub(const std::string& mode, const Path& stubLog, const std::string& file = {},
                   const std::string& text = {}) {
#ifdef _WIN32
    const std::string quote = "\"";
    std::string command = quote + stubPath.string() + quote;
#else
    const std::string quote = "'";
    std::string command = "sh '" + stubPath.string() + "'";
#endif
    command += " " + mode + " " + quote + Utf16ToUtf8(stubLog) + quote;
    if (!file.empty()) command += " " + quote + file + quote + " " + text;
    return command;
  }
  // The stub in this mode as the update command, within seconds.
  void ConfigureUpdates(const std::string& mode, int withinMinutes, int seconds = 60) {
    UpdateSettings settings;
    settings.command = Stub(mode, log);
    settings.withinMinutes = withinMinutes;
    settings.seconds = seconds;
    ConfigureUpdates(std::move(settings));
  }
  void ConfigureUpdates(UpdateSettings settings) {
    UpdateOptions options;
    options.all = UpdateSection{u"", settings, ~0u};
    rig.servers.Updates().SetOptions(std::move(options));
  }
  // A stand-in whose executable lies in the shared folder "game", under a name of its own.
  Server& AddInGame(const std::string& name, const std::u16string& extra = u"") {
    Server& s = AddServer(name, extra);
    const std::filesystem::path exe(s.FileName.str());
    const std::filesystem::path shared = std::filesystem::path(dir.Dir()) / "game" / (name + "-" + exe.filename().string());
    std::filesystem::create_directories(shared.parent_path());
    std::filesystem::copy_file(exe, shared);
    s.FileName.assign(shared.u16string());
    return s;
  }
  void Note(std::size_t i) { rig.servers.Updates().NoteAvailable(list[i]->Id, UpdateSource::Notice, "out of date"); }
  std::vector<std::string> StubRuns() {
    std::ifstream in{std::filesystem::path(log)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::size_t Logged(const std::u16string& line) {
    const auto logs = LogsWithoutTime();
    return static_cast<std::size_t>(std::count(logs.begin(), logs.end(), line));
  }

  // The checks that tell the servers' updates, looking every 200 ms, as kesp's after each cycle.
  std::unique_ptr<UpdateChecks> Checks(UpdateChecks::Transport transport = SendHttp) {
    UpdateCheckHooks hooks;
    hooks.servers = [this] {
      std::vector<UpdateCheckServer> servers;
      for (std::size_t i = 0; i < list.size(); ++i) {
        const Path exe = list[i]->FileName.str();
#ifdef _WIN32
        const Path out;  // a server's output is its own console's
#else
        const Path out = ServerOutputFile(dir.Dir() + u"logs" + PathSeparator(), exe);
#endif
        servers.push_back({list[i]->Id, InstallationFolder(exe), out, list[i]->Status.gameVersion,
                           list[i]->Status.appId, rig.servers.Updates().SettingsOf(i)});
      }
      return servers;
    };
    hooks.available = [this](ServerId id, UpdateSource source, std::string detail) {
      rig.servers.Updates().NoteAvailable(id, source, std::move(detail));
    };
    hooks.say = [this](const std::string& line) { checksSaid.push_back(line); };
    UpdateChecks::Options options;
    options.lookMs = 200;
    options.transport = std::move(transport);
    return std::make_unique<UpdateChecks>(loop, *runner, std::move(hooks), options);
  }
  // The server was updated and started once, for what told of the update.
  void ExpectOneUpdate(const std::u16string& name, UpdateSource source) {
    ASSERT_TRUE(WaitUntil([&] { return Logged(name + u": Restarting. Reason: Game update.") == 1; }, 40s))
        << ::testing::PrintToString(checksSaid);
    EXPECT_EQ(StubRuns().size(), 1u);
    EXPECT_EQ(list[0]->Status.update.source, source);
    EXPECT_EQ(list[0]->Status.update.lastResult, UpdateStatus::Result::Made);
    EXPECT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal")) << "running again";
  }

  std::unique_ptr<ICommandRunner> runner = MakeCommandRunner(loop);
  std::filesystem::path stubPath;
  Path log = dir.File(u"stub.log");
  std::vector<std::string> checksSaid;
};

TEST_F(UpdateRestarts, ABusyServerIsWarnedStoppedByItsCommandUpdatedAndStartedWhenDue) {
  RestartSettings restart;
  restart.warnMinutes = {2, 1};
  restart.stopCommand = "quit";
  restart.stopSeconds = 60;
  Configure(restart);
  ConfigureUpdates("ok", 2);
  ServerEntry& e = AddServer("busy", kPassword + u" -fakesrv.players 2 -fakesrv.quitdelay 300");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  const auto noted = Clock::now();
  Note(0);

  bool stopping = false, updating = false;
  std::string said;
  ASSERT_TRUE(WaitUntil([&] {
    // What the players were told, asked while the stand-in still answers.
    if (!stopping && !list[0]->Stopping() && said.find("1 minute") == std::string::npos)
      said = Control(e, "fakesrv said");
    stopping = stopping || list[0]->Stopping();
    updating = updating || list[0]->Status.phase == Phase::Updating;
    return Logged(u"busy: Restarting. Reason: Game update.") == 1;
  }, 60s));
  EXPECT_GE(Clock::now() - noted, 2 * kMinute - 1s) << "players on it: not before its due time";
  EXPECT_TRUE(stopping && updating) << "stopped by quit, then updated";
  EXPECT_NE(said.find("The server restarts for a game update in 2 minute(s)."), std::string::npos) << said;
  EXPECT_NE(said.find("The server restarts for a game update in 1 minute(s)."), std::string::npos) << said;
  ASSERT_EQ(StubRuns().size(), 1u);
  EXPECT_EQ(StubRuns()[0].rfind("update ok ", 0), 0u);
  EXPECT_EQ(list[0]->Status.update.lastResult, UpdateStatus::Result::Made);
  const auto logs = LogsWithoutTime();
  ASSERT_GE(logs.size(), 3u);
  EXPECT_EQ(logs[logs.size() - 2].rfind(u"busy: update made in ", 0), 0u);
  EXPECT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal")) << "running again";
}

TEST_F(UpdateRestarts, TwoEmptyServersOfOneInstallationAreUpdatedOnceAndAtOnce) {
  ConfigureUpdates("ok", 10);
  AddInGame("a");
  AddInGame("b", u" -fakesrv.players 1 -fakesrv.bots 1");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  ASSERT_TRUE(WaitForCell(1, ColNetworkStatus, u"Normal"));
  const auto noted = Clock::now();
  Note(1);
  ASSERT_TRUE(WaitUntil([&] {
    return Logged(u"a: Restarting. Reason: Game update.") == 1 && Logged(u"b: Restarting. Reason: Game update.") == 1;
  }, 30s));
  EXPECT_LT(Clock::now() - noted, 5 * kMinute) << "nobody plays: at once";
  EXPECT_EQ(StubRuns().size(), 1u) << "one installation, one update";
  EXPECT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  EXPECT_TRUE(WaitForCell(1, ColNetworkStatus, u"Normal"));
}

TEST_F(UpdateRestarts, AFailingOrHangingCommandLeavesTheServersRunningWithOneLineEach) {
  struct Case {
    const char* mode;
    std::u16string line;
  };
  const Case cases[] = {
      {"fail", u"update command failed: exit code 3"},
      {"hang", u"update command passed its time limit of 2 s and was ended"},
  };
  ConfigureUpdates("ok", 10);
  AddInGame("a");
  AddInGame("b");
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ConfigureUpdates(c.mode, 10, 2);
    ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
    ASSERT_TRUE(WaitForCell(1, ColNetworkStatus, u"Normal"));
    for (std::size_t i : {0u, 1u}) list[i]->Status.update.holdUntil = 0;  // the last case's hold
    const std::size_t runs = StubRuns().size();
    Note(0);
    ASSERT_TRUE(WaitUntil([&] { return Logged(u"a: " + c.line) == 1 && Logged(u"b: " + c.line) == 1; }, 30s));
    EXPECT_EQ(StubRuns().size(), runs + 1);
    EXPECT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal")) << "started on the files it has";
    EXPECT_TRUE(WaitForCell(1, ColNetworkStatus, u"Normal"));
    EXPECT_NE(list[0]->Status.update.lastResult, UpdateStatus::Result::Made);
  }
  EXPECT_EQ(Logged(u"a: Restarting. Reason: Game update."), 2u);
  // The tool's own words are kept beside the servers' output.
  const auto output = ReadBytes(UpdateOutputFile(dir.Dir() + u"logs" + PathSeparator(), list[0]->FileName.str()));
  EXPECT_NE(std::string(output.begin(), output.end()).find("update failed"), std::string::npos);
}

#ifndef _WIN32
// The engine's own words in the server's output (Linux keeps it in a file) start the update.
TEST_F(UpdateRestarts, TheEnginesNoticeInTheOutputLeadsToTheUpdate) {
  ConfigureUpdates("ok", 10);
  ServerEntry& e = AddServer("noticed");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  const auto checks = Checks();
  WaitUntil([] { return false; }, 500ms);  // what the output held before is not news
  ASSERT_EQ(Control(e, "fakesrv notice Your server needs to be restarted in order to receive the latest update."),
            "fakesrv ok");
  ExpectOneUpdate(u"noticed", UpdateSource::Notice);
  EXPECT_EQ(list[0]->Status.update.detail, "Your server needs to be restarted in order to receive the latest update.");
}
#endif

// The admin's check command exits 10: an update exists; the update tool then runs once.
TEST_F(UpdateRestarts, ACheckCommandThatFindsAnUpdateLeadsToTheUpdate) {
  UpdateSettings settings;
  settings.command = Stub("ok", log);
  settings.checkCommand = Stub("available", dir.File(u"check.log"));
  settings.notices.clear();
  ConfigureUpdates(settings);
  AddServer("checked");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  const auto checks = Checks();
  ExpectOneUpdate(u"checked", UpdateSource::Command);
}

// The check URL against the stand-in of the public check API, run by it (update_check_server.py
// --run): the version the server reports is out of date; the update tool writes the new one,
// which the server reports after its start.
class UpdateByUrl : public UpdateRestarts {
 protected:
  void SetUp() override {
    for (auto [name, target] : {std::pair{"TERVANE_UPDATE_CHECK_PORT", &port},
                                {"TERVANE_UPDATE_CHECK_ANSWER", &answerFile}, {"TERVANE_UPDATE_CHECK_LOG", &requests}})
      if (const char* value = std::getenv(name)) *target = value;
    if (port.empty() || answerFile.empty() || requests.empty())
      GTEST_SKIP() << "run by the stand-in check API: update_check_server.py --run";
  }
  std::string port, answerFile, requests;
};

TEST_F(UpdateByUrl, AnOutOfDateAnswerLeadsToTheUpdateAndTheNewVersion) {
  std::string why;
  ASSERT_TRUE(HttpClientReady(why)) << why;
  const std::string versionFile = Utf16ToUtf8(dir.File(u"version.txt"));
  std::ofstream(std::filesystem::path(versionFile)) << "1.0.0.70\n";
  std::ofstream(answerFile, std::ios::trunc) << "outdated";
  UpdateSettings settings;
  settings.command = Stub("ok", log, versionFile, "1.0.0.71");
  settings.checkUrl = "http://127.0.0.1:" + port + "/ISteamApps/UpToDateCheck/v1/?appid={appid}&version={version}";
  settings.notices.clear();
  ConfigureUpdates(settings);
  AddServer("versioned", u" -fakesrv.app-id 240 -fakesrv.version-file \"" + Utf8ToUtf16(versionFile) + u"\"");
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  const auto checks = Checks();
  ExpectOneUpdate(u"versioned", UpdateSource::Url);
  EXPECT_TRUE(WaitUntil([&] { return list[0]->Status.gameVersion == "1.0.0.71"; }, 10s)) << list[0]->Status.gameVersion;
  std::ifstream in(requests);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "/ISteamApps/UpToDateCheck/v1/?appid=240&version=1.0.0.70");
}

}  // namespace
}  // namespace tervane::testing
