// The owner of descriptors and folder listings: each is closed exactly once, by its last holder.
#include <gtest/gtest.h>

#include <utility>

#include "support/unique_handle_posix.h"

namespace tervane {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueHandle, MovesReleasesAndResets) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    UniqueFd first(fds[0]);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), fds[0]);
    UniqueFd third(fds[1]);
    third = std::move(second);  // closes what third held
    EXPECT_FALSE(IsOpen(fds[1]));
    EXPECT_TRUE(IsOpen(fds[0]));
    EXPECT_EQ(third.get(), fds[0]);
  }
  EXPECT_FALSE(IsOpen(fds[0])) << "closed by the last holder";

  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd kept(fds[0]);
  const int raw = kept.release();
  EXPECT_FALSE(kept);
  kept.reset();
  EXPECT_TRUE(IsOpen(raw)) << "released: no longer the owner's to close";
  kept.reset(raw);
  kept.reset(fds[1]);
  EXPECT_FALSE(IsOpen(raw));
  EXPECT_TRUE(IsOpen(fds[1]));
}

TEST(UniqueHandle, ClosesAFolderListing) {
  int fd = -1;
  {
    const UniqueDir dir(::opendir("/"));
    ASSERT_TRUE(dir);
    fd = ::dirfd(dir.get());
    EXPECT_TRUE(IsOpen(fd));
  }
  EXPECT_FALSE(IsOpen(fd));
}

}  // namespace
}  // namespace tervane
