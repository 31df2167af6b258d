// The program's message boxes: MessageBoxW captioned "Tervane", owned by the window that
// raised the message.
#pragma once

#include <windows.h>

#include <functional>

#include "ui/main_logic.h"

namespace tervane::win32 {

inline constexpr wchar_t kBoxCaption[] = L"Tervane";

// MessageBoxW's style for a kind of box: Yes/No with a warning icon for a confirmation, OK with
// an error, information or warning icon for the others.
UINT BoxStyle(BoxKind kind);

class MessageBoxesWin32 : public IMessageBoxes {
 public:
  // ownerOf answers the window of an owner role (the main window when that dialog is not there).
  explicit MessageBoxesWin32(std::function<HWND(BoxOwner)> ownerOf) : ownerOf_(std::move(ownerOf)) {}
  bool Show(BoxOwner owner, BoxKind kind, const std::u16string& text) override;

 private:
  std::function<HWND(BoxOwner)> ownerOf_;
};

}  // namespace tervane::win32
