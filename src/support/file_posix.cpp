// The files on Linux: descriptors opened close-on-exec, identity and kind from stat, the
// replacement made durable with an fsync of its folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "support/file.h"
#include "support/file_platform.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

namespace tervane {
namespace {

std::string Native(const Path& path) { return Utf16ToUtf8(path); }

int Fd(std::intptr_t h) { return static_cast<int>(h); }

// A descriptor that names a plain file, as File takes it; anything else is closed, and error
// says why (a folder: EISDIR; another kind: EINVAL).
std::intptr_t PlainFileOnly(UniqueFd fd, std::uint32_t& error) {
  error = fd ? 0 : static_cast<std::uint32_t>(errno);
  struct stat st {};
  if (!fd) return -1;
  if (::fstat(fd.get(), &st) != 0) {
    error = static_cast<std::uint32_t>(errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  return fd.release();
}

}  // namespace

namespace file_platform {

std::ptrdiff_t ReadSome(std::intptr_t handle, void* buffer, std::size_t n) {
  for (;;) {
    const ssize_t r = ::read(Fd(handle), buffer, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}

std::ptrdiff_t WriteSome(std::intptr_t handle, const void* buffer, std::size_t n) {
  for (;;) {
    const ssize_t r = ::write(Fd(handle), buffer, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}


std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }
std::uint32_t NoSpaceError() { return ENOSPC; }

std::optional<bool> IsFolder(const Path& path) {
  struct stat st {};
  if (::stat(Native(path).c_str(), &st) != 0) return std::nullopt;
  return S_ISDIR(st.st_mode);
}

Expected<void> MoveOver(const Path& from, const Path& to) {
  const std::string final_name = Native(to);
  if (::rename(Native(from).c_str(), final_name.c_str()) != 0) return SystemError{static_cast<std::uint32_t>(errno)};
  // Make the new name itself durable.
  const std::size_t slash = final_name.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : final_name.substr(0, slash + 1);
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return {};
}

}  // namespace file_platform

void FileHandleTraits::Close(std::intptr_t handle) { ::close(Fd(handle)); }

char16_t PathSeparator() { return u'/'; }

bool IsNotFoundError(std::uint32_t code) { return code == ENOENT || code == ENOTDIR; }
std::uint32_t ReadIncompleteError() { return EIO; }

std::uint32_t CancelledError() { return ECANCELED; }

File File::OpenForRead(const Path& path) {
  std::uint32_t error = 0;
  const std::intptr_t fd = PlainFileOnly(UniqueFd(::open(Native(path).c_str(), O_RDONLY | O_CLOEXEC)), error);
  return File(fd, error);
}

File File::OpenForAppend(const Path& path) {
  std::uint32_t error = 0;
  const std::intptr_t fd =
      PlainFileOnly(UniqueFd(::open(Native(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)), error);
  return File(fd, error);
}

File File::CreateForWrite(const Path& path) {
  // Owner-only, as the list holds RCON passwords: a file left from before loses its wider mode
  // too. A link in its place is refused rather than followed.
  const int fd = ::open(Native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) (void)::fchmod(fd, 0600);
  return File(fd, fd < 0 ? static_cast<std::uint32_t>(errno) : 0);
}

bool File::Flush() {
  if (!IsOpen()) return false;
  if (::fsync(Fd(handle_.get())) == 0) return true;
  error_ = static_cast<std::uint32_t>(errno);
  return false;
}

std::optional<std::uint64_t> File::Size() const {
  struct stat st {};
  if (!IsOpen() || ::fstat(Fd(handle_.get()), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::uint64_t> File::SeekToEnd() {
  if (!IsOpen()) return std::nullopt;
  off_t pos = ::lseek(Fd(handle_.get()), 0, SEEK_END);
  if (pos < 0) {
    error_ = static_cast<std::uint32_t>(errno);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(pos);
}

Expected<void> CreateDirectories(const Path& path) {
  std::string native = Native(path);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (native.empty()) return SystemError{ENOENT};
  for (std::size_t i = 1; i <= native.size(); ++i) {
    if (i == native.size() || native[i] == '/') {
      std::string part = native.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return SystemError{static_cast<std::uint32_t>(errno)};
    }
  }
  if (DirectoryExists(path)) return {};
  return SystemError{ENOTDIR};  // something else stands at the path
}

Expected<void> RemoveFile(const Path& path) {
  if (::unlink(Native(path).c_str()) == 0) return {};
  return SystemError{static_cast<std::uint32_t>(errno)};
}

Path ExecutableDir() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  // Unknown, never the current folder: nothing is taken from wherever kesp was started.
  if (n <= 0) return {};
  std::string exe(buf, static_cast<std::size_t>(n));
  return Utf8ToUtf16(exe.substr(0, exe.find_last_of('/') + 1));
}

Path InstalledDataDir() { return u"/usr/share/tervane/"; }

std::vector<Path> ListFilesWithSuffix(const Path& folder, std::u16string_view suffix) {
  std::vector<Path> names;
  const UniqueDir dir(::opendir(Native(folder).c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    Path name = Utf8ToUtf16(entry->d_name);
    if (!file_platform::EndsWithSuffix(name, suffix)) continue;
    Path full = folder;
    if (!full.empty() && full.back() != u'/') full.push_back(u'/');
    if (FileExists(full + name)) names.push_back(name);
  }
  return names;
}

}  // namespace tervane
