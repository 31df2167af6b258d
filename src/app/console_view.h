// The server list view of the console program: keeps the rows like the in-memory view and
// writes every log line, every change of a row's state cells and of the self-test status to
// an output stream, one line each.
#pragma once

#include <ostream>

#include "core/list_view.h"

namespace tervane {

class ConsoleListView : public MemoryListView {
 public:
  explicit ConsoleListView(std::ostream& out) : out_(out) {}

  void SetCell(int row, int column, const std::u16string& text) override;
  void ShowSelfTestStatus(const std::u16string& text) override;
  void AppendLogLine(const std::u16string& line) override;

 private:
  std::ostream& out_;
};

}  // namespace tervane
