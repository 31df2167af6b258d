// Game updates over real stand-ins: the news of an update, the warnings, the graceful stop, the
// update command through the system's shell (a stub of the update tool that notes each run in a
// log), and the start, for one server and for two of one installation; a failing and a hanging
// command leave the servers running.
#include <filesystem>
#include <fstream>

#include "integration_support.h"
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

  // The stub in this mode as the update command, within seconds.
  void ConfigureUpdates(const std::string& mode, int withinMinutes, int seconds = 60) {
    UpdateSettings settings;
#ifdef _WIN32
    settings.command = "\"" + stubPath.string() + "\" " + mode + " \"" + Utf16ToUtf8(log) + "\"";
#else
    settings.command = "sh '" + stubPath.string() + "' " + mode + " '" + Utf16ToUtf8(log) + "'";
#endif
    settings.withinMinutes = withinMinutes;
    settings.seconds = seconds;
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

  std::unique_ptr<ICommandRunner> runner = MakeCommandRunner(loop);
  std::filesystem::path stubPath;
  Path log = dir.File(u"stub.log");
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

}  // namespace
}  // namespace tervane::testing
