#include "ui/win32/modal_dialog.h"

namespace tervane::win32 {

ModalDialog::~ModalDialog() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
    DestroyWindow(hwnd_);
  }
}

bool ModalDialog::Create(HINSTANCE instance, int templateId, HWND owner) {
  owner_ = owner;
  hwnd_ = CreateDialogParamW(instance, MAKEINTRESOURCEW(templateId), owner, Proc,
                             reinterpret_cast<LPARAM>(this));
  return hwnd_ != nullptr;
}

INT_PTR CALLBACK ModalDialog::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<ModalDialog*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
    return FALSE;  // the focus is set when the dialog is shown
  }
  auto* self = reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  return self ? self->Handle(message, wParam, lParam) : FALSE;
}

INT_PTR ModalDialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      return OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_CLOSE:
      OnClose();
      return TRUE;
    default:
      return DialogProc(message, wParam, lParam);
  }
}

int ModalDialog::RunModal() {
  if (running_ || hwnd_ == nullptr) return kCancel;
  running_ = true;
  ended_ = false;
  result_ = kCancel;
  const bool disableOwner = owner_ != nullptr && IsWindowEnabled(owner_);
  if (disableOwner) EnableWindow(owner_, FALSE);
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  if (HWND focus = InitialFocus()) SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);

  MSG message;
  while (!ended_) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      // The program is ending: the dialog ends as cancelled and the quit goes on to the loop.
      PostQuitMessage(static_cast<int>(message.wParam));
      result_ = kCancel;
      break;
    }
    if (got == -1) break;
    if (!IsDialogMessageW(hwnd_, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

  // The owner first, so that the activation goes back to it and not to another program.
  if (disableOwner) EnableWindow(owner_, TRUE);
  ShowWindow(hwnd_, SW_HIDE);
  if (owner_ && IsWindowVisible(owner_)) SetActiveWindow(owner_);
  running_ = false;
  return result_;
}

void ModalDialog::EndModal(int result) {
  result_ = result;
  ended_ = true;
  // Wakes the loop when the end comes from inside a nested loop's handler.
  PostMessageW(hwnd_, WM_NULL, 0, 0);
}

}  // namespace tervane::win32
