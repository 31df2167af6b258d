#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "raw_tcp.h"
#include "support/unique_handle_posix.h"

namespace tervane::testing {

std::string RawExchange(int port, const std::string& bytes, bool readReply) {
  const UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
  if (!socket) return {};
  const int fd = socket.get();
  timeval limit{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char buffer[4096];
    for (int reads = 0; readReply && reads < 64; ++reads) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  return reply;
}

int FreeTcpPort() {
  const UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
  const int fd = socket.get();
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof at;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) == 0)
    port = ntohs(at.sin_port);
  return port;
}

}  // namespace tervane::testing
