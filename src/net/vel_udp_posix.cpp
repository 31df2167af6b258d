// The endpoint on Linux: a non-blocking socket watched by the poll loop.
//
// Readable news is level-triggered: OnReceive is called once per loop pass while a datagram
// waits, so a handler that reads one datagram per call gets one call per datagram. A call
// that read nothing (no handler, or a handler that did not read) drops the waiting datagram
// afterwards, so that the loop cannot spin on it; one notification is meant for one read on
// every platform. Writable news is not asked for: nothing waits for it.
//
// An unconnected UDP socket on Linux does not take ICMP errors; should one be pending all the
// same, a refused port (ECONNREFUSED) is cleared silently, as the Windows half switches that
// report off.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/socket_address.h"
#include "net/vel_udp.h"
#include "support/event_loop_posix.h"
#include "support/unique_handle_posix.h"

namespace tervane {

struct TVelUDP::Platform {
  UniqueFd socket;
  std::unique_ptr<DescriptorWatch> watch;
  std::uint64_t generation = 0;  // one per Open: tells a reopened socket from the one before
};

void TVelUDP::PlatformDeleter::operator()(Platform* platform) const { delete platform; }

void TVelUDP::StartPlatform() { platform_.reset(new Platform); }

void TVelUDP::StopPlatform() noexcept {}

Expected<void> TVelUDP::CreateSocket() {
  platform_->socket.reset(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (platform_->socket) return {};
  return SystemError{static_cast<std::uint32_t>(errno)};
}

Expected<void> TVelUDP::BindSocket() {
  const int fd = platform_->socket.get();
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  const auto local = IPv4SocketAddress<sockaddr_in>(AF_INET, INADDR_ANY,
                                                    static_cast<std::uint16_t>(localPort_));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) return {};
  return SystemError{static_cast<std::uint32_t>(errno)};
}

int TVelUDP::BoundPort() {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(platform_->socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
    return 0;
  return ntohs(bound.sin_port);
}

void TVelUDP::RequestReceiveBuffer(int bytes) {
  const int fd = platform_->socket.get();
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  // The kernel caps the ordinary request at net.core.rmem_max; a privileged process may pass
  // it, anyone else is refused here and keeps what was granted.
  if (GrantedReceiveBuffer() < bytes) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
}

int TVelUDP::GrantedReceiveBuffer() {
  if (!platform_->socket) return 0;
  int size = 0;
  socklen_t length = sizeof size;
  if (::getsockopt(platform_->socket.get(), SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return 0;
  return size;
}

void TVelUDP::WatchSocket() {
  const int fd = platform_->socket.get();
  SetNonBlockingCloseOnExec(fd);
  const std::uint64_t generation = ++platform_->generation;
  platform_->watch = std::make_unique<DescriptorWatch>(
      owner_, fd, static_cast<short>(POLLIN), [this, fd, generation](short revents) {
        std::shared_ptr<bool> alive = alive_;
        // After a handler: is this still the socket the news was about?
        auto unchanged = [&] { return *alive && active_ && platform_->generation == generation; };
        if (revents & POLLERR) {
          int error = 0;
          socklen_t length = sizeof error;
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);  // also clears it
          if (error != 0 && error != ECONNREFUSED) {
            Notify(Event::Readable, error);
            if (!unchanged()) return;
          }
        }
        if (revents & POLLIN) {
          const std::uint64_t readsBefore = reads_;
          Notify(Event::Readable, 0);
          if (!unchanged()) return;
          if (reads_ == readsBefore) {
            char dropped;
            [[maybe_unused]] ssize_t n = ::recv(fd, &dropped, 1, MSG_DONTWAIT);
          }
        }
      });
}

void TVelUDP::CloseSocket() {
  platform_->watch.reset();
  platform_->socket.reset();
}

int TVelUDP::SendTo(const void* buf, int len, std::uint32_t address, std::uint16_t port) {
  const auto to = IPv4SocketAddress<sockaddr_in>(AF_INET, address, port);
  ssize_t sent = ::sendto(platform_->socket.get(), buf, static_cast<std::size_t>(len), 0,
                          reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent < 0 ? -1 : static_cast<int>(sent);
}

// Up to this many datagrams go in one sendmmsg; a datagram the system refuses is left out and
// the rest go after it.
void TVelUDP::SendMany(std::span<const OutgoingDatagram> datagrams) {
  constexpr std::size_t kChunk = 64;
  sockaddr_in to[kChunk];
  iovec bytes[kChunk];
  mmsghdr messages[kChunk];
  for (std::size_t at = 0; at < datagrams.size();) {
    std::size_t n = 0;
    for (; n < kChunk && at + n < datagrams.size(); ++n) {
      const OutgoingDatagram& d = datagrams[at + n];
      to[n] = IPv4SocketAddress<sockaddr_in>(AF_INET, d.address, d.port);
      bytes[n] = iovec{const_cast<void*>(d.data), static_cast<std::size_t>(d.length < 0 ? 0 : d.length)};
      messages[n] = mmsghdr{};
      messages[n].msg_hdr.msg_name = &to[n];
      messages[n].msg_hdr.msg_namelen = sizeof to[n];
      messages[n].msg_hdr.msg_iov = &bytes[n];
      messages[n].msg_hdr.msg_iovlen = 1;
    }
    const int sent = ::sendmmsg(platform_->socket.get(), messages, static_cast<unsigned>(n), 0);
    if (sent > 0) {
      at += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    ++at;  // the first one failed: left out, as a single send would have been
  }
}

int TVelUDP::ReceiveFrom(void* buf, int size, std::uint32_t& address, std::uint16_t& port) {
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t received = ::recvfrom(platform_->socket.get(), buf, static_cast<std::size_t>(size), 0,
                                reinterpret_cast<sockaddr*>(&from), &length);
  if (received < 0) return -1;
  address = ntohl(from.sin_addr.s_addr);
  port = ntohs(from.sin_port);
  return static_cast<int>(received);
}

void TVelUDP::WatchReadable(bool on) {
  if (platform_->watch) platform_->watch->SetEvents(static_cast<short>(on ? POLLIN : 0));
}

}  // namespace tervane
