#include "ui/win32/window_texts.h"

#include <array>
#include <vector>

#include "ui/main_logic.h"
#include "ui/win32/boss_key_dialog.h"
#include "ui/win32/list_view_win32.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/server_editor_dialog.h"
#include "ui/win32/win32_util.h"

namespace tervane::win32 {

namespace {

constexpr std::u16string_view kCaption = u".Caption";
constexpr char16_t kSeparatorCaption[] = u"-";

// "name.Caption" gives "name"; other keys give nothing.
std::optional<std::u16string> NameOf(const std::u16string& key) {
  if (key.size() <= kCaption.size() || key.compare(key.size() - kCaption.size(), kCaption.size(), kCaption) != 0)
    return std::nullopt;
  return key.substr(0, key.size() - kCaption.size());
}

struct NamedId {
  std::u16string_view name;
  int id;
};

constexpr std::array<NamedId, 9> kEditorControls{{
    {u"lblPriority", IDC_lblPriority},
    {u"lblParams", IDC_lblParams},
    {u"lblExeFile", IDC_lblExeFile},
    {u"lblServerName", IDC_lblServerName},
    {u"btnBrowse", IDC_btnBrowse},
    {u"btnOK", IDC_btnOK},
    {u"btnCancel", IDC_btnCancel},
    {u"cbbHideServer", IDC_cbbHideServer},
    {u"gbProcessAffinity", IDC_gbProcessAffinity},
}};

constexpr std::array<NamedId, 3> kBossKeyControls{{
    {u"cbUseBossKey", IDC_cbUseBossKey},
    {u"btnOK", IDC_btnOK},
    {u"btnCancel", IDC_btnCancel},
}};

// Items of the main menu found by command (anywhere in its submenus).
constexpr std::array<NamedId, 6> kMainMenuCommands{{
    {u"menuInstallService", IDM_menuInstallService},
    {u"menuUninstallService", IDM_menuUninstallService},
    {u"menuExit", IDM_menuExit},
    {u"None1", IDM_None1},
    {u"menuBossKey", IDM_menuBossKey},
    {u"menuAbout", IDM_menuAbout},
}};

// ListViewMenu's items by position, in ListMenuItem order.
constexpr std::array<std::u16string_view, kListMenuItemCount> kListViewMenuItems{
    u"menuPauseServer", u"menuUnpauseServer", u"Separator1",        u"menuEditServer",
    u"menuNewServer",   u"menuDeleteServer",  u"Separator2",        u"menuShowServer",
    u"menuHideServer",  u"Separator3",        u"menuRestartServer", u"menuCloseServer"};

constexpr std::array<std::u16string_view, 3> kTrayMenuItems{u"menuShowWindow", u"miSeparator", u"menuExit2"};

int Find(std::u16string_view name, const auto& table) {
  for (const auto& entry : table)
    if (entry.name == name) return entry.id;
  return 0;
}

}  // namespace

std::optional<std::u16string> MenuCaption(HMENU menu, UINT item, bool byPosition) {
  if (!menu) return std::nullopt;
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_FTYPE | MIIM_STRING;
  info.dwTypeData = nullptr;
  if (!GetMenuItemInfoW(menu, item, byPosition, &info)) return std::nullopt;
  if (info.fType & MFT_SEPARATOR) return std::u16string(kSeparatorCaption);
  std::vector<wchar_t> text(static_cast<std::size_t>(info.cch) + 1, L'\0');
  info.dwTypeData = text.data();
  info.cch = static_cast<UINT>(text.size());
  if (!GetMenuItemInfoW(menu, item, byPosition, &info)) return std::nullopt;
  text.back() = L'\0';
  return U(text.data());
}

bool SetMenuCaption(HMENU menu, UINT item, bool byPosition, const std::u16string& caption) {
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_FTYPE;
  if (!menu || !GetMenuItemInfoW(menu, item, byPosition, &info)) return false;
  const bool separator = caption == kSeparatorCaption;
  if (separator && (info.fType & MFT_SEPARATOR)) return true;
  std::wstring text(W(caption));
  info.fMask = MIIM_FTYPE | MIIM_STRING;
  info.fType = separator ? (info.fType | MFT_SEPARATOR) : (info.fType & ~static_cast<UINT>(MFT_SEPARATOR));
  info.dwTypeData = text.data();
  return SetMenuItemInfoW(menu, item, byPosition, &info) != FALSE;
}

std::optional<int> WindowTexts::IndexIn(const std::u16string& key, std::u16string_view prefix,
                                        std::u16string_view suffix, int count) {
  if (key.size() <= prefix.size() + suffix.size() || key.compare(0, prefix.size(), prefix) != 0 ||
      key.compare(key.size() - suffix.size(), suffix.size(), suffix) != 0)
    return std::nullopt;
  const std::u16string digits = key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
  if (digits.empty() || digits.size() > 2) return std::nullopt;
  int n = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return std::nullopt;
    n = n * 10 + (c - u'0');
  }
  if (n >= count) return std::nullopt;
  return n;
}

