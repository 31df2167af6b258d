#include "app/console_view.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "app/server_cli.h"
#include "support/text.h"

namespace tervane {

namespace {

// What each state line names the cell it tells of.
constexpr std::array<std::string_view, kColumnCount> kStateNames = {
    "", "", "", "", "", "Process Status", "Network Status", "Map", "Players", "Restarts"};

}  // namespace

void ConsoleRows::StateLine(std::size_t row, int column, const std::u16string& text) {
  const LocalTime t = clock_.Now();
  const LocalTime& s = stampedAt_;
  if (!stamped_ || t.second != s.second || t.minute != s.minute || t.hour != s.hour || t.day != s.day ||
      t.month != s.month || t.year != s.year) {
    std::snprintf(stamp_, sizeof stamp_, "[%04d-%02d-%02d %02d:%02d:%02d] ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    stampedAt_ = t;
    stamped_ = true;
  }
  out_ << stamp_ << TerminalSafe(list_.at(row)->Name.str()) << " | " << kStateNames[static_cast<std::size_t>(column)]
       << ": " << TerminalSafe(text) << std::endl;
}

void ConsoleRows::Inserted(std::size_t row, const RowTexts& texts, bool appended) {
  if (!appended) return;  // a row moved within the list shows nothing new
  for (int column = ColProcessStatus; column <= ColNetworkStatus; ++column)
    if (texts[static_cast<std::size_t>(column)] != kNoValue) StateLine(row, column, texts[static_cast<std::size_t>(column)]);
}

void ConsoleRows::CellChanged(std::size_t row, int column, const std::u16string& text) {
  if (column >= ColProcessStatus && column < kColumnCount) StateLine(row, column, text);
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
