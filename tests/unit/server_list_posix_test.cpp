#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/server_list.h"
#include "test_support.h"

namespace tervane {
namespace {

// A save whose process dies between writing the new list and putting it in place leaves
// the old list intact; the next save replaces it.
TEST(ServerListFilePosix, ProcessKilledDuringSaveLeavesOldList) {
  testing::TempDir dir;
  const Path path = dir.File(u"serverlist.dat");
  ServerList one;
  one.push_back(std::make_unique<Server>(NewServerEntry()));
  SaveServerList(one, BossKeyOptions{1, 2, 3}, path);
  const auto old = testing::ReadBytes(path);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ServerList three;
    for (int i = 0; i < 3; ++i) three.push_back(std::make_unique<Server>(NewServerEntry()));
    SaveServerList(three, {}, path, [] {
      raise(SIGKILL);
      return true;
    });
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(testing::ReadBytes(path), old);
}

}  // namespace
}  // namespace tervane
