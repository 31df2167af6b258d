// The endpoint on Windows: Windows sockets 1.1 with window-message notification. The socket
// layer posts message 1025 to the endpoint's hidden window when the socket becomes readable
// or writable, and posts a new readable message after each read while data remains.
#include <winsock2.h>
#include <mswsock.h>

#include "net/socket_address.h"
#include "net/vel_udp.h"
#include "support/event_loop_win32.h"
#include "support/unique_handle_win32.h"

namespace tervane {

namespace {
constexpr UINT kSocketMessage = WM_USER + 1;
}

struct TVelUDP::Platform {
  bool started = false;  // WSAStartup succeeded: WSACleanup is owed
  UniqueSocket socket;
  std::unique_ptr<HiddenWindow> window;
};

void TVelUDP::PlatformDeleter::operator()(Platform* platform) const { delete platform; }

void TVelUDP::StartPlatform() {
  platform_.reset(new Platform);
  WSADATA data;
  int result = WSAStartup(MAKEWORD(1, 1), &data);
  if (result != 0) {
    ReportError(Failure::Startup, result);
  } else {
    platform_->started = true;
  }
  try {
    platform_->window = std::make_unique<HiddenWindow>(
        owner_, [this](UINT message, WPARAM wParam, LPARAM lParam, LRESULT& answer) {
          if (message != kSocketMessage) return false;
          answer = 0;
          // News still queued for a socket closed meanwhile is not about the current one.
          const SOCKET current = platform_->socket.get();
          if (current == INVALID_SOCKET || static_cast<SOCKET>(wParam) != current) {
            return true;
          }
          const int event = WSAGETSELECTEVENT(lParam);
          const int error = WSAGETSELECTERROR(lParam);
          Notify(event == FD_READ    ? Event::Readable
                 : event == FD_WRITE ? Event::Writable
                                     : Event::Other,
                 error);
          return true;
        });
  } catch (...) {
    if (platform_->started) WSACleanup();
    throw;
  }
}

void TVelUDP::StopPlatform() noexcept {
  platform_->window.reset();
  if (platform_->started && WSACleanup() != 0) {
    ReportErrorQuietly(Failure::Cleanup, WSAGetLastError());
  }
}

Expected<void> TVelUDP::CreateSocket() {
  platform_->socket.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (platform_->socket) return {};
  return SystemError{static_cast<std::uint32_t>(WSAGetLastError())};
}

Expected<void> TVelUDP::BindSocket() {
  const SOCKET s = platform_->socket.get();
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
  const auto local = IPv4SocketAddress<sockaddr_in>(AF_INET, INADDR_ANY,
                                                    static_cast<std::uint16_t>(localPort_));
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != SOCKET_ERROR) return {};
  return SystemError{static_cast<std::uint32_t>(WSAGetLastError())};
}

int TVelUDP::BoundPort() {
  sockaddr_in bound{};
  int length = sizeof bound;
  if (getsockname(platform_->socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  return ntohs(bound.sin_port);
}

void TVelUDP::RequestReceiveBuffer(int bytes) {
  setsockopt(platform_->socket.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

int TVelUDP::GrantedReceiveBuffer() {
  if (!platform_->socket) return 0;
  int size = 0;
  int length = sizeof size;
  if (getsockopt(platform_->socket.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &length) != 0)
    return 0;
  return size;
}

void TVelUDP::WatchSocket() {
  const SOCKET s = platform_->socket.get();
  // A query to a server that is down brings back an ICMP port-unreachable; reported, it would
  // make the next read fail instead of delivering the next datagram.
  BOOL reportReset = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &reportReset, sizeof reportReset, nullptr, 0, &returned, nullptr,
           nullptr);
  // Also makes the socket non-blocking.
  WSAAsyncSelect(s, platform_->window->Handle(), kSocketMessage, FD_READ | FD_WRITE);
}

void TVelUDP::CloseSocket() {
  platform_->socket.reset();
}

int TVelUDP::SendTo(const void* buf, int len, std::uint32_t address, std::uint16_t port) {
  const auto to = IPv4SocketAddress<sockaddr_in>(AF_INET, address, port);
  return sendto(platform_->socket.get(), static_cast<const char*>(buf), len, 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void TVelUDP::SendMany(std::span<const OutgoingDatagram> datagrams) {
  for (const OutgoingDatagram& d : datagrams) SendTo(d.data, d.length, d.address, d.port);
}

int TVelUDP::ReceiveFrom(void* buf, int size, std::uint32_t& address, std::uint16_t& port) {
  sockaddr_in from{};
  int length = sizeof from;
  int received = recvfrom(platform_->socket.get(), static_cast<char*>(buf), size, 0,
                          reinterpret_cast<sockaddr*>(&from), &length);
  address = ntohl(from.sin_addr.s_addr);
  port = ntohs(from.sin_port);
  return received;
}

// Asking the socket layer again would also repeat the writable news that comes once after Open:
// the readable news is left on.
void TVelUDP::WatchReadable(bool) {}

}  // namespace tervane
