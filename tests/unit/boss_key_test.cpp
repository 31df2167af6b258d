#include <gtest/gtest.h>

#include "ui/boss_key.h"
#include "app/service_switches.h"

namespace tervane {
namespace {

class FakeRegistrar : public IHotKeyRegistrar {
 public:
  bool fail = false;
  int registered = 0, unregistered = 0;
  std::uint8_t modifiers = 0, key = 0;
  bool Register(std::uint8_t m, std::uint8_t k) override {
    if (fail) return false;
    ++registered;
    modifiers = m;
    key = k;
    return true;
  }
  void Unregister() override { ++unregistered; }
};

ServerList Servers(std::initializer_list<bool> hidden) {
  ServerList list;
  for (bool h : hidden) {
    list.push_back(std::make_unique<Server>(NewServerEntry()));
    list.back()->HideServer = h;
  }
  return list;
}

TEST(BossKey, HotKeyValuesConvertBothWays) {
  // Ctrl+Shift+F12 in the control is Ctrl 2 + Shift 4 for the registration.
  const std::uint16_t value = static_cast<std::uint16_t>(0x7B | ((kHotKeyControl | kHotKeyShift) << 8));
  EXPECT_EQ(ModifiersFromHotKeyValue(value), kModControl | kModShift);
  EXPECT_EQ(HotKeyValueFromSettings(kModControl | kModShift, 0x7B), value);
  EXPECT_EQ(HotKeyValueFromSettings(kModAlt, 0x42), 0x42 | (kHotKeyAlt << 8));
}

TEST(BossKey, StartUpRegistersOnlyAKeyWithAModifier) {
  FakeRegistrar reg;
  BossKeyOptions options{kModAlt, 0x42, 1};
  BossKey boss(options, reg, nullptr);
  EXPECT_FALSE(boss.InitBossKey(Servers({true, false})));
  EXPECT_TRUE(boss.Registered());
  EXPECT_EQ(reg.modifiers, kModAlt);

  FakeRegistrar none;
  BossKeyOptions bare{0, 0x42, 1};
  BossKey noModifier(bare, none, nullptr);
  EXPECT_FALSE(noModifier.InitBossKey(Servers({true})));
  EXPECT_EQ(none.registered, 0);

  BossKeyOptions off{kModAlt, 0x42, 0};
  BossKey disabled(off, none, nullptr);
  disabled.InitBossKey({});
  EXPECT_EQ(none.registered, 0);
}

TEST(BossKey, StartsBossHiddenWhenNoConsoleIsMeantToBeVisible) {
  FakeRegistrar reg;
  BossKeyOptions options{kModControl, 0x51, 1};
  EXPECT_TRUE(BossKey(options, reg, nullptr).InitBossKey(Servers({true, true})));
  EXPECT_TRUE(BossKey(options, reg, nullptr).InitBossKey({})) << "no servers at all";
  reg.fail = true;  // taken by another program: shown normally
  EXPECT_FALSE(BossKey(options, reg, nullptr).InitBossKey({}));
}

TEST(BossKey, DialogOkRules) {
  FakeRegistrar reg;
  BossKeyOptions options{kModAlt, 0x42, 1};
  int saves = 0;
  BossKey boss(options, reg, [&] { ++saves; });
  boss.InitBossKey({});
  const std::uint16_t shown = boss.DialogHotKey();
  EXPECT_TRUE(boss.DialogChecked());
  EXPECT_EQ(boss.btnOKClick(shown, true, shown, true), BossKey::OkResult::Close);
  EXPECT_EQ(saves, 0) << "unchanged and registered: nothing happens";
  EXPECT_EQ(boss.btnOKClick(0, false, shown, true), BossKey::OkResult::StayOpen)
      << "an empty field does nothing, even unchecked";
  EXPECT_EQ(saves, 0);

  // A key without modifier can be registered from the dialog.
  EXPECT_EQ(boss.btnOKClick(0x75, true, shown, true), BossKey::OkResult::Close);
  EXPECT_EQ(reg.unregistered, 1);
  EXPECT_EQ(options.BossKeyModifiers, 0);
  EXPECT_EQ(options.BossKeyCode, 0x75);
  EXPECT_EQ(saves, 1);

  reg.fail = true;
  const std::uint16_t ctrlQ = static_cast<std::uint16_t>(0x51 | (kHotKeyControl << 8));
  EXPECT_EQ(boss.btnOKClick(ctrlQ, true, 0x75, true), BossKey::OkResult::RegisterFailed);
  EXPECT_FALSE(boss.Registered());
  EXPECT_EQ(options.BossKeyModifiers, kModControl) << "stored and saved although not registered";
  EXPECT_EQ(saves, 2);

  EXPECT_EQ(boss.btnOKClick(ctrlQ, false, ctrlQ, true), BossKey::OkResult::Close);
  EXPECT_EQ(options.BossKeyEnabled, 0);
  EXPECT_EQ(saves, 3);
}

TEST(ServiceSwitches, LeadCharactersAndCase) {
  EXPECT_TRUE(ParseServiceSwitches({u"-install"}).install);
  EXPECT_TRUE(ParseServiceSwitches({u"/UNINSTALL"}).uninstall);
  EXPECT_TRUE(ParseServiceSwitches({u"\\Install"}).install);
  EXPECT_FALSE(ParseServiceSwitches({u"install"}).Any()) << "no lead character: no switch";
  EXPECT_FALSE(ParseServiceSwitches({u"-installx"}).Any());
  const auto s = ParseServiceSwitches({u"x", u"/install", u"-Silent"});
  EXPECT_TRUE(s.install && s.silent && !s.uninstall);
  EXPECT_FALSE(ParseServiceSwitches({u"-silent"}).Any());
  // The version switch is matched the same way and is no service switch.
  EXPECT_TRUE(HasVersionSwitch({u"x", u"/Version"}));
  EXPECT_TRUE(HasVersionSwitch({u"\\VERSION"}));
  EXPECT_FALSE(HasVersionSwitch({u"version", u"-versions", u"-install"}));
  EXPECT_FALSE(ParseServiceSwitches({u"-version"}).Any());
}

TEST(ServiceSwitches, AccountTest) {
  EXPECT_TRUE(AccountMatches(u"LocalSystem", u"SYSTEM"));
  EXPECT_TRUE(AccountMatches(u"localsystem", u"system"));
  EXPECT_TRUE(AccountMatches(u"Alice", u"alice"));
  EXPECT_FALSE(AccountMatches(u"DOMAIN\\alice", u"alice")) << "a domain account is not the plain name";
  EXPECT_FALSE(AccountMatches(u"LocalSystem", u"alice"));
  EXPECT_FALSE(AccountMatches(u"", u""));
}

}  // namespace
}  // namespace tervane
