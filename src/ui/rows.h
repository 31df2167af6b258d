// The rows of the server list as the doors show them: the ten texts of a server's row, made from
// its record and live state alone, and the rows as last shown, which follow the servers' change
// list and write only the texts that changed. The Windows list view and the Linux console both
// draw from here; neither reads a text back.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/list_view.h"
#include "core/server.h"
#include "core/server_change.h"
#include "support/message_texts.h"
#include "support/observers.h"

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

// The column headers as shipped, in column order (a language file may replace them).
inline constexpr std::array<std::u16string_view, kColumnCount> kColumnCaptions = {
    u"Server Name",    u"IP Address",     u"Port", u"Executable File", u"Priority",
    u"Process Status", u"Network Status", u"Map",  u"Players",         u"Restarts"};

inline constexpr char16_t kNoValue[] = u"-";

// Everything of a server that its row's texts are made of, and nothing else: a row shown from
// equal inputs shows the same texts, so that a server that keeps answering costs no text.
struct RowInputs {
  std::u16string name, fileName, startError;
  std::string address, map;
  int port = 0, priority = 0, lost = 0, timeouts = 0, restarts = 0, players = 0, maxPlayers = 0;
  ProcessState process = ProcessState::Unknown;  // as shown: Paused while paused
  NetworkState network = NetworkState::Unknown;
  bool reply = false;  // map and players are shown
  bool operator==(const RowInputs&) const = default;
};

// Reads a server's inputs into `into`, in its strings' own storage: no allocation once they have
// held as long a text.
void ReadRowInputs(const Server& server, RowInputs& into);
// The ten texts of a row made of these inputs: caption, address, port, executable, priority
// name, then the state cells.
RowTexts RowTextsOf(const RowInputs& inputs, const MessageTexts& texts);
RowTexts RowTextsFor(const Server& server, const MessageTexts& texts);

// The rows as last shown, in list order, following the servers' changes: a row is inserted,
// deleted or moved with its server, and rendered again when its server's record or state
// changed, writing the cells whose text changed and only those. Where the texts go is the
// derived class's.
class ShownRows {
 public:
  ShownRows(const ServerList& list, const MessageTexts& texts);
  virtual ~ShownRows();
  ShownRows(const ShownRows&) = delete;
  ShownRows& operator=(const ShownRows&) = delete;

  // Follows this change list until destroyed.
  void Follow(ObserverList<const ServerChange&>& changes);
  void OnChange(const ServerChange& change);
  // After the texts changed language: the Priority cells, and the state cells of paused
  // servers that do not show "-". The other cells take the new texts with their next change.
  void Retranslate();
  std::size_t size() const { return rows_.size(); }
  const RowTexts& Shown(std::size_t row) const { return rows_.at(row).texts; }

 protected:
  // A row inserted at `row` (appended: at the end, a server new to the list), deleted, or one
  // cell of it changed.
  virtual void Inserted(std::size_t row, const RowTexts& texts, bool appended) = 0;
  virtual void Deleted(std::size_t row) = 0;
  virtual void CellChanged(std::size_t row, int column, const std::u16string& text) = 0;

  const ServerList& list_;
  const MessageTexts& texts_;

 private:
  struct Row {
    RowTexts texts;
    RowInputs from;
    bool valid = false;  // texts are made of `from`: single columns written since make it false
  };
  void Insert(std::size_t row, bool appended);
  void Render(std::size_t row);
  void RenderColumns(std::size_t row, std::initializer_list<int> columns);
  // Writes a column's text when it differs from the one shown, and remembers it.
  void Write(std::size_t row, int column, RowTexts& now);

  std::vector<Row> rows_;
  RowInputs read_;  // the inputs read now, kept for its storage
  ObserverList<const ServerChange&>* followed_ = nullptr;
  int follower_ = 0;
};

// The rows of a list view (the window's, or one held in memory).
class ListRows final : public ShownRows {
 public:
  ListRows(const ServerList& list, const MessageTexts& texts, IListView& view) : ShownRows(list, texts), view_(view) {}
  ListRows(ObserverList<const ServerChange&>& changes, const ServerList& list, const MessageTexts& texts,
           IListView& view)
      : ListRows(list, texts, view) {
    Follow(changes);
  }

 private:
  void Inserted(std::size_t row, const RowTexts& texts, bool appended) override;
  void Deleted(std::size_t row) override;
  void CellChanged(std::size_t row, int column, const std::u16string& text) override;

  IListView& view_;
};

}  // namespace tervane
