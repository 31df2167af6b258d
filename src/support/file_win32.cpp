#include <windows.h>

#include <algorithm>

#include "support/file.h"
#include "support/text.h"

namespace tervane {
namespace {

const wchar_t* W(const Path& path) { return reinterpret_cast<const wchar_t*>(path.c_str()); }

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::intptr_t Raw(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(h);
}

}  // namespace

char16_t PathSeparator() { return u'\\'; }

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
  return File(Raw(CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)));
}

File File::OpenForAppend(const Path& path) {
  return File(Raw(CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

File File::CreateForWrite(const Path& path) {
  return File(Raw(CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)));
}

bool File::Flush() { return IsOpen() && FlushFileBuffers(H(handle_)); }

std::optional<std::uint64_t> File::Size() const {
  LARGE_INTEGER size;
  if (!IsOpen() || !GetFileSizeEx(H(handle_), &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t File::Read(void* buffer, std::size_t n) {
  if (!IsOpen()) return 0;
  std::size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < n) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(H(handle_), out + done, chunk, &got, nullptr) || got == 0) break;
    done += got;
  }
  return done;
}

bool File::Write(const void* buffer, std::size_t n) {
  if (!IsOpen()) return false;
  std::size_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < n) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 30));
    DWORD put = 0;
    if (!WriteFile(H(handle_), in + done, chunk, &put, nullptr) || put == 0) return false;
    done += put;
  }
  return true;
}

std::optional<std::uint64_t> File::SeekToEnd() {
  LARGE_INTEGER zero{}, pos{};
  if (!IsOpen() || !SetFilePointerEx(H(handle_), zero, &pos, FILE_END)) return std::nullopt;
  return static_cast<std::uint64_t>(pos.QuadPart);
}

void File::Close() {
  if (IsOpen()) CloseHandle(H(handle_));
  handle_ = kInvalid;
}

bool FileExists(const Path& path) {
  DWORD attr = GetFileAttributesW(W(path));
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const Path& path) {
  DWORD attr = GetFileAttributesW(W(path));
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectories(const Path& path) {
  Path p = path;
  while (p.size() > 1 && (p.back() == u'\\' || p.back() == u'/')) p.pop_back();
  if (p.empty()) return false;
  if (DirectoryExists(p)) return true;
  std::size_t cut = p.find_last_of(u"\\/");
  if (cut != Path::npos && cut > 0) {
    Path parent = p.substr(0, cut);
    // Stop at a drive root ("C:") and at the "\\?\" and "\\?\UNC\server\share" prefixes.
    if (!(parent.size() == 2 && parent[1] == u':') && parent != u"\\\\?" &&
        !DirectoryExists(parent))
      CreateDirectories(parent);
  }
  CreateDirectoryW(W(p), nullptr);
  return DirectoryExists(p);
}

bool RemoveFile(const Path& path) { return DeleteFileW(W(path)) != 0; }

bool ReplaceFileAtomically(const Path& target, std::span<const std::uint8_t> bytes,
                           const std::function<bool()>& beforeCommit) {
  const Path temp_path = target + u".tmp";
  File temp = File::CreateForWrite(temp_path);
  if (!temp.IsOpen()) return false;
  const bool written = temp.Write(bytes.data(), bytes.size()) && temp.Flush();
  temp.Close();
  if (!written) {
    DeleteFileW(W(temp_path));
    return false;
  }
  if (beforeCommit && !beforeCommit()) return false;  // left as an interruption would leave it
  if (!MoveFileExW(W(temp_path), W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(W(temp_path));
    return false;
  }
  return true;
}

Path ExecutableDir() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  if (n == 0 || n >= buf.size()) return u".\\";
  buf.resize(n);
  Path exe(buf.begin(), buf.end());
  return exe.substr(0, exe.find_last_of(u"\\/") + 1);
}

std::vector<Path> ListFilesWithSuffix(const Path& folder, std::u16string_view suffix) {
  std::vector<Path> names;
  Path pattern = folder;
  if (!pattern.empty() && pattern.back() != u'\\') pattern.push_back(u'\\');
  pattern += u"*";
  pattern += suffix;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(W(pattern), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  const std::u16string want = UpperAscii16(suffix);
  do {
    // An entry counts when it carries any attribute bit besides the folder bit.
    if ((data.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY)) == 0) continue;
    Path name(reinterpret_cast<const char16_t*>(data.cFileName));
    if (name.size() < want.size() || UpperAscii16(name.substr(name.size() - want.size())) != want)
      continue;
    names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

}  // namespace tervane
