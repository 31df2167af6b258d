#include "app/log_command.h"

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "app/server_cli.h"
#include "support/text.h"

namespace tervane {
namespace {

// One month's file read from where the last read ended. The writer puts CR LF before every
// line but the first, so the text after the last CR LF is a line that may still be growing:
// it is held back until more comes, or until a look finds nothing new.
class LogFileReader {
 public:
  explicit LogFileReader(Path path) : path_(std::move(path)) {}
  const Path& File() const { return path_; }
  bool Exists() const { return FileExists(path_); }

  // Reads what was added since the last read; answers whether anything was.
  bool ReadMore() {
    std::ifstream in(std::filesystem::path(path_), std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(in.tellg());
    if (size < offset_) *this = LogFileReader(path_);  // emptied or replaced: from its start
    if (size == offset_) return false;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string bytes(static_cast<std::size_t>(size - offset_), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    const bool atStart = offset_ == 0;
    offset_ += bytes.size();
    bytes.insert(0, carry_);
    carry_.clear();
    if (bytes.size() % 2) {
      carry_.push_back(bytes.back());
      bytes.pop_back();
    }
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    if (atStart && !text.empty() && text.front() == u'\uFEFF') text.erase(0, 1);
    pending_ += text;
    return true;
  }

  // The lines that are whole; with all, the held-back last one too.
  std::vector<std::u16string> TakeLines(bool all) {
    std::vector<std::u16string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = pending_.find(u"\r\n", from)) != std::u16string::npos; from = at + 2)
      lines.push_back(pending_.substr(from, at - from));
    pending_.erase(0, from);
    if (all && !pending_.empty()) {
      lines.push_back(pending_);
      pending_.clear();
    }
    // The end of a line given out already (the separator that follows it): nothing new.
    if (flushed_ && !lines.empty() && lines.front().empty()) lines.erase(lines.begin());
    if (!lines.empty() || from > 0) flushed_ = all;
    return lines;
  }

 private:
  Path path_;
  std::uint64_t offset_ = 0;
  std::string carry_;        // the odd byte of a unit not read whole yet
  std::u16string pending_;   // text after the last whole line
  bool flushed_ = false;     // the last line was given out before its separator came
};

void Print(std::ostream& out, const std::vector<std::u16string>& lines, std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i) out << TerminalSafe(lines[i]) << "\n";
  out.flush();
}

}  // namespace

int RunLogCommand(bool follow, std::optional<std::size_t> last, const Path& logFolder, IClock& clock, std::ostream& out,
                  std::ostream& err, const LogFollowing& following) {
  LogFileReader reader(LogFilePath(logFolder, clock.Now()));
  if (!reader.Exists() && !follow) {
    err << "kesp: no log for this month yet (" << Utf16ToUtf8(reader.File()) << ")\n";
    return 1;
  }
  reader.ReadMore();
  const std::vector<std::u16string> lines = reader.TakeLines(true);
  Print(out, lines, last && *last < lines.size() ? lines.size() - *last : 0);
  if (!follow) return 0;
  while (out && (!following.goOn || following.goOn())) {
    std::this_thread::sleep_for(std::chrono::milliseconds(following.pollMs));
    // A new month writes a new file: followed from its start.
    if (const Path now = LogFilePath(logFolder, clock.Now()); now != reader.File()) {
      Print(out, reader.TakeLines(true));
      reader = LogFileReader(now);
    }
    Print(out, reader.TakeLines(!reader.ReadMore()));
  }
  return 0;
}

}  // namespace tervane
