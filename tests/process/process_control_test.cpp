// Process control on the running system, with real processes of the stand-in program. What is
// common to Windows and Linux is here; each system's own facilities have a file of their own.
#include <gtest/gtest.h>

#include "process/params.h"
#include "process/server_windows.h"
#include "process_fixture.h"

namespace tervane::testing {
namespace {

TEST(SplitParameters, BlanksSeparateQuotesGroup) {
  using V = std::vector<std::u16string>;
  EXPECT_EQ(SplitParameters(u""), V{});
  EXPECT_EQ(SplitParameters(u"   "), V{});
  EXPECT_EQ(SplitParameters(u"-game cstrike +map de_dust2"),
            (V{u"-game", u"cstrike", u"+map", u"de_dust2"}));
  EXPECT_EQ(SplitParameters(u"  a   b  "), (V{u"a", u"b"})) << "runs of blanks are one gap";
  EXPECT_EQ(SplitParameters(u"+hostname \"My Server\" -port 27015"),
            (V{u"+hostname", u"My Server", u"-port", u"27015"}));
  EXPECT_EQ(SplitParameters(u"a \"\" b"), (V{u"a", u"", u"b"})) << "a pair of quotes is an argument";
  EXPECT_EQ(SplitParameters(u"d\"e f\"g"), (V{u"de fg"})) << "quotes group inside a word";
  EXPECT_EQ(SplitParameters(u"a \"b c"), (V{u"a", u"b c"})) << "an open quote runs to the end";
  EXPECT_EQ(SplitParameters(u"\\\"x\\\""), (V{u"\\x\\"})) << "no escapes";
}

TEST(ServerOutputFile, NamedAfterTheWholeExecutablePath) {
  EXPECT_EQ(ServerOutputFile(u"/var/log/tervane/", u"/srv/cs1/hlds_linux"),
            u"/var/log/tervane/srv-cs1-hlds_linux.out");
  EXPECT_NE(ServerOutputFile(u"/o/", u"/srv/cs1/hlds_linux"),
            ServerOutputFile(u"/o/", u"/srv/cs2/hlds_linux"))
      << "servers of one game share the executable's name";
  EXPECT_EQ(ServerOutputFile(u"/o/", u"hlds_linux"), u"/o/%%hlds_linux.out");
  EXPECT_EQ(ServerOutputFile(u"/o/", u""), u"/o/%%.out");

  // A path too long for one file name keeps its end and a hash of the whole.
  const std::u16string deep(300, u'x');
  const Path one = ServerOutputFile(u"/o/", u"/a" + deep + u"/hlds_linux");
  const Path two = ServerOutputFile(u"/o/", u"/b" + deep + u"/hlds_linux");
  EXPECT_NE(one, two);
  for (const Path& path : {one, two}) {
    const Path name = path.substr(3);
    EXPECT_LE(Utf16ToUtf8(name).size(), 255u);
    EXPECT_EQ(name.find(u'/'), Path::npos);
    EXPECT_TRUE(name.ends_with(u"-hlds_linux.out"));
  }
}

TEST(ServerOutputFile, DifferentPathsNeverShareAFile) {
  const std::vector<std::pair<Path, Path>> pairs = {
      {u"/srv/a_b/x", u"/srv/a/b_x"}, {u"/srv/a-b/x", u"/srv/a/b/x"}, {u"/srv/a%2Db/x", u"/srv/a-b/x"},
      {u"/srv/x", u"srv/x"},          {u"/srv/a\\b", u"/srv/a/b"},   {u"/srv/a:b", u"/srv/a%3Ab"},
      {u"/srv/a\nb", u"/srv/a/b"},   {u"%%x", u"/%%x"},               {u"/a/b/", u"/a/b-"},
  };
  for (const auto& [a, b] : pairs) {
    const Path nameA = ServerOutputFile(u"/o/", a), nameB = ServerOutputFile(u"/o/", b);
    EXPECT_NE(nameA, nameB) << Utf16ToUtf8(a) << " and " << Utf16ToUtf8(b);
    EXPECT_EQ(nameA.substr(3).find(u'/'), Path::npos);
  }
}

TEST_F(ProcessControlTest, IsSameFileByIdentityNotByPath) {
  const Path original = PlaceCopy(u"a");
  const Path link = PlaceLink(original, u"b");
  const Path renamed = PlaceLink(original, u"c", u"other");
  const Path copy = PlaceCopy(u"d");
  EXPECT_TRUE(control_->IsSameFile(original, original));
  EXPECT_TRUE(control_->IsSameFile(original, link));
  EXPECT_TRUE(control_->IsSameFile(renamed, original));
  EXPECT_FALSE(control_->IsSameFile(original, copy)) << "equal content is not the same file";
  const Path missing = temp_.File(u"missing");
  EXPECT_FALSE(control_->IsSameFile(missing, missing));
  EXPECT_FALSE(control_->IsSameFile(original, missing));
  EXPECT_FALSE(control_->IsSameFile(missing, original));
  const Path folder = Folder(u"a");
  EXPECT_FALSE(control_->IsSameFile(folder, folder)) << "a folder is never the same file";
}

TEST_F(ProcessControlTest, FindsAProcessStartedByHand) {
  const Path server = PlaceCopy(u"srv");
  EXPECT_FALSE(control_->IsServerRunning(server));
  ASSERT_GT(ByHand(server, {"--life", "60"}), 0);
  EXPECT_TRUE(WaitFor([&] { return control_->IsServerRunning(server); }));
  control_->TerminateServerProcess(server);
  EXPECT_TRUE(WaitFor([&] { return !control_->IsServerRunning(server); }));
}

TEST_F(ProcessControlTest, RecognisedByFileIdentityAfterTheNameTest) {
  const Path server = PlaceCopy(u"a");
  const Path sameNameLink = PlaceLink(server, u"b");
  const Path otherNameLink = PlaceLink(server, u"c", u"other" + SleeperFileName());
  const Path sameNameCopy = PlaceCopy(u"d");

  // A link with the same name in another folder is the server.
  ASSERT_GT(ByHand(sameNameLink, {"--life", "60"}), 0);
  EXPECT_TRUE(WaitFor([&] { return control_->IsServerRunning(server); }));
  EXPECT_TRUE(control_->IsServerRunning(sameNameLink));
  control_->TerminateServerProcess(server);
  ASSERT_TRUE(WaitFor([&] { return ProcessesOf(server).empty(); }));

  // A link under another name is not seen: the name test comes first. (Wine names a process
  // after whichever link of its file was loaded first, so the links do not run together here.)
  ASSERT_GT(ByHand(otherNameLink, {"--life", "60"}), 0);
  ASSERT_EQ(WaitForProcesses(server, 1).size(), 1u);
  EXPECT_FALSE(control_->IsServerRunning(server));

  // A copy with the same name is another file.
  ASSERT_GT(ByHand(sameNameCopy, {"--life", "60"}), 0);
  ASSERT_EQ(WaitForProcesses(sameNameCopy, 1).size(), 1u);
  EXPECT_FALSE(control_->IsServerRunning(server));
}

TEST_F(ProcessControlTest, OfTwoProcessesOfOneFileOnlyTheFirstIsEnded) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_GT(ByHand(server, {"--life", "60"}), 0);
  ASSERT_GT(ByHand(server, {"--life", "60"}), 0);
  const std::vector<ProcessId> both = WaitForProcesses(server, 2);
  ASSERT_EQ(both.size(), 2u);

