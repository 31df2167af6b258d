// Files as the program needs them: whole reads with read sharing, the shared-read append of
// the log, the crash-safe replacement of the server list, and the program's own folders.
// Paths are UTF-16 on both platforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/expected.h"
#include "support/unique_handle.h"

namespace tervane {

using Path = std::u16string;

// The folder separator of the platform: '\' on Windows, '/' on Linux.
[[nodiscard]] char16_t PathSeparator();

// An open file's handle as a number (a descriptor, or a Win32 handle); the platform half
// closes it.
struct FileHandleTraits {
  using Value = std::intptr_t;
  static constexpr std::intptr_t None() { return -1; }
  static constexpr bool IsValid(std::intptr_t handle) { return handle != -1; }
  static void Close(std::intptr_t handle);
};

class File {
 public:

  // An existing file for reading; other programs may read it but not write it meanwhile.
  [[nodiscard]] static File OpenForRead(const Path& path);
  // For reading and writing, created when missing, content kept; shared for reading only.
  [[nodiscard]] static File OpenForAppend(const Path& path);
  // A new, empty file for writing (an existing one is emptied); shared for reading only. On
  // Linux only its owner may read it (0600), and a link at the path is refused.
  [[nodiscard]] static File CreateForWrite(const Path& path);

  [[nodiscard]] bool IsOpen() const { return static_cast<bool>(handle_); }
  // The system's error code of the opening that failed, or of the last read, write or flush
  // that failed (errno, or GetLastError on Windows); 0 when none did.
  [[nodiscard]] std::uint32_t Error() const { return error_; }
  [[nodiscard]] std::optional<std::uint64_t> Size() const;
  // Reads up to n bytes; answers how many were read (fewer only at the end or on failure).
  [[nodiscard]] std::size_t Read(void* buffer, std::size_t n);
  [[nodiscard]] bool Write(const void* buffer, std::size_t n);
  // Moves the position to the end and answers it (the file's length); nothing on failure.
  [[nodiscard]] std::optional<std::uint64_t> SeekToEnd();
  // Puts what was written on the disk.
  [[nodiscard]] bool Flush();
  void Close();

 private:
  File(std::intptr_t handle, std::uint32_t error)
      : handle_(handle), error_(FileHandleTraits::IsValid(handle) ? 0 : error) {}
  UniqueHandle<FileHandleTraits> handle_;
  std::uint32_t error_ = 0;
};

// Whether an error code says that nothing is at the path (no such file, or no such folder on
// the way to it).
[[nodiscard]] bool IsNotFoundError(std::uint32_t code);
// The code for a file that gave fewer bytes than its size without saying why (EIO,
// ERROR_READ_FAULT).
[[nodiscard]] std::uint32_t ReadIncompleteError();
// The code of a step abandoned before it was done (ECANCELED, ERROR_CANCELLED).
[[nodiscard]] std::uint32_t CancelledError();

// True when a file (not a folder) exists at the path.
[[nodiscard]] bool FileExists(const Path& path);
[[nodiscard]] bool DirectoryExists(const Path& path);
// Creates the folder with every missing parent; fails when it does not exist afterwards.
Expected<void> CreateDirectories(const Path& path);
Expected<void> RemoveFile(const Path& path);

// Replaces the file at target with bytes so that a crash, a power loss or a full disk at any
// moment leaves either the old or the new content, never a mix: the bytes go to a temporary
// file in the same folder, are flushed to the disk, and the temporary file is then moved over
// the target in one step. beforeCommit, when given, runs after the flush and before the move;
// answering false abandons the replacement there (as an interruption would; CancelledError()).
// The error is the system's of the step that failed.
[[nodiscard]] Expected<void> ReplaceFileAtomically(const Path& target, std::span<const std::uint8_t> bytes,
                                                   const std::function<bool()>& beforeCommit = {});

// The folder of the running executable, with its trailing separator; empty when the system
// does not tell (Linux without a readable /proc/self/exe).
[[nodiscard]] Path ExecutableDir();

// Where an installed package keeps the program's read-only files, with its trailing separator:
// /usr/share/tervane/ on Linux; empty on Windows, where they lie beside the program.
[[nodiscard]] Path InstalledDataDir();

// ---- the program's own folders, each taken once

// The folder of the running executable with its trailing separator (ExecutableDir, kept).
const Path& ProgramDir();

// Puts the long-path prefix in front of a Windows path: "\\?\" for a drive path,
// "\\?\UNC\" in place of the two leading backslashes of a network path; a path that has the
// prefix already stays as it is.
Path WithLongPathPrefix(const Path& path);

// ProgramDir as the program's own files are reached through it: with the long-path prefix on
// Windows (so that serverlist.dat, logs\ and Languages\ work in a folder deeper than 260
// characters), the plain folder on Linux.
const Path& ProgramFilesDir();

// The data folder, with its trailing separator: where serverlist.dat, logs/ and kesp.ini are
// kept (and on Linux the lock and the control socket). ProgramFilesDir unless the program chose
// another with SetDataDir at start-up (the Linux program: --dir, TERVANE_DIR, or a state folder
// when it lies in a system folder); taken on first use and kept.
const Path& DataDir();
// Chooses the data folder; answers false, changing nothing, once DataDir has been used.
bool SetDataDir(Path folder);

// The full path of serverlist.dat in the data folder, computed on first use and kept.
const Path& ServerListPath();
// The options beyond the list's own settings, in the data folder; its problems are logged
// under this name.
inline constexpr char16_t kOptionsFileName[] = u"kesp.ini";

// The folder of the language files, with its trailing separator: Languages in the program's
// folder when it is there, else the one an installed package keeps (in InstalledDataDir) when
// that is there; otherwise the one in the program's folder.
Path LanguagesDir(const Path& programFilesDir = ProgramFilesDir(), const Path& installedDir = InstalledDataDir());

// The names (without folder) of the plain files in folder whose names end with suffix
// (compared without regard to ASCII case), in the order the file system lists them.
[[nodiscard]] std::vector<Path> ListFilesWithSuffix(const Path& folder, std::u16string_view suffix);

}  // namespace tervane
