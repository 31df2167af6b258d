#include "app/console_view.h"

#include <cstdio>

#include "app/server_cli.h"
#include "support/text.h"

namespace tervane {

void ConsoleListView::StateLine(int row, int column, const std::u16string& text) {
  const LocalTime t = clock_.Now();
  const LocalTime& s = stampedAt_;
  if (!stamped_ || t.second != s.second || t.minute != s.minute || t.hour != s.hour || t.day != s.day ||
      t.month != s.month || t.year != s.year) {
    std::snprintf(stamp_, sizeof stamp_, "[%04d-%02d-%02d %02d:%02d:%02d] ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    stampedAt_ = t;
    stamped_ = true;
  }
  out_ << stamp_ << TerminalSafe(Cell(row, ColServerName)) << " | "
       << Utf16ToUtf8(kColumnCaptions[static_cast<std::size_t>(column)]) << ": " << TerminalSafe(text) << std::endl;
}

void ConsoleListView::InsertRow(int index, const RowTexts& texts) {
  const bool appended = index < 0 || index >= RowCount();
  MemoryListView::InsertRow(index, texts);
  if (!appended) return;  // a row moved within the list shows nothing new
  for (int column = ColProcessStatus; column <= ColNetworkStatus; ++column)
    if (texts[static_cast<std::size_t>(column)] != kNoValue)
      StateLine(RowCount() - 1, column, texts[static_cast<std::size_t>(column)]);
}

void ConsoleListView::SetCell(int row, int column, const std::u16string& text) {
  const std::u16string before = Cell(row, column);
  MemoryListView::SetCell(row, column, text);
  if (column >= ColProcessStatus && column < kColumnCount && before != text && row >= 0 && row < RowCount())
    StateLine(row, column, text);
}

void ConsoleListView::ShowSelfTestStatus(const std::u16string& text) {
  if (text != Status()) out_ << Utf16ToUtf8(text) << std::endl;
  MemoryListView::ShowSelfTestStatus(text);
}

void ConsoleListView::AppendLogLine(const std::u16string& line) {
  MemoryListView::AppendLogLine(line);
  out_ << TerminalSafe(line) << std::endl;
}

}  // namespace tervane
