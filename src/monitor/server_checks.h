// Every check of a server's settings, and the records made of settings that passed them: the
// server editor's checks of its OK button in their order (the window makes exactly these), and
// the command line's stricter ones, which it makes before them (what the record cannot hold as
// typed is refused there instead of being cut).
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

// Why the editor's checks refused the input: the message, and for a clash the server that
// has the executable or the address and port already.
struct InputRefusal {
  Msg message;
  int clashing = -1;  // its position in the list
};

// The OK button's checks in order; answers the first that fails, or nothing when all pass.
// skipIndex is the server being edited (-1 for a new one). Fields of result computed before a
// failing check keep their new values.
std::optional<InputRefusal> CheckServerInput(const EditorInput& input, const ServerList& list, int skipIndex,
                                             IProcessControl& process, EditorResult& result,
                                             const std::function<std::string()>& localAddress = {});

// The command line's checks of settings as typed (UTF-8), made before the editor's: UTF-8
// text, a name of at most 31 characters without control characters, an executable named and
// executable, texts the record can hold whole, a port from 1 to 65535 and a dotted IPv4
// address where the parameters name them. Answers why the first that fails fails, or empty.
std::string CheckTypedSettings(const std::string& name, const std::string& exe, const std::string& params);

// Whether the run parameters name a port ("-port n" or "+port n"): without one, 27015 is used.
bool NamesPort(const std::string& params);

// "normal", "high", "realtime" (or "real time"), or 0 to 2, in any letter case.
std::optional<std::uint8_t> ParsePriority(const std::string& text);

// A new record from accepted input.
ServerEntry MakeNewEntry(std::u16string_view name, const EditorResult& result, std::uint8_t priority,
                         bool hide);

// Edit Server's update of a record, without the actions on the running process. Answers
// whether the priority changed.
bool UpdateEntry(ServerEntry& entry, std::u16string_view name, const EditorResult& result,
                 std::uint8_t priority, bool hide);

}  // namespace tervane
