// Request heads of the Windows endpoint as any bytes: what is accepted has a method of token
// characters, a path starting with '/', and a length that is a number.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "observe/http_request_head.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto head = tervane::ParseHttpRequestHead(std::string_view(reinterpret_cast<const char*>(data), size));
  if (head && (head->method.empty() || head->path.empty() || head->path.front() != '/')) __builtin_trap();
  if (head && head->path.find('?') != std::string::npos) __builtin_trap();
  return 0;
}
