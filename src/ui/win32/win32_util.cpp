#include "ui/win32/win32_util.h"

#include <vector>

namespace tervane::win32 {

std::u16string GetText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  const int got = GetWindowTextW(window, buffer.data(), length + 1);
  return U(std::wstring_view(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0));
}

void SetText(HWND window, const std::u16string& text) { SetWindowTextW(window, W(text)); }

HFONT UiFont() {
  static const HFONT font = [] {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
      if (HFONT made = CreateFontIndirectW(&metrics.lfMessageFont)) return made;
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }();
  return font;
}

RECT ScreenRect() {
  return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

RECT WindowRectOf(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  return r;
}

void CenterOn(HWND window, const RECT& area) {
  const RECT r = WindowRectOf(window);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  int x = area.left + ((area.right - area.left) - width) / 2;
  int y = area.top + ((area.bottom - area.top) - height) / 2;
  MONITORINFO info{};
  info.cbSize = sizeof info;
  const RECT target{x, y, x + width, y + height};
  if (GetMonitorInfoW(MonitorFromRect(&target, MONITOR_DEFAULTTONEAREST), &info)) {
    const RECT& work = info.rcWork;
    if (x + width > work.right) x = work.right - width;
    if (y + height > work.bottom) y = work.bottom - height;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
  }
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int ProcessorCount() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

std::u16string MenuItemText(HMENU menu, UINT position) {
  const int length = GetMenuStringW(menu, position, nullptr, 0, MF_BYPOSITION);
  if (length <= 0) return {};
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  const int got = GetMenuStringW(menu, position, buffer.data(), length + 1, MF_BYPOSITION);
  return U(std::wstring_view(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0));
}

}  // namespace tervane::win32
