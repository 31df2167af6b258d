#include "ui/win32/server_editor_dialog.h"

#include <commctrl.h>
#include <commdlg.h>

#include <vector>

#include "ui/win32/resource_ids.h"
#include "ui/win32/win32_util.h"

namespace tervane::win32 {

namespace {

// The parameter memo takes no line break from the Enter key (with or without Ctrl); pasted
// text may still hold line breaks, which the OK button's check removes.
LRESULT CALLBACK ParamsMemoProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR) {
  if ((message == WM_KEYDOWN && wParam == VK_RETURN) ||
      (message == WM_CHAR && (wParam == L'\r' || wParam == L'\n')))
    return 0;
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

constexpr int kCpuBoxes = 32;

}  // namespace

std::wstring OpenFileFilter(const std::u16string& filter) {
  std::wstring out;
  for (char16_t c : filter) out.push_back(c == u'|' ? L'\0' : static_cast<wchar_t>(c));
  out.push_back(L'\0');
  out.push_back(L'\0');
  return out;
}

TfrmAddServer::TfrmAddServer(HINSTANCE instance, HWND owner, const MessageTexts& texts)
    : instance_(instance) {
  Create(instance, IDD_frmAddServer, owner);
  SendMessageW(Control(IDC_edtName), EM_LIMITTEXT, 31, 0);
  SendMessageW(Control(IDC_edtFileName), EM_LIMITTEXT, 259, 0);
  SetWindowSubclass(Control(IDC_edtParams), ParamsMemoProc, 1, 0);
  SetPriorityNames({texts.PriorityName(0), texts.PriorityName(1), texts.PriorityName(2)});
}

HWND TfrmAddServer::InitialFocus() { return Control(IDC_edtName); }

void TfrmAddServer::SetPriorityNames(const std::array<std::u16string, 3>& names) {
  HWND combo = Control(IDC_cbbPriority);
  const LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (const auto& name : names) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(name)));
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

bool TfrmAddServer::ShowModal(ServerEditorState& state, const std::function<bool()>& okPressed) {
  if (Showing()) return false;
  state_ = &state;
  okPressed_ = okPressed;
  LoadFromState();
  CenterOn(hwnd_, ScreenRect());
  const bool ok = RunModal() == kOK;
  state_ = nullptr;
  okPressed_ = nullptr;
  return ok;
}

void TfrmAddServer::LoadFromState() {
  const ServerEditorState& s = *state_;
  SetText(hwnd_, s.Caption);
  SetText(Control(IDC_edtName), s.edtName);
  SendMessageW(Control(IDC_cbbPriority), CB_SETCURSEL,
               static_cast<WPARAM>(s.cbbPriority >= 0 && s.cbbPriority <= 2 ? s.cbbPriority : -1), 0);
  CheckDlgButton(hwnd_, IDC_cbbHideServer, s.cbbHideServer ? BST_CHECKED : BST_UNCHECKED);
  SetText(Control(IDC_edtFileName), s.edtFileName);
  SetText(Control(IDC_edtParams), s.edtParams);
  for (int n = 0; n < kCpuBoxes; ++n) {
    EnableWindow(Control(IDC_cbCPU0 + n), s.cpuEnabled[static_cast<size_t>(n)]);
    CheckDlgButton(hwnd_, IDC_cbCPU0 + n, s.cpuChecked[static_cast<size_t>(n)] ? BST_CHECKED : BST_UNCHECKED);
  }
  ApplyAffinityLayout();
}

void TfrmAddServer::SaveToState() {
  if (state_ == nullptr) return;
  ServerEditorState& s = *state_;
  s.edtName = GetText(Control(IDC_edtName));
  const LRESULT priority = SendMessageW(Control(IDC_cbbPriority), CB_GETCURSEL, 0, 0);
  s.cbbPriority = priority == CB_ERR ? 0 : static_cast<int>(priority);
  s.cbbHideServer = IsDlgButtonChecked(hwnd_, IDC_cbbHideServer) == BST_CHECKED;
  s.edtFileName = GetText(Control(IDC_edtFileName));
  s.edtParams = GetText(Control(IDC_edtParams));
  for (int n = 0; n < kCpuBoxes; ++n)
    s.cpuChecked[static_cast<size_t>(n)] = IsDlgButtonChecked(hwnd_, IDC_cbCPU0 + n) == BST_CHECKED;
}

void TfrmAddServer::ApplyAffinityLayout() {
  const ServerEditorState& s = *state_;
  const int show = s.AffinityShown ? SW_SHOW : SW_HIDE;
  ShowWindow(Control(IDC_gbProcessAffinity), show);
  for (int n = 0; n < kCpuBoxes; ++n) ShowWindow(Control(IDC_cbCPU0 + n), show);
  SetText(Control(IDC_btnProcessAffinity), s.AffinityButtonCaption());
  // The height is the window's outer height; the width stays as the template made it.
  const RECT r = WindowRectOf(hwnd_);
  SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, s.Height(),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmAddServer::btnBrowseClick() {
  const std::wstring filter = OpenFileFilter(DlgOpenFilter);
  std::vector<wchar_t> file(32768, L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.Flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_ENABLESIZING | OFN_EXPLORER;
  if (GetOpenFileNameW(&ofn)) {
    file.back() = L'\0';
    SetWindowTextW(Control(IDC_edtFileName), file.data());
  }
}

bool TfrmAddServer::OnCommand(int id, int code) {
  if (code != BN_CLICKED) return true;
  switch (id) {
    case IDC_btnOK:
      SaveToState();
      if (okPressed_ && okPressed_()) EndModal(kOK);
      break;
    case IDC_btnCancel:
      SaveToState();
      EndModal(kCancel);
      break;
    case IDC_btnBrowse:
      btnBrowseClick();
      break;
    case IDC_btnProcessAffinity:
      if (state_) {
        state_->btnProcessAffinityClick();
        ApplyAffinityLayout();
      }
      break;
    default:
      // IDOK and IDCANCEL come from the Enter and Escape keys: no button is bound to them.
      break;
  }
  return true;
}

void TfrmAddServer::OnClose() {
  // The close box cancels like btnCancel.
  SaveToState();
  ModalDialog::OnClose();
}

}  // namespace tervane::win32
