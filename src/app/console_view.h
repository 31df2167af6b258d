// The server list view of the console program: keeps the rows like the in-memory view and
// writes every log line, every change of a row's state cells and of the self-test status to
// an output stream, one line each; state lines carry the time, and a server added in a state
// other than "-" (paused, at load) is shown in it at once. Text from outside (names, maps) is
// written with its control characters escaped.
#pragma once

#include <ostream>

#include "core/list_view.h"
#include "support/event_log.h"

namespace tervane {

class ConsoleListView : public MemoryListView {
 public:
  ConsoleListView(std::ostream& out, IClock& clock) : out_(out), clock_(clock) {}

  void InsertRow(int index, const RowTexts& texts) override;
  void SetCell(int row, int column, const std::u16string& text) override;
  void ShowSelfTestStatus(const std::u16string& text) override;
  void AppendLogLine(const std::u16string& line) override;

 private:
  void StateLine(int row, int column, const std::u16string& text);

  std::ostream& out_;
  IClock& clock_;
  // The time stamp of the last state line, made again only when the clock moved on: a cycle
  // writes hundreds of lines within one second.
  LocalTime stampedAt_;
  bool stamped_ = false;
  char stamp_[32] = {};
};

}  // namespace tervane
