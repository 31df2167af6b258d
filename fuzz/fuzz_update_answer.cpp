// The answers of an update check URL as any bytes: never an out-of-date without an answer in
// the documented shape, never an answer with an error, nothing longer than it may be told.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "observe/update_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto a = tervane::ParseUpToDateAnswer(std::string_view(reinterpret_cast<const char*>(data), size));
  if (a.answered != a.error.empty()) __builtin_trap();
  if (!a.answered && (!a.upToDate || a.requiredVersion || !a.message.empty())) __builtin_trap();
  if (a.message.size() > tervane::UpdateChecks::kDetailLimit) __builtin_trap();
  return 0;
}
