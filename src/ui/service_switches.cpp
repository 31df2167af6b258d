#include "ui/service_switches.h"

#include "support/text.h"

namespace tervane {

ServiceSwitches ParseServiceSwitches(const std::vector<std::u16string>& args) {
  ServiceSwitches s;
  for (const auto& arg : args) {
    if (arg.size() < 2 || (arg[0] != u'-' && arg[0] != u'/' && arg[0] != u'\\')) continue;
    const std::u16string word = UpperAscii16(std::u16string_view(arg).substr(1));
    if (word == u"INSTALL") s.install = true;
    else if (word == u"UNINSTALL") s.uninstall = true;
    else if (word == u"SILENT") s.silent = true;
  }
  return s;
}

bool AccountMatches(std::u16string_view serviceAccount, std::u16string_view userName) {
  std::u16string account(serviceAccount);
  if (EqualsIgnoreCaseAscii(account, u"LocalSystem")) account = u"SYSTEM";
  return !account.empty() && LowerCase(account) == LowerCase(userName);
}

}  // namespace tervane
