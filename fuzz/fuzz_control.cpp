// Bytes on the control socket, as any local client may send them: the request reader, the
// reading of the command it names, the answer reader of the command line, and the round trip
// of what was read.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "app/control_socket_linux.h"
#include "app/server_cli.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  bool bad = false;
  if (const auto args = tervane::DecodeControlRequest(bytes, bad)) {
    if (bad || tervane::EncodeControlRequest(*args) != bytes) __builtin_trap();
    // The command they name, read as the running kesp reads it; an unknown one is said on err.
    std::ostringstream err;
    const auto command = tervane::CommandOf(*args, err);
    if (command.has_value() == !err.str().empty() || err.str().find('\x1b') != std::string::npos) __builtin_trap();
  }
  if (const auto answer = tervane::DecodeControlAnswer(bytes))
    if (tervane::EncodeControlAnswer(*answer).size() > bytes.size() + 1) __builtin_trap();
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  if (tervane::TerminalSafe(text).find('\x1b') != std::string::npos) __builtin_trap();
  return 0;
}
