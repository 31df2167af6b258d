// The server list view LV on the Windows list-view control, with the log memo memLogs and the
// status bar stsbSelfTest: the IListView that the supervision and the commands write to.
#pragma once

#include <windows.h>

#include <array>

#include "core/list_view.h"
#include "ui/rows.h"

namespace tervane::win32 {

// The ten columns' widths in pixels; their captions are kColumnCaptions.
inline constexpr std::array<int, kColumnCount> kColumnWidths{80, 95, 45, 175, 65, 90, 90, 80, 50, 60};

class ListViewWin32 : public IListView {
 public:
  // The three controls exist already; the columns are added here.
  ListViewWin32(HWND listView, HWND memo, HWND statusBar);

  int RowCount() const override;
  void InsertRow(int index, const RowTexts& texts) override;
  void DeleteServerRow(int index) override;
  std::u16string Cell(int row, int column) const override;
  void SetCell(int row, int column, const std::u16string& text) override;

  int SelectedCount() const override;
  bool IsSelected(int row) const override;
  void SetSelected(int row, bool selected) override;

  void ShowSelfTestStatus(const std::u16string& text) override;
  void AppendLogLine(const std::u16string& line) override;

  void BeginUpdate() override;
  void EndUpdate() override;

  // Empties the view (rows and selection) and the memo.
  void Clear();
  void ClearLog();

  std::u16string ColumnCaption(int column) const;
  void SetColumnCaption(int column, const std::u16string& caption);

  // The row under a point in the view's client coordinates, or -1.
  int RowAt(POINT point) const;

  HWND ListHandle() const { return lv_; }
  HWND MemoHandle() const { return memo_; }
  HWND StatusHandle() const { return status_; }

 private:
  HWND lv_;
  HWND memo_;
  HWND status_;
  int updateDepth_ = 0;
};

}  // namespace tervane::win32
