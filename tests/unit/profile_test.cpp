#include <gtest/gtest.h>

#include <set>

#include "support/language_keys.h"
#include "support/profile.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane {
namespace {

using testing::TempDir;
using testing::Utf16File;
using testing::WriteBytes;

std::vector<std::uint8_t> Ascii(std::string_view text) { return {text.begin(), text.end()}; }

TEST(ProfileReader, SectionsAndKeysIgnoreCaseAndValuesAreTrimmed) {
  const std::u16string text =
      u"; comment\r\n[Language]\r\nLanguageID=0x0804\r\n"
      u"[ kesp ]\r\n  menuPauseServer.Caption  =   \u6682\u505C(&P)  \r\nEmpty=\r\n";
  EXPECT_EQ(FindProfileValue(text, u"KESP", u"MENUPAUSESERVER.caption"), u"\u6682\u505C(&P)");
  EXPECT_EQ(FindProfileValue(text, u"language", u"languageid"), u"0x0804");
  EXPECT_EQ(FindProfileValue(text, u"KESP", u"Empty"), u"") << "present but empty";
  EXPECT_FALSE(FindProfileValue(text, u"KESP", u"LanguageID")) << "keys belong to their section";
  EXPECT_FALSE(FindProfileValue(text, u"Other", u"Empty"));
}

TEST(ProfileReader, OnlyTheFirstSectionOfANameAndTheFirstLineOfAKeyCount) {
  const std::u16string text = u"[S]\na=1\na=2\n[T]\nb=3\n[s]\na=4\nc=5\n";
  EXPECT_EQ(FindProfileValue(text, u"S", u"a"), u"1");
  EXPECT_FALSE(FindProfileValue(text, u"S", u"c")) << "a later section of the same name is not read";
  EXPECT_EQ(FindProfileValue(text, u"T", u"b"), u"3");
}

TEST(ProfileReader, OnePairOfEnclosingQuotesIsRemoved) {
  const std::u16string text =
      u"[S]\na=\"quoted\"\nb='single'\nc=\"\"twice\"\"\nd=\"open\ne=mid\"dle\"\nf=\"\n";
  EXPECT_EQ(FindProfileValue(text, u"S", u"a"), u"quoted");
  EXPECT_EQ(FindProfileValue(text, u"S", u"b"), u"single");
  EXPECT_EQ(FindProfileValue(text, u"S", u"c"), u"\"twice\"");
  EXPECT_EQ(FindProfileValue(text, u"S", u"d"), u"\"open");
  EXPECT_EQ(FindProfileValue(text, u"S", u"e"), u"mid\"dle\"");
  EXPECT_EQ(FindProfileValue(text, u"S", u"f"), u"\"");
}

TEST(ProfileReader, ValuesAreCutAt511Units) {
  const std::u16string longValue(600, u'x');
  const auto value = FindProfileValue(u"[S]\nk=" + longValue, u"S", u"k");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->size(), 511u);
}

TEST(ProfileReader, FilesInUtf16And8BitWithDefaults) {
  TempDir dir;
  WriteBytes(dir.File(u"zh.ini"), Utf16File(u"[KESP]\r\nNormal=\u6B63\u5E38\r\n"));
  WriteBytes(dir.File(u"en.ini"), Ascii("[KESP]\nNormal=Fine\n"));
  WriteBytes(dir.File(u"bom.ini"), Ascii("\xEF\xBB\xBF[KESP]\nNormal=Gut\n"));
  EXPECT_EQ(ReadProfileString(dir.File(u"zh.ini"), u"KESP", u"Normal", u"d"), u"\u6B63\u5E38");
  EXPECT_EQ(ReadProfileString(dir.File(u"en.ini"), u"KESP", u"Normal", u"d"), u"Fine");
  EXPECT_EQ(ReadProfileString(dir.File(u"bom.ini"), u"kesp", u"normal", u"d"), u"Gut");
  EXPECT_EQ(ReadProfileString(dir.File(u"en.ini"), u"KESP", u"Lost", u"Lost (%d/%d)"), u"Lost (%d/%d)");
  EXPECT_EQ(ReadProfileString(dir.File(u"en.ini"), u"Nope", u"Normal", u"d"), u"d");
  EXPECT_EQ(ReadProfileString(dir.File(u"missing.ini"), u"KESP", u"Normal", u"d"), u"d");
}

