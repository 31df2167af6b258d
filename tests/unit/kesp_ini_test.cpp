// kesp.ini through its one reader: what each section's keys set, and that every unknown key,
// unusable value and section not read gives its one problem line, word for word, and leaves
// its option off.
#include <gtest/gtest.h>

#include "core/restart_assignment.h"
#include "options/kesp_ini.h"
#include "support/profile.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane {
namespace {

struct Parsed {
  KespIni ini;
  std::vector<std::string> problems;
};

Parsed Parse(std::u16string_view text) {
  Parsed p;
  p.ini = ParseKespIni(text, p.problems);
  return p;
}

TEST(KespIni, AFullFileSetsEverySectionAndEachServerItsOwn) {
  const std::u16string url = u"https://example.invalid/" + std::u16string(kProfileValueMax - 24, u'p');
  const Parsed p = Parse(
      u"; comment\r\n[options]\r\nhttplisten = 0.0.0.0:8427   ; the endpoint\r\n"
      u"HttpToken=\"0123456789abcdef-token\"\r\nWebhookUrl=" + url + u" ; the longest value, whole\r\n"
      u"WebhookFormat=Discord\r\nMaxRestarts=5\r\nRestartWindowMinutes=10\r\nAlertHost=EU-1 (Frankfurt)\r\n"
      u"LogCommands=1\r\n"
      u"[restarts]\r\nRestartAt = 17:00, 5:00,05:00   ; twice a day\r\n"
      u"RestartWarnMinutes=1,10,5,5\r\nRestartWarnText=\"Restart in %d min; save your game\"\r\n"
      u"RestartWhenEmptyMinutes=15\r\nStopCommand=quit\r\nStopSeconds=30\r\nRconProtocol=GoldSrc\r\n"
      u"RconPassword=secret\r\n[server  Alpha]\r\nRestartEveryHours=6\r\nStopCommand=\r\n"
      u"[Server Beta]\r\nRestartWarnMinutes=\r\n[Servers]\r\nColour=blue\r\n[Other]\r\nHttpListen=bad\r\n");
  EXPECT_TRUE(p.problems.empty()) << p.problems.front();
  const ObserveOptions& o = p.ini.observe;
  EXPECT_EQ(o.httpListen, (ListenAddress{"0.0.0.0", 8427}));
  EXPECT_EQ(o.httpToken, "0123456789abcdef-token");
  EXPECT_EQ(o.webhookUrl, Utf16ToUtf8(url));
  EXPECT_EQ(o.webhookFormat, WebhookFormat::Discord);
  EXPECT_EQ(o.maxRestarts, 5);
  EXPECT_EQ(o.restartWindowMinutes, 10);
  EXPECT_EQ(o.alertHost, "EU-1 (Frankfurt)");
  EXPECT_TRUE(o.logCommands);

  ASSERT_TRUE(p.ini.restarts.all);
  RestartSettings all;
  all.restartAt = {5 * 60, 17 * 60};
  all.warnMinutes = {10, 5, 1};
  all.warnText = u"Restart in %d min; save your game";
  all.whenEmptyMinutes = 15;
  all.stopCommand = "quit";
  all.stopSeconds = 30;
  all.rconProtocol = RconDialect::GoldSrc;
  all.rconPassword = "secret";
  EXPECT_EQ(p.ini.restarts.all->values, all);
  const RestartAssignment a = AssignRestartSettings(p.ini.restarts, {u"Alpha", u"Beta", u"Gamma"});
  RestartSettings alpha = all;  // the schedule's other form and the stop command replaced
  alpha.restartAt.clear();
  alpha.everyHours = 6;
  alpha.stopCommand.clear();
  RestartSettings beta = all;
  beta.warnMinutes.clear();
  EXPECT_EQ(a.settings, (std::vector<RestartSettings>{alpha, beta, all}));
  EXPECT_TRUE(AssignmentProblems(a).empty());
}

TEST(KespIni, NothingWithoutItsSectionsOrKeys) {
  for (const char16_t* text :
       {u"", u"[Options]\r\n", u"[Other]\r\nMaxRestarts=5\r\n", u"[Options]\r\nHttpListen=\r\nMaxRestarts=\r\n",
        u"[Servers]\r\nRestartAt=05:00\r\n", u"[Serverless]\r\nRestartAt=05:00\r\n", u"[Updatez]\r\nUpdateCommand=x\r\n"}) {
    const Parsed p = Parse(text);
    EXPECT_FALSE(p.ini.observe.Any()) << Utf16ToUtf8(text);
    EXPECT_FALSE(p.ini.restarts.Any()) << Utf16ToUtf8(text);
    EXPECT_FALSE(p.ini.updates.Any()) << Utf16ToUtf8(text);
    EXPECT_TRUE(p.problems.empty()) << Utf16ToUtf8(text);
  }
}

// Each case alone in its section: exactly its line, and every option it names stays off. The
// lines are the log's, so they are compared whole.
TEST(KespIni, EachUnusableLineGivesItsOneProblemAndLeavesItsOptionOff) {
  struct Case {
    std::u16string text;
    std::string problem;
  };
  const std::u16string long511 = std::u16string(kProfileValueMax + 1, u'1');
  std::u16string manyTimes = u"1:00";
  for (int h = 2; h <= 25; ++h) manyTimes.append(u",").append(ToU16(h % 24)).append(u":15");
  const Case cases[] = {
      // Unknown keys, also a key of another section, and unusable values, in each section.
      {u"[Options]\nColour=blue", "unknown key \"Colour\" in [Options], ignored"},
      {u"[Options]\nRestartAt=05:00", "unknown key \"RestartAt\" in [Options], ignored"},
      {u"[Restarts]\nMaxRestarts=5", "unknown key \"MaxRestarts\" in [Restarts], ignored"},
      {u"[Server Alpha]\nColour", "unknown key \"Colour\" in [Server \"Alpha\"], ignored"},
      {u"[Options]\nHttpListen=8427",
       "HttpListen=\"8427\" is not address:port (such as 127.0.0.1:8427); the HTTP endpoint is off"},
      {u"[Options]\nHttpListen=256.0.0.1:80",
       "HttpListen=\"256.0.0.1:80\" is not address:port (such as 127.0.0.1:8427); the HTTP endpoint is off"},
      {u"[Options]\nHttpListen=127.0.0.1:65536",
       "HttpListen=\"127.0.0.1:65536\" is not address:port (such as 127.0.0.1:8427); the HTTP endpoint is off"},
      {u"[Options]\nHttpListen=0.0.0.0:8427",
       "HttpListen=\"0.0.0.0:8427\" is not a loopback address and no HttpToken is set; the HTTP endpoint is off"},
      {u"[Options]\nHttpToken=has blank inside 0123456789",
       "HttpToken must be at least 16 printable characters without blanks; no token, so no HTTP commands"},
      {u"[Options]\nWebhookUrl=ftp://example.invalid/",
       "WebhookUrl=\"ftp://example.invalid/\" is not an http:// or https:// URL; no alerts"},
      {u"[Options]\nWebhookFormat=xml", "WebhookFormat=\"xml\" is not discord, slack or json; no alerts"},
      {u"[Options]\nAlertHost=" + std::u16string(101, u'h'),
       "AlertHost=\"" + std::string(80, 'h') +
           "...\" is longer than 100 bytes or holds control characters; alerts name the host by its own name"},
      {u"[Restarts]\nRestartAt=05:00,24:00",
       "RestartAt=\"05:00,24:00\" in [Restarts] is not a list of up to 24 times HH:MM; it plans no restarts"},
      {u"[Restarts]\nRestartAt=005:00",
       "RestartAt=\"005:00\" in [Restarts] is not a list of up to 24 times HH:MM; it plans no restarts"},
      {u"[Restarts]\nRestartAt=" + manyTimes, "RestartAt=\"" + Utf16ToUtf8(manyTimes).substr(0, 80) +
                                                  "...\" in [Restarts] is not a list of up to 24 times HH:MM; it plans no restarts"},
      {u"[Restarts]\nRestartAt=05:00\nRestartEveryHours=6",
       "RestartAt and RestartEveryHours are both given in [Restarts]; only one may be, so it plans no restarts"},
      {u"[Restarts]\nRestartWarnMinutes=11,10,9,8,7,6,5,4,3,2,1",
       "RestartWarnMinutes=\"11,10,9,8,7,6,5,4,3,2,1\" in [Restarts] is not a list of up to 10 numbers of minutes "
       "from 1 to 1439; no warnings"},
      {u"[Restarts]\nRestartWarnText=Restart \"now\"",
       "RestartWarnText=\"Restart \"now\"\" in [Restarts] is longer than 200 bytes or holds a double quote or a "
       "control character; the shipped text is used"},
      {u"[Restarts]\nStopCommand=" + std::u16string(kMaxStopCommandBytes + 1, u'q'),
       "StopCommand=\"" + std::string(80, 'q') +
           "...\" in [Restarts] is longer than 255 bytes or holds a control character; processes are ended without it"},
      {u"[Restarts]\nRconProtocol=rcon",
       "RconProtocol=\"rcon\" in [Restarts] is not source or goldsrc; the server's query answer decides"},
      // A password is never written in the log.
      {u"[Restarts]\nRconPassword=secret\u0001",
       "RconPassword in [Restarts] is longer than 256 bytes or holds a control character; no password"},
      {u"[Server Alpha]\nRestartAt=5 pm",
       "RestartAt=\"5 pm\" in [Server \"Alpha\"] is not a list of up to 24 times HH:MM; it plans no restarts"},
      // Numbers: digits alone, within the key's bounds.
      {u"[Options]\nMaxRestarts=+5", "MaxRestarts=\"+5\" is not a number from 0 to 1000; no crash-loop guard"},
      {u"[Options]\nMaxRestarts=1001", "MaxRestarts=\"1001\" is not a number from 0 to 1000; no crash-loop guard"},
      {u"[Options]\nMaxRestarts=99999999999999999999",
       "MaxRestarts=\"99999999999999999999\" is not a number from 0 to 1000; no crash-loop guard"},
      {u"[Options]\nLogCommands=2", "LogCommands=\"2\" is not 0 or 1; the operators' commands are not logged"},
      {u"[Options]\nRestartWindowMinutes=0",
       "RestartWindowMinutes=\"0\" is not a number of minutes from 1 to 10080; no crash-loop guard"},
      {u"[Restarts]\nRestartEveryHours=169",
       "RestartEveryHours=\"169\" in [Restarts] is not a number of hours from 0 to 168; it plans no restarts"},
      {u"[Restarts]\nRestartWarnMinutes=0,5", "RestartWarnMinutes=\"0,5\" in [Restarts] is not a list of up to 10 "
                                              "numbers of minutes from 1 to 1439; no warnings"},
      {u"[Restarts]\nRestartWhenEmptyMinutes=1440", "RestartWhenEmptyMinutes=\"1440\" in [Restarts] is not a number "
                                                    "of minutes from 0 to 1439; restarted at the planned time only"},
      {u"[Server Alpha]\nStopSeconds=601",
       "StopSeconds=\"601\" in [Server \"Alpha\"] is not a number of seconds from 1 to 600; 20 seconds are given"},
      // Comments: after a blank only; a ';' within a value is part of it.
      {u"[Options]\nMaxRestarts=5;5", "MaxRestarts=\"5;5\" is not a number from 0 to 1000; no crash-loop guard"},
      {u"[Restarts]\nStopSeconds= 0\t; none",
       "StopSeconds=\"0\" in [Restarts] is not a number of seconds from 1 to 600; 20 seconds are given"},
      // Lengths: longer than the reader holds, refused rather than cut, whatever the key.
      {u"[Options]\nHttpToken=" + std::u16string(kProfileValueMax + 1, u'x'),
       "HttpToken is longer than the 511 characters a value may have; it is not used, so its option stays off"},
      {u"[Options]\nMaxRestarts=" + long511,
       "MaxRestarts is longer than the 511 characters a value may have; it is not used, so its option stays off"},
      {u"[Server Alpha]\nRestartAt=" + long511, "RestartAt in [Server \"Alpha\"] is longer than the 511 characters a "
                                                "value may have; it is not used, so its option stays off"},
      // Quoting: control characters (C0, DEL, C1) as '?', other characters kept, never half of one.
      {u"[Options]\nAlertHost=gs\u0001eu\u007f\u0085",
       "AlertHost=\"gs?eu??\" is longer than 100 bytes or holds control characters; alerts name the host by its "
       "own name"},
      {u"[Options]\nW\u00e9bhook=1", "unknown key \"W\u00e9bhook\" in [Options], ignored"},
      {u"[Server \u670d\u52a1\u5668]\nColour=1", "unknown key \"Colour\" in [Server \"\u670d\u52a1\u5668\"], ignored"},
      {u"[Restarts]\nRconProtocol=" + std::u16string(27, u'\u670d'),
       "RconProtocol=\"" + Utf16ToUtf8(std::u16string(26, u'\u670d')) +
           "...\" in [Restarts] is not source or goldsrc; the server's query answer decides"},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(c.text + u"\r\n");
    const std::string what = Utf16ToUtf8(c.text).substr(0, 60);
    EXPECT_EQ(p.problems, std::vector<std::string>{c.problem}) << what;
    EXPECT_EQ(p.ini.observe, ObserveOptions{}) << what;
    if (p.ini.restarts.all) {
      EXPECT_EQ(p.ini.restarts.all->values, RestartSettings{}) << what;
    }
    for (const RestartSection& s : p.ini.restarts.servers) EXPECT_EQ(s.values, RestartSettings{}) << what;
  }
}

// The keys one option needs: a window refused leaves no guard (one too long to read is as if
// not given), a format refused no alerts, an address other than loopback needs the token.
TEST(KespIni, AnOptionIsOffWhenAKeyItNeedsIsRefused) {
  Parsed p = Parse(u"[Options]\nMaxRestarts=3\nRestartWindowMinutes=x\n");
  EXPECT_EQ(p.ini.observe.maxRestarts, 0);
  EXPECT_EQ(p.problems.size(), 1u);
  p = Parse(u"[Options]\nMaxRestarts=3\nRestartWindowMinutes=" + std::u16string(kProfileValueMax + 1, u'1') + u"\n");
  EXPECT_EQ(p.ini.observe.maxRestarts, 3);
  EXPECT_EQ(p.ini.observe.restartWindowMinutes, 10);
  p = Parse(u"[Options]\nWebhookUrl=https://example.invalid/hook\nWebhookFormat=xml\n");
  EXPECT_TRUE(p.ini.observe.webhookUrl.empty());
  p = Parse(u"[Options]\nHttpListen=0.0.0.0:9000\nHttpToken=short\n");
  EXPECT_FALSE(p.ini.observe.httpListen);
  EXPECT_EQ(p.problems.size(), 2u);
  for (const char16_t* loopback : {u"localhost:1", u"127.9.9.9:1"}) {
    p = Parse(u"[Options]\nHttpListen=" + std::u16string(loopback));
    EXPECT_TRUE(p.ini.observe.httpListen) << Utf16ToUtf8(loopback);
  }
}

// [Options] is read first, then the restart sections in file order, each once: a second one of
// a name, a [Server] without a name and the sections past the 256th are said and not read.
TEST(KespIni, EachSectionIsReadOnce) {
  const Parsed p = Parse(
      u"[Server Alpha]\nStopSeconds=5\n[Server ALPHA]\nStopSeconds=6\n[Server Beta]\nStopSeconds=7\n"
      u"[Server Gamma]\nStopSeconds=8\n[Server ]\nStopSeconds=9\n[Restarts]\nStopSeconds=10\n[restarts]\n"
      u"[Options]\nColour=1\n");
  EXPECT_EQ(p.problems, (std::vector<std::string>{"unknown key \"Colour\" in [Options], ignored",
                                                  "a second [Server \"ALPHA\"] section is not read",
                                                  "[Server] names no server; it is not read",
                                                  "a second [Restarts] section is not read"}));
  const RestartAssignment a = AssignRestartSettings(p.ini.restarts, {u"alpha", u" Alpha", u"Beta", u"Delta"});
  std::vector<int> seconds;
  for (const RestartSettings& s : a.settings) seconds.push_back(s.stopSeconds);
  EXPECT_EQ(seconds, (std::vector<int>{10, 10, 7, 10}));  // a name two servers share picks neither
  EXPECT_EQ(a.unmatched, std::vector<std::u16string>{u"Gamma"});

  std::u16string many;
  for (int n = 0; n < 300; ++n) many.append(u"[Server s").append(ToU16(n)).append(u"]\nStopSeconds=5\n");
  const Parsed bounded = Parse(many);
  EXPECT_EQ(bounded.ini.restarts.servers.size(), 256u);
  EXPECT_EQ(bounded.problems, std::vector<std::string>{
                                  "more than 256 [Server <name>] sections; those after the 256th are not read"});
}

// The file as the profile reader reads it: UTF-16LE with its mark, UTF-8 with or without it;
// an absent file is no file at all, and one larger than the reader reads is not read in part.
TEST(KespIni, TheFileIsReadInEachEncodingAndOnlyWhole) {
  testing::TempDir dir;
  const std::u16string text = u"[Options]\r\nMaxRestarts=4\r\n[Restarts]\r\nStopSeconds=9\r\n";
  const std::string utf8 = Utf16ToUtf8(text);
  std::vector<std::uint8_t> marked{0xEF, 0xBB, 0xBF};
  marked.insert(marked.end(), utf8.begin(), utf8.end());
  for (const auto& bytes : {testing::Utf16File(text), marked, std::vector<std::uint8_t>(utf8.begin(), utf8.end())}) {
    testing::WriteBytes(dir.File(u"kesp.ini"), bytes);
    std::vector<std::string> problems;
    const auto ini = LoadKespIni(dir.File(u"kesp.ini"), problems);
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini->observe.maxRestarts, 4);
    EXPECT_EQ(ini->restarts.all->values.stopSeconds, 9);
  }
  std::vector<std::string> problems;
  EXPECT_FALSE(LoadKespIni(dir.File(u"absent.ini"), problems));
  EXPECT_TRUE(problems.empty());

