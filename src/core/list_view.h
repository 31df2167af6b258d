// The server list view as the portable logic sees it: rows of ten texts in ServerList order,
// the selection, the self-test status bar and the log memo. The Windows list view, the Linux
// console view and the tests' in-memory view implement it; ui/rows.h writes the rows' texts.
#pragma once

#include <array>
#include <string>

namespace tervane {

// A row's texts: the server's caption, then its nine sub-cells (ui/rows.h names the columns).
inline constexpr int kColumnCount = 10;
using RowTexts = std::array<std::u16string, kColumnCount>;

class IListView {
 public:
  virtual ~IListView() = default;

  virtual int RowCount() const = 0;
  virtual void InsertRow(int index, const RowTexts& texts) = 0;
  virtual void DeleteServerRow(int index) = 0;
  virtual std::u16string Cell(int row, int column) const = 0;
  virtual void SetCell(int row, int column, const std::u16string& text) = 0;

  virtual int SelectedCount() const = 0;
  virtual bool IsSelected(int row) const = 0;
  virtual void SetSelected(int row, bool selected) = 0;
  // The selected row with the lowest index, or -1.
  int FirstSelected() const {
    for (int i = 0; i < RowCount(); ++i)
      if (IsSelected(i)) return i;
    return -1;
  }

  virtual void ShowSelfTestStatus(const std::u16string& text) = 0;
  virtual void AppendLogLine(const std::u16string& line) = 0;

  // Repainting suspended around a batch of changes (Delete Server(s)).
  virtual void BeginUpdate() {}
  virtual void EndUpdate() {}
};

}  // namespace tervane
