// The boss-key dialog frmSetBossKey: the check box cbUseBossKey, the hot-key control HotKey1
// (enabled exactly while the box is checked), btnOK and btnCancel. The rules of its OK button
// are BossKey's; the dialog shows the controls, keeps the values it was opened with and puts
// them back unless it closed with OK. HotKeyRegistrarWin32 is the main window's one global
// hot key.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ui/boss_key.h"
#include "ui/win32/message_boxes.h"
#include "ui/win32/modal_dialog.h"

namespace tervane::win32 {

// RegisterHotKey and UnregisterHotKey for a window under the boss key's identifier.
class HotKeyRegistrarWin32 : public IHotKeyRegistrar {
 public:
  explicit HotKeyRegistrarWin32(HWND window) : window_(window) {}
  bool Register(std::uint8_t modifiers, std::uint8_t key) override;
  void Unregister() override;

 private:
  HWND window_;
};

class TfrmSetBossKey : public ModalDialog {
 public:
  // mainWindow: the window the dialog is centred on each time it opens.
  TfrmSetBossKey(HINSTANCE instance, HWND mainWindow, BossKey& bossKey, const MessageTexts& texts);
  // The program's end: the hot key is given back.
  ~TfrmSetBossKey() override;

  // The controls as start-up sets them from the stored settings.
  void SetControls(bool checked, std::uint16_t hotKey);
  bool Checked() const;
  std::uint16_t HotKey() const;

  // Answers true when the dialog closed with OK.
  bool ShowModal();

  void btnOKClick();
  void cbUseBossKeyClick();

  HWND Control(int id) const { return GetDlgItem(hwnd_, id); }

 protected:
  bool OnCommand(int id, int code) override;
  HWND InitialFocus() override;

 private:
  HWND mainWindow_;
  BossKey& bossKey_;
  const MessageTexts& texts_;
  MessageBoxesWin32 boxes_;
  // The values the controls had when the dialog was shown.
  std::uint16_t savedHotKey_ = 0;
  bool savedChecked_ = false;
};

}  // namespace tervane::win32
