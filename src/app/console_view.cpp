#include "app/console_view.h"

#include "support/text.h"

namespace tervane {

void ConsoleListView::SetCell(int row, int column, const std::u16string& text) {
  const std::u16string before = Cell(row, column);
  MemoryListView::SetCell(row, column, text);
  if (column >= ColProcessStatus && column < kColumnCount && before != text && row >= 0 && row < RowCount())
    out_ << Utf16ToUtf8(Cell(row, ColServerName)) << " | " << Utf16ToUtf8(kColumnCaptions[static_cast<std::size_t>(column)])
         << ": " << Utf16ToUtf8(text) << std::endl;
}

void ConsoleListView::ShowSelfTestStatus(const std::u16string& text) {
  if (text != Status()) out_ << Utf16ToUtf8(text) << std::endl;
  MemoryListView::ShowSelfTestStatus(text);
}

void ConsoleListView::AppendLogLine(const std::u16string& line) {
  MemoryListView::AppendLogLine(line);
  out_ << Utf16ToUtf8(line) << std::endl;
}

}  // namespace tervane
