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
  // Texts of what the program reports beyond the shipped set; their keys are applied after the
  // window texts, so the order above stays as it was.
  StartFailed,
};

inline constexpr int kMessageTextCount = 26;
// The message texts of the shipped set, applied first.
inline constexpr int kShippedMessageTextCount = 25;
inline constexpr int kPriorityNameCount = 3;

struct MessageTextDef {
  std::u16string_view key;
  std::u16string_view defaultText;
};

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

  // The name of a priority code; codes above 2 are Real Time as the process control treats them.
  const std::u16string& PriorityName(int code) const;
  void SetPriorityName(int index, std::u16string text);

 private:
  std::array<std::u16string, kMessageTextCount> texts_;
  std::array<std::u16string, kPriorityNameCount> priorityNames_;
};

std::optional<Msg> FindMessageKey(std::u16string_view key);

}  // namespace tervane
