// ListViewMenu as it pops up: built anew from the item states each time, so that an invisible
// item is not in the menu at all, a disabled one is grayed and the default one is bold.
#pragma once

#include <windows.h>

#include "ui/main_logic.h"

namespace tervane::win32 {

// items: the menu whose item at position i is ListMenuItem i (its captions are used).
// Answers a new pop-up menu whose command ids are IDM_LISTVIEWMENU_FIRST + ListMenuItem.
HMENU BuildListViewMenuPopup(HMENU items, const ListViewMenuState& state);

}  // namespace tervane::win32
