#include "ui/win32/tray_icon.h"

#include <algorithm>
#include <utility>

namespace tervane::win32 {

void CopyTrayHint(const std::u16string& hint, wchar_t (&tip)[128]) {
  const std::size_t n = std::min(hint.size(), kTrayHintMax);
  for (std::size_t i = 0; i < n; ++i) tip[i] = static_cast<wchar_t>(hint[i]);
  tip[n] = L'\0';
}

TCoolTrayIcon::TCoolTrayIcon(HWND owner, HICON icon, std::u16string hint, HMENU popupMenu)
    : owner_(owner),
      icon_(icon),
      hint_(std::move(hint)),
      popupMenu_(popupMenu),
      taskbarCreated_(RegisterWindowMessageW(L"TaskbarCreated")) {}

TCoolTrayIcon::~TCoolTrayIcon() { SetVisible(false); }

NOTIFYICONDATAW TCoolTrayIcon::Data(UINT flags) const {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = owner_;
  data.uID = kTrayIconId;
  data.uFlags = flags;
  data.uCallbackMessage = kTrayCallbackMessage;
  data.hIcon = icon_;
  CopyTrayHint(hint_, data.szTip);
  return data;
}

bool TCoolTrayIcon::SetVisible(bool visible) {
  if (visible == visible_) return true;
  visible_ = visible;
  NOTIFYICONDATAW data = Data(visible ? NIF_MESSAGE | NIF_ICON | NIF_TIP : 0);
  return Shell_NotifyIconW(visible ? NIM_ADD : NIM_DELETE, &data) != FALSE;
}

void TCoolTrayIcon::SetHint(std::u16string hint) {
  hint_ = std::move(hint);
  if (!visible_) return;
  NOTIFYICONDATAW data = Data(NIF_TIP);
  Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TCoolTrayIcon::SetIcon(HICON icon) {
  icon_ = icon;
  if (!visible_) return;
  NOTIFYICONDATAW data = Data(NIF_ICON);
  Shell_NotifyIconW(NIM_MODIFY, &data);
}

bool TCoolTrayIcon::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    // The shell started anew and knows no icon: the one meant to be shown comes back.
    if (visible_) {
      NOTIFYICONDATAW data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
      Shell_NotifyIconW(NIM_ADD, &data);
    }
    return false;  // a broadcast: others may want it too
  }
  if (message != kTrayCallbackMessage || wParam != kTrayIconId) return false;
  switch (static_cast<UINT>(lParam)) {
    case WM_LBUTTONDOWN:
      pressed_ = true;
      break;
    case WM_LBUTTONUP:
      // A click is a release after a press on the icon; a release alone (the press was
      // elsewhere, or it ends a double click) does nothing.
      if (std::exchange(pressed_, false) && OnClick) OnClick();
      break;
    case WM_LBUTTONDBLCLK:
      // The second press of a double click: its release is part of the double click.
      pressed_ = false;
      // The default item of the menu, as if it had been chosen there.
      if (popupMenu_) {
        const UINT item = GetMenuDefaultItem(popupMenu_, FALSE, 0);
        if (item != static_cast<UINT>(-1)) SendMessageW(owner_, WM_COMMAND, MAKEWPARAM(item, 0), 0);
      }
      break;
    case WM_RBUTTONDOWN:
      PopupMenu();
      break;
    default:
      break;
  }
  return true;
}

void TCoolTrayIcon::PopupMenu() {
  if (!popupMenu_) return;
  // The menu closes on a click elsewhere only when its owner is in the foreground, and the
  // null message afterwards lets the second opening work at once.
  SetForegroundWindow(owner_);
  MSG pending;
  for (int i = 0; i < 64 && PeekMessageW(&pending, nullptr, 0, 0, PM_REMOVE); ++i) {
    if (pending.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(pending.wParam));
      return;
    }
    TranslateMessage(&pending);
    DispatchMessageW(&pending);
  }
  POINT at{};
  GetCursorPos(&at);
  TrackPopupMenu(popupMenu_, TPM_LEFTALIGN | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, owner_, nullptr);
  PostMessageW(owner_, WM_NULL, 0, 0);
}

}  // namespace tervane::win32
