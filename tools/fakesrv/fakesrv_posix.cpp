// The stand-in server on Linux: one UDP socket, the Source RCON listener on the same port
// number with its connections, and a poll() loop. Every line goes to standard output at once,
// because the watchdog appends a server's output to its log file. SIGTERM and SIGKILL end it
// the default way.
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
  for (const std::string& line : server.TakePrintedLines()) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

// A Source RCON connection: what waits to be written, and whether it ends once written.
struct Peer {
  tervane::UniqueFd fd;
  std::uint64_t id = 0;
  std::vector<std::uint8_t> out;
  bool closing = false;
  bool dead = false;
};

// The Source RCON listener on the query port's number. Without it the server runs on, as the
// query server it has always been, and says so.
tervane::UniqueFd OpenRconListener(const sockaddr_in& local, const std::string& where) {
  tervane::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int on = 1;
  if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(fd.get(), 8) != 0) {
    Print("no Source RCON: cannot listen on tcp " + where + ": " + std::strerror(errno));
    return {};
  }
  return fd;
}

void Flush(Peer& peer) {
  std::size_t sent = 0;
  while (sent < peer.out.size()) {
    const ssize_t n = ::send(peer.fd.get(), peer.out.data() + sent, peer.out.size() - sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) peer.dead = true;
      break;
    }
  }
  peer.out.erase(peer.out.begin(), peer.out.begin() + static_cast<std::ptrdiff_t>(sent));
  if (peer.out.empty() && peer.closing) peer.dead = true;
}

void ReadPeer(FakeServer& server, Peer& peer) {
  std::uint8_t buffer[4096];
  // A bounded number of reads, so that one busy client cannot hold the loop.
  for (int i = 0; i < 16 && !peer.closing && !peer.dead &&
                  peer.out.size() <= FakeServer::kMaxRconOutput;
       ++i) {
    const ssize_t n = ::recv(peer.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      peer.dead = true;
    } else if (n > 0) {
      FakeServer::StreamAnswer answer = server.RconStream(
          peer.id, std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)),
          MonotonicMs());
      peer.out.insert(peer.out.end(), answer.bytes.begin(), answer.bytes.end());
      if (answer.close) peer.closing = true;
    } else {
      break;
    }
  }
  Flush(peer);
  // A client that reads nothing is dropped before its answers pile up.
  if (peer.out.size() > FakeServer::kMaxRconOutput) {
    Print("dropped Source RCON connection " + std::to_string(peer.id) + ": it reads nothing");
    peer.dead = true;
  }
}

void AcceptPeers(int listener, std::vector<Peer>& peers, std::uint64_t& nextId) {
  for (;;) {
    tervane::UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) return;
    if (peers.size() >= FakeServer::kMaxRconConnections) {
      Print("refused a Source RCON connection: " + std::to_string(peers.size()) + " are open");
      continue;
    }
    peers.push_back(Peer{std::move(fd), ++nextId, {}, false, false});
  }
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
  const tervane::UniqueFd listener = OpenRconListener(local, where);
  std::vector<Peer> peers;
  std::uint64_t nextPeer = 0;
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
    std::vector<pollfd> watched{{fd, POLLIN, 0}};
    if (listener) watched.push_back({listener.get(), POLLIN, 0});
    for (const Peer& peer : peers)
      watched.push_back(
          {peer.fd.get(), static_cast<short>(POLLIN | (peer.out.empty() ? 0 : POLLOUT)), 0});
    if (::poll(watched.data(), watched.size(), timeout) <= 0) continue;

    // The connections first: the poll's entries for them follow the socket and the listener.
    const std::size_t first = listener ? 2 : 1;
    for (std::size_t i = 0; i < peers.size(); ++i) {
      const short events = watched[first + i].revents;
      if (events & (POLLIN | POLLHUP | POLLERR)) ReadPeer(server, peers[i]);
      if (events & POLLOUT) Flush(peers[i]);
    }
    std::erase_if(peers, [&](const Peer& peer) {
      if (peer.dead) server.RconClosed(peer.id);
      return peer.dead;
    });
    if (listener && (watched[1].revents & POLLIN)) AcceptPeers(listener.get(), peers, nextPeer);
    if (!(watched[0].revents & POLLIN)) continue;

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
