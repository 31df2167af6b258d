#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "support/file.h"
#include "support/text.h"

namespace tervane {
namespace {

std::string Native(const Path& path) { return Utf16ToUtf8(path); }

int Fd(std::intptr_t h) { return static_cast<int>(h); }

}  // namespace

char16_t PathSeparator() { return u'/'; }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

File::~File() { Close(); }

File File::OpenForRead(const Path& path) {
  int fd = ::open(Native(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return File();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return File();
  }
  return File(fd);
}

File File::OpenForAppend(const Path& path) {
  int fd = ::open(Native(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return File();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return File();
  }
  return File(fd);
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

std::size_t File::Read(void* buffer, std::size_t n) {
  if (!IsOpen()) return 0;
  std::size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < n) {
    ssize_t r = ::read(Fd(handle_), out + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<std::size_t>(r);
  }
  return done;
}

bool File::Write(const void* buffer, std::size_t n) {
  if (!IsOpen()) return false;
  std::size_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < n) {
    ssize_t r = ::write(Fd(handle_), in + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}

std::optional<std::uint64_t> File::SeekToEnd() {
  if (!IsOpen()) return std::nullopt;
  off_t pos = ::lseek(Fd(handle_), 0, SEEK_END);
  if (pos < 0) return std::nullopt;
  return static_cast<std::uint64_t>(pos);
}

void File::Close() {
  if (IsOpen()) ::close(Fd(handle_));
  handle_ = kInvalid;
}

bool FileExists(const Path& path) {
  struct stat st {};
  return ::stat(Native(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const Path& path) {
  struct stat st {};
  return ::stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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

bool ReplaceFileAtomically(const Path& target, std::span<const std::uint8_t> bytes,
                           const std::function<bool()>& beforeCommit) {
  const std::string final_name = Native(target);
  const Path temp_path = target + u".tmp";
  File temp = File::CreateForWrite(temp_path);
  if (!temp.IsOpen()) return false;
  const bool written = temp.Write(bytes.data(), bytes.size()) && temp.Flush();
  temp.Close();
  if (!written) {
    RemoveFile(temp_path);
    return false;
  }
  if (beforeCommit && !beforeCommit()) return false;  // left as an interruption would leave it
  if (::rename(Native(temp_path).c_str(), final_name.c_str()) != 0) {
    RemoveFile(temp_path);
    return false;
  }
  // Make the new name itself durable.
  const std::size_t slash = final_name.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : final_name.substr(0, slash + 1);
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

Path ExecutableDir() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return u"./";
  std::string exe(buf, static_cast<std::size_t>(n));
  return Utf8ToUtf16(exe.substr(0, exe.find_last_of('/') + 1));
}

std::vector<Path> ListFilesWithSuffix(const Path& folder, std::u16string_view suffix) {
  std::vector<Path> names;
  DIR* dir = ::opendir(Native(folder).c_str());
  if (!dir) return names;
  const std::u16string want = UpperAscii16(suffix);
  while (dirent* entry = ::readdir(dir)) {
    Path name = Utf8ToUtf16(entry->d_name);
    if (name.size() < want.size() || UpperAscii16(name.substr(name.size() - want.size())) != want)
      continue;
    Path full = folder;
    if (!full.empty() && full.back() != u'/') full.push_back(u'/');
    if (FileExists(full + name)) names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace tervane
