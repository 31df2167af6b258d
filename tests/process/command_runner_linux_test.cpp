// What Linux adds: the command's process group ends whole, and no descriptor of kesp's reaches it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "command_runner_test.h"
#include "process_test_support.h"

namespace tervane::testing {
namespace {

using namespace std::chrono_literals;

// Processes of the group that still run (zombies waiting for their parent are done).
int LiveMembers(int group) {
  int live = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string line;
    if (!std::getline(in, line) || line.rfind(')') == std::string::npos) continue;
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string state;
    int parent = 0, pgrp = 0;
    fields >> state >> parent >> pgrp;
    if (pgrp == group && state != "Z") ++live;
  }
  return live;
}

TEST_F(CommandRunnerTest, NothingOfTheGroupOutlivesTheCommand) {
  struct Case {
    const char* command;
    std::chrono::seconds limit;
    CommandEnd::How how;
  };
  const Case cases[] = {
      // The shell's children ignore SIGTERM: only the SIGKILL after the grace ends them.
      {"echo $$; trap '' TERM; sleep 60 & sleep 60", 1s, CommandEnd::How::TimedOut},
      // A command that ends by itself takes what it left in the background with it.
      {"echo $$; sleep 60 & exit 0", 20s, CommandEnd::How::Exited},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(Fs(temp_.File(u"command.out")));
    const CommandEnd end = Run(c.command, {}, c.limit);
    EXPECT_EQ(end.how, c.how) << c.command;
    const int group = std::atoi(Output().c_str());
    ASSERT_GT(group, 1) << c.command;
    EXPECT_TRUE(WaitFor([&] { return LiveMembers(group) == 0; }, 5s)) << c.command;
  }
}

TEST_F(CommandRunnerTest, NoDescriptorOfKespReachesTheCommand) {
  const int leaky = ::open("/dev/null", O_RDONLY);  // without close-on-exec, on purpose
  ASSERT_GE(leaky, 3);
  Run("ls /proc/$$/fd");
  ::close(leaky);
  EXPECT_EQ(Output(), "0\n1\n2\n");
}

TEST_F(CommandRunnerTest, BeyondEightAtOnceIsRefused) {
  int ended = 0;
  CommandEnd last;
  for (int i = 0; i < 9; ++i)
    runner_->Start(Job("sleep 60", temp_.Dir()), [&](const CommandEnd& e) { last = e, ++ended; });
  ASSERT_TRUE(loop_.RunUntil([&] { return ended == 1; }, 10s));
  EXPECT_EQ(last.how, CommandEnd::How::NotStarted);
  EXPECT_EQ(runner_->Running(), 8u);
}

}  // namespace
}  // namespace tervane::testing
