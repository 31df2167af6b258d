// kesp.ini as any bytes: decoding, the [Options] keys and every value's reader. Whatever it
// accepts must be usable as it is.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "observe/options.h"
#include "support/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = tervane::DecodeProfileText(std::span<const std::uint8_t>(data, size));
  std::vector<std::string> problems;
  const tervane::ObserveOptions o = tervane::ParseObserveOptions(text, problems);
  if (o.httpListen && (o.httpListen->port == 0 || (!o.httpListen->Loopback() && o.httpToken.empty())))
    __builtin_trap();
  if (o.maxRestarts < 0 || o.maxRestarts > tervane::kMaxRestartsLimit) __builtin_trap();
  if (o.restartWindowMinutes < 1 || o.restartWindowMinutes > tervane::kRestartWindowLimit) __builtin_trap();
  if (!o.httpToken.empty() && o.httpToken.size() < tervane::kTokenMinLength) __builtin_trap();
  (void)tervane::ParseListenAddress(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
