#include "app/service_switches.h"

#include "support/text.h"

namespace tervane {

namespace {

// A switch's word in capitals, or "" for an argument that is no switch.
std::u16string SwitchWord(const std::u16string& arg) {
  if (arg.size() < 2 || (arg[0] != u'-' && arg[0] != u'/' && arg[0] != u'\\')) return {};
  return UpperAscii16(std::u16string_view(arg).substr(1));
}

}  // namespace

ServiceSwitches ParseServiceSwitches(const std::vector<std::u16string>& args) {
  ServiceSwitches s;
  for (const auto& arg : args) {
    const std::u16string word = SwitchWord(arg);
    if (word == u"INSTALL") s.install = true;
    else if (word == u"UNINSTALL") s.uninstall = true;
    else if (word == u"SILENT") s.silent = true;
  }
  return s;
}

bool HasVersionSwitch(const std::vector<std::u16string>& args) {
  for (const auto& arg : args)
    if (SwitchWord(arg) == u"VERSION") return true;
  return false;
}

bool AccountMatches(std::u16string_view serviceAccount, std::u16string_view userName) {
  std::u16string account(serviceAccount);
  if (EqualsIgnoreCaseAscii(account, u"LocalSystem")) account = u"SYSTEM";
  return !account.empty() && LowerCase(account) == LowerCase(userName);
}

}  // namespace tervane
