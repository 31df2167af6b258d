// The server editor's decisions, apart from its window: the checks of the OK button in their
// order, and the records that New Server and Edit Server make of the input. The Windows
// dialog and the Linux command line both use them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/server_list.h"
#include "process/process_control.h"
#include "support/message_texts.h"

namespace tervane {

inline constexpr char16_t kDefaultServerName[] = u"n# Server";
inline constexpr char16_t kDefaultParams[] =
    u"-game cstrike +servercfgfile server.cfg +maxplayers 32 +map de_dust2 -port 27015 -insecure "
    u"+sv_lan 0 -noipx -console";
inline constexpr int kMaxProcessors = 32;

struct EditorInput {
  std::u16string fileName;     // the executable field as typed
  std::u16string params;       // the parameter memo as typed
  std::uint32_t checkedBoxes;  // bit n: box CPU_n is checked
  int processorCount;          // processors of the machine (above 32 counts as 32)
};

// What the checks computed; kept by the dialog between uses.
struct EditorResult {
  Path fileName;             // F: the executable without surrounding blanks
  std::string ResultAddress;
  std::int32_t ResultPort = 0;
  std::u16string ResultParams;
  std::uint32_t ResultAffinity = 0;
};

// Line breaks removed (not turned into blanks), tabs made blanks, ends stripped, cut to 511.
std::u16string NormaliseParams(std::u16string_view params);

// The OK button's checks in order; answers the message of the first that fails, or nothing
// when all pass. skipIndex is the server being edited (-1 for a new one). Fields of result
// computed before a failing check keep their new values.
std::optional<Msg> CheckServerInput(const EditorInput& input, const ServerList& list, int skipIndex,
                                    IProcessControl& process, EditorResult& result,
                                    const std::function<std::string()>& localAddress = {});

// A new record from accepted input.
ServerEntry MakeNewEntry(std::u16string_view name, const EditorResult& result, std::uint8_t priority,
                         bool hide);

// Edit Server's update of a record, without the actions on the running process. Answers
// whether the priority changed.
bool UpdateEntry(ServerEntry& entry, std::u16string_view name, const EditorResult& result,
                 std::uint8_t priority, bool hide);

}  // namespace tervane
