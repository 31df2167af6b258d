// The descriptors kept for the supervision, and the doors' share of the rest.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <limits>
#include <vector>

#include "support/descriptors.h"

namespace tervane {
namespace {

TEST(Descriptors, TheDoorsShareWhatTheSupervisionOfItsServersLeaves) {
  const struct {
    std::uint64_t limit, servers, share;
  } cases[] = {
      {64, 20, 12},   // the limit of a shell's ulimit -n 64
      {64, 24, 8},
      {64, 32, 0},    // nothing left to the doors
      {64, 200, 0},
      {40, 2, 6},
      {1024, 100, 892},
      {0, 5000, std::numeric_limits<std::uint64_t>::max()},  // no limit at all
  };
  for (const auto& c : cases)
    EXPECT_EQ(DoorDescriptorShare(c.limit, c.servers), c.share) << c.limit << " " << c.servers;
}

// With a limit of 64 and 24 servers the doors hold 8 descriptors at most; one given back is
// taken again.
TEST(Descriptors, TheDoorsTakeTheirShareAndNoMore) {
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  rlimit low = before;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  SetSupervisedServers(24);
  std::vector<DoorDescriptor> held;
  for (int n = 0; n < 20; ++n)
    if (DoorDescriptor door = TakeDoorDescriptor()) held.push_back(std::move(door));
  EXPECT_EQ(held.size(), 8u);
  held.pop_back();
  EXPECT_TRUE(TakeDoorDescriptor());
  EXPECT_NE(DoorRefusal().find("the limit is 64 open files, and the supervision of 24 server(s) keeps 56"),
            std::string::npos);
  held.clear();
  SetSupervisedServers(0);
  ::setrlimit(RLIMIT_NOFILE, &before);
}

}  // namespace
}  // namespace tervane
