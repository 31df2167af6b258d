#include <gtest/gtest.h>

#include "support/text.h"

namespace tervane {
namespace {

TEST(ParseInt32, DecimalWithSignsAndBlanks) {
  EXPECT_EQ(ParseInt32("27015"), 27015);
  EXPECT_EQ(ParseInt32("+27015"), 27015);
  EXPECT_EQ(ParseInt32("-5"), -5);
  EXPECT_EQ(ParseInt32("   42"), 42);
  EXPECT_EQ(ParseInt32("2147483647"), 2147483647);
  EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseInt32("0000000000000000027015"), 27015);
}

TEST(ParseInt32, HexadecimalPrefixesAndPatterns) {
  EXPECT_EQ(ParseInt32("$6987"), 27015);
  EXPECT_EQ(ParseInt32("0x6987"), 27015);
  EXPECT_EQ(ParseInt32("0X6987"), 27015);
  EXPECT_EQ(ParseInt32("x6987"), 27015);
  EXPECT_EQ(ParseInt32("X6987"), 27015);
  EXPECT_EQ(ParseInt32("$FFFFFFFF"), -1);
  EXPECT_EQ(ParseInt32("$0000000FFFFFFFF"), -1) << "leading zeros are not significant";
  EXPECT_EQ(ParseInt32("-$10"), -16);
}

TEST(ParseInt32, RejectsWhatIsNoNumber) {
  for (const char* bad : {"", " ", "+", "-", "$", "0x", "abc", "27015x", "27 015", "2147483648",
                          "-2147483649", "99999999999999999999", "$123456789", "0x1g", "1.5"})
    EXPECT_FALSE(ParseInt32(bad).has_value()) << bad;
}

TEST(FormatText, FillsArgumentsInOrder) {
  EXPECT_EQ(FormatText(u"Lost (%d/%d)", {2, 3}), u"Lost (2/3)");
  EXPECT_EQ(FormatText(u"Are you sure to Delete \"%s\"?", {u"1# Server"}),
            u"Are you sure to Delete \"1# Server\"?");
  EXPECT_EQ(FormatText(u"100%% %d", {7}), u"100% 7");
}

TEST(FormatText, SurvivesHostileFormatsFromLanguageFiles) {
  EXPECT_EQ(FormatText(u"%d %d %d %s %s", {1}), u"1    ");
  EXPECT_EQ(FormatText(u"%n%x%", {1}), u"%n%x%");
  EXPECT_EQ(FormatText(u"%s", {42}), u"42");
  EXPECT_EQ(FormatText(u"%d", {u"text"}), u"text");
  EXPECT_EQ(FormatText(u"", {1, 2}), u"");
}

TEST(TextConversion, Utf8RoundTripAndBrokenBytes) {
  const std::u16string text = u"Tervane \u670D\u52A1\u5668 \U0001F600";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  // Broken sequences become U+FFFD and never read past the end.
  EXPECT_EQ(Utf8ToUtf16("\xE6\x9C"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("a\xC0\xAF"), u"a\uFFFD") << "an overlong form is one broken character";
  EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
}

TEST(TextHelpers, StripRemovesBlanksAndControlsAtBothEnds) {
  EXPECT_EQ(Strip(u" \t\r\n name \x01"), u"name");
  EXPECT_EQ(Strip(u"a b"), u"a b");
  EXPECT_EQ(Strip(u"   "), u"");
  EXPECT_EQ(Strip8("\x1f x \x7f"), "x \x7f") << "DEL is not below 33";
}

TEST(TextHelpers, LowerCaseKeepsLength) {
  EXPECT_EQ(LowerCase(u"-PORT +Ip ABC"), u"-port +ip abc");
  EXPECT_EQ(LowerCase(u"\u00C4").size(), 1u);
  EXPECT_EQ(UpperAscii16(u"c:\\Srv\u00e4"), u"C:\\SRV\u00e4");
}

}  // namespace
}  // namespace tervane
