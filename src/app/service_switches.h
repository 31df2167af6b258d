// The command-line switches (those of the service mode, and the version) and the account
// test's comparison.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tervane {

struct ServiceSwitches {
  bool install = false;
  bool uninstall = false;
  bool silent = false;
  bool Any() const { return install || uninstall; }
};

// "INSTALL", "UNINSTALL" and "SILENT" after "-", "/" or "\", in any letter case; the same word
// without one of these lead characters is no switch.
ServiceSwitches ParseServiceSwitches(const std::vector<std::u16string>& args);

// "VERSION" in the same form: show the version and end.
bool HasVersionSwitch(const std::vector<std::u16string>& args);

// The service's account ("LocalSystem" counts as "SYSTEM") against the user running the
// program, without regard to case.
bool AccountMatches(std::u16string_view serviceAccount, std::u16string_view userName);

}  // namespace tervane
