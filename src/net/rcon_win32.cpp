// The RCON socket's system calls on Windows: a non-blocking socket, one try of each call, and
// select() for one slice of a wait. Each socket holds the socket library open for its own life
// (the library counts its starts).
#include <winsock2.h>

#include <algorithm>
#include <climits>

#include "net/rcon.h"
#include "net/socket_address.h"
#include "support/unique_handle_win32.h"

namespace tervane {

struct RconSocket::Platform {
  WinsockSession winsock;
  UniqueSocket socket;
};

void RconSocket::PlatformDeleter::operator()(Platform* platform) const { delete platform; }

void RconSocket::StartPlatform() { platform_.reset(new Platform); }

bool RconSocket::OpenSocket() {
  platform_->socket.reset(
      ::socket(AF_INET, stream_ ? SOCK_STREAM : SOCK_DGRAM, stream_ ? IPPROTO_TCP : IPPROTO_UDP));
  if (!platform_->socket) return false;
  u_long nonBlocking = 1;
  ioctlsocket(platform_->socket.get(), FIONBIO, &nonBlocking);
  return true;
}

RconSocket::Try RconSocket::StartConnect(std::uint32_t address, std::uint16_t port) {
  const auto to = IPv4SocketAddress<sockaddr_in>(AF_INET, address, port);
  if (::connect(platform_->socket.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
    return Try::Done;
  const int code = WSAGetLastError();
  return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS ? Try::Blocked : Try::Failed;
}

RconSocket::Try RconSocket::SendSome(std::span<const std::uint8_t> bytes, std::size_t& sent) {
  const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
  const int n =
      send(platform_->socket.get(), reinterpret_cast<const char*>(bytes.data()), chunk, 0);
  if (n != SOCKET_ERROR) {
    sent = static_cast<std::size_t>(n);
    return Try::Done;
  }
  return WSAGetLastError() == WSAEWOULDBLOCK ? Try::Blocked : Try::Failed;
}

RconSocket::Try RconSocket::ReceiveSome(std::span<std::uint8_t> buffer, std::size_t& received) {
  // A datagram longer than the buffer fails with WSAEMSGSIZE.
  const int size = static_cast<int>(std::min<std::size_t>(buffer.size(), INT_MAX));
  const int n = recv(platform_->socket.get(), reinterpret_cast<char*>(buffer.data()), size, 0);
  if (n != SOCKET_ERROR) {
    received = static_cast<std::size_t>(n);
    return Try::Done;
  }
  return WSAGetLastError() == WSAEWOULDBLOCK ? Try::Blocked : Try::Failed;
}

// A failed connection shows in the exception set.
RconSocket::Try RconSocket::WaitSlice(bool write, std::chrono::milliseconds slice) {
  const SOCKET s = platform_->socket.get();
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval wait{0, static_cast<long>(slice.count() * 1000)};
  const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &wait);
  if (n > 0) return Try::Done;
  return n == SOCKET_ERROR ? Try::Failed : Try::Blocked;
}

Expected<int> RconSocket::ReadSocketError() {
  int code = 0;
  int length = sizeof code;
  if (getsockopt(platform_->socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length) == 0)
    return code;
  return SystemError{static_cast<std::uint32_t>(WSAGetLastError())};
}

// A refused UDP port shows only as the socket's error under Wine, whose recv goes on answering
// "would block".
int RconSocket::HeldError() {
  const Expected<int> held = ReadSocketError();
  return held ? *held : 0;
}

int RconSocket::LastError() { return WSAGetLastError(); }

RconSocket::ErrorClass RconSocket::ClassOf(int code) {
  if (code == WSAECONNREFUSED) return ErrorClass::Refused;
  if (code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN)
    return ErrorClass::Reset;
  if (code == WSAEMSGSIZE) return ErrorClass::TooBig;
  return ErrorClass::Other;
}

}  // namespace tervane
