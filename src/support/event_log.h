// The event log: one line per start or restart, shown in the log view and appended to a
// monthly UTF-16LE file in logs/ beside the executable.
#pragma once

#include <cstdint>
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
// comes from its own reading of the clock. A failure (the system's error of the step that
// failed) leaves the line out of the file.
Expected<void> WriteLogFile(const Path& logFolder, std::u16string_view line, IClock& clock);

class EventLog {
 public:
  // programDir ends with its separator; appendLine shows a line in the log view.
  EventLog(Path programDir, IClock& clock, std::function<void(const std::u16string&)> appendLine);

  // Builds the line from one reading of the clock, shows it, then writes it to the file. A
  // write that fails is counted; the first failure and the first success after failures are
  // each shown once, with the system's reason.
  void AddLog(std::u16string_view name, std::u16string_view message);
  // A line in the same form that is only shown (the console, the window's log view), never
  // written to the file: what the monitor says about itself.
  void Notice(std::u16string_view name, std::u16string_view message);

  const Path& LogFolder() const { return logFolder_; }
  // Lines the file did not take since the start, and whether the last one failed.
  std::uint64_t FileWriteFailures() const { return fileFailures_; }
  bool FileFailing() const { return fileError_ != 0; }

 private:
  Path logFolder_;
  IClock& clock_;
  std::function<void(const std::u16string&)> appendLine_;
  std::uint64_t fileFailures_ = 0;
  std::uint32_t fileError_ = 0;  // of the last line written, 0 when it was written
};

// The name under which the monitor's notices about itself are shown.
inline constexpr char16_t kMonitorName[] = u"Tervane";

}  // namespace tervane
