// The crash-loop guard kesp.ini's MaxRestarts and RestartWindowMinutes set: when it trips, and
// its message.
#include <gtest/gtest.h>

#include "core/crash_loop_guard.h"
#include "support/message_texts.h"
#include "support/profile.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane {
namespace {

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
