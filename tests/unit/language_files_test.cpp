#include <gtest/gtest.h>

#include "support/language_keys.h"
#include "support/profile.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane {
namespace {

// The language files that ship beside the program hold every key the program reads.
TEST(ShippedLanguageFiles, CompleteAndInUtf16) {
  const Path folder = Utf8ToUtf16(TERVANE_SOURCE_DIR "/Languages/");
  struct Shipped {
    const char16_t* file;
    std::uint16_t id;
  };
  for (const Shipped& s : {Shipped{u"English.ini", 0x0409}, Shipped{u"SimplifiedChinese.ini", 0x0804}}) {
    const auto bytes = testing::ReadBytes(folder + s.file);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xFE);
    const std::u16string text = DecodeProfileText(bytes);
    EXPECT_EQ(ParseLanguageID(ToSystem8(LowerCase(*FindProfileValue(text, u"Language", u"LanguageID")))), s.id);
    for (const auto& key : AllLanguageKeys())
      EXPECT_TRUE(FindProfileValue(text, u"KESP", key).has_value()) << Utf16ToUtf8(s.file) << ": " << Utf16ToUtf8(key);
  }
}

}  // namespace
}  // namespace tervane
