#include "core/server_list.h"

#include <cstring>

#include "support/text.h"

#include "process/params.h"

namespace tervane {

std::vector<std::uint8_t> SerializeServerList(const ServerList& list, const BossKeyOptions& options) {
  std::vector<std::uint8_t> bytes(list.size() * kServerEntrySize + 3);
  std::uint8_t* out = bytes.data();
  for (const auto& entry : list) {
    std::memcpy(out, &entry->Record(), kServerEntrySize);
    out += kServerEntrySize;
  }
  out[0] = options.BossKeyModifiers;
  out[1] = options.BossKeyCode;
  out[2] = options.BossKeyEnabled;
  return bytes;
}

bool SaveServerList(const ServerList& list, const BossKeyOptions& options, const Path& path,
                    const std::function<bool()>& beforeCommit, std::uint32_t* error) {
  const std::vector<std::uint8_t> bytes = SerializeServerList(list, options);
  const Expected<void> replaced = ReplaceFileAtomically(path.empty() ? ServerListPath() : path, bytes, beforeCommit);
  if (error) *error = replaced.Error();
  return static_cast<bool>(replaced);
}

namespace {

// Whether a text field holds its text, then only zeros, and at least one zero at its end.
template <typename Field>
bool EndedWithin(const Field& field) {
  constexpr std::size_t unit = sizeof field.bytes / Field::kWidth;
  std::size_t at = 0;
  auto zero = [&](std::size_t i) {
    for (std::size_t b = 0; b < unit; ++b)
      if (field.bytes[i * unit + b] != 0) return false;
    return true;
  };
  while (at < Field::kWidth && !zero(at)) ++at;
  if (at == Field::kWidth) return false;
  for (; at < Field::kWidth; ++at)
    if (!zero(at)) return false;
  return true;
}

bool AllZero(const std::uint8_t* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

}  // namespace

std::u16string RecordDamage(const ServerEntry& e) {
  if (!EndedWithin(e.Name)) return u"the name is not ended within its 32 characters";
  if (!EndedWithin(e.IPAddress)) return u"the address is not ended within its 16 bytes";
  if (!EndedWithin(e.FileName)) return u"the executable path is not ended within its 261 characters";
  if (!EndedWithin(e.Params)) return u"the run parameters are not ended within their 512 characters";
  if (e.Priority > 2) return u"the priority is " + ToU16(e.Priority) + u" (0 to 2)";
  if (e.HideServer > 1) return u"the hide flag is " + ToU16(e.HideServer) + u" (0 or 1)";
  if (e.Paused > 1) return u"the pause flag is " + ToU16(e.Paused) + u" (0 or 1)";
  if (e.WaitReply > 1) return u"the reply flag is " + ToU16(e.WaitReply) + u" (0 or 1)";
  if (e.ReplyKind < 0 || e.ReplyKind > 3) return u"the reply kind is " + ToU16(e.ReplyKind) + u" (0 to 3)";
  if (e.Restarts < -1) return u"the restart count is " + ToU16(e.Restarts);
  if (e.TimeoutCount < 0 || e.TimeoutCount > kTimeoutLimit + 1)
    return u"the timeout count is " + ToU16(e.TimeoutCount);
  if (e.LostCount < 0 || e.LostCount > kLostLimit + 1) return u"the lost count is " + ToU16(e.LostCount);
  if (!AllZero(e.Reserved1, sizeof e.Reserved1) || !AllZero(e.Reserved2, sizeof e.Reserved2))
    return u"its reserved bytes are not zero";
  return {};
}

LoadedList LoadServerListBytes(std::span<const std::uint8_t> bytes, const std::function<std::string()>& localAddress,
                               const BossKeyOptions& options) {
  LoadedList loaded;
  loaded.options = options;
  const std::size_t n = bytes.size() / kServerEntrySize;
  loaded.servers.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    ServerEntry record = ZeroEntry();
    std::memcpy(&record, bytes.data() + i * kServerEntrySize, kServerEntrySize);
    if (std::u16string what = RecordDamage(record); !what.empty())
      loaded.result.damagedRecords.push_back({i + 1, std::move(what)});
    auto entry = std::make_unique<Server>(record);
    const std::u16string params = entry->Params.str();
    entry->IPAddress.assign(localAddress ? GetServerAddress(params, localAddress) : GetServerAddress(params), 15);
    entry->Port = static_cast<std::uint16_t>(GetServerPort(params));  // low 16 bits, as the editor stores it
    entry->ReplyKind = 0;
    entry->Restarts = -1;
    entry->TimeoutCount = 0;
    entry->LostCount = 0;
    entry->WaitReply = 0;
    if (entry->Priority > 2) entry->Priority = 2;
    loaded.servers.push_back(std::move(entry));
  }
  // The option bytes follow the last whole record; those that are missing keep their values.
  const std::size_t rest = n * kServerEntrySize;
  BossKeyOptions& o = loaded.options;
  if (bytes.size() > rest) o.BossKeyModifiers = bytes[rest];
  if (bytes.size() > rest + 1) o.BossKeyCode = bytes[rest + 1];
  if (bytes.size() > rest + 2) o.BossKeyEnabled = bytes[rest + 2];
  loaded.result.size = bytes.size();
  loaded.result.strayBytes = bytes.size() % kServerEntrySize > 3;
  return loaded;
}

LoadedList LoadServerList(const Path& path, const std::function<std::string()>& localAddress,
                          const BossKeyOptions& options) {
  LoadedList none;
  none.options = options;
  File file = File::OpenForRead(path.empty() ? ServerListPath() : path);
  if (!file.IsOpen()) {
    // Missing: the list starts empty. Anything else (no right to read it, a folder in its
    // place) leaves it unread, and it must not be saved over.
    none.result.missing = IsNotFoundError(file.Error());
    if (!none.result.missing) none.result.error = file.Error();
    return none;
  }
  const auto size = file.Size();
  std::vector<std::uint8_t> bytes;
  if (size) {
    bytes.resize(static_cast<std::size_t>(*size));
    bytes.resize(file.Read(bytes.data(), bytes.size()));
  }
  if (!size || bytes.size() != *size) {
    none.result.error = file.Error() != 0 ? file.Error() : ReadIncompleteError();
    return none;
  }
  file.Close();
  LoadedList loaded = LoadServerListBytes(bytes, localAddress, options);
  if (loaded.result.Damaged()) loaded.result.damagedBytes = std::move(bytes);
  return loaded;
}

}  // namespace tervane
