// What both halves of the command runner share: the commands that run, each with a waiting
// thread of its own, at most kMaxCommands at once; a command refused is answered on the loop
// too; finished waiters are joined at the next start, all of them at EndAll. A half gives its
// Command (job, done, abandoned, finished, thread and what its waiter needs) and, beside it,
// BeginCommand (its wake-up and its process: an error, or empty), WakeCommand (its waiter at
// once) and WatchCommand (the waiter).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "process/command_runner.h"
#include "support/event_loop.h"

namespace tervane {

// Enough for every installation of one kesp updating at once; more is a fault of the caller.
inline constexpr std::size_t kMaxCommands = 8;

// The waiter's last step, as it knows the command's end: its time taken, the count of those that
// run, and the end posted to the loop unless the runner was closed meanwhile.
template <typename Command>
void Finished(EventLoop& loop, Command& command, std::atomic<std::size_t>& running, CommandEnd end) {
  end.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - command.started);
  --running;
  if (!command.abandoned->load())
    loop.Post([done = std::move(command.done), abandoned = command.abandoned, end] {
      if (!abandoned->load()) done(end);
    });
  command.finished = true;
}

template <typename Command>
class CommandRunnerBase final : public ICommandRunner {
 public:
  explicit CommandRunnerBase(EventLoop& loop) : loop_(loop) {}
  ~CommandRunnerBase() override { EndAll(); }

  void Start(CommandJob job, Done done) override {
    std::lock_guard lock(mutex_);
    JoinFinished();
    const auto refuse = [&](std::string error) {
      CommandEnd end;
      end.error = std::move(error);
      loop_.Post([done = std::move(done), end] { done(end); });
    };
    if (running_ >= kMaxCommands) return refuse(std::to_string(kMaxCommands) + " commands run already");
    auto command = std::make_unique<Command>();
    if (std::string error = BeginCommand(job, *command); !error.empty()) return refuse(std::move(error));
    command->job = std::move(job);
    command->done = std::move(done);
    ++running_;
    Command& started = *commands_.emplace_back(std::move(command));
    started.thread = std::thread([this, &started] { WatchCommand(loop_, started, running_); });
  }

  std::size_t Running() const override { return running_; }

  void EndAll() override {
    std::lock_guard lock(mutex_);
    for (auto& command : commands_) {
      command->abandoned->store(true);
      WakeCommand(*command);
    }
    for (auto& command : commands_) command->thread.join();
    commands_.clear();
  }

 private:
  void JoinFinished() {
    for (auto it = commands_.begin(); it != commands_.end();) {
      if ((*it)->finished) {
        (*it)->thread.join();
        it = commands_.erase(it);
      } else {
        ++it;
      }
    }
  }

  EventLoop& loop_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Command>> commands_;
  std::atomic<std::size_t> running_{0};
};

}  // namespace tervane
