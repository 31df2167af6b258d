#include <gtest/gtest.h>

#include "support/event_log.h"
#include "test_support.h"
#include "testbed.h"

namespace tervane {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;
using Bytes = std::vector<std::uint8_t>;

using testbed::FixedClock;

Bytes Utf16(std::u16string_view text) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const LocalTime kMarch{2024, 3, 5, 7, 8, 9};
const Bytes kBom{0xFF, 0xFE};
const Bytes kCrLf{0x0D, 0x00, 0x0A, 0x00};

TEST(EventLogLine, FormatWithPaddedNumbers) {
  EXPECT_EQ(FormatLogLine(kMarch, u"1# Server", u"Starting server."),
            u"[2024-03-05 07:08:09] 1# Server: Starting server.");
  EXPECT_EQ(FormatLogLine(LocalTime{999, 12, 31, 23, 59, 0}, u"x", u"y"), u"[0999-12-31 23:59:00] x: y");
  EXPECT_EQ(FormatLogLine(kMarch, u"A", u"Restarting. Reason: Fatal error - "),
            u"[2024-03-05 07:08:09] A: Restarting. Reason: Fatal error - ");
}

TEST(EventLogFile, FirstAndSecondLinesOfAMonth) {
  TempDir dir;
  FixedClock clock({kMarch});
  const Path folder = dir.Dir() + u"logs";
  WriteLogFile(folder, u"line one", clock);
  const Path file = folder + PathSeparator() + u"2024-03.log";
  EXPECT_EQ(ReadBytes(file), Cat({kBom, Utf16(u"line one")}));
  WriteLogFile(folder, u"line two", clock);
  EXPECT_EQ(ReadBytes(file), Cat({kBom, Utf16(u"line one"), kCrLf, Utf16(u"line two")}));
}

TEST(EventLogFile, FileHoldingOnlyTheMarkGetsAnEmptyFirstLine) {
  TempDir dir;
  FixedClock clock({kMarch});
  const Path folder = dir.Dir() + u"logs";
  ASSERT_TRUE(CreateDirectories(folder));
  const Path file = folder + PathSeparator() + u"2024-03.log";
  WriteBytes(file, kBom);
  WriteLogFile(folder, u"x", clock);
  EXPECT_EQ(ReadBytes(file), Cat({kBom, kCrLf, Utf16(u"x")}));
}

TEST(EventLogFile, OddLengthIsRealignedWithAZeroByte) {
  TempDir dir;
  FixedClock clock({kMarch});
  const Path folder = dir.Dir() + u"logs";
  ASSERT_TRUE(CreateDirectories(folder));
  const Path file = folder + PathSeparator() + u"2024-03.log";
  WriteBytes(file, {0xFF, 0xFE, 'a', 0, 'b'});
  WriteLogFile(folder, u"z", clock);
  EXPECT_EQ(ReadBytes(file), Cat({{0xFF, 0xFE, 'a', 0, 'b'}, {0x00, 0x0D, 0x00, 0x0A, 0x00}, Utf16(u"z")}));
  EXPECT_EQ(ReadBytes(file).size() % 2, 0u);
}

TEST(EventLogFile, MissingFolderChainIsCreated) {
  TempDir dir;
  FixedClock clock({kMarch});
  const Path folder = dir.Dir() + u"a" + PathSeparator() + u"b" + PathSeparator() + u"logs";
  WriteLogFile(folder, u"deep", clock);
  EXPECT_EQ(ReadBytes(folder + PathSeparator() + u"2024-03.log"), Cat({kBom, Utf16(u"deep")}));
}

TEST(EventLogFile, FolderThatCannotBeMadeIsSilent) {
  TempDir dir;
  FixedClock clock({kMarch});
  WriteBytes(dir.File(u"logs"), {1});  // a file where the folder should be
  WriteLogFile(dir.Dir() + u"logs", u"lost", clock);
  EXPECT_EQ(ReadBytes(dir.File(u"logs")), Bytes{1});
}

TEST(EventLog, AddLogShowsTheLineThenWritesItWithTheMonthOfASecondReading) {
  TempDir dir;
  // The line is stamped in the last second of March; the file is chosen a moment later.
  FixedClock clock({LocalTime{2024, 3, 31, 23, 59, 59}, LocalTime{2024, 4, 1, 0, 0, 0}});
  std::vector<std::u16string> shown;
  EventLog log(dir.Dir(), clock, [&](const std::u16string& line) { shown.push_back(line); });
  const std::u16string name(32, u'N');  // a full-width name, no terminator
  log.AddLog(name, u"Restarting. Reason: Process lost.");
  const std::u16string line = u"[2024-03-31 23:59:59] " + name + u": Restarting. Reason: Process lost.";
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], line);
  EXPECT_EQ(ReadBytes(log.LogFolder() + PathSeparator() + u"2024-04.log"), Cat({kBom, Utf16(line)}));
  EXPECT_FALSE(FileExists(log.LogFolder() + PathSeparator() + u"2024-03.log"));
}

// Lines the file does not take are counted; the first failure and the recovery are each shown
// once with the system's reason, and never written to the file themselves.
TEST(EventLog, AFileThatTakesNoLinesIsCountedAndSaidOnce) {
  TempDir dir;
  FixedClock clock({kMarch});
  std::vector<std::u16string> shown;
  EventLog log(dir.Dir(), clock, [&](const std::u16string& line) { shown.push_back(line.substr(22)); });
  WriteBytes(dir.File(u"logs"), {1});  // a file where the folder should be
  log.AddLog(u"S", u"one");
  log.AddLog(u"S", u"two");
  EXPECT_EQ(log.FileWriteFailures(), 2u);
  EXPECT_TRUE(log.FileFailing());
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[1].rfind(u"Tervane: cannot write the log file " + LogFilePath(log.LogFolder(), kMarch) + u": ", 0),
            0u);
  RemoveFile(dir.File(u"logs"));
  log.AddLog(u"S", u"three");
  EXPECT_FALSE(log.FileFailing());
  EXPECT_EQ(shown.back(), u"Tervane: the log file " + LogFilePath(log.LogFolder(), kMarch) + u" is written again");
  EXPECT_EQ(ReadBytes(LogFilePath(log.LogFolder(), kMarch)), Cat({kBom, Utf16(u"[2024-03-05 07:08:09] S: three")}));
}

TEST(EventLog, LineBreaksInTheMessageAreWrittenUnchanged) {
  TempDir dir;
  FixedClock clock({kMarch});
  EventLog log(dir.Dir(), clock, nullptr);
  log.AddLog(u"S", u"Restarting. Reason: Fatal error - a\r\nb");
  EXPECT_EQ(ReadBytes(log.LogFolder() + PathSeparator() + u"2024-03.log"),
            Cat({kBom, Utf16(u"[2024-03-05 07:08:09] S: Restarting. Reason: Fatal error - a\r\nb")}));
}

}  // namespace
}  // namespace tervane
