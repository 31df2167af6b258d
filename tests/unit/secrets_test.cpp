#include "support/secrets.h"

#include <gtest/gtest.h>

#include "support/trust.h"

namespace tervane {
namespace {

TEST(MaskSecrets, OnlyTheValueOfEachRconPasswordKeyIsHidden) {
  const struct {
    std::u16string_view text, masked;
  } cases[] = {
      {u"+ip 127.0.0.1 +rcon_password Top42 +map x", u"+ip 127.0.0.1 +rcon_password *** +map x"},
      {u"+RCON_Password \"a b -c\" -port 1", u"+RCON_Password *** -port 1"},  // quotes group blanks and dashes
      {u"+rcon_password two words -port 1", u"+rcon_password *** -port 1"},   // the engine's value, to the next switch
      {u"-rcon_password a +rcon_password b", u"-rcon_password *** +rcon_password ***"},
      {u"rcon 1 rcon_password new", u"rcon 1 rcon_password ***"},  // a command sent through RCON
      {u"+rcon_password \"open -port 1", u"+rcon_password ***"},
      {u"+rcon_password   ", u"+rcon_password   "},
      {u"+rcon_passwordx y +myrcon_password z +sv_password j", u"+rcon_passwordx y +myrcon_password z +sv_password j"},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskSecrets(c.text), c.masked) << std::string(c.text.begin(), c.text.end());
}

TEST(TrustRefusal, OnlyTheUserOrRootMayOwnAndNobodyElseMayWrite) {
  const std::string tail = " and not be writable by group or others (";
  const struct {
    unsigned user, owner, mode;
    std::string said;  // "" when trusted
  } cases[] = {
      {0, 0, 0755, ""},
      {1000, 0, 0755, ""},  // a user's kesp in /usr/bin
      {0, 0, 01777, "refusing /x: owned by uid 0, mode 1777; it must belong to root" + tail + "chmod go-w /x)"},
      {0, 1000, 0600, "refusing /x: owned by uid 1000, mode 0600; it must belong to root" + tail + "chown root /x)"},
      {1000, 65534, 0646,
       "refusing /x: owned by uid 65534, mode 0646; it must belong to uid 1000 or root" + tail +
           "chown 1000 /x; chmod go-w /x)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TrustRefusal("/x", c.user, c.owner, c.mode), c.said) << c.user << " " << c.owner;
}

}  // namespace
}  // namespace tervane
