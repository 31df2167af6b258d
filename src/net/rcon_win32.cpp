// The RCON socket steps on Windows: a non-blocking socket and select() in slices, so that a
// deadline and a cancel are both seen within a slice. Each socket holds the socket library
// open for its own life (the library counts its starts).
#include <winsock2.h>

#include <algorithm>
#include <climits>

#include "net/rcon.h"
#include "support/text.h"
#include "support/unique_handle_win32.h"

namespace tervane {
namespace {

constexpr auto kSlice = std::chrono::milliseconds(50);

}  // namespace

struct RconSocket::Platform {
  WinsockSession winsock;
  UniqueSocket socket;
  bool stream = false;
  int error = 0;

  // The error the socket holds, 0 when none.
  int PendingError() const {
    int code = 0;
    int length = sizeof code;
    if (getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length) != 0)
      return 0;
    return code;
  }

  // Until the socket is readable (or writable), the deadline passes or cancel is set. A failed
  // connection shows in the exception set; a refused UDP port shows only as the socket's error
  // under Wine (whose recv goes on answering "would block"), so that is looked at every slice.
  Status Wait(bool write, Deadline deadline, const std::atomic<bool>* cancel) {
    for (;;) {
      if (cancel && cancel->load()) return Status::Cancelled;
      if (const int pending = PendingError(); pending != 0) return FromError(pending);
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return Status::TimedOut;
      const auto slice =
          std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), kSlice);
      fd_set ready;
      fd_set failed;
      FD_ZERO(&ready);
      FD_ZERO(&failed);
      FD_SET(socket.get(), &ready);
      FD_SET(socket.get(), &failed);
      timeval wait{0, static_cast<long>(slice.count() * 1000)};
      const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &wait);
      if (n > 0) return Status::Ok;  // ready, or an error the next call reports
      if (n == SOCKET_ERROR) {
        error = WSAGetLastError();
        return Status::Failed;
      }
    }
  }

  Status FromError(int code) {
    if (code == WSAECONNREFUSED) return Status::Refused;
    // On a UDP socket a port unreachable comes back as a reset.
    if (code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN)
      return stream ? Status::Closed : Status::Refused;
    if (code == WSAEMSGSIZE) return Status::TooBig;
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
  p.socket.reset(::socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, stream ? IPPROTO_TCP : IPPROTO_UDP));
  if (!p.socket) {
    p.error = WSAGetLastError();
    return Status::Failed;
  }
  u_long nonBlocking = 1;
  ioctlsocket(p.socket.get(), FIONBIO, &nonBlocking);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(port);
  if (::connect(p.socket.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
    return Status::Ok;
  const int code = WSAGetLastError();
  if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS) return p.FromError(code);
  const Status waited = p.Wait(true, deadline, cancel);
  if (waited != Status::Ok) return waited;
  int error = 0;
  int length = sizeof error;
  if (getsockopt(p.socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
    error = WSAGetLastError();
  return error == 0 ? Status::Ok : p.FromError(error);
}

RconSocket::Status RconSocket::Send(std::span<const std::uint8_t> bytes, Deadline deadline,
                                    const std::atomic<bool>* cancel) {
  Platform& p = *platform_;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, INT_MAX));
    const int n = send(p.socket.get(), reinterpret_cast<const char*>(bytes.data() + sent), chunk, 0);
    if (n != SOCKET_ERROR) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    const int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) return p.FromError(code);
    const Status waited = p.Wait(true, deadline, cancel);
    if (waited != Status::Ok) return waited;
  }
  return Status::Ok;
}

RconSocket::Status RconSocket::Receive(std::span<std::uint8_t> buffer, std::size_t& received,
                                       Deadline deadline, const std::atomic<bool>* cancel) {
  Platform& p = *platform_;
  received = 0;
  const int size = static_cast<int>(std::min<std::size_t>(buffer.size(), INT_MAX));
  for (;;) {
    const int n = recv(p.socket.get(), reinterpret_cast<char*>(buffer.data()), size, 0);
    if (n > 0 || (n == 0 && !p.stream)) {
      received = static_cast<std::size_t>(n);
      return Status::Ok;
    }
    if (n == 0) return Status::Closed;
    const int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) return p.FromError(code);
    const Status waited = p.Wait(false, deadline, cancel);
    if (waited != Status::Ok) return waited;
  }
}

std::string RconSocket::ErrorText() const {
  return ToSystem8(SystemErrorText(static_cast<std::uint32_t>(platform_->error)));
}

}  // namespace tervane
