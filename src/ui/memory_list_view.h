// A list view held in memory: the rows' texts, the selection, the status bar and the log lines.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "core/list_view.h"

namespace tervane {

// Serves the tests and the console program.
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
