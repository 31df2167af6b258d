#include "ui/rows.h"

#include <utility>

#include "support/text.h"

namespace tervane {

namespace {

std::u16string ProcessText(const RowInputs& r, const MessageTexts& texts) {
  switch (r.process) {
    case ProcessState::Running: return texts.Get(Msg::Normal);
    case ProcessState::Lost: return FormatText(texts.Get(Msg::Lost), {r.lost, kLostLimit});
    case ProcessState::Restarting: return texts.Get(Msg::Restarting);
    case ProcessState::StartFailed: return FormatText(texts.Get(ExtraMsg::StartFailed), {r.startError});
    case ProcessState::Paused: return texts.Get(Msg::PausedMonitor);
    case ProcessState::Unknown: break;
  }
  return kNoValue;
}

std::u16string NetworkText(const RowInputs& r, const MessageTexts& texts) {
  switch (r.network) {
    case NetworkState::Normal: return texts.Get(Msg::Normal);
    case NetworkState::Timeout: return FormatText(texts.Get(Msg::Timeout), {r.timeouts, kTimeoutLimit});
    case NetworkState::Paused: return texts.Get(Msg::PausedMonitor);
    case NetworkState::Unknown: break;
  }
  return kNoValue;
}

}  // namespace

void ReadRowInputs(const Server& s, RowInputs& r) {
  s.Name.CopyTo(r.name);
  s.FileName.CopyTo(r.fileName);
  r.address.assign(s.IPAddress.view());
  r.port = s.Port;
  r.priority = s.Priority;
  r.lost = s.LostCount;
  r.timeouts = s.TimeoutCount;
  r.restarts = s.Restarts;
  r.process = s.ProcessStatus();
  r.network = s.NetworkStatus();
  // The reason of a failed start is shown only with it.
  if (r.process == ProcessState::StartFailed)
    r.startError.assign(s.Status.startError);
  else
    r.startError.clear();
  r.reply = s.Status.hasReply && !s.Paused;
  if (r.reply) {
    r.map.assign(s.Status.map);
    r.players = s.Status.players;
    r.maxPlayers = s.Status.maxPlayers;
  } else {
    r.map.clear();
    r.players = r.maxPlayers = 0;
  }
}

RowTexts RowTextsOf(const RowInputs& r, const MessageTexts& texts) {
  return RowTexts{
      r.name,
      FromSystem8(r.address),
      ToU16(r.port),
      r.fileName,
      texts.PriorityName(static_cast<std::uint8_t>(r.priority)),
      ProcessText(r, texts),
      NetworkText(r, texts),
      r.reply ? FromSystem8(r.map) : kNoValue,
      r.reply ? FormatText(u"%d/%d", {r.players, r.maxPlayers}) : kNoValue,
      r.restarts < 0 ? std::u16string(kNoValue) : ToU16(r.restarts),
  };
}

RowTexts RowTextsFor(const Server& server, const MessageTexts& texts) {
  RowInputs inputs;
  ReadRowInputs(server, inputs);
  return RowTextsOf(inputs, texts);
}

// ----------------------------------------------------------------------------- ShownRows

ShownRows::ShownRows(const ServerList& list, const MessageTexts& texts) : list_(list), texts_(texts) {}

ShownRows::~ShownRows() {
  if (followed_) followed_->Remove(follower_);
}

void ShownRows::Follow(ObserverList<const ServerChange&>& changes) {
  if (followed_) followed_->Remove(follower_);
  followed_ = &changes;
  follower_ = changes.Add([this](const ServerChange& change) { OnChange(change); });
}

void ShownRows::OnChange(const ServerChange& c) {
  using What = ServerChange::What;
  switch (c.what) {
    case What::Added: return Insert(c.row, true);
    case What::Removed:
      if (c.row >= rows_.size()) return;
      rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(c.row));
      return Deleted(c.row);
    case What::Moved: {
      if (c.from >= rows_.size() || c.row >= rows_.size()) return;
      // The row is inserted at its new place before the old one goes, so the selection follows it.
      const std::size_t insertAt = c.row > c.from ? c.row + 1 : c.row;
      const std::size_t eraseAt = c.row > c.from ? c.from : c.from + 1;
      Row moved = std::move(rows_[c.from]);
      rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(c.from));
      rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(c.row), std::move(moved));
      Inserted(insertAt, rows_[c.row].texts, false);
      return Deleted(eraseAt);
    }
    case What::Loaded:
      while (!rows_.empty()) {
        rows_.pop_back();
        Deleted(rows_.size());
      }
      for (std::size_t i = 0; i < list_.size(); ++i) Insert(i, true);
      return;
    case What::Edited:
    case What::State:
    case What::UpdateEnded: return Render(c.row);
    case What::Started:
    case What::Guarded: return;
  }
}

void ShownRows::Insert(std::size_t row, bool appended) {
  if (row > rows_.size() || row >= list_.size()) return;
  Row& r = *rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(row), Row{});
  r.texts = RowTextsFor(*list_[row], texts_);
  Inserted(row, r.texts, appended);
}

void ShownRows::Render(std::size_t row) {
  if (row >= rows_.size() || row >= list_.size()) return;
  Row& r = rows_[row];
  ReadRowInputs(*list_[row], read_);
  if (r.valid && read_ == r.from) return;
  RowTexts now = RowTextsOf(read_, texts_);
  for (int col = 0; col < kColumnCount; ++col) Write(row, col, now);
  r.from = read_;  // assigned into its own storage
  r.valid = true;
}

void ShownRows::RenderColumns(std::size_t row, std::initializer_list<int> columns) {
  Row& r = rows_[row];
  r.valid = false;
  RowTexts now = RowTextsFor(*list_[row], texts_);
  for (int col : columns) Write(row, col, now);
}

void ShownRows::Write(std::size_t row, int column, RowTexts& now) {
  auto& shown = rows_[row].texts[static_cast<std::size_t>(column)];
  auto& text = now[static_cast<std::size_t>(column)];
  if (shown == text) return;
  CellChanged(row, column, text);
  shown = std::move(text);
}

void ShownRows::Retranslate() {
  for (std::size_t i = 0; i < rows_.size() && i < list_.size(); ++i) {
    RenderColumns(i, {ColPriority});
    if (!list_[i]->Paused) continue;
    for (int column : {ColProcessStatus, ColNetworkStatus})
      if (rows_[i].texts[static_cast<std::size_t>(column)] != kNoValue) RenderColumns(i, {column});
  }
}

// ----------------------------------------------------------------------------- ListRows

void ListRows::Inserted(std::size_t row, const RowTexts& texts, bool appended) {
  view_.InsertRow(appended ? view_.RowCount() : static_cast<int>(row), texts);
}

void ListRows::Deleted(std::size_t row) { view_.DeleteServerRow(static_cast<int>(row)); }

void ListRows::CellChanged(std::size_t row, int column, const std::u16string& text) {
  view_.SetCell(static_cast<int>(row), column, text);
}

}  // namespace tervane
