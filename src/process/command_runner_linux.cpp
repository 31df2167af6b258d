// The admin's commands on Linux: /bin/sh -c in a session of its own, so that the command and
// everything it starts share one process group that can be ended together. Each command has a
// waiting thread of its own (at most kMaxCommands at once); the thread watches the shell through
// a pidfd, ends the group at the limit and posts the end to the loop.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <variant>
#include <vector>

#include "process/command_runner.h"
#include "process/command_runner_base.h"
#include "process/server_launch_linux.h"
#include "support/event_loop.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

namespace tervane {
namespace {

using Clock = std::chrono::steady_clock;

// Between the polite SIGTERM to the group and the SIGKILL that no process can refuse.
constexpr std::chrono::seconds kGrace{5};

std::string ErrorText(int code) { return Utf16ToUtf8(SystemErrorText(static_cast<std::uint32_t>(code))); }

struct Command {
  CommandJob job;
  ICommandRunner::Done done;
  std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);
  UniqueFd wake;  // an eventfd: written to end the command at once (EndAll)
  pid_t pid = -1;
  Clock::time_point started = Clock::now();
  std::thread thread;
  std::atomic<bool> finished{false};
};

// The shell, started in the folder with its output appended to the file; its process id, or
// what stopped it (the system's words, with the thing they are about).
std::variant<pid_t, std::string> Spawn(const CommandJob& job) {
  const std::string folder = Utf16ToUtf8(job.folder);
  if (!folder.empty()) {
    const UniqueFd probe(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!probe) return folder + ": " + ErrorText(errno);
  }
  const std::string outputPath = job.output.empty() ? std::string("/dev/null") : Utf16ToUtf8(job.output);
  const UniqueFd output(
      ::open(outputPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640));
  if (!output) return outputPath + ": " + ErrorText(errno);

  std::string shell = "sh", dashC = "-c", command = job.command;
  char* argv[] = {shell.data(), dashC.data(), command.data(), nullptr};
  pid_t pid = -1;
  // In a session of its own: its process group is the command with all it starts.
  const int result = SpawnOwnProgram(pid, "/bin/sh", argv, output.get(), folder, {});
  if (result != 0) return "/bin/sh: " + ErrorText(result);
  return pid;
}

// Waits until the shell has ended (not collected), the deadline passes or wake is written;
// true when it ended. Without pidfds (kernels before 5.3) it looks every 100 ms.
bool WaitForExit(pid_t pid, int pidfd, int wake, Clock::time_point deadline) {
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
      return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{wake, POLLIN, 0}, {pidfd, POLLIN, 0}};
    const int slice = pidfd >= 0 ? static_cast<int>(std::min<long long>(left, 60'000)) : static_cast<int>(std::min<long long>(left, 100));
    const int ready = ::poll(fds, pidfd >= 0 ? 2 : 1, slice);
    if (ready > 0 && (fds[0].revents & POLLIN)) return false;
  }
}

void WatchCommand(EventLoop& loop, Command& command, std::atomic<std::size_t>& running) {
  const pid_t pid = command.pid;
  const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  CommandEnd end;
  if (WaitForExit(pid, pidfd.get(), command.wake.get(), command.started + command.job.limit)) {
    end.how = CommandEnd::How::Exited;
    // What the command left running in the background ends with it, as a job object's
    // processes do on Windows: the servers must not start beside a half-done update.
    ::kill(-pid, SIGKILL);
  } else {
    end.how = command.abandoned->load() ? CommandEnd::How::Abandoned : CommandEnd::How::TimedOut;
    // The group is the shell's session: the shell, the update tool and whatever they started.
    // The shell is collected only after the SIGKILL, so its id (the group's) cannot be reused
    // by another process meanwhile.
    ::kill(-pid, SIGTERM);
    static_cast<void>(WaitForExit(pid, pidfd.get(), -1, Clock::now() + kGrace));
    ::kill(-pid, SIGKILL);
  }
  int status = 0;
  pid_t collected = -1;
  while ((collected = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (collected == pid && WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
  if (collected == pid && WIFSIGNALED(status)) end.exitCode = 128 + WTERMSIG(status);  // as the shell says it
  Finished(loop, command, running, end);
}

std::string BeginCommand(const CommandJob& job, Command& command) {
  command.wake.reset(::eventfd(0, EFD_CLOEXEC));
  if (!command.wake) return ErrorText(errno);
  auto spawned = Spawn(job);
  if (auto* error = std::get_if<std::string>(&spawned)) return std::move(*error);
  command.pid = std::get<pid_t>(spawned);
  return {};
}

void WakeCommand(Command& command) {
  const std::uint64_t one = 1;
  // A full counter wakes the waiter just the same.
  [[maybe_unused]] const ssize_t n = ::write(command.wake.get(), &one, sizeof one);
}

}  // namespace

std::unique_ptr<ICommandRunner> MakeCommandRunner(EventLoop& loop) {
  return std::make_unique<CommandRunnerBase<Command>>(loop);
}

}  // namespace tervane
