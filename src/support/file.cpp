// The part of the files that is the same on every platform: ownership of the open file, whole
// reads and writes, the existence checks and the crash-safe replacement. The system calls are
// in file_posix.cpp and file_win32.cpp.
#include "support/file.h"

#include "support/file_platform.h"
#include "support/text.h"

namespace tervane {

using namespace file_platform;

void File::Close() { handle_.reset(); }

std::size_t File::Read(void* buffer, std::size_t n) {
  if (!IsOpen()) return 0;
  std::size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < n) {
    const std::ptrdiff_t got = ReadSome(handle_.get(), out + done, n - done);
    if (got < 0) error_ = LastError();
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool File::Write(const void* buffer, std::size_t n) {
  if (!IsOpen()) return false;
  std::size_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < n) {
    const std::ptrdiff_t put = WriteSome(handle_.get(), in + done, n - done);
    if (put <= 0) {
      error_ = put < 0 ? LastError() : 0;
      if (error_ == 0) error_ = NoSpaceError();  // nothing written and no reason given: a full disk
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool FileExists(const Path& path) {
  const std::optional<bool> folder = IsFolder(path);
  return folder && !*folder;
}

bool DirectoryExists(const Path& path) {
  const std::optional<bool> folder = IsFolder(path);
  return folder && *folder;
}

Expected<void> ReplaceFileAtomically(const Path& target, std::span<const std::uint8_t> bytes,
                                     const std::function<bool()>& beforeCommit) {
  // A step that failed without the system saying why still fails.
  const auto failed = [](std::uint32_t code) { return SystemError{code != 0 ? code : ReadIncompleteError()}; };
  const Path temp_path = target + u".tmp";
  File temp = File::CreateForWrite(temp_path);
  if (!temp.IsOpen()) return failed(temp.Error());
  const bool written = temp.Write(bytes.data(), bytes.size()) && temp.Flush();
  const std::uint32_t error = temp.Error();
  temp.Close();
  if (!written) {
    static_cast<void>(RemoveFile(temp_path));  // the failure said is the write's
    return failed(error);
  }
  if (beforeCommit && !beforeCommit()) return SystemError{CancelledError()};  // left as an interruption would leave it
  const Expected<void> moved = MoveOver(temp_path, target);
  if (!moved) static_cast<void>(RemoveFile(temp_path));
  return moved;
}

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

namespace file_platform {

bool EndsWithSuffix(std::u16string_view name, std::u16string_view suffix) {
  return name.size() >= suffix.size() &&
         EqualsIgnoreCaseAscii(name.substr(name.size() - suffix.size()), suffix);
}

}  // namespace file_platform
}  // namespace tervane
