// The RCON socket's system calls on Linux: a non-blocking socket, one try of each call, and
// poll() for one slice of a wait.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/rcon.h"
#include "net/socket_address.h"
#include "support/unique_handle_posix.h"

namespace tervane {

struct RconSocket::Platform {
  UniqueFd fd;
};

void RconSocket::PlatformDeleter::operator()(Platform* platform) const { delete platform; }

void RconSocket::StartPlatform() { platform_.reset(new Platform); }

bool RconSocket::OpenSocket() {
  platform_->fd.reset(
      ::socket(AF_INET, (stream_ ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  return static_cast<bool>(platform_->fd);
}

RconSocket::Try RconSocket::StartConnect(std::uint32_t address, std::uint16_t port) {
  const auto to = IPv4SocketAddress<sockaddr_in>(AF_INET, address, port);
  if (::connect(platform_->fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
    return Try::Done;
  return errno == EINPROGRESS ? Try::Blocked : Try::Failed;
}

RconSocket::Try RconSocket::SendSome(std::span<const std::uint8_t> bytes, std::size_t& sent) {
  ssize_t n;
  do {
    n = ::send(platform_->fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    sent = static_cast<std::size_t>(n);
    return Try::Done;
  }
  return errno == EAGAIN || errno == EWOULDBLOCK ? Try::Blocked : Try::Failed;
}

RconSocket::Try RconSocket::ReceiveSome(std::span<std::uint8_t> buffer, std::size_t& received) {
  ssize_t n;
  do {
    // MSG_TRUNC: a datagram longer than the buffer tells its whole length.
    n = ::recv(platform_->fd.get(), buffer.data(), buffer.size(), stream_ ? 0 : MSG_TRUNC);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    received = static_cast<std::size_t>(n);
    return Try::Done;
  }
  return errno == EAGAIN || errno == EWOULDBLOCK ? Try::Blocked : Try::Failed;
}

RconSocket::Try RconSocket::WaitSlice(bool write, std::chrono::milliseconds slice) {
  pollfd one{platform_->fd.get(), static_cast<short>(write ? POLLOUT : POLLIN), 0};
  const int ready = ::poll(&one, 1, static_cast<int>(slice.count()));
  if (ready > 0) return Try::Done;
  return ready < 0 && errno != EINTR ? Try::Failed : Try::Blocked;
}

Expected<int> RconSocket::ReadSocketError() {
  int code = 0;
  socklen_t length = sizeof code;
  if (::getsockopt(platform_->fd.get(), SOL_SOCKET, SO_ERROR, &code, &length) == 0) return code;
  return SystemError{static_cast<std::uint32_t>(errno)};
}

// Linux reports every error of the socket through the next call on it.
int RconSocket::HeldError() { return 0; }

int RconSocket::LastError() { return errno; }

RconSocket::ErrorClass RconSocket::ClassOf(int code) {
  if (code == ECONNREFUSED) return ErrorClass::Refused;
  if (code == ECONNRESET || code == EPIPE) return ErrorClass::Reset;
  return ErrorClass::Other;
}

}  // namespace tervane
