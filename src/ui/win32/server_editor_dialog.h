// The server editor frmAddServer: shows a ServerEditorState in its controls, hands the OK button
// to the main window's logic and reads the controls back. It decides nothing itself.
#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <string>

#include "ui/main_logic.h"
#include "ui/win32/modal_dialog.h"

namespace tervane::win32 {

inline constexpr char16_t kDlgOpenFilter[] = u"Executable file (*.exe)|*.exe|Any file (*.*)|*.*";

// A filter in the "text|pattern|text|pattern" form as the open-file dialog wants it: each
// part ended by a zero, the whole ended by one more. Empty parts stay empty.
std::wstring OpenFileFilter(const std::u16string& filter);

class TfrmAddServer : public ModalDialog, public IServerEditorDialog {
 public:
  TfrmAddServer(HINSTANCE instance, HWND owner, const MessageTexts& texts);

  // Shows the state modally; OK runs okPressed, which decides whether the dialog closes.
  bool ShowModal(ServerEditorState& state, const std::function<bool()>& okPressed) override;

  // The priority entries (after a language change), keeping the selected index.
  void SetPriorityNames(const std::array<std::u16string, 3>& names);
  // The file dialog's filter in its "text|pattern|..." form.
  std::u16string DlgOpenFilter = kDlgOpenFilter;

  HWND Control(int id) const { return GetDlgItem(hwnd_, id); }

 protected:
  bool OnCommand(int id, int code) override;
  void OnClose() override;
  HWND InitialFocus() override;

 private:
  void LoadFromState();
  void SaveToState();
  void ApplyAffinityLayout();
  void btnBrowseClick();

  ServerEditorState* state_ = nullptr;
  std::function<bool()> okPressed_;
  HINSTANCE instance_;
};

}  // namespace tervane::win32
