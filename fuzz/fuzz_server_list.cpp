// serverlist.dat as any bytes: records, option bytes, every record's run parameters, and the
// check of what in a record the program never writes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/server_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto loaded = tervane::LoadServerListBytes(std::span<const std::uint8_t>(data, size),
                                                   [] { return std::string("127.0.0.1"); });
  const tervane::ServerList& list = loaded.servers;
  if (list.size() != size / tervane::kServerEntrySize) __builtin_trap();
  std::size_t last = 0;
  for (const auto& d : loaded.result.damagedRecords) {
    if (d.number <= last || d.number > list.size() || d.what.empty()) __builtin_trap();
    last = d.number;
  }
  for (const auto& e : list) {
    if (e->Priority > 2 || e->Restarts != -1 || e->IPAddress.bytes[15] != 0) __builtin_trap();
  }
  const auto again = tervane::SerializeServerList(list, loaded.options);
  if (again.size() != list.size() * tervane::kServerEntrySize + 3) __builtin_trap();
  return 0;
}
