#include <gtest/gtest.h>

#include <set>

#include "support/message_texts.h"
#include "support/text.h"

namespace tervane {
namespace {

TEST(MessageTexts, TwentyFiveDistinctKeysInTableOrder) {
  const auto& table = MessageTextTable();
  std::set<std::u16string_view> keys;
  for (const auto& def : table) keys.insert(def.key);
  EXPECT_EQ(keys.size(), 25u);
  EXPECT_EQ(table.front().key, u"Restarting");
  EXPECT_EQ(table[static_cast<int>(Msg::NetworkStatusReinit)].key, u"NetworkStatusReinit");
  EXPECT_EQ(table.back().key, u"MsgTextUninstallServiceFailed");
  EXPECT_EQ(table[static_cast<int>(Msg::MsgTextMustSelectCPU)].key, u"MsgTextMustSelectCPU");
}

TEST(MessageTexts, DefaultsFormatAsShown) {
  MessageTexts texts;
  EXPECT_EQ(FormatText(texts.Get(Msg::Lost), {2, 3}), u"Lost (2/3)");
  EXPECT_EQ(FormatText(texts.Get(Msg::Timeout), {20, 20}), u"Timeout (20/20)");
  EXPECT_EQ(FormatText(texts.Get(Msg::NetworkStatusTimeout), {1, 3}),
            u"Network Status Self Test: Timeout(1/3)");
  EXPECT_EQ(FormatText(texts.Get(Msg::MsgTextDelServer), {u"1# Server"}),
            u"Are you sure to Delete \"1# Server\"?");
  EXPECT_EQ(texts.Get(Msg::PausedMonitor), u"Paused Monitor");
  EXPECT_EQ(texts.Get(Msg::MsgTextExeuteFileInList), u"The selected executable file has in the list!");
  EXPECT_EQ(texts.Get(Msg::MsgTextRegisterBossKeyFailed), u"Register Boss Key Failed!!!");
}

TEST(MessageTexts, ReadAndReplaceByKey) {
  MessageTexts texts;
  EXPECT_EQ(texts.Get(u"normal"), u"Normal") << "keys are matched without regard to case";
  EXPECT_TRUE(texts.Set(u"PausedMonitor", u"\u6682\u505C\u76D1\u89C6"));
  EXPECT_EQ(texts.Get(Msg::PausedMonitor), u"\u6682\u505C\u76D1\u89C6");
  EXPECT_FALSE(texts.Set(u"NoSuchKey", u"x"));
  EXPECT_FALSE(texts.Get(u"NoSuchKey").has_value());
}

TEST(MessageTexts, PriorityNames) {
  MessageTexts texts;
  EXPECT_EQ(texts.PriorityName(0), u"Normal");
  EXPECT_EQ(texts.PriorityName(1), u"High");
  EXPECT_EQ(texts.PriorityName(2), u"Real Time");
  EXPECT_EQ(texts.PriorityName(7), u"Real Time") << "codes above 2 are real time";
  texts.SetPriorityName(1, u"\u9AD8");
  EXPECT_EQ(texts.PriorityName(1), u"\u9AD8");
  texts.SetPriorityName(3, u"ignored");
  EXPECT_EQ(PriorityNameTable()[2].key, u"cbbPriority.Items[2]");
}

}  // namespace
}  // namespace tervane
