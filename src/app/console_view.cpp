#include "app/console_view.h"

#include <array>

#include "support/text.h"

namespace tervane {

const std::u16string& ColumnCaption(int column) {
  static const std::array<std::u16string, kColumnCount> captions = {
      u"Server Name",    u"IP Address",     u"Port", u"Executable File", u"Priority",
      u"Process Status", u"Network Status", u"Map",  u"Players",         u"Restarts"};
  static const std::u16string none;
  return column >= 0 && column < kColumnCount ? captions[static_cast<std::size_t>(column)] : none;
}

void ConsoleListView::SetCell(int row, int column, const std::u16string& text) {
  const std::u16string before = Cell(row, column);
  MemoryListView::SetCell(row, column, text);
  if (column >= ColProcessStatus && before != text && row >= 0 && row < RowCount())
    out_ << Utf16ToUtf8(Cell(row, ColServerName)) << " | " << Utf16ToUtf8(ColumnCaption(column))
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