  const std::string large = utf8 + std::string(kOptionsFileLimit, ';');
  testing::WriteBytes(dir.File(u"kesp.ini"), std::vector<std::uint8_t>(large.begin(), large.end()));
  const auto ini = LoadKespIni(dir.File(u"kesp.ini"), problems);
  ASSERT_TRUE(ini);
  EXPECT_FALSE(ini->observe.Any());
  EXPECT_FALSE(ini->restarts.Any());
  EXPECT_EQ(problems, std::vector<std::string>{"the file is larger than 64 KiB; it is not read, so every option stays off"});
}

// A planned restart and a game update are logged with texts of the language files.
TEST(KespIni, APlannedRestartAndAGameUpdateHaveTheirTextsInEveryLanguage) {
  const std::tuple<const char*, const char16_t*, std::u16string> files[] = {
      {"English.ini", u"PlannedRestart", u"Restarting. Reason: Planned restart."},
      {"SimplifiedChinese.ini", u"PlannedRestart", u"正在重启。原因：计划重启。"},
      {"English.ini", u"GameUpdate", u"Restarting. Reason: Game update."},
      {"SimplifiedChinese.ini", u"GameUpdate", u"正在重启。原因：游戏更新。"}};
  for (const auto& [file, key, text] : files) {
    const auto bytes = testing::ReadBytes(Utf8ToUtf16(std::string(TERVANE_SOURCE_DIR) + "/Languages/" + file));
    EXPECT_EQ(FindProfileValue(DecodeProfileText(bytes), u"KESP", key), text) << file;
  }
}

