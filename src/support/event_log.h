// The event log: one line per start or restart, shown in the log view and appended to a
// monthly UTF-16LE file in logs/ beside the executable.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "support/file.h"

namespace tervane {

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The local wall clock; tests pin it.
class IClock {
 public:
  virtual ~IClock() = default;
  virtual LocalTime Now() = 0;
};

class SystemClock : public IClock {
 public:
  LocalTime Now() override;
};

// "[YYYY-MM-DD hh:mm:ss] name: message"
std::u16string FormatLogLine(const LocalTime& time, std::u16string_view name,
                             std::u16string_view message);

// The file of a month in a log folder ("…/logs" without trailing separator): "…/logs/YYYY-MM.log".
Path LogFilePath(const Path& logFolder, const LocalTime& time);

// Appends one line to the current month's file in logFolder: FF FE on an empty file, CR LF
// before each line (after one zero byte when the file's length is odd), never after. The month
// comes from its own reading of the clock. Every failure is silent.
void WriteLogFile(const Path& logFolder, std::u16string_view line, IClock& clock);

class EventLog {
 public:
  // programDir ends with its separator; appendLine shows a line in the log view.
  EventLog(Path programDir, IClock& clock, std::function<void(const std::u16string&)> appendLine);

  // Builds the line from one reading of the clock, shows it, then writes it to the file.
  void AddLog(std::u16string_view name, std::u16string_view message);

  const Path& LogFolder() const { return logFolder_; }

 private:
  Path logFolder_;
  IClock& clock_;
  std::function<void(const std::u16string&)> appendLine_;
};

}  // namespace tervane
