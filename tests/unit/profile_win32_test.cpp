// The project's profile reader beside the system's GetPrivateProfileStringW on the same files:
// both must answer alike on the awkward inputs.
#include <gtest/gtest.h>
#include <windows.h>

#include "support/profile.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane {
namespace {

using testing::TempDir;
using testing::Utf16File;
using testing::WriteBytes;

std::u16string SystemReads(const Path& file, const std::u16string& section, const std::u16string& key) {
  wchar_t value[kProfileValueMax + 1] = {};
  GetPrivateProfileStringW(reinterpret_cast<const wchar_t*>(section.c_str()),
                           reinterpret_cast<const wchar_t*>(key.c_str()), L"(default)", value,
                           kProfileValueMax + 1, reinterpret_cast<const wchar_t*>(file.c_str()));
  return std::u16string(reinterpret_cast<const char16_t*>(value));
}

TEST(ProfileReaderBesideWindows, AnswersAsGetPrivateProfileStringW) {
  const std::u16string longValue(700, u'v');
  const std::u16string text =
      u"; a comment\r\n[Dup]\r\nk=first\r\nk=second\r\n[Other]\r\nk=other\r\n[DUP]\r\nk=third\r\n"
      u"late=only in the second Dup\r\n"
      u"[Quotes]\r\ndq=\"double\"\r\nsq='single'\r\ntwice=\"\"x\"\"\r\nopen=\"open\r\nmixed=\"mixed'\r\n"
      u"lone=\"\r\ninner=a\"b\"\r\nempty=\"\"\r\n"
      u"[Blanks]\r\n  spaced key  =  spaced value  \r\nnovalue=\r\n\ttab\t=\tt\t\r\n"
      u"[Long]\r\nlong=" + longValue + u"\r\n"
      u"[ Padded ]\r\np=padded\r\n";
  TempDir dir;
  const Path file = dir.File(u"awkward.ini");
  WriteBytes(file, Utf16File(text));
  const std::pair<std::u16string, std::u16string> asks[] = {
      {u"Dup", u"k"},       {u"dup", u"K"},         {u"Dup", u"late"},     {u"Other", u"k"},
      {u"Quotes", u"dq"},   {u"Quotes", u"sq"},     {u"Quotes", u"twice"}, {u"Quotes", u"open"},
      {u"Quotes", u"mixed"}, {u"Quotes", u"lone"},  {u"Quotes", u"inner"}, {u"Quotes", u"empty"},
      {u"Blanks", u"spaced key"}, {u"Blanks", u"novalue"}, {u"Blanks", u"tab"}, {u"Long", u"long"},
      {u"Padded", u"p"},    {u"Missing", u"k"},     {u"Dup", u"missing"},
  };
  for (const auto& [section, key] : asks) {
    EXPECT_EQ(ReadProfileString(file, section, key, u"(default)"), SystemReads(file, section, key))
        << Utf16ToUtf8(section) << "/" << Utf16ToUtf8(key);
  }
  EXPECT_EQ(ReadProfileString(dir.File(u"none.ini"), u"Dup", u"k", u"(default)"),
            SystemReads(dir.File(u"none.ini"), u"Dup", u"k"))
      << "a missing file";
}

}  // namespace
}  // namespace tervane
