// The about box frmAbout: the program's icon, what it does, who makes it, and two links.
#pragma once

#include <windows.h>

#include "support/unique_handle_win32.h"
#include "ui/win32/modal_dialog.h"

namespace tervane::win32 {

inline constexpr char kAboutMailTo[] = "mailto:dev@tervane.org";
inline constexpr char kAboutUrl[] = "https://www.tervane.org/";
inline constexpr int kAboutClientWidth = 368;
inline constexpr int kAboutClientHeight = 191;

class TfrmAbout : public ModalDialog {
 public:
  // mainWindow: the window the box is centred on each time it opens.
  TfrmAbout(HINSTANCE instance, HWND mainWindow);
  ~TfrmAbout() override;

  void ShowModal();

  void lblEmailAddressClick();
  void lblUrlClick();

 protected:
  bool OnCommand(int id, int code) override;
  INT_PTR DialogProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  HWND InitialFocus() override;

 private:
  bool IsLink(HWND control) const;

  HWND mainWindow_;
  UniqueIcon icon_;
  HFONT linkFont_ = nullptr;
};

}  // namespace tervane::win32
