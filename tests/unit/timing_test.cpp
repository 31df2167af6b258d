#include <gtest/gtest.h>

#include "app/timing.h"

namespace tervane {
namespace {

TEST(Timing, ShippedUnlessTheTestSettingShortensTheCycle) {
  struct Case {
    bool asService;
    std::optional<std::string_view> setting;
    unsigned check, cycle;
  } cases[] = {
      {false, std::nullopt, 500, 3500}, {false, "", 500, 3500},    {false, "fast", 500, 3500},
      {false, "79", 500, 3500},         {false, "-800", 500, 3500}, {false, "80", 10, 70},
      {false, "800", 100, 700},         {false, "4000", 500, 3500}, {true, "800", 500, 3500},
      {true, std::nullopt, 500, 3500},
  };
  for (const Case& c : cases) {
    const SupervisionTiming t = TimingForRun(c.asService, c.setting);
    const std::string what = std::string(c.asService ? "service, " : "") + std::string(c.setting.value_or("(none)"));
    EXPECT_EQ(t.checkDelayMs, c.check) << what;
    EXPECT_EQ(t.cycleDelayMs, c.cycle) << what;
    EXPECT_EQ(t.pauseMs, 10u) << what << ": the pause never changes";
  }
  const SupervisionTiming shipped;
  EXPECT_EQ(shipped.checkDelayMs, 500u);
  EXPECT_EQ(shipped.cycleDelayMs, 3500u);
  EXPECT_EQ(shipped.pauseMs, 10u);
}

}  // namespace
}  // namespace tervane