// [Updates] for every server, a server's own section over it key by key; a section giving no
// update key gives no update section, and its restart keys stay its restart section's.
TEST(KespIni, UpdateKeysSetEveryServerAndAServerSectionOverridesThem) {
  const Parsed p = Parse(
      u"[Updates]\nUpdateCommand=steamcmd +force_install_dir \"{folder}\" +app_update {appid} +quit ; SteamCMD\n"
      u"UpdateNotice=first notice\nupdatenotice = second notice\nUpdateCheckUrl=https://check.invalid/?v={version}\n"
      u"UpdateCheckMinutes=1440\nUpdateCheckCommand=check.sh {appid}\nAppId=90\nUpdateSeconds=10\n"
      u"UpdateWithinMinutes=0\nUpdateRetryMinutes=10080\n"
      u"[Server Alpha]\nUpdateCommand=\nUpdateNotice=\n[Server Beta]\nUpdateWithinMinutes=1439\nRestartAt=05:00\n"
      u"[Server Gamma]\nRestartAt=06:00\n");
  EXPECT_TRUE(p.problems.empty()) << p.problems.front();
  UpdateSettings all;
  all.command = "steamcmd +force_install_dir \"{folder}\" +app_update {appid} +quit";
  all.notices = {"first notice", "second notice"};
  all.checkUrl = "https://check.invalid/?v={version}";
  all.checkMinutes = 1440;
  all.checkCommand = "check.sh {appid}";
  all.appId = 90;
  all.seconds = 10;
  all.withinMinutes = 0;
  all.retryMinutes = 10080;
  UpdateSettings alpha = all;
  alpha.command.clear();
  alpha.notices.clear();
  UpdateSettings beta = all;
  beta.withinMinutes = 1439;
  EXPECT_EQ(AssignUpdateSettings(p.ini.updates, {u"alpha", u"Beta", u"Gamma", u"Delta"}),
            (std::vector<UpdateSettings>{alpha, beta, all, all}));
  EXPECT_FALSE(alpha.On());
  ASSERT_EQ(p.ini.updates.servers.size(), 2u) << "Gamma gives no update key";
  ASSERT_EQ(p.ini.restarts.servers.size(), 3u);
  EXPECT_EQ(p.ini.restarts.servers[1].given, unsigned{kRestartKeySchedule});
  EXPECT_EQ(p.ini.restarts.servers[0].given, 0u);
  // A name two servers share gives neither its section.
  EXPECT_EQ(AssignUpdateSettings(p.ini.updates, {u"Alpha", u"ALPHA"}), (std::vector<UpdateSettings>{all, all}));
}

