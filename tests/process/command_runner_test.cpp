// The runner of the admin's commands, with real commands through the system's shell: what they
// give back, where their output goes, their folder, their limit and the program's end.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <tuple>

#include "process/command_runner.h"
#include "process_test_support.h"
#include "support/event_loop.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane::testing {
namespace {

using namespace std::chrono_literals;
using How = CommandEnd::How;

// A command that runs until it is ended, with a process of its own started by the shell.
#ifdef _WIN32
const std::string kHang = [] { return std::string("\"").append(Utf16ToUtf8(SleeperBuildPath())).append("\" --life 60"); }();
constexpr const char* kWhere = "cd";
#else
const std::string kHang = "sleep 60 & sleep 60";
constexpr const char* kWhere = "pwd";
#endif

class CommandRunnerTest : public ::testing::Test {
 protected:
  CommandJob Job(std::string command, Path folder = {}, std::chrono::seconds limit = 20s) {
    return {std::move(command), folder.empty() ? temp_.Dir() : folder, temp_.File(u"command.out"), limit};
  }
  CommandEnd Run(std::string command, Path folder = {}, std::chrono::seconds limit = 20s) {
    std::optional<CommandEnd> end;
    runner_->Start(Job(std::move(command), std::move(folder), limit), [&](const CommandEnd& e) { end = e; });
    EXPECT_TRUE(loop_.RunUntil([&] { return end.has_value(); }, 30s));
    return end.value_or(CommandEnd{});
  }
  std::string Output() {
    const auto bytes = ReadBytes(temp_.File(u"command.out"));
    return std::string(bytes.begin(), bytes.end());
  }

  TempDir temp_;
  EventLoop loop_;
  std::unique_ptr<ICommandRunner> runner_ = MakeCommandRunner(loop_);
};

TEST_F(CommandRunnerTest, ExitCodesComeBack) {
  std::vector<std::pair<const char*, int>> cases = {{"exit 0", 0}, {"exit 10", 10}, {"exit 3", 3}};
#ifndef _WIN32
  cases.push_back({"kill -9 $$", 137});
#endif
  for (const auto& [command, exitCode] : cases) {
    const CommandEnd end = Run(command);
    EXPECT_EQ(end.how, How::Exited) << command;
    EXPECT_EQ(end.exitCode, exitCode) << command;
  }
}

TEST_F(CommandRunnerTest, OutputIsAppendedInTheFolder) {
  const Path folder = temp_.File(u"run here");
  std::filesystem::create_directories(Fs(folder));
  Run("echo first", folder);
  Run("echo second 1>&2", folder);
  EXPECT_EQ(Run(kWhere, folder).how, How::Exited);
  const std::string output = Output();
  const auto first = output.find("first"), second = output.find("second"), where = output.find("run here");
  EXPECT_TRUE(first < second && second < where && where != std::string::npos) << output;
}

TEST_F(CommandRunnerTest, AHangingCommandIsEndedAtItsLimit) {
  const CommandEnd end = Run(kHang, {}, 1s);
  EXPECT_EQ(end.how, How::TimedOut);
  EXPECT_GE(end.took, 1s);
  EXPECT_LT(end.took, 8s);
  EXPECT_EQ(runner_->Running(), 0u);
#ifdef _WIN32
  EXPECT_TRUE(WaitFor([] { return ProcessesOf(SleeperBuildPath()).empty(); }, 5s)) << "the job ends all it started";
#endif
}

TEST_F(CommandRunnerTest, AMissingFolderIsNotStarted) {
  std::optional<CommandEnd> end;
  runner_->Start(Job("exit 0", temp_.File(u"missing")), [&](const CommandEnd& e) { end = e; });
  EXPECT_FALSE(end) << "done never runs inside Start";
  ASSERT_TRUE(loop_.RunUntil([&] { return end.has_value(); }, 10s));
  EXPECT_EQ(end->how, How::NotStarted);
  EXPECT_FALSE(end->error.empty());
}

TEST_F(CommandRunnerTest, EndAllEndsWithoutDone) {
  bool called = false;
  runner_->Start(Job(kHang), [&](const CommandEnd&) { called = true; });
  EXPECT_EQ(runner_->Running(), 1u);
  const auto before = std::chrono::steady_clock::now();
  runner_->EndAll();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 8s);
  EXPECT_EQ(runner_->Running(), 0u);
  loop_.RunUntil([] { return false; }, 300ms);
  EXPECT_FALSE(called);
}

#ifndef _WIN32
// Processes of the group that still run (zombies waiting for their parent are done).
int LiveMembers(int group) {
  int live = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string line, state;
    int parent = 0, pgrp = 0;
    if (!std::getline(in, line) || line.rfind(')') == std::string::npos) continue;
    std::istringstream(line.substr(line.rfind(')') + 2)) >> state >> parent >> pgrp;
    live += pgrp == group && state != "Z";
  }
  return live;
}

TEST_F(CommandRunnerTest, NothingOfTheGroupOutlivesTheCommand) {
  const std::tuple<const char*, std::chrono::seconds, How> cases[] = {
      // The shell's children ignore SIGTERM: only the SIGKILL after the grace ends them.
      {"echo $$; trap '' TERM; sleep 60 & sleep 60", 1s, How::TimedOut},
      // A command that ends by itself takes what it left in the background with it.
      {"echo $$; sleep 60 & exit 0", 20s, How::Exited},
  };
  for (const auto& [command, limit, how] : cases) {
    std::filesystem::remove(Fs(temp_.File(u"command.out")));
    EXPECT_EQ(Run(command, {}, limit).how, how) << command;
    const int group = std::atoi(Output().c_str());
    ASSERT_GT(group, 1) << command;
    EXPECT_TRUE(WaitFor([&] { return LiveMembers(group) == 0; }, 5s)) << command;
  }
}

TEST_F(CommandRunnerTest, NoDescriptorOfKespReachesTheCommand) {
  std::FILE* leaky = std::fopen("/dev/null", "r");  // not close-on-exec, on purpose
  ASSERT_NE(leaky, nullptr);
  Run("ls /proc/$$/fd");
  std::fclose(leaky);
  EXPECT_EQ(Output(), "0\n1\n2\n");
}

TEST_F(CommandRunnerTest, BeyondEightAtOnceIsRefused) {
  std::optional<CommandEnd> refused;
  for (int i = 0; i < 9; ++i) runner_->Start(Job("sleep 60"), [&](const CommandEnd& e) { refused = e; });
  ASSERT_TRUE(loop_.RunUntil([&] { return refused.has_value(); }, 10s));
  EXPECT_EQ(refused->how, How::NotStarted);
  EXPECT_EQ(runner_->Running(), 8u);
}
#endif

}  // namespace
}  // namespace tervane::testing
