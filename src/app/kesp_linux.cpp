// kesp on Linux: supervises the servers of serverlist.dat in its data folder (beside the
// program, unless --dir, TERVANE_DIR or a system folder choose another), writes the log files
// and prints each log line and each change of a row's state cells; SIGINT, SIGTERM or SIGHUP
// ends it and leaves the servers running. With arguments it runs one command of the command
// line: on the running kesp through its control socket, or on the file when none runs.
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line_linux.h"
#include "app/console_view.h"
#include "app/control_socket_linux.h"
#include "app/data_dir_linux.h"
#include "app/log_command.h"
#include "app/observing.h"
#include "app/systemd_linux.h"
#include "app/server_cli.h"
#include "app/timing.h"
#include "monitor/monitor.h"
#include "options/kesp_ini.h"
#include "support/descriptors.h"
#include "support/failures.h"
#include "support/event_loop_posix.h"
#include "support/secrets.h"
#include "support/text.h"
#include "support/trust_posix.h"
#include "support/unique_handle_posix.h"
#include "support/version.h"

namespace {

using namespace tervane;

constexpr std::chrono::milliseconds kLockPatience{5000};

// Whether a kesp listens at its control socket (a connection made and dropped at once, which it
// takes as a client gone before it asked anything).
bool KespListens() {
  const std::string path = ControlSocketPath(Utf16ToUtf8(DataDir()));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The running supervision holds this lock, so that a second one and the commands on the file
// can tell that it runs. Answers the held lock, or none with why in error (held: another kesp
// holds it).
// A command on the file holds the lock for milliseconds, a running kesp for good: who finds it
// held tries again until patience runs out, so that neither side fails for the other's moment;
// a kesp that answers at its socket holds it for good, and is not waited for.
UniqueFd TakeLock(std::string& error, bool& held, std::chrono::milliseconds patience) {
  const std::string path = Utf16ToUtf8(DataDir() + u"kesp.lock");
  held = false;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) {
    error = "cannot open " + path + ": " + Utf16ToUtf8(SystemErrorText(static_cast<std::uint32_t>(errno)));
    return fd;
  }
  // The lock as opened: one another user could have put there is refused (a root kesp).
  if (std::string why = UntrustedDescriptor(fd.get(), path); !why.empty()) {
    error = std::move(why);
    fd.reset();
    return fd;
  }
  const auto end = std::chrono::steady_clock::now() + patience;
  int result;
  while ((result = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EWOULDBLOCK &&
         std::chrono::steady_clock::now() < end) {
    if (patience.count() > 0 && KespListens()) {
      errno = EWOULDBLOCK;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (result != 0) {
    held = errno == EWOULDBLOCK;
    error = held ? "kesp is already supervising the servers of " + Utf16ToUtf8(ServerListPath())
                 : "cannot lock " + path + ": " + Utf16ToUtf8(SystemErrorText(static_cast<std::uint32_t>(errno)));
    fd.reset();
  }
  return fd;
}

// Who did what through the control socket, one line for the journal: the command as the peer
// sent it (its control characters escaped, its RCON passwords masked, cut to a line), the user
// id it came from, its exit code and the first line it answered (a refusal's, or a change's
// result; not a listing's).
std::u16string CommandLine(const std::vector<std::string>& command, unsigned uid, const ControlAnswer& answer) {
  constexpr std::size_t kMost = 200;
  std::u16string words;
  for (const std::string& a : command) {
    if (!words.empty()) words.push_back(u' ');
    words.append(Utf8ToUtf16(a));
  }
  std::string text = TerminalSafe(MaskSecrets(words));
  if (text.size() > kMost) text.replace(kMost, std::string::npos, "...");
  std::ostringstream ignored;
  ParsedCommand parsed;
  const bool read = ParseCommandLine(command, parsed, ignored, ignored) == kRunCommand && parsed.command;
  // A server's RCON answer is not repeated here either.
  const bool listing = read && (!ChangesServers(*parsed.command) || *parsed.command == Command::Rcon);
  const std::string said = answer.code != 0 ? answer.err : listing ? std::string() : answer.out;
  const std::string first = said.substr(0, said.find('\n'));
  std::string line = "uid ";
  line.append(std::to_string(uid)).append(" ran \"").append(text).append("\": exit code ");
  line.append(std::to_string(answer.code));
  if (!first.empty()) line.append(" (").append(TerminalSafe(Utf8ToUtf16(first))).append(")");
  return Utf8ToUtf16(line);
}

int ProcessorCount() {
  const long n = ::sysconf(_SC_NPROCESSORS_CONF);
  return n > 0 ? static_cast<int>(n) : 1;
}

// A list or kesp.ini that other users may read and that holds an RCON password, said once at
// the start: kesp keeps the files it writes owner-only, but not one copied or written by hand.
void SayReadablePasswords(Monitor& monitor) {
  bool inList = false;
  for (std::size_t row = 0; row < monitor.Count(); ++row) {
    const std::u16string params = monitor.At(row).Params.str();
    inList |= MaskSecrets(params) != params;
  }
  const RestartOptions options = LoadRestartOptions();
  bool inOptions = options.all && !options.all->values.rconPassword.empty();
  for (const RestartSection& section : options.servers) inOptions |= !section.values.rconPassword.empty();
  const std::pair<std::string, bool> files[] = {{Utf16ToUtf8(ServerListPath()), inList},
                                                {Utf16ToUtf8(DataDir() + kOptionsFileName), inOptions}};
  for (const auto& [path, holds] : files) {
    struct stat st {};
    if (holds && ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0044) != 0)
      std::cerr << "kesp: " << path.substr(path.find_last_of('/') + 1)
                << " is readable by other users and holds an RCON password; chmod 600 " << path << std::endl;
  }
}

bool AskOperator(const std::string& question) {
  std::cerr << question << " [y/N] " << std::flush;
  std::string line;
  if (!std::getline(std::cin, line)) return false;
  return line == "y" || line == "Y" || line == "yes";
}

// A command of the command line: on the running kesp when one answers at the control socket
// (args: the words from the command on), otherwise on serverlist.dat.
int RunCommandLine(std::vector<std::string> args, const ParsedCommand& parsed, IProcessControl& process) {
  const Command command = *parsed.command;
  const std::string socketPath = ControlSocketPath(Utf16ToUtf8(DataDir()));
  const bool canAsk = ::isatty(0) && ::isatty(2);
  std::string error;
  // The socket answers, or the lock is free; a kesp that is starting has the lock before its
  // socket, so both are tried again for a while.
  std::optional<ControlAnswer> answer;
  UniqueFd lock;
  bool held = false;
  const auto end = std::chrono::steady_clock::now() + kLockPatience;
  for (;;) {
    error.clear();
    answer = CallControlSocket(socketPath, args, 60000, error);
    if (answer) break;
    lock = TakeLock(error, held, std::chrono::milliseconds(0));
    if (lock || !held || std::chrono::steady_clock::now() >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (answer) {
    if (!error.empty()) {
      std::cerr << "kesp: " << error << "\n";
      return 1;
    }
    // Exit code 3 is a question only from a command that asks first (status: not supervising).
    const bool asked = AsksFirst(command) && answer->code == kExitNeedsConfirmation;
    // The servers the question is about, by identity: the answer is refused if they moved.
    const std::string ids = asked ? TakeIdsLine(answer->err) : std::string();
    if (asked && canAsk) {
      std::string question = answer->err;
      while (!question.empty() && question.back() == '\n') question.pop_back();
      if (!AskOperator(question)) {
        std::cerr << "kesp: not confirmed; nothing changed\n";
        return kExitDeclined;
      }
      args.push_back("--yes");
      if (!ids.empty()) args.push_back(ids);
      answer = CallControlSocket(socketPath, args, 60000, error);
      if (!answer || !error.empty()) {
        std::cerr << "kesp: " << (error.empty() ? "the running kesp ended" : error) << "\n";
        return 1;
      }
    }
    std::cout << answer->out;
    std::cerr << answer->err;
    if (AsksFirst(command) && answer->code == kExitNeedsConfirmation)
      std::cerr << "kesp: not confirmed: add --yes to confirm\n";
    return answer->code;
  }

  // No kesp runs: the file itself, under the lock, so that a kesp starting meanwhile waits.
  if (!lock && ChangesServers(command)) {
    std::cerr << "kesp: " << (held ? "kesp is supervising, but its control socket does not answer (" + socketPath + ")"
                                   : error)
              << "\n";
    return 1;
  }
  EventLoop loop;
  MemoryListView view;
  Monitor monitor(loop, view, process, MonitorOptions{});
  monitor.SetLogCommands(true);  // the operator's line of each command, in the log file
  monitor.Load();
  // An RCON command talks to the server itself, with kesp.ini's passwords and dialects.
  if (command == Command::Rcon) monitor.SetRestartOptions(LoadRestartOptions());
  CommandIo io{std::cout, std::cerr, canAsk ? std::function<bool(const std::string&)>(AskOperator) : nullptr,
               CommandOrigin{"command line", "uid " + std::to_string(::getuid())}};
  const int code = RunServerCommand(monitor, parsed, ProcessorCount(), io);
  // A question asked on this terminal was answered there; only one nobody could answer is said so.
  if (AsksFirst(command) && code == kExitNeedsConfirmation && !canAsk)
    std::cerr << "kesp: not confirmed: add --yes to confirm\n";
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  // The command line, read once here: a word it does not take ends it before anything is touched.
  ParsedCommand parsed;
  if (const int code = ParseCommandLine(args, parsed, std::cout, std::cerr); code != kRunCommand) return code;
  const std::optional<Command> command = parsed.command;
  const std::string dirOption = parsed.dir;
  // The data folder, chosen once before anything reaches the list, the lock or the logs.
  const DataDirChoice data = ChooseDataDir(DataDirInputsOfThisProcess(dirOption));
  if (const std::string why = data.error.empty() ? PrepareDataDir(data.folder) : data.error; !why.empty()) {
    std::cerr << "kesp: " << why << "\n";
    return 1;
  }
  SetDataDir(Utf8ToUtf16(data.folder));
  // A root kesp (or one run for another user) takes nothing that another user could have put
  // there: every door refuses, naming the file.
  if (const std::string why = UntrustedFileOfKesp(Utf16ToUtf8(ProgramDir()), data.folder); !why.empty()) {
    std::cerr << "kesp: " << why << "\n";
    return 1;
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (command == Command::Service) {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return RunServiceCommand(ServiceRequest{parsed.install, parsed.user, parsed.as}, self.string(), data.folder,
                             std::cout, std::cerr);
  }
  if (command == Command::Log) {
    SystemClock clock;
    return RunLogCommand(parsed.follow, parsed.lines, DataDir() + u"logs", clock, std::cout, std::cerr);
  }
  auto process = CreateProcessControl(ProcessControlOptions{DataDir() + u"logs/"});
  if (command) return RunCommandLine(CommandWords(args), parsed, *process);

  std::string error;
  bool held = false;
  const UniqueFd lock = TakeLock(error, held, kLockPatience);
  if (!lock) {
    std::cerr << "kesp: " << error << "\n";
    return 1;
  }
  // As many descriptors as the system allows; a reserve of them is the supervision's alone.
  RaiseDescriptorLimit();

  // SIGINT and SIGTERM arrive as readable data on the loop's thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);  // the end of the terminal or a service manager's hang-up: a clean end too
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  const UniqueFd signals(::signalfd(-1, &stop, 0));
  SetNonBlockingCloseOnExec(signals.get());

  EventLoop loop;
  SystemClock clock;
  ConsoleListView view(std::cout);
  MonitorOptions options;
  options.timing = TimingFromEnvironment();
  // The runner of kesp.ini's update commands, when it names one: it outlives the monitor.
  std::unique_ptr<ICommandRunner> commandRunner;
  Monitor monitor(loop, view, std::move(process), std::move(options));
  monitor.SetLogCommands(true);  // the operator's line of each command, in the log file
  // The servers' state lines, from the servers themselves, from the load on.
  ConsoleRows rows(monitor.Changes(), monitor.Listed(), monitor.Texts(), std::cout, clock);
  // What a catch-all swallowed, on any thread, is said on the console with its text.
  const FailureNotices failureNotices(
      loop, [&monitor](const std::string& line) { monitor.Notice(kMonitorName, Utf8ToUtf16(line)); });
  // A list that exists but cannot be read stops everything here, with the system's reason.
  if (!monitor.Load()) {
    std::cerr << "kesp: cannot read " << Utf16ToUtf8(monitor.ListPath()) << ": "
              << Utf16ToUtf8(SystemErrorText(monitor.ListError())) << "; nothing is supervised\n";
    return 1;
  }
  SayReadablePasswords(monitor);
  monitor.CreateEndpoint();
  // The descriptors kept for the supervision follow the list; a door's first refusal for want
  // of them is said on the console (the journal under systemd).
  SetSupervisedServers(monitor.Count());
  monitor.CycleEnds().Add([&monitor] { SetSupervisedServers(monitor.Count()); });
  SetDoorRefusalNotice([&loop, &monitor](const std::string& why) {
    loop.Post([&monitor, why] { monitor.Notice(kMonitorName, Utf8ToUtf16("the doors refuse clients: " + why)); });
  });
  // The command line's door while this kesp runs; without it the supervision runs all the same.
  // Each command it carries is said on the console (the journal under systemd).
  std::unique_ptr<ControlServer> control = ControlServer::Listen(
      loop, ControlSocketPath(Utf16ToUtf8(DataDir())),
      [&monitor](const std::vector<std::string>& command, unsigned uid, ControlServer::Reply reply) {
        // What the command writes, kept until its answer is complete (an rcon's comes later).
        struct Output {
          std::ostringstream out, err;
          CommandIo io{out, err, nullptr};
        };
        auto output = std::make_shared<Output>();
        output->io.origin = CommandOrigin{"control socket", "uid " + std::to_string(uid)};
        StartServerCommand(monitor, command, ProcessorCount(), output->io,
                           [&monitor, command, uid, output, reply](int code) {
                             ControlAnswer answer{code, output->out.str(), output->err.str()};
                             monitor.Notice(u"control socket", CommandLine(command, uid, answer));
                             reply(std::move(answer));
                           });
      },
      error);
  if (!control) std::cerr << "kesp: no live control: " << error << std::endl;
  // kesp.ini's observers, when it asks for any; gone before the monitor.
  const std::unique_ptr<Observatory> observing = StartObserving(loop, monitor, {}, &commandRunner);
  // How the servers learn of a game update, when kesp.ini names an update command; gone first.
  const std::unique_ptr<UpdateWatch> updateChecks = StartUpdateChecks(loop, monitor, commandRunner.get(), DataDir() + u"logs/");
  DescriptorWatch stopWatch(loop, signals.get(), POLLIN, [&](short) {
    signalfd_siginfo info;
    while (::read(signals.get(), &info, sizeof info) == sizeof info) {
    }
    loop.Quit(0);
  });

  // The service manager's keep-alive after each cycle, after whatever the observers do there.
  monitor.CycleEnds().Add([] { NotifyWatchdog(); });
  try {
    std::cout << "Data folder: " << data.folder << "\n"
              << "Tervane " TERVANE_VERSION " supervising " << monitor.Count() << " server(s) of "
              << Utf16ToUtf8(ServerListPath()) << "; Ctrl+C ends it, the servers keep running" << std::endl;
    monitor.BeginSupervision();
  } catch (...) {
    // The start steps that failed are skipped; the loop runs all the same.
    NoteCaughtFailure("start-up");
  }
  NotifyReady("supervising " + std::to_string(monitor.Count()) + " server(s)");
  const int code = loop.Run();
  NotifyStopping();
  // An update command still running is ended with all it started; its servers, left down, are
  // started as missing by the next kesp.
  if (commandRunner) commandRunner->EndAll();
  std::cout << "Tervane stopped; the servers keep running" << std::endl;
  control.reset();  // the socket goes while the lock is still held
  SetDoorRefusalNotice(nullptr);
  return code;
}
