// Small helpers of the Windows windows: UTF-16 text between the portable code and the Win32
// calls, window texts, the user-interface font, centring, and the machine's processor count.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tervane::win32 {

// wchar_t is 16 bits on Windows, so the portable UTF-16 text is passed as it is.
inline const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
inline std::u16string U(std::wstring_view text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}
inline std::u16string U(const wchar_t* text) { return text ? U(std::wstring_view(text)) : std::u16string(); }

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
