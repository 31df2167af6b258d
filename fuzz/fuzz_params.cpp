// Run parameters as any UTF-16 text: the port and address readers, the command line and the
// masking of RCON passwords.
#include <cstddef>
#include <cstdint>
#include <string>

#include "process/params.h"
#include "support/secrets.h"
#include "support/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string params;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    params.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  (void)tervane::GetServerPort(params);
  const std::string address = tervane::GetServerAddress(params, [] { return std::string("192.0.2.1"); });
  if (address.size() > 15) __builtin_trap();
  const std::u16string line = tervane::BuildCommandLine(u"/srv/hlds", params);
  if (line.size() != params.size() + 12) __builtin_trap();
  // Masking never lets a key's whole value through, and a text without a key stays as it is.
  const std::u16string masked = tervane::MaskSecrets(params);
  if (masked != params && masked.find(u"***") == std::u16string::npos) __builtin_trap();
  if (tervane::LowerCase(params).find(u"rcon_password") == std::u16string::npos && masked != params) __builtin_trap();
  return 0;
}
