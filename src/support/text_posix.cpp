#include <cstring>
#include <cwctype>

#include "support/text.h"

namespace tervane {

std::string ToSystem8(std::u16string_view text) { return Utf16ToUtf8(text); }

std::u16string FromSystem8(std::string_view text) { return Utf8ToUtf16(text); }

std::u16string LowerCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    wint_t lower = std::towlower(static_cast<wint_t>(c));
    if (lower <= 0xFFFF && !(lower >= 0xD800 && lower <= 0xDFFF)) c = static_cast<char16_t>(lower);
  }
  return out;
}

std::u16string SystemErrorText(std::uint32_t code) {
  char buffer[256];
  const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);  // GNU: may not use buffer
  return Utf8ToUtf16(text ? text : "Error") + u" (" + ToU16(static_cast<int>(code)) + u")";
}

}  // namespace tervane
