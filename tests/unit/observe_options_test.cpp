// kesp.ini's [Options]: what each key turns on, and that every unknown key and unusable value
// gives one log line and leaves its option off.
#include <gtest/gtest.h>

#include "core/crash_loop_guard.h"
#include "observe/options.h"
#include "support/message_texts.h"
#include "support/profile.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane {
namespace {

struct Parsed {
  ObserveOptions options;
  std::vector<std::string> problems;
};

Parsed Parse(std::u16string_view text) {
  Parsed p;
  p.options = ParseObserveOptions(text, p.problems);
  return p;
}

constexpr char16_t kToken[] = u"0123456789abcdef-token";

TEST(ObserveOptions, AFullFileTurnsEverythingOn) {
  const Parsed p = Parse(
      u"; comment\r\n[options]\r\nhttplisten = 127.0.0.1:8427   ; the endpoint\r\n"
      u"HttpToken=\"0123456789abcdef-token\"\r\nWebhookUrl=https://example.invalid/hook\r\n"
      u"WebhookFormat=Discord\r\nMaxRestarts=5\r\nRestartWindowMinutes=10\r\n[Other]\r\nHttpListen=bad\r\n");
  EXPECT_TRUE(p.problems.empty()) << p.problems.front();
  ASSERT_TRUE(p.options.httpListen);
  EXPECT_EQ(p.options.httpListen->host, "127.0.0.1");
  EXPECT_EQ(p.options.httpListen->port, 8427);
  EXPECT_EQ(p.options.httpToken, "0123456789abcdef-token");
  EXPECT_EQ(p.options.webhookUrl, "https://example.invalid/hook");
  EXPECT_EQ(p.options.webhookFormat, WebhookFormat::Discord);
  EXPECT_EQ(p.options.maxRestarts, 5);
  EXPECT_EQ(p.options.restartWindowMinutes, 10);
}

TEST(ObserveOptions, NothingTurnedOnWithoutTheSectionOrItsKeys) {
  for (const char16_t* text : {u"", u"[Options]\r\n", u"[Other]\r\nMaxRestarts=5\r\n", u"[Options]\r\nHttpListen=\r\n"}) {
    const Parsed p = Parse(text);
    EXPECT_FALSE(p.options.Any()) << Utf16ToUtf8(text);
    EXPECT_TRUE(p.problems.empty()) << Utf16ToUtf8(text);
  }
}

// Each line alone in [Options]: one problem, and the option it names stays off.
TEST(ObserveOptions, EachUnusableLineGivesOneProblemAndLeavesItsOptionOff) {
  struct Case {
    std::u16string line;
    std::string mentions;
  };
  const Case cases[] = {
      {u"Colour=blue", "Colour"},
      {u"HttpListen=8427", "HttpListen"},
      {u"HttpListen=127.0.0.1:0", "HttpListen"},
      {u"HttpListen=127.0.0.1:65536", "HttpListen"},
      {u"HttpListen=256.0.0.1:80", "HttpListen"},
      {u"HttpListen=1.2.3:80", "HttpListen"},
      {u"HttpListen=0.0.0.0:8427", "not a loopback"},  // no token
      {u"HttpToken=short", "HttpToken"},
      {u"HttpToken=has blank inside 0123456789", "HttpToken"},
      {u"WebhookUrl=ftp://example.invalid/", "WebhookUrl"},
      {u"WebhookUrl=example.invalid", "WebhookUrl"},
      {u"WebhookFormat=xml", "WebhookFormat"},
      {u"MaxRestarts=-1", "MaxRestarts"},
      {u"MaxRestarts=five", "MaxRestarts"},
      {u"MaxRestarts=1001", "MaxRestarts"},
      {u"MaxRestarts=99999999999999999999", "MaxRestarts"},
      {u"RestartWindowMinutes=0", "RestartWindowMinutes"},
      // Longer than the reader holds: refused, never used cut short.
      {u"HttpToken=" + std::u16string(kProfileValueMax + 1, u'x'), "HttpToken is longer than the 511"},
      {u"WebhookUrl=https://example.invalid/" + std::u16string(kProfileValueMax, u'p'), "WebhookUrl is longer"},
      {u"MaxRestarts=" + std::u16string(kProfileValueMax + 1, u'1'), "MaxRestarts is longer"},
      {u"AlertHost=gs\u0001eu", "AlertHost"},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(u"[Options]\r\n" + c.line + u"\r\n");
    const std::string what = Utf16ToUtf8(c.line);
    EXPECT_FALSE(p.options.Any()) << what;
    ASSERT_EQ(p.problems.size(), 1u) << what;
    EXPECT_NE(p.problems[0].find(c.mentions), std::string::npos) << what << ": " << p.problems[0];
    // The log line names the file; the problem does not again.
    EXPECT_EQ(p.problems[0].find("kesp.ini"), std::string::npos) << p.problems[0];
  }
}

TEST(ObserveOptions, ABadFormatLeavesAlertsOffAndAHostNamesThem) {
  Parsed p = Parse(u"[Options]\nWebhookUrl=https://example.invalid/hook\nWebhookFormat=xml\n");
  EXPECT_TRUE(p.options.webhookUrl.empty());
  EXPECT_EQ(p.problems.size(), 1u);
  // The longest value the reader holds is used whole.
  const std::u16string url = u"https://example.invalid/" + std::u16string(kProfileValueMax - 24, u'p');
  p = Parse(u"[Options]\nWebhookUrl=" + url + u" ; hook\nAlertHost=EU-1 (Frankfurt)\n");
  EXPECT_EQ(p.options.webhookUrl, Utf16ToUtf8(url));
  EXPECT_EQ(p.options.alertHost, "EU-1 (Frankfurt)");
  EXPECT_TRUE(p.problems.empty()) << p.problems.front();
}

TEST(ObserveOptions, ABadWindowTurnsTheGuardOffAndAnyAddressNeedsTheToken) {
  Parsed p = Parse(u"[Options]\nMaxRestarts=3\nRestartWindowMinutes=x\n");
  EXPECT_EQ(p.options.maxRestarts, 0);
  EXPECT_EQ(p.problems.size(), 1u);

  p = Parse(u"[Options]\nHttpListen=0.0.0.0:9000\nHttpToken=" + std::u16string(kToken) + u"\n");
  ASSERT_TRUE(p.options.httpListen);
  EXPECT_FALSE(p.options.httpListen->Loopback());
  EXPECT_TRUE(p.problems.empty());
  EXPECT_TRUE(ParseListenAddress("localhost:1")->Loopback());
  EXPECT_TRUE(ParseListenAddress("127.9.9.9:1")->Loopback());
}

// The file as the profile reader reads it: UTF-16LE with its mark, UTF-8 with or without it;
// an absent file is no file at all.
TEST(ObserveOptions, TheFileIsReadInEachEncodingAndAnAbsentOneIsNotPresent) {
  testing::TempDir dir;
  const std::u16string text = u"[Options]\r\nMaxRestarts=4\r\n";
  const std::string utf8 = Utf16ToUtf8(text);
  const std::vector<std::vector<std::uint8_t>> files = {
      testing::Utf16File(text),
      [&] {
        std::vector<std::uint8_t> b{0xEF, 0xBB, 0xBF};
        b.insert(b.end(), utf8.begin(), utf8.end());
        return b;
      }(),
      std::vector<std::uint8_t>(utf8.begin(), utf8.end()),
  };
  for (const auto& bytes : files) {
    testing::WriteBytes(dir.File(u"kesp.ini"), bytes);
    std::vector<std::string> problems;
    bool present = false;
    EXPECT_EQ(LoadObserveOptions(dir.File(u"kesp.ini"), problems, present).maxRestarts, 4);
    EXPECT_TRUE(present);
  }
  std::vector<std::string> problems;
  bool present = true;
  EXPECT_FALSE(LoadObserveOptions(dir.File(u"absent.ini"), problems, present).Any());
  EXPECT_FALSE(present);
  EXPECT_TRUE(problems.empty());
}

// Its end might set otherwise what its start sets: a file larger than the reader reads is not
// read in part.
TEST(ObserveOptions, AFileLargerThanTheReaderReadsIsNotUsed) {
  testing::TempDir dir;
  const std::string large = "[Options]\r\nMaxRestarts=4\r\n" + std::string(kOptionsFileLimit, ';');
  testing::WriteBytes(dir.File(u"kesp.ini"), std::vector<std::uint8_t>(large.begin(), large.end()));
  std::vector<std::string> problems;
  bool present = false;
  EXPECT_FALSE(LoadObserveOptions(dir.File(u"kesp.ini"), problems, present).Any());
  EXPECT_TRUE(present);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("larger than 64 KiB"), std::string::npos);
}

