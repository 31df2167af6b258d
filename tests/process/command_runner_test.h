// A runner on a loop of the test's own, a scratch folder and the output file its commands share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "process/command_runner.h"
#include "support/event_loop.h"
#include "test_support.h"

namespace tervane::testing {

class CommandRunnerTest : public ::testing::Test {
 protected:
  CommandJob Job(std::string command, Path folder, std::chrono::seconds limit = std::chrono::seconds(30)) {
    return CommandJob{std::move(command), std::move(folder), temp_.File(u"command.out"), limit};
  }

  // Runs the command to its end (within 20 s).
  CommandEnd Run(std::string command, Path folder = {}, std::chrono::seconds limit = std::chrono::seconds(30)) {
    if (folder.empty()) folder = temp_.Dir();
    bool ended = false;
    CommandEnd end;
    runner_->Start(Job(std::move(command), std::move(folder), limit), [&](const CommandEnd& e) {
      end = e;
      ended = true;
    });
    EXPECT_TRUE(loop_.RunUntil([&] { return ended; }, std::chrono::seconds(20)));
    return end;
  }

  Path Folder(std::u16string_view name) {
    const Path folder = temp_.Dir() + std::u16string(name);
    std::filesystem::create_directories(Fs(folder));
    return folder;
  }

  std::string Output() {
    const auto bytes = ReadBytes(temp_.File(u"command.out"));
    return std::string(bytes.begin(), bytes.end());
  }

  TempDir temp_;
  EventLoop loop_;
  std::unique_ptr<ICommandRunner> runner_ = MakeCommandRunner(loop_);
};

}  // namespace tervane::testing
