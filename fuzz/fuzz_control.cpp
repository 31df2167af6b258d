// Bytes on the control socket, as any local client may send them: the request reader, the
// reading of the command it names, the answer reader of the command line, and the round trip
// of what was read.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "app/command_line_linux.h"
#include "app/control_socket_linux.h"
#include "app/server_cli.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  bool bad = false;
  if (const auto args = tervane::DecodeControlRequest(bytes, bad)) {
    if (bad || tervane::EncodeControlRequest(*args) != bytes) __builtin_trap();
    // The command they name, read by the parser the running kesp reads it with: run, or one
    // "kesp: " line with exit code 2 (or an answer such as the help on out), never an escape.
    std::ostringstream out, err;
    tervane::ParsedCommand parsed;
    const int code = tervane::ParseCommandLine(*args, parsed, out, err);
    const std::string said = err.str();
    if (code == tervane::kRunCommand && !said.empty()) __builtin_trap();
    if (code == tervane::kExitUsage && (said.rfind("kesp: ", 0) != 0 || said.find('\n') + 1 != said.size()))
      __builtin_trap();
    if (said.find('\x1b') != std::string::npos) __builtin_trap();
  }
  if (const auto answer = tervane::DecodeControlAnswer(bytes))
    if (tervane::EncodeControlAnswer(*answer).size() > bytes.size() + 1) __builtin_trap();
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  if (tervane::TerminalSafe(text).find('\x1b') != std::string::npos) __builtin_trap();
  return 0;
}
