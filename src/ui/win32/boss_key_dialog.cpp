#include "ui/win32/boss_key_dialog.h"

#include <commctrl.h>

#include "ui/win32/resource_ids.h"
#include "ui/win32/win32_util.h"

namespace tervane::win32 {

bool HotKeyRegistrarWin32::Register(std::uint8_t modifiers, std::uint8_t key) {
  return RegisterHotKey(window_, kBossKeyId, modifiers, key) != FALSE;
}

void HotKeyRegistrarWin32::Unregister() { UnregisterHotKey(window_, kBossKeyId); }

TfrmSetBossKey::TfrmSetBossKey(HINSTANCE instance, HWND mainWindow, BossKey& bossKey, const MessageTexts& texts)
    : mainWindow_(mainWindow),
      bossKey_(bossKey),
      texts_(texts),
      boxes_([this](BoxOwner) { return hwnd_; }) {
  Create(instance, IDD_frmSetBossKey, mainWindow);
  SetControls(false, 0);
}

TfrmSetBossKey::~TfrmSetBossKey() { bossKey_.Release(); }

void TfrmSetBossKey::SetControls(bool checked, std::uint16_t hotKey) {
  if (hwnd_ == nullptr) return;
  SendMessageW(Control(IDC_HotKey1), HKM_SETHOTKEY, hotKey, 0);
  CheckDlgButton(hwnd_, IDC_cbUseBossKey, checked ? BST_CHECKED : BST_UNCHECKED);
  cbUseBossKeyClick();
}

bool TfrmSetBossKey::Checked() const { return IsDlgButtonChecked(hwnd_, IDC_cbUseBossKey) == BST_CHECKED; }

std::uint16_t TfrmSetBossKey::HotKey() const {
  return static_cast<std::uint16_t>(SendMessageW(Control(IDC_HotKey1), HKM_GETHOTKEY, 0, 0));
}

HWND TfrmSetBossKey::InitialFocus() { return Control(IDC_cbUseBossKey); }

bool TfrmSetBossKey::ShowModal() {
  if (hwnd_ == nullptr || Showing()) return false;
  savedHotKey_ = HotKey();
  savedChecked_ = Checked();
  CenterOn(hwnd_, WindowRectOf(mainWindow_));
  const bool ok = RunModal() == kOK;
  // A dialog left any other way keeps nothing of what was typed; the stored settings are
  // untouched by this (a failed registration has stored and saved its key already).
  if (!ok) SetControls(savedChecked_, savedHotKey_);
  return ok;
}

void TfrmSetBossKey::cbUseBossKeyClick() { EnableWindow(Control(IDC_HotKey1), Checked()); }

void TfrmSetBossKey::btnOKClick() {
  if (!Showing()) return;
  switch (bossKey_.btnOKClick(HotKey(), Checked(), savedHotKey_, savedChecked_)) {
    case BossKey::OkResult::Close:
      EndModal(kOK);
      break;
    case BossKey::OkResult::StayOpen:
      break;
    case BossKey::OkResult::RegisterFailed:
      boxes_.Show(BoxOwner::BossKeyDialog, BoxKind::Error, texts_.Get(Msg::MsgTextRegisterBossKeyFailed));
      break;
  }
}

bool TfrmSetBossKey::OnCommand(int id, int code) {
  switch (id) {
    case IDC_btnOK:
    case IDOK:  // Enter
      if (code == BN_CLICKED) btnOKClick();
      return true;
    case IDC_btnCancel:
    case IDCANCEL:  // Escape
      if (code == BN_CLICKED && Showing()) EndModal(kCancel);
      return true;
    case IDC_cbUseBossKey:
      if (code == BN_CLICKED) cbUseBossKeyClick();
      return true;
    default:
      return false;
  }
}

}  // namespace tervane::win32
