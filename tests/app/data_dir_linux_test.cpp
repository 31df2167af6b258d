// Where the Linux kesp keeps its files: the choice from the option, the environment, the
// program's folder and the user, and the folder made owner-only when it is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "app/data_dir_linux.h"
#include "test_support.h"

namespace tervane {
namespace {

namespace fs = std::filesystem;

TEST(DataDir, ChosenByOptionEnvironmentProgramFolderOrUser) {
  DataDirInputs user;
  user.programDir = "/usr/bin/";
  user.xdgStateHome = "/home/u/.st";
  user.home = "/home/u";
  auto with = [](DataDirInputs in, auto change) {
    change(in);
    return in;
  };
  const struct {
    const char* what;
    DataDirInputs in;
    const char* folder;
  } cases[] = {
      {"--dir first", with(user, [](auto& i) { i.dirOption = "/srv/a"; i.environment = "/srv/b"; }), "/srv/a/"},
      {"then TERVANE_DIR", with(user, [](auto& i) { i.environment = "/srv/b/"; }), "/srv/b/"},
      {"a folder of its own", with(user, [](auto& i) { i.programDir = "/opt/kesp/"; }), "/opt/kesp/"},
      {"a system folder, as a user", user, "/home/u/.st/tervane/"},
      {"/usr/local/bin too", with(user, [](auto& i) { i.programDir = "/usr/local/bin/"; }), "/home/u/.st/tervane/"},
      {"without XDG_STATE_HOME", with(user, [](auto& i) { i.xdgStateHome = ""; }), "/home/u/.local/state/tervane/"},
      {"a relative XDG_STATE_HOME is ignored", with(user, [](auto& i) { i.xdgStateHome = "st"; }),
       "/home/u/.local/state/tervane/"},
      {"a system folder, as root", with(user, [](auto& i) { i.root = true; }), "/var/lib/tervane/"},
      {"a folder it may not write",
       with(user, [](auto& i) { i.programDir = "/opt/kesp/"; i.programDirWritable = false; }),
       "/home/u/.st/tervane/"},
      {"root in a folder of its own", with(user, [](auto& i) { i.programDir = "/opt/kesp/"; i.root = true; }),
       "/opt/kesp/"},
  };
  for (const auto& c : cases) {
    const DataDirChoice choice = ChooseDataDir(c.in);
    EXPECT_EQ(choice.folder, c.folder) << c.what;
    EXPECT_EQ(choice.error, "") << c.what;
  }
  const DataDirChoice none = ChooseDataDir(with(user, [](auto& i) { i.xdgStateHome = i.home = ""; }));
  EXPECT_EQ(none.folder, "");
  EXPECT_NE(none.error.find("--dir"), std::string::npos) << none.error;
}

TEST(DataDir, OnlyTheSystemsProgramFoldersCount) {
  for (const char* system : {"/usr/bin", "/usr/bin/", "/usr/local/bin/", "/bin/", "/usr/sbin/"})
    EXPECT_TRUE(IsSystemProgramDir(system)) << system;
  for (const char* own : {"/usr/bin/x/", "/usr/lib/", "/opt/bin/", "/", "bin/", "/usr/bin2/"})
    EXPECT_FALSE(IsSystemProgramDir(own)) << own;
}

TEST(DataDir, TheDirOptionComesBeforeTheCommand) {
  const struct {
    std::vector<std::string> args, rest;
    std::string dir;
    bool ok;
  } cases[] = {
      {{"--dir", "/d", "status"}, {"status"}, "/d", true},
      {{"--dir=/d", "list", "--json"}, {"list", "--json"}, "/d", true},
      {{"status", "--dir", "/d"}, {"status", "--dir", "/d"}, "", true},
      {{}, {}, "", true},
      {{"--dir"}, {"--dir"}, "", false},
      {{"--dir", ""}, {"--dir", ""}, "", false},
      {{"--dir=", "list"}, {"list"}, "", false},
  };
  for (auto c : cases) {
    std::string dir, error;
    EXPECT_EQ(TakeDirOption(c.args, dir, error), c.ok) << error;
    EXPECT_EQ(error.empty(), c.ok);
    EXPECT_EQ(dir, c.dir);
    if (c.ok) {
      EXPECT_EQ(c.args, c.rest);
    }
  }
}

TEST(DataDir, AMissingFolderIsMadeOwnerOnlyAndAnExistingOneIsLeftAsItIs) {
  testing::TempDir dir;
  const fs::path made = dir.path() / "state" / "tervane";
  EXPECT_EQ(PrepareDataDir(made.string() + "/"), "");
  for (const fs::path& p : {made, made.parent_path()})
    EXPECT_EQ(fs::status(p).permissions() & fs::perms::all, fs::perms::owner_all) << p;

  fs::permissions(made, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_EQ(PrepareDataDir(made.string()), "");
  EXPECT_EQ(fs::status(made).permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);

  std::ofstream(dir.path() / "file") << "x";
  EXPECT_NE(PrepareDataDir((dir.path() / "file").string()).find("is not a folder"), std::string::npos);
  EXPECT_NE(PrepareDataDir((dir.path() / "file" / "sub").string()).find("cannot create the data folder"),
            std::string::npos);
}

}  // namespace
}  // namespace tervane
