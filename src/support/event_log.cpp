#include "support/event_log.h"

#include <cstdio>
#include <vector>

#include "support/secrets.h"
#include "support/text.h"

namespace tervane {
namespace {

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (; *text; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace

std::u16string FormatLogLine(const LocalTime& t, std::u16string_view name,
                             std::u16string_view message) {
  char head[96];
  std::snprintf(head, sizeof head, "[%04d-%02d-%02d %02d:%02d:%02d] ", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  std::u16string line = Ascii(head);
  line += name;
  line += u": ";
  // Every line leaves (the log view, the journal, the file): no RCON password goes with it.
  line += MaskSecrets(message);
  return line;
}

Path LogFilePath(const Path& logFolder, const LocalTime& time) {
  char file[48];
  std::snprintf(file, sizeof file, "%04d-%02d.log", time.year, time.month);
  Path path = logFolder;
  path.push_back(PathSeparator());
  path += Ascii(file);
  return path;
}

Expected<void> WriteLogFile(const Path& logFolder, std::u16string_view line, IClock& clock) {
  if (!DirectoryExists(logFolder))
    if (Expected<void> made = CreateDirectories(logFolder); !made) return made;
  File file = File::OpenForAppend(LogFilePath(logFolder, clock.Now()));
  if (!file.IsOpen()) return SystemError{file.Error()};
  const auto length = file.SeekToEnd();
  if (!length) return SystemError{file.Error()};
  std::vector<std::uint8_t> bytes;
  bytes.reserve(5 + line.size() * 2);
  if (*length == 0) {
    bytes = {0xFF, 0xFE};
  } else if (*length % 2 == 1) {
    bytes = {0x00, 0x0D, 0x00, 0x0A, 0x00};
  } else {
    bytes = {0x0D, 0x00, 0x0A, 0x00};
  }
  for (char16_t unit : line) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  // A line the disk refuses is lost from the file only: the log view has it already.
  if (!file.Write(bytes.data(), bytes.size())) return SystemError{file.Error()};
  return {};
}

EventLog::EventLog(Path programDir, IClock& clock,
                   std::function<void(const std::u16string&)> appendLine)
    : logFolder_(std::move(programDir) + u"logs"), clock_(clock), appendLine_(std::move(appendLine)) {}

void EventLog::AddLog(std::u16string_view name, std::u16string_view message) {
  const std::u16string line = FormatLogLine(clock_.Now(), name, message);
  if (appendLine_) appendLine_(line);
  const std::uint32_t error = WriteLogFile(logFolder_, line, clock_).Error();
  if (error != 0) ++fileFailures_;
  if ((error != 0) == (fileError_ != 0)) {
    fileError_ = error;
    return;
  }
  fileError_ = error;
  const std::u16string where = LogFilePath(logFolder_, clock_.Now());
  Notice(kMonitorName, error != 0 ? u"cannot write the log file " + where + u": " + SystemErrorText(error) +
                                        u"; its lines are only shown until it can"
                                  : u"the log file " + where + u" is written again");
}

void EventLog::Notice(std::u16string_view name, std::u16string_view message) {
  if (appendLine_) appendLine_(FormatLogLine(clock_.Now(), name, message));
}

}  // namespace tervane
