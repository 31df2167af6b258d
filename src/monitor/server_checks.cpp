#include "monitor/server_checks.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "process/params.h"
#include "support/file.h"
#include "support/text.h"

namespace tervane {

std::u16string NormaliseParams(std::u16string_view params) {
  std::u16string text(params);
  auto removeAll = [&](std::u16string_view what) {
    for (std::size_t at = text.find(what); at != std::u16string::npos; at = text.find(what, at))
      text.erase(at, what.size());
  };
  removeAll(u"\r\n");
  removeAll(u"\r");
  removeAll(u"\n");
  for (char16_t& c : text)
    if (c == u'\t') c = u' ';
  text = Strip(text);
  if (text.size() >= 512) text.resize(511);
  return text;
}

std::optional<InputRefusal> CheckServerInput(const EditorInput& input, const ServerList& list, int skipIndex,
                                             IProcessControl& process, EditorResult& result,
                                             const std::function<std::string()>& localAddress) {
  result.fileName = Strip(input.fileName);
  if (result.fileName.empty()) return InputRefusal{Msg::MsgTextSelectExeuteFile};
  if (!FileExists(result.fileName)) return InputRefusal{Msg::MsgTextExeuteFileNotExits};
  int processors = input.processorCount;
  if (processors > kMaxProcessors) processors = kMaxProcessors;
  if (processors < 0) processors = 0;
  const std::uint32_t available =
      processors >= 32 ? 0xFFFFFFFFu : ((1u << processors) - 1u);
  if ((input.checkedBoxes & available) == 0) return InputRefusal{Msg::MsgTextMustSelectCPU};
  result.ResultAffinity = input.checkedBoxes & available;
  result.ResultParams = NormaliseParams(input.params);
  result.ResultPort = GetServerPort(result.ResultParams);
  if (result.ResultPort == 0) return InputRefusal{Msg::MsgTextCannotGetPort};
  result.ResultAddress = localAddress ? GetServerAddress(result.ResultParams, localAddress)
                                      : GetServerAddress(result.ResultParams);
  const std::string wantAddress = UpperAscii(result.ResultAddress);
  const int count = static_cast<int>(list.size());
  for (int i = 0; i < count; ++i) {
    if (i == skipIndex) continue;
    const ServerEntry& e = *list[static_cast<std::size_t>(i)];
    const Path other = FromSystem8(Strip8(ToSystem8(e.FileName.str())));
    if (process.IsSameFile(result.fileName, other)) return InputRefusal{Msg::MsgTextExeuteFileInList, i};
    if (UpperAscii(Strip8(e.IPAddress.str())) == wantAddress &&
        // The whole number from the parameters against the stored 16 bits: a port of 70000
        // clashes with nothing, although it is stored as 4464.
        static_cast<std::int32_t>(e.Port) == result.ResultPort)
      return InputRefusal{Msg::MsgTextIPPortInList, i};
  }
  return std::nullopt;
}

namespace {

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// The dotted IPv4 address the record can hold: four numbers 0..255.
bool IsDottedIPv4(std::string_view s) {
  int parts = 0;
  std::size_t i = 0;
  while (i <= s.size()) {
    std::size_t j = i;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
    if (j == i || j - i > 3 || std::stoi(std::string(s.substr(i, j - i))) > 255) return false;
    ++parts;
    if (j == s.size()) break;
    if (s[j] != '.') return false;
    i = j + 1;
  }
  return parts == 4;
}

// The value after a parameter key ("-port", "+ip"), as the readers of the run parameters find it.
std::optional<std::string> ParameterValue(const std::string& params, const std::string& key) {
  std::string lower = params;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const std::size_t at = lower.find(key + " ");
  if (at == std::string::npos) return std::nullopt;
  std::size_t begin = lower.find_first_not_of(' ', at + key.size() + 1);
  if (begin == std::string::npos) return std::string();
  std::size_t end = lower.find(' ', begin);
  std::string value = params.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  std::erase(value, '"');
  return value;
}

}  // namespace

std::string CheckTypedSettings(const std::string& name, const std::string& exe, const std::string& params) {
  for (const auto& [what, text] : {std::pair{"name", &name}, std::pair{"executable path", &exe},
                                   std::pair{"run parameters", &params}})
    if (!IsUtf8(*text)) return std::string("the ") + what + " is not UTF-8 text";
  const std::u16string name16 = Utf8ToUtf16(name);
  if (name16.size() > 31) return "the name is longer than 31 characters";
  if (std::any_of(name16.begin(), name16.end(), [](char16_t c) { return c < 0x20 || c == 0x7F; }))
    return "the name holds control characters";
  if (exe.empty()) return "--exe names no executable";
  if (Utf8ToUtf16(exe).size() > 260) return "the executable path is longer than 260 characters";
  if (Utf8ToUtf16(params).size() > 511) return "the run parameters are longer than 511 characters";
  std::error_code ec;
  const auto status = std::filesystem::status(std::filesystem::path(exe), ec);
  if (!ec && std::filesystem::is_regular_file(status) &&
      (status.permissions() & (std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec |
                               std::filesystem::perms::others_exec)) == std::filesystem::perms::none)
    return "the file is not executable: " + exe;
  for (const char* key : {"-port", "+port"}) {
    const auto value = ParameterValue(params, key);
    if (!value) continue;
    const auto port = ParseInt32(*value);
    if (!port || *port < 1 || *port > 65535 || value->find_first_not_of("0123456789") != std::string::npos)
      return "the port '" + *value + "' is not a number from 1 to 65535";
  }
  if (const auto ip = ParameterValue(params, "+ip"); ip && !IsDottedIPv4(*ip))
    return "the address '" + *ip + "' after +ip is not a dotted IPv4 address";
  return {};
}

bool NamesPort(const std::string& params) { return ParameterValue(params, "-port") || ParameterValue(params, "+port"); }

std::optional<std::uint8_t> ParsePriority(const std::string& text) {
  const std::string t = UpperAscii(text);
  if (t == "NORMAL" || t == "0") return 0;
  if (t == "HIGH" || t == "1") return 1;
  if (t == "REALTIME" || t == "REAL TIME" || t == "2") return 2;
  return std::nullopt;
}

ServerEntry MakeNewEntry(std::u16string_view name, const EditorResult& result, std::uint8_t priority,
                         bool hide) {
  ServerEntry e = NewServerEntry();
  e.Name.assign(Strip(name), 31);
  e.IPAddress.assign(result.ResultAddress, 15);
  // The record holds 16 bits; a larger number in the parameters keeps its low 16 bits, which
  // is also what the list shows and what the queries go to.
  e.Port = static_cast<std::uint16_t>(result.ResultPort);
  e.FileName.assign(result.fileName, 260);
  e.Params.assign(result.ResultParams, 511);
  e.Priority = priority;
  e.Affinity = result.ResultAffinity;
  e.HideServer = hide ? 1 : 0;
  return e;
}

bool UpdateEntry(ServerEntry& e, std::u16string_view name, const EditorResult& result,
                 std::uint8_t priority, bool hide) {
  e.Name.assign(Strip(name), 31);
  e.IPAddress.assign(result.ResultAddress, 15);
  e.Port = static_cast<std::uint16_t>(result.ResultPort);
  e.FileName.assign(result.fileName, 260);
  e.Params.assign(result.ResultParams, 511);
  const bool priorityChanged = e.Priority != priority;
  if (priorityChanged) e.Priority = priority;
  e.ReplyKind = 0;
  e.TimeoutCount = 0;
  e.LostCount = 0;
  e.WaitReply = 0;
  e.HideServer = hide ? 1 : 0;
  e.Affinity = result.ResultAffinity;
  return priorityChanged;
}

}  // namespace tervane
