// The descriptors kept for the supervision, and the doors' share of the rest.
#include <gtest/gtest.h>

#include <limits>

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

}  // namespace
}  // namespace tervane
