// The notification-area icon CoolTrayIcon1: its picture and hint through Shell_NotifyIconW,
// the left click (a press and its release on the icon), the double click that runs the pop-up menu's default item, the pop-up menu
// on the right button, and the icon added again when the shell's taskbar is re-created.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>

namespace tervane::win32 {

// The message the shell sends the owner window for mouse events on the icon.
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
// The icon's identifier among the owner window's icons.
inline constexpr UINT kTrayIconId = 1;
// The hint holds at most this many UTF-16 units; a longer one is cut.
inline constexpr std::size_t kTrayHintMax = 127;

// Copies a hint into the icon data's tip: at most 127 units and the ending zero.
void CopyTrayHint(const std::u16string& hint, wchar_t (&tip)[128]);

class TCoolTrayIcon {
 public:
  // owner receives the callback message and the commands of popupMenu (which stays the
  // caller's). The icon is hidden until made visible.
  TCoolTrayIcon(HWND owner, HICON icon, std::u16string hint, HMENU popupMenu);
  ~TCoolTrayIcon();
  TCoolTrayIcon(const TCoolTrayIcon&) = delete;
  TCoolTrayIcon& operator=(const TCoolTrayIcon&) = delete;

  // Whether the icon is meant to be shown (it is re-added under that name when the taskbar
  // comes back).
  bool Visible() const { return visible_; }
  // Adds (NIM_ADD) or removes (NIM_DELETE) the icon; answers whether the shell accepted.
  bool SetVisible(bool visible);
  const std::u16string& Hint() const { return hint_; }
  // Changes the hint, at once while the icon is shown (NIM_MODIFY).
  void SetHint(std::u16string hint);
  void SetIcon(HICON icon);

  // The owner's messages: answers true for a message of the icon, which is then handled.
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  // Left button pressed and released on the icon (not the release that ends a double click).
  std::function<void()> OnClick;

 private:
  NOTIFYICONDATAW Data(UINT flags) const;
  void PopupMenu();

  HWND owner_;
  HICON icon_;
  std::u16string hint_;
  HMENU popupMenu_;
  UINT taskbarCreated_;
  bool visible_ = false;
  bool pressed_ = false;  // the left button went down on the icon and is not released yet
};

}  // namespace tervane::win32