TEST(KespIni, EachUnusableUpdateLineGivesItsOneProblemAndLeavesItsDefault) {
  struct Case {
    std::u16string text;
    std::string problem;
  };
  const Case cases[] = {
      {u"[Updates]\nColour=1", "unknown key \"Colour\" in [Updates], ignored"},
      {u"[Updates]\nStopCommand=quit", "unknown key \"StopCommand\" in [Updates], ignored"},
      {u"[Restarts]\nUpdateCommand=x", "unknown key \"UpdateCommand\" in [Restarts], ignored"},
      {u"[Updates]\nUpdateCheckMinutes=0",
       "UpdateCheckMinutes=\"0\" in [Updates] is not a number of minutes from 1 to 1440; checked every 10 minutes"},
      {u"[Updates]\nUpdateSeconds=9",
       "UpdateSeconds=\"9\" in [Updates] is not a number of seconds from 10 to 86400; 900 seconds are given"},
      {u"[Server Alpha]\nUpdateSeconds=86401", "UpdateSeconds=\"86401\" in [Server \"Alpha\"] is not a number of "
                                               "seconds from 10 to 86400; 900 seconds are given"},
      {u"[Updates]\nUpdateWithinMinutes=1440",
       "UpdateWithinMinutes=\"1440\" in [Updates] is not a number of minutes from 0 to 1439; made within 30 minutes"},
      {u"[Updates]\nUpdateRetryMinutes=10081",
       "UpdateRetryMinutes=\"10081\" in [Updates] is not a number of minutes from 1 to 10080; 60 minutes are given"},
      {u"[Updates]\nAppId=2147483648", "AppId=\"2147483648\" in [Updates] is not an app id from 1 to 2147483647; "
                                       "the one the server's reply gives is used"},
      {u"[Updates]\nUpdateCheckUrl=ftp://x.invalid/",
       "UpdateCheckUrl=\"ftp://x.invalid/\" in [Updates] is not an http:// or https:// URL; no update check by URL"},
      {u"[Updates]\nUpdateCommand=update\u0001now",
       "UpdateCommand=\"update?now\" in [Updates] holds a control character; no game updates"},
      {u"[Updates]\n[Updates]\nUpdateCommand=x", "a second [Updates] section is not read"},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(c.text + u"\r\n");
    const std::string what = Utf16ToUtf8(c.text);
    EXPECT_EQ(p.problems, std::vector<std::string>{c.problem}) << what;
    for (const char16_t* name : {u"Alpha", u"Beta"})
      EXPECT_EQ(AssignUpdateSettings(p.ini.updates, {name}).front(), UpdateSettings{}) << what;
  }
}

