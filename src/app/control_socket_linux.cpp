#include "app/control_socket_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/rcon.h"
#include "support/descriptors.h"
#include "support/event_loop_posix.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

namespace tervane {

namespace {

constexpr std::size_t kMaxRequestBytes = 64 * 1024;
constexpr std::size_t kMaxArguments = 256;
constexpr std::size_t kMaxClients = 16;
// A client that has not sent its whole request by then is dropped, so that idle connections
// cannot keep others out.
constexpr unsigned kClientTimeoutMs = 10000;
// How long a client waits for an answer that comes later (an RCON exchange takes at most a few
// seconds); past it the client is dropped and the answer goes nowhere.
constexpr unsigned kAnswerTimeoutMs = 30000;
// An RCON command is answered within its time, sent or "not sent": never dropped unanswered.
static_assert(std::chrono::milliseconds(kAnswerTimeoutMs) >= kRconDoorAnswerWithin + std::chrono::seconds(5));
// Connections taken in one go, so that a flood of them cannot hold the loop's thread.
constexpr int kAcceptsPerWake = 64;
// How long the door stays shut when no descriptor was left to accept with.
constexpr unsigned kReopenMs = 200;

std::string ErrnoText(int code) { return Utf16ToUtf8(SystemErrorText(static_cast<std::uint32_t>(code))); }

bool FillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

}  // namespace

struct ControlServer::Client {
  Client(EventLoop& loop, int descriptor) : fd(descriptor), deadline(loop) {}
  ~Client() { watch.reset(); }  // the watch goes before its descriptor
  UniqueFd fd;
  std::string in;
  std::string out;  // the answer, while it is being written
  bool asked = false;     // the request was handed on
  bool answered = false;  // its answer is being written
  unsigned uid = 0;  // of the process that connected
  std::uint64_t id = 0;
  DoorDescriptor door;
  std::unique_ptr<DescriptorWatch> watch;
  Timer deadline;
};

std::string ControlSocketPath(const std::string& programDir) { return programDir + "kesp.sock"; }

std::string EncodeControlRequest(const std::vector<std::string>& args) {
  std::string bytes = std::to_string(args.size()) + "\n";
  for (const std::string& a : args) {
    bytes += a;
    bytes.push_back('\0');
  }
  return bytes;
}

std::optional<std::vector<std::string>> DecodeControlRequest(const std::string& bytes, bool& bad) {
  bad = false;
  const std::size_t newline = bytes.find('\n');
  if (newline == std::string::npos) {
    bad = bytes.size() > 8;  // a count has at most three digits
    return std::nullopt;
  }
  const auto count = ParseInt32(bytes.substr(0, newline));
  if (!count || *count < 0 || static_cast<std::size_t>(*count) > kMaxArguments ||
      bytes.find_first_not_of("0123456789") != newline || (newline > 1 && bytes[0] == '0')) {
    bad = true;
    return std::nullopt;
  }
  std::vector<std::string> args;
  std::size_t at = newline + 1;
  while (args.size() < static_cast<std::size_t>(*count)) {
    const std::size_t end = bytes.find('\0', at);
    if (end == std::string::npos) return std::nullopt;
    args.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  if (at != bytes.size()) bad = true;  // nothing may follow the last argument
  return bad ? std::nullopt : std::optional(std::move(args));
}

std::string EncodeControlAnswer(const ControlAnswer& answer) {
  std::string bytes = std::to_string(answer.code) + "\n" + answer.out;
  bytes.push_back('\0');
  bytes += answer.err;
  bytes.push_back('\0');
  return bytes;
}

std::optional<ControlAnswer> DecodeControlAnswer(const std::string& bytes) {
  const std::size_t newline = bytes.find('\n');
  if (newline == std::string::npos) return std::nullopt;
  const std::string number = bytes.substr(0, newline);
  const auto code = number.find_first_not_of("0123456789") == std::string::npos ? ParseInt32(number) : std::nullopt;
  const std::size_t outEnd = bytes.find('\0', newline + 1);
  if (!code || outEnd == std::string::npos) return std::nullopt;
  const std::size_t errEnd = bytes.find('\0', outEnd + 1);
  if (errEnd == std::string::npos || errEnd + 1 != bytes.size()) return std::nullopt;
  return ControlAnswer{*code, bytes.substr(newline + 1, outEnd - newline - 1),
                       bytes.substr(outEnd + 1, errEnd - outEnd - 1)};
}

// ----------------------------------------------------------------------------- the server

std::unique_ptr<ControlServer> ControlServer::Listen(EventLoop& loop, const std::string& path, Handler handler,
                                                     std::string& error) {
  sockaddr_un address;
  if (!FillAddress(path, address)) {
    error = "the control socket's path is too long for a Unix socket (" + std::to_string(path.size()) +
            " bytes): " + path;
    return nullptr;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = "cannot create the control socket: " + ErrnoText(errno);
    return nullptr;
  }
  ::unlink(path.c_str());
  // Owner only from the start: no moment in which another user could connect.
  const mode_t before = ::umask(0077);
  const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(before);
  if (bound != 0 || ::listen(fd.get(), 16) != 0) {
    error = "cannot listen at " + path + ": " + ErrnoText(bound != 0 ? bindError : errno);
    return nullptr;
  }
  ::chmod(path.c_str(), 0600);
  return std::unique_ptr<ControlServer>(new ControlServer(loop, path, std::move(fd), std::move(handler)));
}

ControlServer::ControlServer(EventLoop& loop, std::string path, UniqueFd fd, Handler handler)
    : loop_(loop), path_(std::move(path)), fd_(std::move(fd)), handler_(std::move(handler)), reopen_(loop) {
  watch_ = std::make_unique<DescriptorWatch>(loop_, fd_.get(), POLLIN, [this](short) { Accept(); });
  reopen_.SetEnabled(false);
  reopen_.SetInterval(kReopenMs);
  reopen_.OnTimer = [this] {
    reopen_.SetEnabled(false);
    watch_->SetEvents(POLLIN);
  };
}

ControlServer::~ControlServer() {
  *alive_ = false;
  reopen_.SetEnabled(false);
  clients_.clear();
  watch_.reset();
  ::unlink(path_.c_str());
}

int ControlServer::Clients() const { return static_cast<int>(clients_.size()); }

void ControlServer::Accept() {
  for (int taken = 0; taken < kAcceptsPerWake; ++taken) {
    UniqueFd fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      if (errno == EMFILE || errno == ENFILE) {
        DoorRefusal();  // the log says it once, though no client can be told
        watch_->SetEvents(0);
        reopen_.SetEnabled(true);
      }
      return;  // EAGAIN: all taken; anything else: the next readiness tries again
    }
    // Only the monitor's own user (or root) may drive it, whatever the file's mode.
    ucred peer{};
    socklen_t length = sizeof peer;
    const bool allowed = ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
                         (peer.uid == ::geteuid() || peer.uid == 0);
    if (!allowed) {
      Refuse(fd, "kesp: permission denied: the running kesp takes commands only from its own user (uid " +
                     std::to_string(::geteuid()) + ") and root\n");
      continue;
    }
    if (clients_.size() >= kMaxClients) {
      Refuse(fd, "kesp: the running kesp is busy with other clients; try again\n");
      continue;
    }
    // A descriptor of the doors' share, or the client is told why not.
    DoorDescriptor door = TakeDoorDescriptor();
    if (!door) {
      Refuse(fd, "kesp: the running kesp takes no more clients now: " + DoorRefusal() + "\n");
      continue;
    }
    const int descriptor = fd.get();
    auto client = std::make_unique<Client>(loop_, fd.release());
    Client* c = client.get();
    c->door = std::move(door);
    c->uid = peer.uid;
    c->id = ++nextClient_;
    c->watch = std::make_unique<DescriptorWatch>(loop_, descriptor, POLLIN, [this, c](short revents) { OnClient(*c, revents); });
    c->deadline.SetInterval(kClientTimeoutMs);
    c->deadline.OnTimer = [this, c] { Drop(*c); };
    c->deadline.SetEnabled(true);
    clients_.push_back(std::move(client));
  }
}

// Told at once, and the descriptor given back at once: the answer waits in the client's socket,
// which reads it whether or not its request could still be sent.
void ControlServer::Refuse(UniqueFd& fd, const std::string& why) {
  const std::string answer = EncodeControlAnswer({1, "", why});
  [[maybe_unused]] const ssize_t sent = ::send(fd.get(), answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  fd.reset();
}

void ControlServer::Drop(Client& client) {
  for (auto it = clients_.begin(); it != clients_.end(); ++it)
    if (it->get() == &client) {
      clients_.erase(it);  // closes it; its watch and timer go with it
      return;
    }
}

void ControlServer::OnClient(Client& client, short revents) {
  if (client.answered) return Write(client);
  if (client.asked) {
    // Waiting for the answer: nothing more is read; a client that went is dropped.
    if (revents & (POLLHUP | POLLERR)) Drop(client);
    return;
  }
  bool closed = false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(client.fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      client.in.append(buffer, static_cast<std::size_t>(n));
      if (client.in.size() > kMaxRequestBytes) return Drop(client);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    closed = n == 0 || errno != EAGAIN;
    break;
  }
  bool bad = false;
  const auto args = DecodeControlRequest(client.in, bad);
  if (!args && !bad) {
    if (closed) Drop(client);  // gone before the whole request came: nothing was done
    return;
  }
  client.asked = true;
  client.watch->SetEvents(0);
  if (bad) return Answer(client, ControlAnswer{2, "", "kesp: the control socket received a malformed request\n"});
  client.deadline.SetEnabled(false);
  client.deadline.SetInterval(kAnswerTimeoutMs);
  client.deadline.SetEnabled(true);
  // The client is found again by its number: it may have been dropped by then. Nothing is done
  // with it after the handler, which may have answered and dropped it already.
  handler_(*args, client.uid, [this, alive = alive_, id = client.id](ControlAnswer answer) {
    if (!*alive) return;
    for (const auto& c : clients_)
      if (c->id == id) return Answer(*c, std::move(answer));
  });
}

void ControlServer::Answer(Client& client, ControlAnswer answer) {
  client.answered = true;
  client.out = EncodeControlAnswer(answer);
  client.deadline.SetEnabled(false);
  client.deadline.SetInterval(kClientTimeoutMs);
  client.deadline.SetEnabled(true);
  client.watch->SetEvents(POLLOUT);
  Write(client);
}

void ControlServer::Write(Client& client) {
  while (!client.out.empty()) {
    const ssize_t n = ::send(client.fd.get(), client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      client.out.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EAGAIN) return;  // the rest when it can take it
    break;                                 // gone: the command was carried out all the same
  }
  Drop(client);
}

// ----------------------------------------------------------------------------- the client

std::optional<ControlAnswer> CallControlSocket(const std::string& path, const std::vector<std::string>& args,
                                               int timeoutMs, std::string& error) {
  sockaddr_un address;
  if (!FillAddress(path, address)) return std::nullopt;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::nullopt;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int code = errno;
    // No socket, or one that nobody listens at any more: no monitor runs.
    if (code == ENOENT || code == ECONNREFUSED) return std::nullopt;
    error = "cannot reach the running kesp at " + path + ": " + ErrnoText(code);
    return ControlAnswer{1, "", ""};
  }
  const std::string request = EncodeControlRequest(args);
  std::string reply;
  // A request that could not be sent whole (the kesp refused this client and closed) is
  // answered all the same: the refusal waits to be read.
  for (std::size_t at = 0; at < request.size();) {
    const ssize_t n = ::send(fd.get(), request.data() + at, request.size() - at, MSG_NOSIGNAL);
    if (n <= 0) break;
    at += static_cast<std::size_t>(n);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  if (auto answer = DecodeControlAnswer(reply)) return answer;
  error = "the running kesp gave no answer (" + path + ")";
  return ControlAnswer{1, "", ""};
}

}  // namespace tervane
