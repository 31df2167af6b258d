// The endpoint on Windows: Windows sockets 1.1 with window-message notification. The socket
// layer posts message 1025 to the endpoint's hidden window when the socket becomes readable
// or writable, and posts a new readable message after each read while data remains.
#include <winsock2.h>
#include <mswsock.h>

#include <climits>

#include "net/vel_udp.h"
#include "support/event_loop_win32.h"

namespace tervane {

namespace {
constexpr UINT kSocketMessage = WM_USER + 1;
}

struct TVelUDP::Platform {
  bool started = false;  // WSAStartup succeeded: WSACleanup is owed
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
          if (socket_ == -1 || static_cast<SOCKET>(wParam) != static_cast<SOCKET>(socket_)) {
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

void TVelUDP::Open() {
  if (active_) return;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    ReportError(Failure::CreateSocket, WSAGetLastError());
    return;
  }
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<u_short>(localPort_));
  if (reUseAddress_) {
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  }
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
    int error = WSAGetLastError();
    closesocket(s);
    socket_ = -1;
    ReportError(Failure::Bind, error);
    return;
  }
  if (localPort_ == 0) {
    sockaddr_in bound{};
    int length = sizeof bound;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
      localPort_ = ntohs(bound.sin_port);
    }
  }
  // A query to a server that is down brings back an ICMP port-unreachable; reported, it would
  // make the next read fail instead of delivering the next datagram.
  BOOL reportReset = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &reportReset, sizeof reportReset, nullptr, 0, &returned, nullptr,
           nullptr);
  socket_ = static_cast<std::intptr_t>(s);
  WSAAsyncSelect(s, platform_->window->Handle(), kSocketMessage, FD_READ | FD_WRITE);
  active_ = true;
  if (OnReady) {
    TNotifyEvent handler = OnReady;
    handler(*this);
  }
}

void TVelUDP::CloseSocket() {
  if (socket_ != -1) closesocket(static_cast<SOCKET>(socket_));
  socket_ = -1;
}

int TVelUDP::SendTo(const void* buf, int len, std::uint32_t address, std::uint16_t port) {
  if (socket_ == -1) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(port);
  return sendto(static_cast<SOCKET>(socket_), static_cast<const char*>(buf), len, 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int TVelUDP::ReceiveFrom(void* buf, int size, std::uint32_t& address, std::uint16_t& port) {
  address = 0;
  port = 0;
  if (socket_ == -1) return -1;
  sockaddr_in from{};
  int length = sizeof from;
  int received = recvfrom(static_cast<SOCKET>(socket_), static_cast<char*>(buf), size, 0,
                          reinterpret_cast<sockaddr*>(&from), &length);
  address = ntohl(from.sin_addr.s_addr);
  port = ntohs(from.sin_port);
  return received;
}

int TVelUDP::BytesAvailable() {
  if (socket_ == -1) return 0;
  u_long waiting = 0;
  if (ioctlsocket(static_cast<SOCKET>(socket_), FIONREAD, &waiting) != 0) return 0;
  return waiting > INT_MAX ? INT_MAX : static_cast<int>(waiting);
}

}  // namespace tervane
