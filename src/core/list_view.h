// The server list view as the portable logic sees it: rows of ten texts in ServerList order,
// the selection, the self-test status bar and the log memo. The Windows list view, the Linux
// console view and the tests' in-memory view implement it; ui/rows.h writes the rows' texts.
#pragma once

#include <array>
#include <set>
#include <string>
#include <vector>

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

// A list view held in memory: keeps the ten texts of every row, the selection, the status bar
// text and the log lines. Serves the tests and the console program.
class MemoryListView : public IListView {
 public:
  int RowCount() const override { return static_cast<int>(rows_.size()); }
  void InsertRow(int index, const RowTexts& texts) override;
  void DeleteServerRow(int index) override;
  std::u16string Cell(int row, int column) const override;
  void SetCell(int row, int column, const std::u16string& text) override;

  int SelectedCount() const override { return static_cast<int>(selected_.size()); }
  bool IsSelected(int row) const override { return selected_.count(row) != 0; }
  void SetSelected(int row, bool selected) override;

  void ShowSelfTestStatus(const std::u16string& text) override { status_ = text; }
  void AppendLogLine(const std::u16string& line) override { log_.push_back(line); }

  const RowTexts& Row(int row) const { return rows_.at(static_cast<size_t>(row)); }
  const std::u16string& Status() const { return status_; }
  const std::vector<std::u16string>& LogLines() const { return log_; }

 private:
  std::vector<RowTexts> rows_;
  std::set<int> selected_;
  std::u16string status_;
  std::vector<std::u16string> log_;
};

}  // namespace tervane
