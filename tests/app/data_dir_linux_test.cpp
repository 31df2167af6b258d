// Where the Linux kesp keeps its files: the choice from the option, the environment, the
// program's folder and the user. (The folder made owner-only: kesp_linux_test.cpp.)
#include <gtest/gtest.h>

#include <sstream>

#include "app/command_line_linux.h"
#include "app/data_dir_linux.h"

namespace tervane {
namespace {

TEST(DataDir, ChosenByOptionEnvironmentProgramFolderOrUser) {
  DataDirInputs user;
  user.programDir = "/usr/bin/";
  user.xdgStateHome = "/home/u/.st";
  user.home = "/home/u";
  auto with = [&user](auto change) {
    DataDirInputs in = user;
    change(in);
    return in;
  };
  const struct {
    DataDirInputs in;
    const char* folder;
  } cases[] = {
      {with([](auto& i) { i.dirOption = "/srv/a", i.environment = "/srv/b"; }), "/srv/a/"},
      {with([](auto& i) { i.environment = "/srv/b/"; }), "/srv/b/"},
      {with([](auto& i) { i.programDir = "/opt/kesp/"; }), "/opt/kesp/"},
      {with([](auto& i) { i.programDir = "/opt/kesp/", i.root = true; }), "/opt/kesp/"},
      {user, "/home/u/.st/tervane/"},
      {with([](auto& i) { i.programDir = "/usr/local/bin"; }), "/home/u/.st/tervane/"},
      {with([](auto& i) { i.programDir = "/opt/kesp/", i.programDirWritable = false; }), "/home/u/.st/tervane/"},
      {with([](auto& i) { i.xdgStateHome = "relative"; }), "/home/u/.local/state/tervane/"},
      {with([](auto& i) { i.root = true; }), "/var/lib/tervane/"},
      {with([](auto& i) { i.programDir = "/usr/bin/x/"; }), "/usr/bin/x/"},
  };
  for (const auto& c : cases) EXPECT_EQ(ChooseDataDir(c.in).folder, c.folder) << c.in.programDir;
  const DataDirChoice none = ChooseDataDir(with([](auto& i) { i.xdgStateHome = i.home = ""; }));
  EXPECT_EQ(none.folder, "");
  EXPECT_NE(none.error.find("--dir"), std::string::npos) << none.error;
}

TEST(DataDir, TheDirOptionComesBeforeTheCommandWithAFolder) {
  std::ostringstream out, err;
  ParsedCommand parsed;
  const std::vector<std::string> args{"--dir=/d", "status"};
  EXPECT_EQ(ParseCommandLine(args, parsed, out, err), kRunCommand);
  EXPECT_EQ(parsed.dir, "/d");
  EXPECT_EQ(CommandWords(args), (std::vector<std::string>{"status"})) << "what the running kesp is sent";
  EXPECT_EQ(CommandWords({"--dir", "/e", "pause", "1"}), (std::vector<std::string>{"pause", "1"}));
  for (std::vector<std::string> bad : {std::vector<std::string>{"--dir"}, {"--dir", ""}, {"--dir="}, {"status", "--dir", "/e"}})
    EXPECT_EQ(ParseCommandLine(bad, parsed, out, err), kExitUsage) << bad.back();
}

}  // namespace
}  // namespace tervane
