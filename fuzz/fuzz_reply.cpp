// Datagrams as any bytes: the self-test, the info (with its version and app id), details and
// challenge replies.
#include <cstddef>
#include <cstdint>
#include <span>

#include "net/query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parsed = tervane::ParseDatagram(std::span<const std::uint8_t>(data, size), "127.0.0.1",
                                             27015, 27015);
  if (parsed.map.size() > size || parsed.version.size() > size) __builtin_trap();
  if (parsed.appId > 0xFFFFFF) __builtin_trap();  // 16 bits, or the game id's low 24
  if (parsed.players < 0 || parsed.players > 255 || parsed.maxPlayers < 0 || parsed.maxPlayers > 255)
    __builtin_trap();
  return 0;
}
