#include "support/message_texts.h"

#include "support/text.h"

namespace tervane {

namespace {

constexpr std::array<MessageTextDef, kMessageTextCount> kMessageTexts = {{
    {u"Restarting", u"Restarting"},
    {u"Normal", u"Normal"},
    {u"Lost", u"Lost (%d/%d)"},
    {u"Timeout", u"Timeout (%d/%d)"},
    {u"PausedMonitor", u"Paused Monitor"},
    {u"NetworkStatusNormal", u"Network Status Self Test: Normal"},
    {u"NetworkStatusTimeout", u"Network Status Self Test: Timeout(%d/%d)"},
    {u"NetworkStatusReinit", u"Network Status Self Test: Reinitialize"},
    {u"MsgTextDelServer", u"Are you sure to Delete \"%s\"?"},
    {u"MsgTextDelSelServers", u"Are you sure to Delete selected servers?"},
    {u"MsgTextCloseServer", u"Are you sure to Close \"%s\"?"},
    {u"MsgTextCloseSelServers", u"Are you sure to Close selected servers?"},
    {u"MsgTextRestartServer", u"Are you sure to Restart \"%s\"?"},
    {u"MsgTextRestartSelServers", u"Are you sure to Restart selected servers?"},
    {u"MsgTextRegisterBossKeyFailed", u"Register Boss Key Failed!!!"},
    {u"MsgTextSelectExeuteFile", u"Please select a executable file!"},
    {u"MsgTextExeuteFileNotExits", u"The selected executable file isn't exists!"},
    {u"MsgTextCannotGetPort", u"Can't get Port from parameters!"},
    {u"MsgTextExeuteFileInList", u"The selected executable file has in the list!"},
    {u"MsgTextIPPortInList", u"The IP:Port is already in the list!"},
    {u"MsgTextMustSelectCPU", u"Must select at least one CPU!"},
    {u"MsgTextInstallServiceSuccessful", u"Install Service Successful!"},
    {u"MsgTextUninstallServiceSuccessful", u"Uninstall Service Successful!"},
    {u"MsgTextInstallServiceFailed", u"Install Service Failed!"},
    {u"MsgTextUninstallServiceFailed", u"Uninstall Service Failed!"},
}};

constexpr std::array<MessageTextDef, kPriorityNameCount> kPriorityNames = {{
    {u"cbbPriority.Items[0]", u"Normal"},
    {u"cbbPriority.Items[1]", u"High"},
    {u"cbbPriority.Items[2]", u"Real Time"},
}};

constexpr std::array<MessageTextDef, kExtraTextCount> kExtraTexts = {{
    {u"CrashLoopPaused", u"Paused Monitor. Reason: %d restarts within %d minutes."},
    {u"StartFailed", u"Start failed: %s"},
    {u"PriorityNotApplied", u"Priority not applied: %s"},
    {u"AffinityNotApplied", u"Processor affinity not applied: %s"},
    {u"PlannedRestart", u"Restarting. Reason: Planned restart."},
    {u"GameUpdate", u"Restarting. Reason: Game update."},
}};

// Each text's default, in table order.
template <std::size_t N>
void TakeDefaults(std::array<std::u16string, N>& texts, const std::array<MessageTextDef, N>& table) {
  for (std::size_t i = 0; i < N; ++i) texts[i] = std::u16string(table[i].defaultText);
}

}  // namespace

const std::array<MessageTextDef, kMessageTextCount>& MessageTextTable() { return kMessageTexts; }
const std::array<MessageTextDef, kPriorityNameCount>& PriorityNameTable() { return kPriorityNames; }
const std::array<MessageTextDef, kExtraTextCount>& ExtraTextTable() { return kExtraTexts; }

MessageTexts::MessageTexts() {
  TakeDefaults(extraTexts_, kExtraTexts);
  TakeDefaults(texts_, kMessageTexts);
  TakeDefaults(priorityNames_, kPriorityNames);
}

std::optional<Msg> FindMessageKey(std::u16string_view key) {
  for (int i = 0; i < kMessageTextCount; ++i)
    if (EqualsIgnoreCaseAscii(MessageTextTable()[i].key, key)) return static_cast<Msg>(i);
  return std::nullopt;
}

std::optional<std::u16string> MessageTexts::Get(std::u16string_view key) const {
  if (auto id = FindMessageKey(key)) return Get(*id);
  return std::nullopt;
}

bool MessageTexts::Set(std::u16string_view key, std::u16string text) {
  auto id = FindMessageKey(key);
  if (!id) return false;
  Set(*id, std::move(text));
  return true;
}

const std::u16string& MessageTexts::PriorityName(int code) const {
  if (code < 0) code = 0;
  if (code > 2) code = 2;
  return priorityNames_[code];
}

void MessageTexts::SetPriorityName(int index, std::u16string text) {
  if (index >= 0 && index < kPriorityNameCount) priorityNames_[index] = std::move(text);
}

}  // namespace tervane
