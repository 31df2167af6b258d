// The server list view as the portable logic sees it: rows of ten texts in ServerList order,
// the selection, the self-test status bar and the log memo. The Windows list view, the Linux
// console view and the tests' in-memory view implement it.
#pragma once

#include <array>
#include <initializer_list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/server_entry.h"
#include "support/message_texts.h"

namespace tervane {

// Column 0 is the row's caption; columns 1 to 9 are its sub-cells 0 to 8.
enum Column : int {
  ColServerName = 0,
  ColIPAddress = 1,
  ColPort = 2,
  ColFileName = 3,
  ColPriority = 4,
  ColProcessStatus = 5,
  ColNetworkStatus = 6,
  ColMap = 7,
  ColPlayers = 8,
  ColRestarts = 9,
};
inline constexpr int kColumnCount = 10;

// The column headers as shipped, in column order (a language file may replace them).
inline constexpr std::array<std::u16string_view, kColumnCount> kColumnCaptions = {
    u"Server Name",    u"IP Address",     u"Port", u"Executable File", u"Priority",
    u"Process Status", u"Network Status", u"Map",  u"Players",         u"Restarts"};

using RowTexts = std::array<std::u16string, kColumnCount>;

inline constexpr char16_t kNoValue[] = u"-";

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

struct Server;

// What a row's texts were made of when it was last rendered whole: a row rendered again from
// the same record and status is left as it is, so that a server that keeps answering costs no
// text per cycle. Any rendering of single columns makes it invalid.
struct RowInputs {
  bool valid = false;
  const MessageTexts* texts = nullptr;
  std::u16string name, fileName, startError;
  std::string address, map;
  int port = 0, priority = 0, lost = 0, timeouts = 0, restarts = 0, players = 0, maxPlayers = 0;
  int process = 0, network = 0;
  bool paused = false, hasReply = false;
};

// The ten texts of a server's row, all from its record and live status: caption, address,
// port, executable, priority name, then the state cells.
RowTexts RowTextsFor(const Server& server, const MessageTexts& texts);

// Brings row `row` up to date with its server: writes the cells whose text changed since the
// server was last rendered, and only those.
void RenderRow(IListView& view, int row, Server& server, const MessageTexts& texts);
// The same for some of the columns only.
void RenderColumns(IListView& view, int row, Server& server, const MessageTexts& texts,
                   std::initializer_list<int> columns);

// Inserts the server's row at `row` (the end when out of range) and remembers it as rendered.
void InsertServerRow(IListView& view, int row, Server& server, const MessageTexts& texts);

// Appends the row of the server that was just appended to the ServerList.
void AddServerRow(IListView& view, Server& server, const MessageTexts& texts);

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
