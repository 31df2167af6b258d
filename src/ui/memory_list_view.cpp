#include "ui/memory_list_view.h"

namespace tervane {

void MemoryListView::InsertRow(int index, const RowTexts& texts) {
  if (index < 0 || index > RowCount()) index = RowCount();
  rows_.insert(rows_.begin() + index, texts);
  std::set<int> moved;
  for (int s : selected_) moved.insert(s >= index ? s + 1 : s);
  selected_ = std::move(moved);
}

void MemoryListView::DeleteServerRow(int index) {
  if (index < 0 || index >= RowCount()) return;
  rows_.erase(rows_.begin() + index);
  std::set<int> moved;
  for (int s : selected_)
    if (s != index) moved.insert(s > index ? s - 1 : s);
  selected_ = std::move(moved);
}

std::u16string MemoryListView::Cell(int row, int column) const {
  if (row < 0 || row >= RowCount() || column < 0 || column >= kColumnCount) return {};
  return rows_[static_cast<size_t>(row)][static_cast<size_t>(column)];
}

void MemoryListView::SetCell(int row, int column, const std::u16string& text) {
  if (row < 0 || row >= RowCount() || column < 0 || column >= kColumnCount) return;
  rows_[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
}

void MemoryListView::SetSelected(int row, bool selected) {
  if (row < 0 || row >= RowCount()) return;
  if (selected)
    selected_.insert(row);
  else
    selected_.erase(row);
}

}  // namespace tervane
