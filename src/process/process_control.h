// Everything done to a server's process. A caller names a server by its executable file, never
// by a process: the server's process is the one whose executable is that file (file identity,
// not path text). The Windows implementation keeps the process it started or found open (a
// handle: its id is then given to no other process) and looks it up anew once it ended; the
// Linux one keeps the process it found (its id with its start time, held by a pidfd where it
// can) and confirms before every action that it is still the server's. One interface, a Windows and a
// Linux implementation; the supervision and the commands use it, the unit tests use a fake.
// The windows of a server's process are another interface (server_windows.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/expected.h"
#include "support/file.h"

namespace tervane {

class IServerWindows;

// What could not be applied to a server's processes: 0, or the system's error code.
struct ApplyErrors {
  std::uint32_t priority = 0;
  std::uint32_t affinity = 0;
  bool operator==(const ApplyErrors&) const = default;
};

// What a look for a server's process found. A look the system refused (descriptors or memory
// exhausted, the process list unreadable) is no answer: nothing may be started, ended or
// changed on its strength, since the process may well run.
enum class Presence : std::uint8_t { Absent, Running, Unknown };

struct Look {
  Presence presence = Presence::Absent;
  std::uint32_t error = 0;  // Unknown: the system's error code

  static Look Absent() { return {}; }
  static Look Running() { return {Presence::Running, 0}; }
  static Look Unknown(std::uint32_t error) { return {Presence::Unknown, error}; }
  bool Known() const { return presence != Presence::Unknown; }
  bool IsRunning() const { return presence == Presence::Running; }
  bool operator==(const Look&) const = default;
};

// The kinds of system call a look makes, for the tests that make one fail: the list of
// processes (the /proc folder, a process snapshot), what one process is (its /proc entries;
// opening it and asking its image), and the server's executable file.
enum class LookCall : std::uint8_t { ProcessList, ProcessDetail, ExecutableFile };

class IProcessControl {
 public:
  virtual ~IProcessControl() = default;

  // Two paths name the same existing file; false when either cannot be opened.
  virtual bool IsSameFile(const Path& a, const Path& b) = 0;
  // Whether a process of the file runs; false too when the look failed.
  virtual bool IsServerRunning(const Path& fileName) = 0;
  // The same with three answers: running, not running, or unknown with the system's reason.
  virtual Look LookForServer(const Path& fileName) {
    return IsServerRunning(fileName) ? Look::Running() : Look::Absent();
  }
  // The process was created, or the system's error. Does not wait.
  [[nodiscard]] virtual Expected<void> StartServerProcess(const Path& fileName, const std::u16string& params,
                                                          std::uint8_t priority, bool hide, std::uint32_t affinity) = 0;
  // Ends the server's process; does not wait for it to end. Says what it did: Running when
  // the process was found and ended, Absent when none ran, Unknown when the look failed or the
  // process could not be ended (then a new one must not be started beside it).
  virtual Look TerminateServerProcess(const Path& fileName) = 0;
  virtual void SetServerPriority(const Path& fileName, std::uint8_t priority) = 0;
  virtual void SetServerAffinity(const Path& fileName, std::uint32_t affinity) = 0;
  // What could not be applied the last time the server's priority and its affinity were
  // applied (at its start, or set since), so that the supervision can say so: on Linux a
  // priority above normal without the right to raise it, a mask of no present processor.
  // The Windows program reports nothing here.
  virtual ApplyErrors LastApplyErrors(const Path& /*fileName*/) { return {}; }
  // The windows of the servers' processes, where the system has them (Windows); none
  // elsewhere.
  virtual IServerWindows* Windows() { return nullptr; }

  virtual void Sleep(unsigned milliseconds) = 0;

  // A supervision cycle may bracket its work with these: the implementation may then take one
  // process list for the whole cycle instead of one per call, provided every action on a
  // process first confirms that it is still the server's executable.
  virtual void BeginCycle() {}
  virtual void EndCycle() {}
};

struct ProcessControlOptions {
  // Linux: the folder (with trailing separator) where a started server's output is appended.
  Path outputFolder;
  // Linux: the size past which a server's output file moves to "<file>.1" and starts again
  // (checked at its start, and every few milliseconds by a thread of its own while it runs);
  // 0: no limit.
  std::uint64_t outputLimit = 10 * 1024 * 1024;
  // Tests only: answers the system error code that a look's system call of that kind fails
  // with instead of being made, or 0 to make it.
  std::function<std::uint32_t(LookCall)> failLook = nullptr;
  // Tests only (Windows): answers the system error code that opening the process of that id to
  // ask what it is fails with (as a process of another account does), or 0 to open it.
  std::function<std::uint32_t(std::uint32_t processId)> failOpenProcess = nullptr;
};

std::unique_ptr<IProcessControl> CreateProcessControl(const ProcessControlOptions& options = {});

// The run parameters as an argument list, for systems that start a program with one instead of
// a command line: arguments are separated by blanks; a double quote opens or closes a group in
// which blanks belong to the argument; the quotes themselves are dropped, so "" is an empty
// argument. Nothing else is special (no escapes).
std::vector<std::u16string> SplitParameters(std::u16string_view params);

// Linux: the file under outputFolder that a started server's output is appended to. It is
// named after the whole executable path ("/srv/cs1/hlds_linux" gives "srv-cs1-hlds_linux.out"),
// because servers of one game share the executable's name and differ only by folder; two
// different paths never give one name.
Path ServerOutputFile(const Path& outputFolder, const Path& fileName);

}  // namespace tervane
