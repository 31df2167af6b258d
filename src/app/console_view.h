// The console program's views: its list view keeps the selection like the in-memory view and
// writes every log line and every change of the self-test status to an output stream, one line
// each; its rows write every change of a server's state cells, one line each with the time,
// rendered from the server itself, and a server added in a state other than "-" (paused, at
// load) is shown in it at once. Text from outside (names, maps) is written with its control
// characters escaped.
#pragma once

#include <ostream>

#include "core/list_view.h"
#include "support/event_log.h"
#include "ui/memory_list_view.h"
#include "ui/rows.h"

namespace tervane {

class ConsoleListView : public MemoryListView {
 public:
  explicit ConsoleListView(std::ostream& out) : out_(out) {}

  void ShowSelfTestStatus(const std::u16string& text) override;
  void AppendLogLine(const std::u16string& line) override;

 private:
  std::ostream& out_;
};

class ConsoleRows final : public ShownRows {
 public:
  ConsoleRows(ObserverList<const ServerChange&>& changes, const ServerList& list, const MessageTexts& texts,
              std::ostream& out, IClock& clock)
      : ShownRows(list, texts), out_(out), clock_(clock) {
    Follow(changes);
  }

 private:
  void Inserted(std::size_t row, const RowTexts& texts, bool appended) override;
  void Deleted(std::size_t) override {}
  void CellChanged(std::size_t row, int column, const std::u16string& text) override;
  void StateLine(std::size_t row, int column, const std::u16string& text);

  std::ostream& out_;
  IClock& clock_;
  // The time stamp of the last state line, made again only when the clock moved on: a cycle
  // writes hundreds of lines within one second.
  LocalTime stampedAt_;
  bool stamped_ = false;
  char stamp_[32] = {};
};

}  // namespace tervane