HWND WindowTexts::EditorControl(const std::u16string& key) const {
  if (!editor_ || !editor_->Handle()) return nullptr;
  if (auto cpu = IndexIn(key, u"cbCPU", kCaption, kMaxProcessors)) return editor_->Control(IDC_cbCPU0 + *cpu);
  const auto name = NameOf(key);
  if (!name) return nullptr;
  if (*name == u"btnProcessAffinity") return editor_->Control(IDC_btnProcessAffinity);
  const int id = Find(*name, kEditorControls);
  return id ? editor_->Control(id) : nullptr;
}

HWND WindowTexts::BossKeyControl(const std::u16string& key) const {
  if (!bossKey_ || !bossKey_->Handle()) return nullptr;
  const auto name = NameOf(key);
  if (!name) return nullptr;
  if (*name == u"frmSetBosskey") return bossKey_->Handle();
  const int id = Find(*name, kBossKeyControls);
  return id ? bossKey_->Control(id) : nullptr;
}

std::optional<WindowTexts::MenuItemRef> WindowTexts::MainWindowMenuItem(const std::u16string& key) const {
  const auto name = NameOf(key);
  if (!name) return std::nullopt;
  if (*name == u"menuFile") return MenuItemRef{menus_.mainMenu, 0, true};
  if (*name == u"menuSettings") return MenuItemRef{menus_.mainMenu, 1, true};
  if (*name == u"menuHelp") return MenuItemRef{menus_.mainMenu, 2, true};
  if (*name == u"menuLanguage") return MenuItemRef{GetSubMenu(menus_.mainMenu, 1), 0, true};
  if (const int id = Find(*name, kMainMenuCommands)) return MenuItemRef{menus_.mainMenu, static_cast<UINT>(id), false};
  for (std::size_t i = 0; i < kListViewMenuItems.size(); ++i)
    if (*name == kListViewMenuItems[i]) return MenuItemRef{menus_.listViewMenu, static_cast<UINT>(i), true};
  for (std::size_t i = 0; i < kTrayMenuItems.size(); ++i)
    if (*name == kTrayMenuItems[i]) return MenuItemRef{menus_.trayMenu, static_cast<UINT>(i), true};
  if (*name == u"N1") return MenuItemRef{menus_.logsMenu, 0, true};
  return std::nullopt;
}

std::optional<std::u16string> WindowTexts::Text(LanguageKeyGroup group, const std::u16string& key) {
  switch (group) {
    case LanguageKeyGroup::EditorDialog:
      if (key == u"DlgOpen.Filter") return editor_ ? std::optional(editor_->DlgOpenFilter) : std::nullopt;
      if (auto item = IndexIn(key, u"cbbPriority.Items[", u"]", kPriorityNameCount))
        return texts_.PriorityName(*item);
      if (HWND control = EditorControl(key)) return GetText(control);
      return std::nullopt;
    case LanguageKeyGroup::BossKeyDialog:
      if (HWND control = BossKeyControl(key)) return GetText(control);
      return std::nullopt;
    case LanguageKeyGroup::MainWindow:
      if (auto column = IndexIn(key, u"LV.Column[", u"].Caption", kColumnCount)) return view_.ColumnCaption(*column);
      if (auto item = MainWindowMenuItem(key)) return MenuCaption(item->menu, item->item, item->byPosition);
      return std::nullopt;
    case LanguageKeyGroup::MessageText:
      break;
  }
  return std::nullopt;
}

void WindowTexts::SetText(LanguageKeyGroup group, const std::u16string& key, const std::u16string& text) {
  switch (group) {
    case LanguageKeyGroup::EditorDialog:
      if (key == u"DlgOpen.Filter") {
        if (editor_) editor_->DlgOpenFilter = text;
        return;
      }
      if (IndexIn(key, u"cbbPriority.Items[", u"]", kPriorityNameCount)) {
        // The names are held by the message texts; the list shows them all anew.
        if (editor_) editor_->SetPriorityNames({texts_.PriorityName(0), texts_.PriorityName(1), texts_.PriorityName(2)});
        return;
      }
      if (HWND control = EditorControl(key)) win32::SetText(control, text);
      return;
    case LanguageKeyGroup::BossKeyDialog:
      if (HWND control = BossKeyControl(key)) win32::SetText(control, text);
      return;
    case LanguageKeyGroup::MainWindow:
      if (auto column = IndexIn(key, u"LV.Column[", u"].Caption", kColumnCount)) {
        view_.SetColumnCaption(*column, text);
        return;
      }
      if (auto item = MainWindowMenuItem(key)) {
        SetMenuCaption(item->menu, item->item, item->byPosition, text);
        if (item->menu == menus_.mainMenu && menus_.window) DrawMenuBar(menus_.window);
      }
      return;
    case LanguageKeyGroup::MessageText:
      break;
  }
}

}  // namespace tervane::win32
