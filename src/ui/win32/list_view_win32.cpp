#include "ui/win32/list_view_win32.h"

#include <commctrl.h>

#include <vector>

#include "ui/win32/win32_util.h"

namespace tervane::win32 {

ListViewWin32::ListViewWin32(HWND listView, HWND memo, HWND statusBar)
    : lv_(listView), memo_(memo), status_(statusBar) {
  for (int column = 0; column < kColumnCount; ++column) {
    std::u16string caption(kColumnCaptions[static_cast<size_t>(column)]);
    LVCOLUMNW c{};
    c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM | LVCF_FMT;
    c.fmt = LVCFMT_LEFT;
    c.cx = kColumnWidths[static_cast<size_t>(column)];
    c.pszText = W(caption);
    c.iSubItem = column;
    SendMessageW(lv_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&c));
  }
  // The log grows for the whole run; the memo's own limit would cut it.
  SendMessageW(memo_, EM_SETLIMITTEXT, 0, 0);
  // One text panel across the bottom edge.
  SendMessageW(status_, SB_SIMPLE, TRUE, 0);
}

int ListViewWin32::RowCount() const {
  return static_cast<int>(SendMessageW(lv_, LVM_GETITEMCOUNT, 0, 0));
}

void ListViewWin32::InsertRow(int index, const RowTexts& texts) {
  const int count = RowCount();
  if (index < 0 || index > count) index = count;
  std::u16string caption = texts[0];
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = index;
  item.pszText = W(caption);
  const int at = static_cast<int>(SendMessageW(lv_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  if (at < 0) return;
  for (int column = 1; column < kColumnCount; ++column) SetCell(at, column, texts[static_cast<size_t>(column)]);
}

void ListViewWin32::DeleteServerRow(int index) {
  if (index < 0 || index >= RowCount()) return;
  SendMessageW(lv_, LVM_DELETEITEM, static_cast<WPARAM>(index), 0);
}

std::u16string ListViewWin32::Cell(int row, int column) const {
  if (row < 0 || row >= RowCount() || column < 0 || column >= kColumnCount) return {};
  // The control answers how much it copied; a full buffer may mean a longer text.
  std::vector<wchar_t> buffer(272);
  for (;;) {
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer.data();
    item.cchTextMax = static_cast<int>(buffer.size());
    const auto copied = static_cast<size_t>(
        SendMessageW(lv_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)));
    if (copied + 1 < buffer.size() || buffer.size() >= (1u << 20)) {
      buffer.back() = L'\0';
      return U(std::wstring_view(buffer.data(), copied < buffer.size() ? copied : buffer.size() - 1));
    }
    buffer.resize(buffer.size() * 2);
  }
}

void ListViewWin32::SetCell(int row, int column, const std::u16string& text) {
  if (row < 0 || row >= RowCount() || column < 0 || column >= kColumnCount) return;
  std::u16string copy = text;
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = W(copy);
  SendMessageW(lv_, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

int ListViewWin32::SelectedCount() const {
  return static_cast<int>(SendMessageW(lv_, LVM_GETSELECTEDCOUNT, 0, 0));
}

bool ListViewWin32::IsSelected(int row) const {
  if (row < 0 || row >= RowCount()) return false;
  return (SendMessageW(lv_, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

void ListViewWin32::SetSelected(int row, bool selected) {
  if (row < 0 || row >= RowCount()) return;
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED;
  item.state = selected ? LVIS_SELECTED : 0;
  SendMessageW(lv_, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void ListViewWin32::ShowSelfTestStatus(const std::u16string& text) {
  SendMessageW(status_, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(W(text)));
}

void ListViewWin32::AppendLogLine(const std::u16string& line) {
  // Lines are separated, not ended, by a line break, so the last line is never followed by an
  // empty one.
  const int length = GetWindowTextLengthW(memo_);
  const std::u16string text = length > 0 ? u"\r\n" + line : line;
  SendMessageW(memo_, EM_SETSEL, static_cast<WPARAM>(length), static_cast<LPARAM>(length));
  SendMessageW(memo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(W(text)));
}

void ListViewWin32::BeginUpdate() {
  if (updateDepth_++ == 0) SendMessageW(lv_, WM_SETREDRAW, FALSE, 0);
}

void ListViewWin32::EndUpdate() {
  if (updateDepth_ == 0) return;
  if (--updateDepth_ == 0) {
    SendMessageW(lv_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(lv_, nullptr, TRUE);
  }
}

void ListViewWin32::Clear() { SendMessageW(lv_, LVM_DELETEALLITEMS, 0, 0); }

void ListViewWin32::ClearLog() { SetWindowTextW(memo_, L""); }

std::u16string ListViewWin32::ColumnCaption(int column) const {
  if (column < 0 || column >= kColumnCount) return {};
  wchar_t buffer[260] = {};
  LVCOLUMNW c{};
  c.mask = LVCF_TEXT;
  c.pszText = buffer;
  c.cchTextMax = static_cast<int>(std::size(buffer));
  if (!SendMessageW(lv_, LVM_GETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&c))) return {};
  buffer[std::size(buffer) - 1] = L'\0';
  return U(buffer);
}

void ListViewWin32::SetColumnCaption(int column, const std::u16string& caption) {
  if (column < 0 || column >= kColumnCount) return;
  std::u16string copy = caption;
  LVCOLUMNW c{};
  c.mask = LVCF_TEXT;
  c.pszText = W(copy);
  SendMessageW(lv_, LVM_SETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&c));
}

int ListViewWin32::RowAt(POINT point) const {
  RECT client{};
  GetClientRect(lv_, &client);
  if (!PtInRect(&client, point)) return -1;
  LVHITTESTINFO hit{};
  hit.pt = point;
  const int row = static_cast<int>(SendMessageW(lv_, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
  return row >= 0 && row < RowCount() ? row : -1;
}

}  // namespace tervane::win32
