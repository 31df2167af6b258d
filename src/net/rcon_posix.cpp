// The RCON socket steps on Linux: a non-blocking socket and poll() in slices, so that a
// deadline and a cancel are both seen within a slice.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/rcon.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

namespace tervane {
namespace {

constexpr auto kSlice = std::chrono::milliseconds(50);

}  // namespace

struct RconSocket::Platform {
  UniqueFd fd;
  bool stream = false;
  int error = 0;

  // Until fd is ready for events, the deadline passes or cancel is set.
  Status Wait(short events, Deadline deadline, const std::atomic<bool>* cancel) {
    for (;;) {
      if (cancel && cancel->load()) return Status::Cancelled;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return Status::TimedOut;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      pollfd one{fd.get(), events, 0};
      const int ready = ::poll(&one, 1, static_cast<int>(std::min(left, kSlice).count()));
      if (ready > 0) return Status::Ok;  // ready, or an error the next call reports
      if (ready < 0 && errno != EINTR) {
        error = errno;
        return Status::Failed;
      }
    }
  }

  Status FromErrno(int code) {
    if (code == ECONNREFUSED) return Status::Refused;
    if (code == ECONNRESET || code == EPIPE) return stream ? Status::Closed : Status::Refused;
    error = code;
    return Status::Failed;
  }
};

void RconSocket::PlatformDeleter::operator()(Platform* platform) const { delete platform; }

RconSocket::RconSocket() : platform_(new Platform) {}

RconSocket::~RconSocket() = default;

RconSocket::Status RconSocket::Connect(bool stream, std::uint32_t address, std::uint16_t port,
                                       Deadline deadline, const std::atomic<bool>* cancel) {
  Platform& p = *platform_;
  p.stream = stream;
  p.fd.reset(
      ::socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!p.fd) {
    p.error = errno;
    return Status::Failed;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(port);
  if (::connect(p.fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
    return Status::Ok;
  if (errno != EINPROGRESS) return p.FromErrno(errno);
  const Status waited = p.Wait(POLLOUT, deadline, cancel);
  if (waited != Status::Ok) return waited;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(p.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  return error == 0 ? Status::Ok : p.FromErrno(error);
}

RconSocket::Status RconSocket::Send(std::span<const std::uint8_t> bytes, Deadline deadline,
                                    const std::atomic<bool>* cancel) {
  Platform& p = *platform_;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(p.fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return p.FromErrno(errno);
    const Status waited = p.Wait(POLLOUT, deadline, cancel);
    if (waited != Status::Ok) return waited;
  }
  return Status::Ok;
}

RconSocket::Status RconSocket::Receive(std::span<std::uint8_t> buffer, std::size_t& received,
                                       Deadline deadline, const std::atomic<bool>* cancel) {
  Platform& p = *platform_;
  received = 0;
  for (;;) {
    // MSG_TRUNC: a datagram longer than the buffer tells its whole length.
    const ssize_t n = ::recv(p.fd.get(), buffer.data(), buffer.size(), p.stream ? 0 : MSG_TRUNC);
    if (n > 0 || (n == 0 && !p.stream)) {
      if (static_cast<std::size_t>(n) > buffer.size()) return Status::TooBig;
      received = static_cast<std::size_t>(n);
      return Status::Ok;
    }
    if (n == 0) return Status::Closed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return p.FromErrno(errno);
    const Status waited = p.Wait(POLLIN, deadline, cancel);
    if (waited != Status::Ok) return waited;
  }
}

std::string RconSocket::ErrorText() const {
  return ToSystem8(SystemErrorText(static_cast<std::uint32_t>(platform_->error)));
}

}  // namespace tervane
