// The message texts: every text the program's own logic shows (state cells, the self-test
// status bar, confirmations, editor errors, boss-key and service result boxes), each with
// its language-file key and built-in English default, plus the three priority names.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tervane {

// In the order a language file's values are applied.
enum class Msg : int {
  Restarting,
  Normal,
  Lost,
  Timeout,
  PausedMonitor,
  NetworkStatusNormal,
  NetworkStatusTimeout,
  NetworkStatusReinit,
  MsgTextDelServer,
  MsgTextDelSelServers,
  MsgTextCloseServer,
  MsgTextCloseSelServers,
  MsgTextRestartServer,
  MsgTextRestartSelServers,
  MsgTextRegisterBossKeyFailed,
  MsgTextSelectExeuteFile,
  MsgTextExeuteFileNotExits,
  MsgTextCannotGetPort,
  MsgTextExeuteFileInList,
  MsgTextIPPortInList,
  MsgTextMustSelectCPU,
  MsgTextInstallServiceSuccessful,
  MsgTextUninstallServiceSuccessful,
  MsgTextInstallServiceFailed,
  MsgTextUninstallServiceFailed,
};

inline constexpr int kMessageTextCount = 25;
inline constexpr int kPriorityNameCount = 3;

struct MessageTextDef {
  std::u16string_view key;
  std::u16string_view defaultText;
};

// Texts of what the program reports beyond the list's own (a failed start, kesp.ini's options),
// kept apart from the table above so that the order of applying a language stays as it is;
// language files carry them all the same.
enum class ExtraMsg : int {
  CrashLoopPaused,  // "%d restarts within %d minutes"
  StartFailed,      // "%s": the system's reason
  PriorityNotApplied,  // "%s": the system's reason
  AffinityNotApplied,  // "%s": the system's reason
  PlannedRestart,      // the log line of a planned restart
  GameUpdate,          // the log line of the start after a game update
};
inline constexpr int kExtraTextCount = 6;
const std::array<MessageTextDef, kExtraTextCount>& ExtraTextTable();

// Keys and defaults in table order.
const std::array<MessageTextDef, kMessageTextCount>& MessageTextTable();
// "cbbPriority.Items[0]" to "cbbPriority.Items[2]" and "Normal", "High", "Real Time".
const std::array<MessageTextDef, kPriorityNameCount>& PriorityNameTable();

class MessageTexts {
 public:
  MessageTexts();

  const std::u16string& Get(Msg id) const { return texts_[static_cast<int>(id)]; }
  void Set(Msg id, std::u16string text) { texts_[static_cast<int>(id)] = std::move(text); }

  // By language-file key, compared without regard to case as the language files are.
  std::optional<std::u16string> Get(std::u16string_view key) const;
  bool Set(std::u16string_view key, std::u16string text);

  const std::u16string& Get(ExtraMsg id) const { return extraTexts_[static_cast<int>(id)]; }
  void Set(ExtraMsg id, std::u16string text) { extraTexts_[static_cast<int>(id)] = std::move(text); }

  // The name of a priority code; codes above 2 are Real Time as the process control treats them.
  const std::u16string& PriorityName(int code) const;
  void SetPriorityName(int index, std::u16string text);

 private:
  std::array<std::u16string, kMessageTextCount> texts_;
  std::array<std::u16string, kPriorityNameCount> priorityNames_;
  std::array<std::u16string, kExtraTextCount> extraTexts_;
};

std::optional<Msg> FindMessageKey(std::u16string_view key);

}  // namespace tervane
