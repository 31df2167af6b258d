// kesp on Linux: supervises the servers of serverlist.dat beside the program, writes the log
// files and prints each log line and each change of a row's state cells; SIGINT or SIGTERM
// ends it and leaves the servers running. With arguments it registers, lists and removes
// servers while no supervision runs.
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/console_view.h"
#include "app/observing.h"
#include "app/server_cli.h"
#include "app/timing.h"
#include "support/failures.h"
#include "support/event_loop_posix.h"
#include "support/text.h"
#include "ui/monitor.h"

namespace {

using namespace tervane;

// The running supervision holds this lock, so that a second one and the list commands can
// tell that it runs.
int TakeLock() {
  const std::string path = Utf16ToUtf8(ProgramDir() + u"kesp.lock");
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int ProcessorCount() {
  const long n = ::sysconf(_SC_NPROCESSORS_CONF);
  return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help" || args[0] == "help")) {
    std::cout << ServerCommandUsage();
    return 0;
  }
  ::signal(SIGPIPE, SIG_IGN);
  auto process = CreateProcessControl(ProcessControlOptions{ProgramDir() + u"logs/"});

  if (!args.empty()) {
    const int lock = TakeLock();
    if (lock < 0 && args[0] != "list") {
      std::cerr << "kesp is supervising the servers now; stop it (Ctrl+C) before changing the list\n";
      return 1;
    }
    const int code = RunServerCommand(args, ServerListPath(), *process, ProcessorCount(), std::cout, std::cerr);
    if (lock >= 0) ::close(lock);
    return code;
  }

  const int lock = TakeLock();
  if (lock < 0) {
    std::cerr << "kesp is already supervising the servers of " << Utf16ToUtf8(ServerListPath()) << "\n";
    return 1;
  }

  // SIGINT and SIGTERM arrive as readable data on the loop's thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int signals = ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);

  EventLoop loop;
  ConsoleListView view(std::cout);
  MonitorOptions options;
  options.timing = TimingFromEnvironment();
  Monitor monitor(loop, view, std::move(process), std::move(options));
  monitor.CreateEndpoint();
  // kesp.ini's observers, when it asks for any; gone before the monitor.
  const std::unique_ptr<Observatory> observing = StartObserving(loop, monitor);
  DescriptorWatch stopWatch(loop, signals, POLLIN, [&](short) {
    signalfd_siginfo info;
    while (::read(signals, &info, sizeof info) == sizeof info) {
    }
    loop.Quit(0);
  });

  try {
    monitor.Start([&] {
      std::cout << "Tervane v2.3 supervising " << monitor.List().size() << " server(s) of "
                << Utf16ToUtf8(ServerListPath()) << "; Ctrl+C ends it, the servers keep running" << std::endl;
    });
  } catch (...) {
    // The start steps that failed are skipped; the loop runs all the same.
    NoteFailure("start-up");
  }
  const int code = loop.Run();
  std::cout << "Tervane stopped; the servers keep running" << std::endl;
  ::close(signals);
  ::close(lock);
  return code;
}
