// The stand-in server on Linux: one UDP socket and a poll() loop. Every line goes to standard
// output at once, because the watchdog appends a server's output to its log file. SIGTERM and
// SIGKILL end it the default way.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "fakesrv.h"
#include "process/params.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

namespace {

using namespace tervane::fakesrv;

void Print(const std::string& line) {
  std::printf("fakesrv: %s\n", line.c_str());
  std::fflush(stdout);
}

void PrintLog(FakeServer& server) {
  for (const std::string& line : server.TakeLogLines()) Print(line);
}

int Run(Settings settings) {
  const tervane::UniqueFd udp(::socket(AF_INET, SOCK_DGRAM, 0));
  if (!udp) {
    Print(std::string("cannot open a UDP socket: ") + std::strerror(errno));
    return 2;
  }
  const int fd = udp.get();
  tervane::SetNonBlockingCloseOnExec(fd);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(settings.port);
  if (::inet_pton(AF_INET, settings.bindAddress.c_str(), &local.sin_addr) != 1) {
    Print("cannot listen on \"" + settings.bindAddress + "\": not an IPv4 address");
    return 2;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    Print("cannot listen on " + settings.bindAddress + ":" + std::to_string(settings.port) +
          ": " + std::strerror(errno));
    return 2;
  }

  StartIdleThreads(settings.threads);
  const std::string where = settings.bindAddress + ":" + std::to_string(settings.port);
  const std::string shown =
      (settings.bindAddress == "0.0.0.0" ? tervane::GetLocalAddress() : settings.bindAddress) +
      ":" + std::to_string(settings.port);
  Print("listening on " + where + " (pid " + std::to_string(::getpid()) + ", map " + settings.map +
        ", " + std::to_string(settings.players) + "/" + std::to_string(settings.maxPlayers) +
        ", answer " + std::string(AnswerModeName(settings.answer)) +
        (settings.challenge ? ", challenge" : "") + (settings.silent ? ", silent" : "") + ")");
  FakeServer server(std::move(settings), MonotonicMs(), NewChallenge(),
                    static_cast<std::uint32_t>(::getpid()), shown);

  std::uint8_t buffer[2048];
  for (;;) {
    // The lines first: whoever gets a reply finds its line already written.
    const std::vector<Outgoing> due = server.Advance(MonotonicMs());
    PrintLog(server);
    for (const Outgoing& out : due) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(out.port);
      if (::inet_pton(AF_INET, out.address.c_str(), &to.sin_addr) != 1) continue;
      if (::sendto(fd, out.bytes.data(), out.bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        Print("cannot send to " + out.address + ": " + std::strerror(errno));
    }
    server.TakeFatal();  // no dialog here: the log line says it, and the server hangs
    if (server.ExitRequested()) return 0;

    int timeout = -1;
    if (const auto deadline = server.NextDeadline()) {
      const std::int64_t wait = *deadline - MonotonicMs();
      timeout = wait <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(wait, 60000));
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout) <= 0) continue;

    // Drain what is there, but give the timers a turn after a bounded number of datagrams.
    for (int i = 0; i < 64; ++i) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n < 0) break;
      char address[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
      server.Receive(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), address,
                     ntohs(from.sin_port), MonotonicMs());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(tervane::FromSystem8(argv[i]));
  Settings settings = ParseArguments(args);
  settings.environment = 'l';
  for (const std::string& warning : settings.warnings) Print(warning + " (ignored)");
  if (!settings.error.empty()) {
    Print(settings.error);
    return 2;
  }
  return Run(std::move(settings));
}