TEST(ProfileReader, OddAndTruncatedBytesAreSafe) {
  // An odd byte count after the mark and a lone surrogate decode without overrunning.
  EXPECT_FALSE(FindProfileValue(DecodeProfileText(std::vector<std::uint8_t>{0xFF, 0xFE, '[', 0, 'S'}),
                                u"S", u"k"));
  EXPECT_EQ(DecodeProfileText(std::vector<std::uint8_t>{0xFF}).size(), 1u);
  EXPECT_EQ(DecodeProfileText(std::vector<std::uint8_t>{}), u"");
  EXPECT_FALSE(FindProfileValue(u"[S", u"S", u"k"));
  EXPECT_EQ(FindProfileValue(u"[S\nk=v", u"S", u"k"), u"v") << "an unclosed section name still names it";
}

TEST(LanguageID, HexadecimalForm) {
  EXPECT_EQ(ParseLanguageID("0x0804"), 0x0804);
  EXPECT_EQ(ParseLanguageID("0x0409"), 0x0409);
  EXPECT_EQ(ParseLanguageID(Utf16ToUtf8(LowerCase(u"0X0409"))), 0x0409);
  EXPECT_EQ(ParseLanguageID("0x08"), 0x0800) << "two digits: the low byte is 0";
  EXPECT_EQ(ParseLanguageID("0x080"), 0x0800) << "a byte needs both digits";
  EXPECT_EQ(ParseLanguageID("0x08041234"), 0x0804) << "digits beyond four are ignored";
  EXPECT_EQ(ParseLanguageID("0x08g4"), 0x0800) << "reading stops at the first non-digit";
  EXPECT_EQ(ParseLanguageID("0xzz"), 0);
  EXPECT_EQ(ParseLanguageID("0x"), 0);
}

TEST(LanguageID, IntegerForm) {
  EXPECT_EQ(ParseLanguageID("2052"), 0x0804);
  EXPECT_EQ(ParseLanguageID("1033"), 0x0409);
  EXPECT_EQ(ParseLanguageID("$0804"), 0x0804);
  EXPECT_EQ(ParseLanguageID("x0804"), 0x0804);
  EXPECT_EQ(ParseLanguageID("  2052"), 0x0804);
  EXPECT_EQ(ParseLanguageID("70660"), 70660 & 0xFFFF) << "only the low 16 bits";
  EXPECT_EQ(ParseLanguageID(""), 0);
  EXPECT_EQ(ParseLanguageID("chinese"), 0);
  EXPECT_EQ(ParseLanguageID("2052abc"), 0);
}

TEST(LanguageKeys, ApplyOrderAndCounts) {
  const auto& keys = ApplyLanguageKeys();
  ASSERT_EQ(keys.size(), 111u);
  int counts[4] = {};
  for (const auto& k : keys) ++counts[static_cast<int>(k.group)];
  EXPECT_EQ(counts[0], 25);
  EXPECT_EQ(counts[1], 46);
  EXPECT_EQ(counts[2], 4);
  EXPECT_EQ(counts[3], 36);
  EXPECT_EQ(keys[0].key, u"Restarting");
  EXPECT_EQ(keys[25].key, u"lblPriority.Caption");
  EXPECT_EQ(keys[70].key, u"DlgOpen.Filter");
  EXPECT_EQ(keys[71].key, u"frmSetBosskey.Caption");
  EXPECT_EQ(keys[75].key, u"menuPauseServer.Caption");
  EXPECT_EQ(keys[110].key, u"LV.Column[9].Caption");
  const auto all = AllLanguageKeys();
  EXPECT_EQ(all.size(), 112u);
  EXPECT_EQ(std::set<std::u16string>(all.begin(), all.end()).size(), 112u);
}

}  // namespace
}  // namespace tervane
