#include "ui/server_editor.h"

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

std::optional<Msg> CheckServerInput(const EditorInput& input, const ServerList& list, int skipIndex,
                                    IProcessControl& process, EditorResult& result,
                                    const std::function<std::string()>& localAddress) {
  result.fileName = Strip(input.fileName);
  if (result.fileName.empty()) return Msg::MsgTextSelectExeuteFile;
  if (!FileExists(result.fileName)) return Msg::MsgTextExeuteFileNotExits;
  int processors = input.processorCount;
  if (processors > kMaxProcessors) processors = kMaxProcessors;
  if (processors < 0) processors = 0;
  const std::uint32_t available =
      processors >= 32 ? 0xFFFFFFFFu : ((1u << processors) - 1u);
  if ((input.checkedBoxes & available) == 0) return Msg::MsgTextMustSelectCPU;
  result.ResultAffinity = input.checkedBoxes & available;
  result.ResultParams = NormaliseParams(input.params);
  result.ResultPort = GetServerPort(result.ResultParams);
  if (result.ResultPort == 0) return Msg::MsgTextCannotGetPort;
  result.ResultAddress = localAddress ? GetServerAddress(result.ResultParams, localAddress)
                                      : GetServerAddress(result.ResultParams);
  const std::string wantAddress = UpperAscii(result.ResultAddress);
  const int count = static_cast<int>(list.size());
  for (int i = 0; i < count; ++i) {
    if (i == skipIndex) continue;
    const ServerEntry& e = *list[static_cast<std::size_t>(i)];
    const Path other = FromSystem8(Strip8(ToSystem8(e.FileName.str())));
    if (process.IsSameFile(result.fileName, other)) return Msg::MsgTextExeuteFileInList;
    if (UpperAscii(Strip8(e.IPAddress.str())) == wantAddress &&
        // The whole number from the parameters against the stored 16 bits: a port of 70000
        // clashes with nothing, although it is stored as 4464.
        static_cast<std::int32_t>(e.Port) == result.ResultPort)
      return Msg::MsgTextIPPortInList;
  }
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
