// The socket address of an IPv4 address and port, for the platform halves of the network code.
// The BSD socket headers and Winsock lay sockaddr_in out alike (the family, then the port and
// the address in network byte order, then zeros) and name its members alike, so one definition
// serves both; each half gives its own type and family, and bit_cast checks the sizes.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tervane {

// The low N bytes of value, the most significant first (network byte order).
template <std::size_t N>
constexpr std::array<std::uint8_t, N> NetworkOrderBytes(std::uint32_t value) {
  std::array<std::uint8_t, N> bytes{};
  for (std::size_t i = 0; i < N; ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * (N - 1 - i)));
  return bytes;
}

// address and port in host byte order; address 0 is every interface.
template <typename SockaddrIn>
SockaddrIn IPv4SocketAddress(int family, std::uint32_t address, std::uint16_t port) {
  SockaddrIn to{};
  to.sin_family = static_cast<decltype(to.sin_family)>(family);
  to.sin_port = std::bit_cast<decltype(to.sin_port)>(NetworkOrderBytes<2>(port));
  to.sin_addr = std::bit_cast<decltype(to.sin_addr)>(NetworkOrderBytes<4>(address));
  return to;
}

}  // namespace tervane
