// Helpers shared by the tests: a scratch folder removed at the end, and whole-file reads
// and writes in bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/file.h"

namespace tervane::testing {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("tervane-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as the program's paths have it, with its trailing separator.
  Path Dir() const { return path_.u16string() + PathSeparator(); }
  Path File(std::u16string_view name) const { return Dir() + std::u16string(name); }

 private:
  std::filesystem::path path_;
};

inline std::filesystem::path Fs(const Path& p) { return std::filesystem::path(p); }

inline std::vector<std::uint8_t> ReadBytes(const Path& path) {
  std::ifstream in(Fs(path), std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A text file as UTF-16LE with the mark FF FE.
inline std::vector<std::uint8_t> Utf16File(std::u16string_view text) {
  std::vector<std::uint8_t> out{0xFF, 0xFE};
  for (char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

inline void WriteBytes(const Path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(Fs(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tervane::testing
