// The windows' texts by language key, for applying a language: every key of the editor dialog,
// the boss-key dialog and the main window names one real control, menu item, list column,
// file filter or dialog caption here.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "support/message_texts.h"
#include "ui/language.h"

namespace tervane::win32 {

class ListViewWin32;
class TfrmAddServer;
class TfrmSetBossKey;

// The main window's menus as the language keys know them.
struct MainWindowMenus {
  HWND window = nullptr;       // whose menu bar is redrawn after a change
  HMENU mainMenu = nullptr;    // menuFile, menuSettings (menuLanguage, None1, menuBossKey), menuHelp
  HMENU listViewMenu = nullptr;  // ListViewMenu's items, in ListMenuItem order
  HMENU trayMenu = nullptr;    // menuShowWindow, miSeparator, menuExit2
  HMENU logsMenu = nullptr;    // N1
};

// A menu item's caption; a separator reads as "-". Giving a separator "-" leaves it one; any
// other text makes it an item with that text, and "-" makes an item a separator.
std::optional<std::u16string> MenuCaption(HMENU menu, UINT item, bool byPosition);
bool SetMenuCaption(HMENU menu, UINT item, bool byPosition, const std::u16string& caption);

class WindowTexts : public ILanguageTarget {
 public:
  WindowTexts(MainWindowMenus menus, ListViewWin32& view, const MessageTexts& texts)
      : menus_(menus), view_(view), texts_(texts) {}

  void AttachDialogs(TfrmAddServer* editor, TfrmSetBossKey* bossKey) {
    editor_ = editor;
    bossKey_ = bossKey;
  }

  std::optional<std::u16string> Text(LanguageKeyGroup group, const std::u16string& key) override;
  void SetText(LanguageKeyGroup group, const std::u16string& key, const std::u16string& text) override;

 private:
  // A control of a dialog, or nothing.
  HWND EditorControl(const std::u16string& key) const;
  HWND BossKeyControl(const std::u16string& key) const;
  struct MenuItemRef {
    HMENU menu = nullptr;
    UINT item = 0;
    bool byPosition = true;
  };
  std::optional<MenuItemRef> MainWindowMenuItem(const std::u16string& key) const;
  static std::optional<int> IndexIn(const std::u16string& key, std::u16string_view prefix,
                                    std::u16string_view suffix, int count);

  MainWindowMenus menus_;
  ListViewWin32& view_;
  const MessageTexts& texts_;
  TfrmAddServer* editor_ = nullptr;
  TfrmSetBossKey* bossKey_ = nullptr;
};

}  // namespace tervane::win32
