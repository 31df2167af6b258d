#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "process_test_support.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

extern char** environ;

namespace tervane::testing {

ProcessId StartByHand(const Path& exe, const std::vector<std::string>& args) {
  const std::string program = Utf16ToUtf8(exe);
  std::vector<std::string> parts{program};
  parts.insert(parts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& part : parts) argv.push_back(part.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

bool IsProcessAlive(ProcessId id) {
  // A zombie has ended; its entry only waits to be collected.
  const std::string stat = "/proc/" + std::to_string(id) + "/stat";
  std::ifstream file(stat);
  if (!file) return false;
  const std::string content{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const std::size_t close = content.rfind(')');
  return close != std::string::npos && close + 2 < content.size() && content[close + 2] != 'Z' &&
         content[close + 2] != 'X';
}

void KillByHand(ProcessId id) {
  if (id <= 0) return;
  ::kill(static_cast<pid_t>(id), SIGKILL);
  int status = 0;
  ::waitpid(static_cast<pid_t>(id), &status, 0);  // ECHILD at once when not ours
}

std::vector<ProcessId> ProcessListOrder() {
  std::vector<ProcessId> ids;
  const UniqueDir dir(::opendir("/proc"));
  if (!dir) return ids;
  while (const dirent* entry = ::readdir(dir.get())) {
    char* end = nullptr;
    const long id = std::strtol(entry->d_name, &end, 10);
    if (id > 0 && end && *end == '\0') ids.push_back(id);
  }
  return ids;
}

std::vector<ProcessId> ProcessesOf(const Path& exe) {
  std::vector<ProcessId> found;
  struct stat want {};
  if (::stat(Utf16ToUtf8(exe).c_str(), &want) != 0) return found;
  for (ProcessId id : ProcessListOrder()) {
    struct stat have {};
    const std::string link = "/proc/" + std::to_string(id) + "/exe";
    if (::stat(link.c_str(), &have) == 0 && have.st_dev == want.st_dev &&
        have.st_ino == want.st_ino && IsProcessAlive(id)) {
      found.push_back(id);
    }
  }
  return found;
}

std::u16string SleeperFileName() { return u"sleeper"; }

}  // namespace tervane::testing
