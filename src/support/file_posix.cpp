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

// A descriptor that names a plain file, as File takes it; anything else is closed.
std::intptr_t PlainFileOnly(UniqueFd fd) {
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
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

void CloseFile(std::intptr_t handle) { ::close(Fd(handle)); }

std::optional<bool> IsFolder(const Path& path) {
  struct stat st {};
  if (::stat(Native(path).c_str(), &st) != 0) return std::nullopt;
  return S_ISDIR(st.st_mode);
}

bool MoveOver(const Path& from, const Path& to) {
  const std::string final_name = Native(to);
  if (::rename(Native(from).c_str(), final_name.c_str()) != 0) return false;
  // Make the new name itself durable.
  const std::size_t slash = final_name.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : final_name.substr(0, slash + 1);
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

}  // namespace file_platform

char16_t PathSeparator() { return u'/'; }

File File::OpenForRead(const Path& path) {
  return File(PlainFileOnly(UniqueFd(::open(Native(path).c_str(), O_RDONLY | O_CLOEXEC))));
}

File File::OpenForAppend(const Path& path) {
  return File(
      PlainFileOnly(UniqueFd(::open(Native(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))));
}

File File::CreateForWrite(const Path& path) {
  int fd = ::open(Native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd < 0 ? File() : File(fd);
}

bool File::Flush() { return IsOpen() && ::fsync(Fd(handle_)) == 0; }

std::optional<std::uint64_t> File::Size() const {
  struct stat st {};
  if (!IsOpen() || ::fstat(Fd(handle_), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::uint64_t> File::SeekToEnd() {
  if (!IsOpen()) return std::nullopt;
  off_t pos = ::lseek(Fd(handle_), 0, SEEK_END);
  if (pos < 0) return std::nullopt;
  return static_cast<std::uint64_t>(pos);
}

bool CreateDirectories(const Path& path) {
  std::string native = Native(path);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (native.empty()) return false;
  for (std::size_t i = 1; i <= native.size(); ++i) {
    if (i == native.size() || native[i] == '/') {
      std::string part = native.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return DirectoryExists(path);
}

bool RemoveFile(const Path& path) { return ::unlink(Native(path).c_str()) == 0; }

Path ExecutableDir() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return u"./";
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
