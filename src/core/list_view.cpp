#include "core/list_view.h"

#include "core/server_list.h"
#include "support/text.h"

namespace tervane {

namespace {

std::u16string ProcessText(const Server& s, const MessageTexts& texts) {
  switch (s.ProcessStatus()) {
    case ProcessState::Running: return texts.Get(Msg::Normal);
    case ProcessState::Lost: return FormatText(texts.Get(Msg::Lost), {static_cast<int>(s.LostCount), kLostLimit});
    case ProcessState::Restarting: return texts.Get(Msg::Restarting);
    case ProcessState::StartFailed: return FormatText(texts.Get(ExtraMsg::StartFailed), {s.Status.startError});
    case ProcessState::Paused: return texts.Get(Msg::PausedMonitor);
    case ProcessState::Unknown: break;
  }
  return kNoValue;
}

std::u16string NetworkText(const Server& s, const MessageTexts& texts) {
  switch (s.NetworkStatus()) {
    case NetworkState::Normal: return texts.Get(Msg::Normal);
    case NetworkState::Timeout:
      return FormatText(texts.Get(Msg::Timeout), {static_cast<int>(s.TimeoutCount), kTimeoutLimit});
    case NetworkState::Paused: return texts.Get(Msg::PausedMonitor);
    case NetworkState::Unknown: break;
  }
  return kNoValue;
}

bool MadeOf(const RowInputs& r, const Server& s, const MessageTexts& texts) {
  return r.valid && r.texts == &texts && r.port == s.Port && r.priority == s.Priority && r.lost == s.LostCount &&
         r.timeouts == s.TimeoutCount && r.restarts == s.Restarts && r.paused == (s.Paused != 0) &&
         r.process == static_cast<int>(s.ProcessStatus()) && r.network == static_cast<int>(s.NetworkStatus()) &&
         r.hasReply == s.Status.hasReply && r.players == s.Status.players && r.maxPlayers == s.Status.maxPlayers &&
         r.map == s.Status.map && r.startError == s.Status.startError && r.address == s.IPAddress.view() &&
         s.Name.Holds(r.name) && s.FileName.Holds(r.fileName);
}

// Kept in the strings' own storage: no allocation once they have held as long a text.
void Remember(RowInputs& r, const Server& s, const MessageTexts& texts) {
  r.valid = true;
  r.texts = &texts;
  r.port = s.Port;
  r.priority = s.Priority;
  r.lost = s.LostCount;
  r.timeouts = s.TimeoutCount;
  r.restarts = s.Restarts;
  r.paused = s.Paused != 0;
  r.process = static_cast<int>(s.ProcessStatus());
  r.network = static_cast<int>(s.NetworkStatus());
  r.hasReply = s.Status.hasReply;
  r.players = s.Status.players;
  r.maxPlayers = s.Status.maxPlayers;
  r.map.assign(s.Status.map);
  r.startError.assign(s.Status.startError);
  r.address.assign(s.IPAddress.view());
  s.Name.CopyTo(r.name);
  s.FileName.CopyTo(r.fileName);
}

}  // namespace

RowTexts RowTextsFor(const Server& s, const MessageTexts& texts) {
  const bool reply = s.Status.hasReply && !s.Paused;
  return RowTexts{
      s.Name.str(),
      FromSystem8(s.IPAddress.str()),
      ToU16(s.Port),
      s.FileName.str(),
      texts.PriorityName(s.Priority),
      ProcessText(s, texts),
      NetworkText(s, texts),
      reply ? FromSystem8(s.Status.map) : kNoValue,
      reply ? FormatText(u"%d/%d", {s.Status.players, s.Status.maxPlayers}) : kNoValue,
      s.Restarts < 0 ? std::u16string(kNoValue) : ToU16(s.Restarts),
  };
}

void RenderColumns(IListView& view, int row, Server& server, const MessageTexts& texts,
                   std::initializer_list<int> columns) {
  server.ShownFrom.valid = false;
  RowTexts now = RowTextsFor(server, texts);
  for (int col : columns) {
    auto& shown = server.Shown[static_cast<std::size_t>(col)];
    auto& text = now[static_cast<std::size_t>(col)];
    if (shown == text) continue;
    view.SetCell(row, col, text);
    shown = std::move(text);
  }
}

void RenderRow(IListView& view, int row, Server& server, const MessageTexts& texts) {
  if (MadeOf(server.ShownFrom, server, texts)) return;
  RenderColumns(view, row, server, texts,
                {ColServerName, ColIPAddress, ColPort, ColFileName, ColPriority, ColProcessStatus,
                 ColNetworkStatus, ColMap, ColPlayers, ColRestarts});
  Remember(server.ShownFrom, server, texts);
}

void InsertServerRow(IListView& view, int row, Server& server, const MessageTexts& texts) {
  server.ShownFrom.valid = false;
  server.Shown = RowTextsFor(server, texts);
  view.InsertRow(row, server.Shown);
}

void AddServerRow(IListView& view, Server& server, const MessageTexts& texts) {
  InsertServerRow(view, view.RowCount(), server, texts);
}

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
