// Language files as any bytes: decoding, section and key lookup, and the LanguageID value.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "support/profile.h"
#include "support/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = tervane::DecodeProfileText(std::span<const std::uint8_t>(data, size));
  for (const char16_t* key : {u"LanguageID", u"Menu_Caption", u"Lost", u"LV.Column[0].Caption"}) {
    for (const char16_t* section : {u"Language", u"KESP"}) {
      auto value = tervane::FindProfileValue(text, section, key);
      if (value && value->size() > tervane::kProfileValueMax) __builtin_trap();
      if (value) (void)tervane::ParseLanguageID(tervane::ToSystem8(tervane::LowerCase(*value)));
    }
  }
  (void)tervane::ParseLanguageID(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
