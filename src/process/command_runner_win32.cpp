// The admin's commands on Windows: cmd.exe /c in a job object of its own, so that the command
// and everything it starts end together. Each command has a waiting thread of its own (at most
// kMaxCommands at once); the thread waits for the process, ends the job at the limit and posts
// the end to the loop.
#include <atomic>
#include <thread>
#include <variant>
#include <vector>

#include "process/command_runner.h"
#include "process/command_runner_base.h"
#include "support/event_loop.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "support/unique_handle_win32.h"

namespace tervane {
namespace {

using Clock = std::chrono::steady_clock;
using Handle = UniqueHandle<KernelHandleTraits>;

// How long a job's processes may take to go once it is ended.
constexpr DWORD kGraceMs = 5000;

std::string ErrorText(DWORD code) { return Utf16ToUtf8(SystemErrorText(code)); }

struct Command {
  CommandJob job;
  ICommandRunner::Done done;
  std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);
  Handle wake;  // a manual-reset event: set to end the command at once (EndAll)
  Handle process;
  Handle jobObject;
  Clock::time_point started = Clock::now();
  std::thread thread;
  std::atomic<bool> finished{false};
};

// A handle the command inherits, and only the command: made inheritable, then given to it
// alone through the handle list.
Handle OpenInherited(const std::u16string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return Handle(CreateFileW(W(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Starts cmd.exe in the folder, in a new job, with its output appended to the file; what
// stopped it otherwise (the system's words, with the thing they are about).
std::string Spawn(const CommandJob& job, Command& command) {
  if (!job.folder.empty()) {
    const DWORD attributes = GetFileAttributesW(W(job.folder));
    if (attributes == INVALID_FILE_ATTRIBUTES) return Utf16ToUtf8(job.folder) + ": " + ErrorText(GetLastError());
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Utf16ToUtf8(job.folder) + ": " + ErrorText(ERROR_DIRECTORY);
  }
  const Handle input = OpenInherited(u"NUL", GENERIC_READ, OPEN_EXISTING);
  const Handle output = job.output.empty() ? OpenInherited(u"NUL", GENERIC_WRITE, OPEN_EXISTING)
                                           : OpenInherited(job.output, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
  if (!output) return Utf16ToUtf8(job.output) + ": " + ErrorText(GetLastError());
  if (!input) return "NUL: " + ErrorText(GetLastError());

  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> listBuffer(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return ErrorText(GetLastError());
  HANDLE inherited[2] = {input.get(), output.get()};
  const bool listed =
      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr, nullptr);
  const DWORD listError = GetLastError();

  command.jobObject.reset(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // Should kesp end without ending the job itself, the system does when its handle goes.
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!command.jobObject ||
      !SetInformationJobObject(command.jobObject.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    DeleteProcThreadAttributeList(list);
    return ErrorText(GetLastError());
  }
  if (!listed) {
    DeleteProcThreadAttributeList(list);
    return ErrorText(listError);
  }

  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  const std::u16string shell = (length > 0 && length < MAX_PATH ? U(std::wstring_view(system, length)) : u"C:\\Windows\\System32") +
                               u"\\cmd.exe";
  // /s: cmd takes off the outer quotes and runs what is between them as written; /d: no
  // AutoRun commands of the registry run before it.
  std::u16string line = u"cmd.exe /d /s /c \"" + Utf8ToUtf16(job.command) + u"\"";

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.get();
  startup.StartupInfo.hStdOutput = output.get();
  startup.StartupInfo.hStdError = output.get();
  startup.lpAttributeList = list;
  PROCESS_INFORMATION created{};
  // Suspended until it is in the job, so that nothing it starts escapes the job.
  const BOOL started = CreateProcessW(W(shell), W(line), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                      job.folder.empty() ? nullptr : W(job.folder), &startup.StartupInfo, &created);
  const DWORD startError = GetLastError();
  DeleteProcThreadAttributeList(list);
  if (!started) return Utf16ToUtf8(shell) + ": " + ErrorText(startError);
  command.process.reset(created.hProcess);
  const Handle thread(created.hThread);
  if (!AssignProcessToJobObject(command.jobObject.get(), created.hProcess)) {
    const DWORD error = GetLastError();
    TerminateProcess(created.hProcess, 1);
    WaitForSingleObject(created.hProcess, kGraceMs);
    return ErrorText(error);
  }
  ResumeThread(created.hThread);
  return {};
}

void WatchCommand(EventLoop& loop, Command& command, std::atomic<std::size_t>& running) {
  CommandEnd end;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(command.started + command.job.limit - Clock::now());
  const DWORD wait = static_cast<DWORD>(std::max<long long>(0, std::min<long long>(left.count(), 0x7FFFFFFF)));
  HANDLE waits[2] = {command.process.get(), command.wake.get()};
  if (WaitForMultipleObjects(2, waits, FALSE, wait) == WAIT_OBJECT_0) {
    end.how = CommandEnd::How::Exited;
  } else {
    end.how = command.abandoned->load() ? CommandEnd::How::Abandoned : CommandEnd::How::TimedOut;
    TerminateJobObject(command.jobObject.get(), 1);
    WaitForSingleObject(command.process.get(), kGraceMs);
  }
  DWORD code = 0;
  if (GetExitCodeProcess(command.process.get(), &code)) end.exitCode = static_cast<int>(code);
  // Whatever the command left behind in its job ends with it.
  command.jobObject.reset();
  Finished(loop, command, running, end);
}

std::string BeginCommand(const CommandJob& job, Command& command) {
  command.wake.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!command.wake) return ErrorText(GetLastError());
  return Spawn(job, command);
}

void WakeCommand(Command& command) { SetEvent(command.wake.get()); }

}  // namespace

std::unique_ptr<ICommandRunner> MakeCommandRunner(EventLoop& loop) {
  return std::make_unique<CommandRunnerBase<Command>>(loop);
}

}  // namespace tervane