  control_->TerminateServerProcess(server);
  EXPECT_TRUE(WaitFor([&] { return !IsProcessAlive(both[0]); }));
  EXPECT_TRUE(IsProcessAlive(both[1])) << "only the first in list order is ended";
  EXPECT_TRUE(control_->IsServerRunning(server));

  control_->TerminateServerProcess(server);
  EXPECT_TRUE(WaitFor([&] { return !IsProcessAlive(both[1]); }));
  EXPECT_TRUE(WaitFor([&] { return !control_->IsServerRunning(server); }));
}

TEST_F(ProcessControlTest, AMissingExecutableIsNotRunningAndDoesNotStart) {
  const Path missing = Folder(u"srv") + u"missing" + SleeperFileName();
  EXPECT_FALSE(control_->IsServerRunning(missing));
  EXPECT_EQ(control_->StartServerProcess(missing, u"--life 60", 0, true, 1).Error(), 2u)
      << "the system's code for a file that is not there";
  EXPECT_FALSE(control_->IsServerRunning(missing));
  // The operations on a process that is not there do nothing.
  control_->TerminateServerProcess(missing);
  control_->SetServerPriority(missing, 1);
  control_->SetServerAffinity(missing, 1);
  if (IServerWindows* windows = control_->Windows()) {
    EXPECT_EQ(windows->FindServerConsoleWindow(missing), 0u);
  }

  Path folder = Folder(u"srv");
  folder.pop_back();
  EXPECT_NE(control_->StartServerProcess(folder, u"", 0, true, 1).Error(), 0u) << "a folder";
  EXPECT_NE(control_->StartServerProcess(u"", u"", 0, true, 1).Error(), 0u) << "no path at all";
}

TEST_F(ProcessControlTest, StartsInTheExecutablesFolderWithTheParametersSplit) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_EQ(control_->StartServerProcess(
                server, u"--report report.txt --life 60 a \"b c\" \"\" d\"e f\"g", 0, true, 1).Error(),
            0u);
  const auto report = WaitForReport(Folder(u"srv") + u"report.txt");
  ASSERT_TRUE(report.has_value()) << "written relative to the working folder";
  Path folder = Folder(u"srv");
  folder.pop_back();
  EXPECT_TRUE(EqualsIgnoreCaseAscii(Utf8ToUtf16(report->cwd), folder)) << report->cwd;
  EXPECT_EQ(report->args, (std::vector<std::string>{"--report", "report.txt", "--life", "60", "a",
                                                    "b c", "", "de fg"}));
  EXPECT_TRUE(control_->IsServerRunning(server));
}

}  // namespace
}  // namespace tervane::testing
