#include "ui/win32/list_view_menu.h"

#include "ui/win32/resource_ids.h"
#include "ui/win32/win32_util.h"

namespace tervane::win32 {

namespace {
bool IsSeparator(int item) { return item == Separator1 || item == Separator2 || item == Separator3; }
}  // namespace

HMENU BuildListViewMenuPopup(HMENU items, const ListViewMenuState& state) {
  HMENU popup = CreatePopupMenu();
  for (int i = 0; i < kListMenuItemCount; ++i) {
    const MenuItemState& item = state.items[static_cast<size_t>(i)];
    if (!item.visible) continue;
    if (IsSeparator(i)) {
      AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    const std::u16string caption = MenuItemText(items, static_cast<UINT>(i));
    AppendMenuW(popup, MF_STRING | (item.enabled ? MF_ENABLED : MF_GRAYED),
                static_cast<UINT_PTR>(IDM_LISTVIEWMENU_FIRST + i), W(caption));
  }
  if (state.defaultItem >= 0 && state.defaultItem < kListMenuItemCount &&
      state.items[static_cast<size_t>(state.defaultItem)].visible)
    SetMenuDefaultItem(popup, static_cast<UINT>(IDM_LISTVIEWMENU_FIRST + state.defaultItem), FALSE);
  return popup;
}

}  // namespace tervane::win32
