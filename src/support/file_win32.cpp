// The files on Windows: handles shared for reading only, kind from the attributes, the
// replacement moved with write-through.
#include <windows.h>

#include <algorithm>

#include "support/file.h"
#include "support/file_platform.h"
#include "support/text.h"
#include "support/text_win32.h"

namespace tervane {
namespace {

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::intptr_t Raw(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(h);
}

// One call moves at most this much, so that the count fits a DWORD.
DWORD Chunk(std::size_t n) { return static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30)); }

}  // namespace

namespace file_platform {

std::ptrdiff_t ReadSome(std::intptr_t handle, void* buffer, std::size_t n) {
  DWORD got = 0;
  if (!ReadFile(H(handle), buffer, Chunk(n), &got, nullptr)) return -1;
  return got;
}

std::ptrdiff_t WriteSome(std::intptr_t handle, const void* buffer, std::size_t n) {
  DWORD put = 0;
  if (!WriteFile(H(handle), buffer, Chunk(n), &put, nullptr)) return -1;
  return put;
}


std::uint32_t LastError() { return GetLastError(); }
std::uint32_t NoSpaceError() { return ERROR_DISK_FULL; }

std::optional<bool> IsFolder(const Path& path) {
  const DWORD attr = GetFileAttributesW(W(path));
  if (attr == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

Expected<void> MoveOver(const Path& from, const Path& to) {
  if (MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return {};
  return SystemError{GetLastError()};
}

}  // namespace file_platform

void FileHandleTraits::Close(std::intptr_t handle) { CloseHandle(H(handle)); }

char16_t PathSeparator() { return u'\\'; }

bool IsNotFoundError(std::uint32_t code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }
std::uint32_t ReadIncompleteError() { return ERROR_READ_FAULT; }

std::uint32_t CancelledError() { return ERROR_CANCELLED; }

File File::OpenForRead(const Path& path) {
  const HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  return File(Raw(h), h == INVALID_HANDLE_VALUE ? GetLastError() : 0);
}

File File::OpenForAppend(const Path& path) {
  const HANDLE h = CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return File(Raw(h), h == INVALID_HANDLE_VALUE ? GetLastError() : 0);
}

File File::CreateForWrite(const Path& path) {
  const HANDLE h = CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  return File(Raw(h), h == INVALID_HANDLE_VALUE ? GetLastError() : 0);
}

bool File::Flush() {
  if (!IsOpen()) return false;
  if (FlushFileBuffers(H(handle_.get()))) return true;
  error_ = GetLastError();
  return false;
}

std::optional<std::uint64_t> File::Size() const {
  LARGE_INTEGER size;
  if (!IsOpen() || !GetFileSizeEx(H(handle_.get()), &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<std::uint64_t> File::SeekToEnd() {
  LARGE_INTEGER zero{}, pos{};
  if (!IsOpen()) return std::nullopt;
  if (!SetFilePointerEx(H(handle_.get()), zero, &pos, FILE_END)) {
    error_ = GetLastError();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(pos.QuadPart);
}

Expected<void> CreateDirectories(const Path& path) {
  std::uint32_t why = 0;
  Path p = path;
  while (p.size() > 1 && (p.back() == u'\\' || p.back() == u'/')) p.pop_back();
  if (p.empty()) return SystemError{ERROR_PATH_NOT_FOUND};
  if (DirectoryExists(p)) return {};
  std::size_t cut = p.find_last_of(u"\\/");
  if (cut != Path::npos && cut > 0) {
    Path parent = p.substr(0, cut);
    // Stop at a drive root ("C:") and at the "\\?\" and "\\?\UNC\server\share" prefixes.
    if (!(parent.size() == 2 && parent[1] == u':') && parent != u"\\\\?" &&
        !DirectoryExists(parent))
      static_cast<void>(CreateDirectories(parent));  // what fails there fails again below, said
  }
  if (!CreateDirectoryW(W(p), nullptr)) why = GetLastError();
  if (DirectoryExists(p)) return {};
  return SystemError{why == 0 ? static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND) : why};
}

Expected<void> RemoveFile(const Path& path) {
  if (DeleteFileW(W(path))) return {};
  return SystemError{GetLastError()};
}

Path ExecutableDir() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  if (n == 0 || n >= buf.size()) return u".\\";
  buf.resize(n);
  const Path exe = U(buf);
  return exe.substr(0, exe.find_last_of(u"\\/") + 1);
}

Path InstalledDataDir() { return {}; }

std::vector<Path> ListFilesWithSuffix(const Path& folder, std::u16string_view suffix) {
  std::vector<Path> names;
  Path pattern = folder;
  if (!pattern.empty() && pattern.back() != u'\\') pattern.push_back(u'\\');
  pattern += u"*";
  pattern += suffix;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(W(pattern), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    // An entry counts when it carries any attribute bit besides the folder bit.
    if ((data.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY)) == 0) continue;
    Path name = U(data.cFileName);
    if (!file_platform::EndsWithSuffix(name, suffix)) continue;
    names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

}  // namespace tervane