// The notices are the lines given (up to 16), replacing the engines' own; given once empty, or
// only refused, none.
TEST(KespIni, UpdateNoticeLinesReplaceTheEnginesOwn) {
  std::u16string many;
  std::vector<std::string> sixteen;
  for (int k = 1; k <= 17; ++k) {
    many += u"UpdateNotice=notice " + ToU16(k) + u"\n";
    if (k <= 16) sixteen.push_back("notice " + std::to_string(k));
  }
  struct Case {
    std::u16string lines;
    std::vector<std::string> notices;
    std::size_t problems;
  };
  const Case cases[] = {
      {u"UpdateSeconds=60\n", DefaultUpdateNotices(), 0},
      {u"UpdateNotice=a\nUpdateNotice=b ; comment\n", {"a", "b"}, 0},
      {u"UpdateNotice=\n", {}, 0},
      {u"UpdateNotice=\nUpdateNotice=a\n", {"a"}, 0},
      {u"UpdateNotice=" + std::u16string(kMaxUpdateNoticeBytes + 1, u'n') + u"\n", {}, 1},
      {u"UpdateNotice=" + std::u16string(kMaxUpdateNoticeBytes + 1, u'n') + u"\nUpdateNotice=b\n", {"b"}, 1},
      {many, sixteen, 1},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(u"[Updates]\n" + c.lines);
    EXPECT_EQ(AssignUpdateSettings(p.ini.updates, {u"Alpha"}).front().notices, c.notices) << Utf16ToUtf8(c.lines);
    EXPECT_EQ(p.problems.size(), c.problems) << Utf16ToUtf8(c.lines);
  }
  EXPECT_EQ(Parse(u"[Updates]\n" + many).problems.front(),
            "more than 16 UpdateNotice lines in [Updates]; those after the 16th are not used");
}

}  // namespace
}  // namespace tervane
