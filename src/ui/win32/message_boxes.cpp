#include "ui/win32/message_boxes.h"

#include "ui/win32/win32_util.h"

namespace tervane::win32 {

UINT BoxStyle(BoxKind kind) {
  switch (kind) {
    case BoxKind::Confirm:
      return MB_YESNO | MB_ICONWARNING;
    case BoxKind::Error:
      return MB_OK | MB_ICONERROR;
    case BoxKind::Information:
      return MB_OK | MB_ICONINFORMATION;
    case BoxKind::Warning:
      return MB_OK | MB_ICONWARNING;
  }
  return MB_OK;
}

bool MessageBoxesWin32::Show(BoxOwner owner, BoxKind kind, const std::u16string& text) {
  HWND window = ownerOf_ ? ownerOf_(owner) : nullptr;
  const int answer = MessageBoxW(window, W(text), kBoxCaption, BoxStyle(kind));
  return kind == BoxKind::Confirm ? answer == IDYES : answer == IDOK;
}

}  // namespace tervane::win32
