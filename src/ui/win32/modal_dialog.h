// A dialog made once from its resource template, hidden between uses and shown modally again
// and again, its controls keeping their values: the way the program's dialogs live. ShowModal
// disables the owner, runs the thread's messages (timers and socket news go on) until the dialog
// ends, then enables the owner and hides the dialog.
#pragma once

#include <windows.h>

namespace tervane::win32 {

class ModalDialog {
 public:
  enum Result { kCancel = 0, kOK = 1 };

  virtual ~ModalDialog();
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;

  HWND Handle() const { return hwnd_; }
  bool Showing() const { return running_; }

 protected:
  ModalDialog() = default;
  // Creates the hidden dialog.
  bool Create(HINSTANCE instance, int templateId, HWND owner);
  // Answers the result given to EndModal; kCancel when the program quits meanwhile or when a
  // modal run of this dialog is already going on.
  int RunModal();
  void EndModal(int result);

  // A command of a control (WM_COMMAND): answers whether it was handled.
  virtual bool OnCommand(int id, int code) = 0;
  // The close box (WM_CLOSE): ends the dialog as cancelled.
  virtual void OnClose() {
    if (Showing()) EndModal(kCancel);
  }
  // Any other message but WM_INITDIALOG (after which the focus is set when the dialog is
  // shown); answers TRUE for a message it handled (the dialog manager's rule).
  virtual INT_PTR DialogProc(UINT, WPARAM, LPARAM) { return FALSE; }
  // The control that has the focus when the dialog opens.
  virtual HWND InitialFocus() { return nullptr; }

  HWND hwnd_ = nullptr;
  HWND owner_ = nullptr;

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  bool running_ = false;
  bool ended_ = false;
  int result_ = kCancel;
};

}  // namespace tervane::win32
