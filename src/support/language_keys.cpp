#include "support/language_keys.h"

#include <set>

#include "support/message_texts.h"
#include "support/text.h"

namespace tervane {

const std::vector<LanguageKey>& ApplyLanguageKeys() {
  static const std::vector<LanguageKey> keys = [] {
    std::vector<LanguageKey> k;
    auto add = [&](LanguageKeyGroup g, std::u16string key) { k.push_back({g, std::move(key)}); };
    for (const auto& def : MessageTextTable()) add(LanguageKeyGroup::MessageText, std::u16string(def.key));
    using G = LanguageKeyGroup;
    for (const char16_t* name : {u"lblPriority", u"lblParams", u"lblExeFile", u"lblServerName",
                                 u"btnBrowse", u"btnOK", u"btnCancel"})
      add(G::EditorDialog, std::u16string(name) + u".Caption");
    for (const auto& def : PriorityNameTable()) add(G::EditorDialog, std::u16string(def.key));
    for (const char16_t* name : {u"cbbHideServer", u"btnProcessAffinity", u"gbProcessAffinity"})
      add(G::EditorDialog, std::u16string(name) + u".Caption");
    for (int i = 0; i < 32; ++i) add(G::EditorDialog, u"cbCPU" + ToU16(i) + u".Caption");
    add(G::EditorDialog, u"DlgOpen.Filter");
    for (const char16_t* name : {u"frmSetBosskey", u"cbUseBossKey", u"btnOK", u"btnCancel"})
      add(G::BossKeyDialog, std::u16string(name) + u".Caption");
    for (const char16_t* name :
         {u"menuPauseServer", u"menuUnpauseServer", u"Separator1", u"menuEditServer",
          u"menuNewServer", u"menuDeleteServer", u"Separator2", u"menuShowServer",
          u"menuHideServer", u"Separator3", u"menuRestartServer", u"menuCloseServer",
          u"menuShowWindow", u"miSeparator", u"menuExit2", u"menuFile", u"menuInstallService",
          u"menuUninstallService", u"menuExit", u"menuSettings", u"menuLanguage", u"None1",
          u"menuBossKey", u"menuHelp", u"menuAbout", u"N1"})
      add(G::MainWindow, std::u16string(name) + u".Caption");
    for (int i = 0; i < 10; ++i) add(G::MainWindow, u"LV.Column[" + ToU16(i) + u"].Caption");
    return k;
  }();
  return keys;
}

std::vector<std::u16string> AllLanguageKeys() {
  std::vector<std::u16string> all{std::u16string(kMenuCaptionKey)};
  std::set<std::u16string> seen{all.front()};
  auto add = [&](const std::u16string& key) {
    if (seen.insert(key).second) all.push_back(key);
  };
  for (const auto& k : ApplyLanguageKeys()) add(k.key);
  add(std::u16string(kAddServerCaptionKey));
  add(std::u16string(kEditServerCaptionKey));
  return all;
}

}  // namespace tervane
