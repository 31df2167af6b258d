// The runner of the admin's commands, with real commands through the system's shell: what they
// give back, where their output goes, their folder, their limit and the program's end.
#include "command_runner_test.h"
#include "process_test_support.h"
#include "support/text.h"

namespace tervane::testing {
namespace {

using namespace std::chrono_literals;

// A command that runs until it is ended, with a process of its own started by the shell.
#ifdef _WIN32
std::string HangCommand() {
  std::string command = "\"";
  command.append(Utf16ToUtf8(SleeperBuildPath())).append("\" --life 60");
  return command;
}
const std::string kHang = HangCommand();
constexpr const char* kWhere = "cd";
#else
const std::string kHang = "sleep 60 & sleep 60";
constexpr const char* kWhere = "pwd";
#endif

TEST_F(CommandRunnerTest, ExitCodesComeBack) {
  struct Case {
    const char* command;
    int exitCode;
  };
  std::vector<Case> cases = {{"exit 0", 0}, {"exit 10", 10}, {"exit 3", 3}};
#ifndef _WIN32
  cases.push_back({"kill -9 $$", 137});
#endif
  for (const Case& c : cases) {
    const CommandEnd end = Run(c.command);
    EXPECT_EQ(end.how, CommandEnd::How::Exited) << c.command;
    EXPECT_EQ(end.exitCode, c.exitCode) << c.command;
  }
}

TEST_F(CommandRunnerTest, OutputIsAppendedInTheFolder) {
  const Path folder = Folder(u"run here");
  Run("echo first", folder);
  Run("echo second 1>&2", folder);
  const CommandEnd end = Run(kWhere, folder);
  EXPECT_EQ(end.how, CommandEnd::How::Exited);
  const std::string output = Output();
  const auto first = output.find("first"), second = output.find("second"), where = output.find("run here");
  EXPECT_TRUE(first < second && second < where && where != std::string::npos) << output;
}

TEST_F(CommandRunnerTest, AHangingCommandIsEndedAtItsLimit) {
  const CommandEnd end = Run(kHang, temp_.Dir(), 1s);
  EXPECT_EQ(end.how, CommandEnd::How::TimedOut);
  EXPECT_GE(end.took, 1s);
  EXPECT_LT(end.took, 8s);
  EXPECT_EQ(runner_->Running(), 0u);
#ifdef _WIN32
  EXPECT_TRUE(WaitFor([] { return ProcessesOf(SleeperBuildPath()).empty(); }, 5s)) << "the job ends all it started";
#endif
}

TEST_F(CommandRunnerTest, AMissingFolderIsNotStarted) {
  bool called = false;
  CommandEnd end;
  runner_->Start(Job("exit 0", temp_.File(u"missing")), [&](const CommandEnd& e) { end = e, called = true; });
  EXPECT_FALSE(called) << "done never runs inside Start";
  ASSERT_TRUE(loop_.RunUntil([&] { return called; }, 10s));
  EXPECT_EQ(end.how, CommandEnd::How::NotStarted);
  EXPECT_FALSE(end.error.empty());
}

TEST_F(CommandRunnerTest, EndAllEndsWithoutDone) {
  bool called = false;
  runner_->Start(Job(kHang, temp_.Dir()), [&](const CommandEnd&) { called = true; });
  EXPECT_EQ(runner_->Running(), 1u);
  const auto before = std::chrono::steady_clock::now();
  runner_->EndAll();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 8s);
  EXPECT_EQ(runner_->Running(), 0u);
  loop_.RunUntil([] { return false; }, 300ms);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace tervane::testing
