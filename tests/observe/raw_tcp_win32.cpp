#include <winsock2.h>
#include <ws2tcpip.h>

#include "raw_tcp.h"
#include "support/unique_handle_win32.h"

namespace tervane::testing {

namespace {
bool Started() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
}  // namespace

std::string RawExchange(int port, const std::string& bytes, bool readReply) {
  if (!Started()) return {};
  const UniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!socket) return {};
  const SOCKET s = socket.get();
  DWORD limit = 1000;
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int n = ::send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char buffer[4096];
    for (int reads = 0; readReply && reads < 64; ++reads) {
      const int n = ::recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  return reply;
}

int FreeTcpPort() {
  if (!Started()) return 0;
  const UniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  const SOCKET s = socket.get();
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof at;
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length) == 0)
    port = ntohs(at.sin_port);
  return port;
}

}  // namespace tervane::testing
