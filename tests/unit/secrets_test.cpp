#include <gtest/gtest.h>

#include "support/secrets.h"
#include "support/trust.h"

namespace tervane {
namespace {

TEST(MaskSecrets, OnlyTheValueOfEachRconPasswordKeyIsHidden) {
  const struct {
    std::u16string_view text, masked;
  } cases[] = {
      {u"+ip 127.0.0.1 -port 27015 +rcon_password TopSecret42 +map de_dust",
       u"+ip 127.0.0.1 -port 27015 +rcon_password *** +map de_dust"},
      {u"+RCON_Password \"a b -c\" -port 1", u"+RCON_Password *** -port 1"},  // quotes group blanks and dashes
      {u"+rcon_password two words +map x", u"+rcon_password *** +map x"},     // the engine's value, up to the next +
      {u"-rcon_password x", u"-rcon_password ***"},
      {u"rcon 1 rcon_password newone", u"rcon 1 rcon_password ***"},  // a command sent through RCON
      {u"+map x+rcon_password  pw", u"+map x+rcon_password  ***"},
      {u"+rcon_password \"open quote -port 1", u"+rcon_password ***"},
      {u"+rcon_password a +rcon_password b", u"+rcon_password *** +rcon_password ***"},
      {u"+rcon_password -lead", u"+rcon_password ***"},
      {u"+rcon_password", u"+rcon_password"},
      {u"+rcon_password   ", u"+rcon_password   "},
      {u"+rcon_passwordx y +myrcon_password z", u"+rcon_passwordx y +myrcon_password z"},
      {u"+sv_password join", u"+sv_password join"},
      {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskSecrets(c.text), c.masked) << std::string(c.text.begin(), c.text.end());
}

TEST(TrustRefusal, OnlyTheUserOrRootMayOwnAndNobodyElseMayWrite) {
  const struct {
    unsigned user, owner, mode;
    const char* said;  // "" when trusted
  } cases[] = {
      {0, 0, 0755, ""},
      {0, 0, 0600, ""},
      {1000, 1000, 0700, ""},
      {1000, 0, 0755, ""},  // a user's kesp in /usr/bin
      {0, 0, 01777,
       "refusing /x: owned by uid 0, mode 1777; it must belong to root and not be writable by group or others "
       "(chmod go-w /x)"},
      {0, 0, 0664, "refusing /x: owned by uid 0, mode 0664; it must belong to root and not be writable by group or "
                   "others (chmod go-w /x)"},
      {0, 1000, 0644, "refusing /x: owned by uid 1000, mode 0644; it must belong to root and not be writable by "
                      "group or others (chown root /x)"},
      {1000, 65534, 0646, "refusing /x: owned by uid 65534, mode 0646; it must belong to uid 1000 or root and not be "
                          "writable by group or others (chown 1000 /x; chmod go-w /x)"},
  };
  for (const auto& c : cases) EXPECT_EQ(TrustRefusal("/x", c.user, c.owner, c.mode), c.said) << c.user << " " << c.owner;
}

}  // namespace
}  // namespace tervane
