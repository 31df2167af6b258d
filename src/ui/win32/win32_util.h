// Small helpers of the Windows windows: UTF-16 text between the portable code and the Win32
// calls, window texts, the user-interface font, centring, and the machine's processor count.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "support/text_win32.h"

namespace tervane::win32 {

using tervane::U;
using tervane::W;

std::u16string GetText(HWND window);
void SetText(HWND window, const std::u16string& text);

// The system's message font (the font of message boxes), made once for the program's life.
HFONT UiFont();

// Moves a window so that its centre is the centre of the given rectangle, keeping it inside the
// work area of the monitor it lands on.
void CenterOn(HWND window, const RECT& area);
// The whole screen of the primary monitor.
RECT ScreenRect();
RECT WindowRectOf(HWND window);

// The processors Windows reports for the machine, read anew on each call.
int ProcessorCount();

// The caption of a menu item, found by its position in the menu.
std::u16string MenuItemText(HMENU menu, UINT position);

}  // namespace tervane::win32
