#include "ui/win32/about_box.h"

#include <shellapi.h>

#include "ui/win32/resource_ids.h"
#include "ui/win32/win32_util.h"

namespace tervane::win32 {

TfrmAbout::TfrmAbout(HINSTANCE instance, HWND mainWindow) : mainWindow_(mainWindow) {
  Create(instance, IDD_frmAbout, mainWindow);
  if (hwnd_ == nullptr) return;

  // The client area has its size in pixels, whatever the dialog font makes of the template.
  RECT frame{0, 0, kAboutClientWidth, kAboutClientHeight};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
  SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  // The program's own icon at 48 by 48, whatever the system's icon sizes.
  icon_.reset(static_cast<HICON>(
      LoadImageA(GetModuleHandleW(nullptr), "MAINICON", IMAGE_ICON, 48, 48, LR_LOADTRANSPARENT)));
  HWND image = GetDlgItem(hwnd_, IDC_imgIcon);
  SendMessageW(image, STM_SETICON, reinterpret_cast<WPARAM>(icon_.get()), 0);
  SetWindowPos(image, nullptr, 0, 0, 48, 48, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  // The links: the dialog's font, underlined.
  LOGFONTW font{};
  if (GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)), sizeof font, &font)) {
    font.lfUnderline = TRUE;
    linkFont_ = CreateFontIndirectW(&font);
    for (int id : {IDC_lblEmailAddress, IDC_lblUrl})
      SendMessageW(GetDlgItem(hwnd_, id), WM_SETFONT, reinterpret_cast<WPARAM>(linkFont_), FALSE);
  }
}

TfrmAbout::~TfrmAbout() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
  }
  if (linkFont_) DeleteObject(linkFont_);
}

void TfrmAbout::ShowModal() {
  if (hwnd_ == nullptr || Showing()) return;
  CenterOn(hwnd_, WindowRectOf(mainWindow_));
  RunModal();
}

HWND TfrmAbout::InitialFocus() { return GetDlgItem(hwnd_, IDC_btnOk); }

bool TfrmAbout::IsLink(HWND control) const {
  return control != nullptr &&
         (control == GetDlgItem(hwnd_, IDC_lblEmailAddress) || control == GetDlgItem(hwnd_, IDC_lblUrl));
}

// The answer of ShellExecuteA is not looked at: without a handler for the link nothing happens.
void TfrmAbout::lblEmailAddressClick() { ShellExecuteA(nullptr, "open", kAboutMailTo, "", "", SW_SHOWMAXIMIZED); }

void TfrmAbout::lblUrlClick() { ShellExecuteA(nullptr, "open", kAboutUrl, "", "", SW_SHOWMAXIMIZED); }

bool TfrmAbout::OnCommand(int id, int code) {
  switch (id) {
    case IDC_btnOk:
    case IDOK:
    case IDCANCEL:
      if (Showing()) EndModal(id == IDCANCEL ? kCancel : kOK);
      return true;
    case IDC_lblEmailAddress:
      if (code == STN_CLICKED) lblEmailAddressClick();
      return true;
    case IDC_lblUrl:
      if (code == STN_CLICKED) lblUrlClick();
      return true;
    default:
      return false;
  }
}

INT_PTR TfrmAbout::DialogProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CTLCOLORSTATIC:
      if (IsLink(reinterpret_cast<HWND>(lParam))) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, RGB(0, 0, 255));
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
      }
      return FALSE;
    case WM_SETCURSOR:
      if (IsLink(reinterpret_cast<HWND>(wParam))) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace tervane::win32
