// kesp.ini's [Restarts] and [Server <name>] sections: what each key sets, whose section is
// whose, and that every unusable value gives one line and leaves its option off.
#include <gtest/gtest.h>

#include "core/rcon_port.h"
#include "core/restart_assignment.h"
#include "observe/restart_options.h"
#include "support/profile.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane {
namespace {

struct Parsed {
  RestartOptions options;
  std::vector<std::string> problems;
};

Parsed Parse(std::u16string_view text) {
  Parsed p;
  p.options = ParseRestartOptions(text, p.problems);
  return p;
}

TEST(RestartOptions, EachServerGetsRestartsOverriddenByItsOwnSection) {
  const Parsed p = Parse(
      u"[Options]\r\nMaxRestarts=3\r\n[restarts]\r\nRestartAt = 17:00, 5:00,05:00   ; twice a day\r\n"
      u"RestartWarnMinutes=1,10,5,5\r\nRestartWarnText=\"Restart in %d min; save your game\"\r\n"
      u"RestartWhenEmptyMinutes=15\r\nStopCommand=quit\r\nStopSeconds=30\r\nRconProtocol=GoldSrc\r\n"
      u"RconPassword=secret\r\n[server  Alpha]\r\nRestartEveryHours=6\r\nStopCommand=\r\n"
      u"[Server Beta]\r\nRestartWarnMinutes=\r\n[Servers]\r\nColour=blue\r\n");
  EXPECT_TRUE(p.problems.empty()) << p.problems.front();
  ASSERT_TRUE(p.options.all);
  RestartSettings all;
  all.restartAt = {5 * 60, 17 * 60};
  all.warnMinutes = {10, 5, 1};
  all.warnText = u"Restart in %d min; save your game";
  all.whenEmptyMinutes = 15;
  all.stopCommand = "quit";
  all.stopSeconds = 30;
  all.rconProtocol = RconDialect::GoldSrc;
  all.rconPassword = "secret";
  EXPECT_EQ(p.options.all->values, all);

  const RestartAssignment a = AssignRestartSettings(p.options, {u"Alpha", u"Beta", u"Gamma"});
  RestartSettings alpha = all;  // the schedule's other form and the stop command replaced
  alpha.restartAt.clear();
  alpha.everyHours = 6;
  alpha.stopCommand.clear();
  RestartSettings beta = all;
  beta.warnMinutes.clear();
  EXPECT_EQ(a.settings, (std::vector<RestartSettings>{alpha, beta, all}));
  EXPECT_EQ(a.section, (std::vector<std::optional<std::size_t>>{0, 1, std::nullopt}));
  EXPECT_TRUE(AssignmentProblems(a).empty());

  // A warning is quoted, so that its ';' ends nothing.
  EXPECT_EQ(RconSayCommand(u"Restart; now"), "say \"Restart; now\"");
}

TEST(RestartOptions, NothingWithoutTheSections) {
  for (const char16_t* text : {u"", u"[Options]\r\nMaxRestarts=5\r\n", u"[Servers]\r\nRestartAt=05:00\r\n",
                               u"[Serverless]\r\nRestartAt=05:00\r\n"}) {
    const Parsed p = Parse(text);
    EXPECT_FALSE(p.options.Any()) << Utf16ToUtf8(text);
    EXPECT_TRUE(p.problems.empty()) << Utf16ToUtf8(text);
    EXPECT_FALSE(AssignRestartSettings(p.options, {u"Alpha"}).settings[0].Scheduled());
  }
}

// Each line alone in [Restarts]: one problem, naming the key and the section, and the option
// it sets keeps its off value.
TEST(RestartOptions, EachUnusableLineGivesOneProblemAndLeavesItsOptionOff) {
  struct Case {
    std::u16string lines;
    std::string mentions;
  };
  std::u16string manyTimes = u"RestartAt=1:00";
  for (int h = 2; h <= 25; ++h) manyTimes.append(u",").append(ToU16(h % 24)).append(u":15");
  const Case cases[] = {
      {u"Colour=blue", "unknown key \"Colour\""},
      {u"RestartAt=25:00", "RestartAt"},
      {u"RestartAt=5", "RestartAt"},
      {u"RestartAt=05:00,", "RestartAt"},
      {u"RestartAt=005:00", "RestartAt"},
      {manyTimes, "up to 24 times"},
      {u"RestartEveryHours=169", "RestartEveryHours"},
      {u"RestartAt=05:00\r\nRestartEveryHours=6", "both given"},
      {u"RestartWarnMinutes=0", "RestartWarnMinutes"},
      {u"RestartWarnMinutes=1440", "RestartWarnMinutes"},
      {u"RestartWarnMinutes=11,10,9,8,7,6,5,4,3,2,1", "RestartWarnMinutes"},
      {u"RestartWarnText=Restart \"now\" %d", "RestartWarnText"},
      {u"RestartWarnText=Restart\u0007 %d", "RestartWarnText"},
      {u"RestartWarnText=" + std::u16string(kMaxWarnTextBytes + 1, u'x'), "RestartWarnText"},
      {u"RestartWhenEmptyMinutes=1440", "RestartWhenEmptyMinutes"},
      {u"StopCommand=quit\u0001", "StopCommand"},
      {u"StopCommand=" + std::u16string(kMaxStopCommandBytes + 1, u'q'), "StopCommand"},
      {u"StopSeconds=0", "StopSeconds"},
      {u"StopSeconds=601", "StopSeconds"},
      {u"RconProtocol=rcon", "RconProtocol"},
      {u"RconPassword=" + std::u16string(kRconMaxPassword + 1, u'p'), "RconPassword"},
      // Longer than the reader holds: refused, never used cut short.
      {u"RestartAt=" + std::u16string(kProfileValueMax + 1, u'1'), "RestartAt in [Restarts] is longer than the 511"},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(u"[Restarts]\r\n" + c.lines + u"\r\n");
    const std::string what = Utf16ToUtf8(c.lines).substr(0, 60);
    ASSERT_TRUE(p.options.all) << what;
    EXPECT_EQ(p.options.all->values, RestartSettings{}) << what;
    ASSERT_EQ(p.problems.size(), 1u) << what;
    EXPECT_NE(p.problems[0].find(c.mentions), std::string::npos) << what << ": " << p.problems[0];
    EXPECT_NE(p.problems[0].find("[Restarts]"), std::string::npos) << p.problems[0];
    EXPECT_EQ(p.problems[0].find("kesp.ini"), std::string::npos) << p.problems[0];
  }
  // Refused in a server's own section, the off value overrides what [Restarts] gives.
  const Parsed p = Parse(u"[Restarts]\nRestartAt=05:00\n[Server Alpha]\nRestartAt=5 pm\n");
  ASSERT_EQ(p.problems.size(), 1u);
  EXPECT_NE(p.problems[0].find("[Server \"Alpha\"]"), std::string::npos) << p.problems[0];
  EXPECT_FALSE(AssignRestartSettings(p.options, {u"Alpha"}).settings[0].Scheduled());
}

// A name two servers share picks no server: the section is not used, and they both take
// [Restarts]. A section of a name given twice is read once.
TEST(RestartOptions, ASectionIsUsedOnlyForTheOneServerOfItsName) {
  const Parsed p = Parse(
      u"[Server Alpha]\nStopSeconds=5\n[Server ALPHA]\nStopSeconds=6\n[Server Beta]\nStopSeconds=7\n"
      u"[Server Gamma]\nStopSeconds=8\n[Server ]\nStopSeconds=9\n[Restarts]\nStopSeconds=10\n[restarts]\nStopSeconds=11\n");
  ASSERT_EQ(p.problems.size(), 3u);
  EXPECT_NE(p.problems[0].find("a second [Server \"ALPHA\"]"), std::string::npos) << p.problems[0];
  EXPECT_NE(p.problems[1].find("[Server] names no server"), std::string::npos) << p.problems[1];
  EXPECT_NE(p.problems[2].find("a second [Restarts]"), std::string::npos) << p.problems[2];

  const RestartAssignment a = AssignRestartSettings(p.options, {u"alpha", u" Alpha", u"Beta", u"Delta"});
  std::vector<int> seconds;
  for (const RestartSettings& s : a.settings) seconds.push_back(s.stopSeconds);
  EXPECT_EQ(seconds, (std::vector<int>{10, 10, 7, 10}));
  EXPECT_EQ(a.shared, std::vector<std::u16string>{u"Alpha"});
  EXPECT_EQ(a.unmatched, std::vector<std::u16string>{u"Gamma"});
  const auto lines = AssignmentProblems(a);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("more than one server"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("no server"), std::string::npos) << lines[1];

  // Each section is read from the whole text: their number is bounded.
  std::u16string many;
  for (int n = 0; n < 300; ++n) many.append(u"[Server s").append(ToU16(n)).append(u"]\nStopSeconds=5\n");
  const Parsed bounded = Parse(many);
  EXPECT_EQ(bounded.options.servers.size(), 256u);
  EXPECT_EQ(bounded.problems.size(), 1u);
}

// A planned restart is logged with a text of the language files.
TEST(RestartOptions, APlannedRestartHasItsTextInEveryLanguage) {
  const std::pair<const char*, std::u16string> files[] = {
      {"English.ini", u"Restarting. Reason: Planned restart."}, {"SimplifiedChinese.ini", u"正在重启。原因：计划重启。"}};
  for (const auto& [file, text] : files) {
    const auto bytes = testing::ReadBytes(Utf8ToUtf16(std::string(TERVANE_SOURCE_DIR) + "/Languages/" + file));
    EXPECT_EQ(FindProfileValue(DecodeProfileText(bytes), u"KESP", u"PlannedRestart"), text) << file;
  }
}

}  // namespace
}  // namespace tervane