// The restart that would be the MaxRestarts-th within the window trips the guard and is not
// made; older ones, the first start and the operator's restarts do not count.
TEST(CrashLoopGuard, TripsAtTheLimitWithinTheWindowOnly) {
  const CrashLoopGuard guard(3, 10);
  struct Step {
    WallTime at;
    bool trips;
  };
  const Step steps[] = {{1000, false}, {1100, false}, {1000 + 600, false},  // the first fell out
                        {1650, true},                                        // 1100, 1600, 1650
                        {1700, false}, {1710, false}, {1720, true}};         // afresh after tripping
  // As the servers ask it: a restart not refused is made, and noted.
  const auto admits = [](const CrashLoopGuard& g, std::vector<WallTime>& history, WallTime at) {
    if (g.Refuses(history, at)) return false;
    g.Note(history, at);
    return true;
  };
  std::vector<WallTime> history;
  for (const Step& s : steps) EXPECT_EQ(!admits(guard, history, s.at), s.trips) << s.at;

  std::vector<WallTime> none;
  const CrashLoopGuard off(0, 10);
  for (int n = 0; n < 50; ++n) EXPECT_TRUE(admits(off, none, 1000 + n));

  EXPECT_TRUE(CountsAsCrash(RestartReason::ProcessLost));
  EXPECT_TRUE(CountsAsCrash(RestartReason::FatalError));
  EXPECT_TRUE(CountsAsCrash(RestartReason::NoResponse));
  EXPECT_FALSE(CountsAsCrash(RestartReason::FirstStart));
  EXPECT_FALSE(CountsAsCrash(RestartReason::Command));
}

// The guard's log line comes from the language files like every other text.
TEST(CrashLoopGuard, ItsMessageIsInEveryLanguageFile) {
  for (const char* file : {"English.ini", "SimplifiedChinese.ini"}) {
    const auto bytes = testing::ReadBytes(Utf8ToUtf16(std::string(TERVANE_SOURCE_DIR) + "/Languages/" + file));
    const auto text = FindProfileValue(DecodeProfileText(bytes), u"KESP", ExtraTextTable()[0].key);
    ASSERT_TRUE(text) << file;
    EXPECT_EQ(FormatText(*text, {5, 10}).find(u"%"), std::u16string::npos) << file;
    EXPECT_NE(FormatText(*text, {5, 10}).find(u"10"), std::u16string::npos) << file;
  }
}

}  // namespace
}  // namespace tervane
