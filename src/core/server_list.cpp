#include "core/server_list.h"

#include <cstring>

#include "process/params.h"

namespace tervane {

const Path& ProgramDir() {
  static const Path dir = ExecutableDir();
  return dir;
}

Path WithLongPathPrefix(const Path& path) {
  if (path.rfind(u"\\\\?\\", 0) == 0) return path;  // a program started through a prefixed path
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') return u"\\\\?\\UNC\\" + path.substr(2);
  return u"\\\\?\\" + path;
}

const Path& ProgramFilesDir() {
  static const Path dir = PathSeparator() == u'\\' ? WithLongPathPrefix(ProgramDir()) : ProgramDir();
  return dir;
}

namespace {
// The folder SetDataDir chose, and whether DataDir has been taken (after which it stays).
struct DataDirState {
  Path chosen;
  bool taken = false;
};
DataDirState& TheDataDir() {
  static DataDirState state;
  return state;
}
}  // namespace

const Path& DataDir() {
  static const Path dir = [] {
    DataDirState& c = TheDataDir();
    c.taken = true;
    return c.chosen.empty() ? ProgramFilesDir() : c.chosen;
  }();
  return dir;
}

bool SetDataDir(Path folder) {
  DataDirState& c = TheDataDir();
  if (c.taken) return false;
  if (!folder.empty() && folder.back() != PathSeparator()) folder.push_back(PathSeparator());
  c.chosen = std::move(folder);
  return true;
}

const Path& ServerListPath() {
  static const Path path = DataDir() + u"serverlist.dat";
  return path;
}

Path LanguagesDir(const Path& programFilesDir, const Path& installedDir) {
  const Path beside = programFilesDir + u"Languages" + PathSeparator();
  const Path installed = installedDir.empty() ? Path() : installedDir + u"Languages" + PathSeparator();
  return DirectoryExists(beside) || installed.empty() || !DirectoryExists(installed) ? beside : installed;
}

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
                    const std::function<bool()>& beforeCommit) {
  const std::vector<std::uint8_t> bytes = SerializeServerList(list, options);
  return ReplaceFileAtomically(path.empty() ? ServerListPath() : path, bytes, beforeCommit);
}

void LoadServerListBytes(ServerList& list, BossKeyOptions& options, const LoadContext& context,
                         std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size() / kServerEntrySize;
  for (std::size_t i = 0; i < n; ++i) {
    ServerEntry record = ZeroEntry();
    std::memcpy(&record, bytes.data() + i * kServerEntrySize, kServerEntrySize);
    auto entry = std::make_unique<Server>(record);
    const std::u16string params = entry->Params.str();
    entry->IPAddress.assign(context.localAddress ? GetServerAddress(params, context.localAddress)
                                                 : GetServerAddress(params),
                            15);
    entry->Port = static_cast<std::uint16_t>(GetServerPort(params));  // low 16 bits, as the editor stores it
    entry->ReplyKind = 0;
    entry->Restarts = -1;
    entry->TimeoutCount = 0;
    entry->LostCount = 0;
    entry->WaitReply = 0;
    if (entry->Priority > 2) entry->Priority = 2;
    list.push_back(std::move(entry));
    AddServerRow(context.view, *list.back(), context.texts);
  }
  // The option bytes follow the last whole record; those that are missing keep their values.
  const std::size_t rest = n * kServerEntrySize;
  if (bytes.size() > rest) options.BossKeyModifiers = bytes[rest];
  if (bytes.size() > rest + 1) options.BossKeyCode = bytes[rest + 1];
  if (bytes.size() > rest + 2) options.BossKeyEnabled = bytes[rest + 2];
}

void LoadServerList(ServerList& list, BossKeyOptions& options, const LoadContext& context,
                    const Path& path) {
  const Path& file_path = path.empty() ? ServerListPath() : path;
  if (!FileExists(file_path)) return;
  File file = File::OpenForRead(file_path);
  if (!file.IsOpen()) return;
  for (int i = static_cast<int>(list.size()) - 1; i >= 0; --i) list.erase(list.begin() + i);
  for (int i = context.view.RowCount() - 1; i >= 0; --i) context.view.DeleteServerRow(i);
  const auto size = file.Size();
  if (!size) return;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*size));
  bytes.resize(file.Read(bytes.data(), bytes.size()));
  file.Close();
  LoadServerListBytes(list, options, context, bytes);
}

}  // namespace tervane
