#include "process/server_launch_linux.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "process/process_control.h"
#include "process/server_match_linux.h"
#include "support/text.h"

extern char** environ;

namespace tervane {

ServerLauncher::ServerLauncher(Path outputFolder, std::uint64_t outputLimit)
    : outputFolder_(std::move(outputFolder)), outputCap_(outputFolder_.empty() ? 0 : outputLimit) {
  if (!outputFolder_.empty() && outputFolder_.back() != u'/') outputFolder_.push_back(u'/');
}

std::string ServerLauncher::OutputFileOf(const Path& fileName) const {
  return outputFolder_.empty() ? std::string() : Utf16ToUtf8(ServerOutputFile(outputFolder_, fileName));
}

UniqueFd ServerLauncher::OpenOutput(const Path& fileName) {
  UniqueFd fd;
  if (!outputFolder_.empty()) {
    static_cast<void>(CreateDirectories(outputFolder_));  // a folder that cannot be made: the open below fails
    const std::string path = OutputFileOf(fileName);
    outputCap_.CapNow(path);
    fd.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
    if (fd) outputCap_.Keep(path);
  }
  if (!fd) fd.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (fd && fd.get() < 3) fd.reset(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
  return fd;
}

int SpawnOwnProgram(pid_t& pid, const char* path, char* const argv[], int output, const std::string& folder,
                    const std::string& marker) {
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output >= 0) {
    ::posix_spawn_file_actions_adddup2(&actions, output, 1);
    ::posix_spawn_file_actions_adddup2(&actions, output, 2);
  }
  if (!folder.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // Nothing of the monitor's (its sockets, its log file, a pidfd) stays open in the program,
  // whether or not it was opened close-on-exec.
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // Signal mask and dispositions start clean, whatever the monitor ignores or blocks.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none;
  ::sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t all;
  ::sigfillset(&all);
  ::sigdelset(&all, SIGKILL);
  ::sigdelset(&all, SIGSTOP);
  ::posix_spawnattr_setsigdefault(&attributes, &all);

  // The monitor's environment, with the marker of this server (if any) in place of any
  // inherited one: an update tool must never be taken for the server it updates.
  std::vector<char*> environment;
  for (char** variable = environ; variable && *variable; ++variable)
    if (std::strncmp(*variable, kServerMarker, sizeof kServerMarker - 1) != 0) environment.push_back(*variable);
  std::string ownMarker = marker;
  if (!ownMarker.empty()) environment.push_back(ownMarker.data());
  environment.push_back(nullptr);

  const int result = ::posix_spawn(&pid, path, &actions, &attributes, argv, environment.data());
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return result;
}

Expected<pid_t> ServerLauncher::Start(const Path& fileName, const std::u16string& params) {
  const std::string executable = Utf16ToUtf8(fileName);
  if (executable.empty()) return SystemError{ENOENT};

  // The working folder changes before the program is loaded, so a relative path is made
  // absolute first; the program still sees its path as written.
  std::string program = executable;
  if (program.front() != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return SystemError{static_cast<std::uint32_t>(errno)};
    program = std::string(cwd) + "/" + program;
  }
  const std::size_t slash = executable.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : executable.substr(0, slash + 1);

  std::vector<std::string> arguments{executable};
  for (const std::u16string& parameter : SplitParameters(params)) arguments.push_back(Utf16ToUtf8(parameter));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const UniqueFd output = OpenOutput(fileName);

  pid_t pid = 0;
  const int result = SpawnOwnProgram(pid, program.c_str(), argv.data(), output ? output.get() : -1, folder,
                                     std::string(kServerMarker) + executable);
  if (result != 0) return SystemError{static_cast<std::uint32_t>(result)};
  children_.push_back(pid);
  return pid;
}

void ServerLauncher::ReapChildren() {
  for (std::size_t i = 0; i < children_.size();) {
    int status = 0;
    const pid_t result = ::waitpid(children_[i], &status, WNOHANG);
    if (result == children_[i] || (result < 0 && errno == ECHILD)) {
      children_[i] = children_.back();
      children_.pop_back();
    } else {
      ++i;
    }
  }
}

}  // namespace tervane
