#include "app/server_cli.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>

#include "core/server_list.h"
#include "process/params.h"
#include "support/text.h"
#include "ui/server_editor.h"

namespace tervane {

std::string ServerCommandUsage() {
  return "usage:\n"
         "  kesp --dir DIR [command]    with the files (serverlist.dat, logs/, kesp.ini) in DIR, as\n"
         "                              TERVANE_DIR=DIR does; without either, the program's folder,\n"
         "                              or ~/.local/state/tervane (/var/lib/tervane for root) when\n"
         "                              kesp lies in a system folder\n"
         "  kesp --version              the version\n"
         "  kesp                        supervise the servers of serverlist.dat (Ctrl+C ends it;\n"
         "                              the servers keep running)\n"
         "  kesp list                   the registered servers\n"
         "  kesp status [--json]        every server's state, as the list view shows it, with the\n"
         "                              time and reason of its last restart; exit code 3 when no\n"
         "                              kesp supervises (the list is then shown as saved)\n"
         "  kesp add --exe PATH [--name NAME] [--params \"RUN PARAMETERS\"]\n"
         "           [--priority normal|high|realtime] [--affinity MASK] [--hide] [--paused]\n"
         "                              register a server (the parameters give its port,\n"
         "                              e.g. \"+ip 127.0.0.1 -port 27015\"; priority normal by default)\n"
         "  kesp edit N [the options of add, and --show]\n"
         "  kesp remove N...            remove servers (their processes keep running)\n"
         "  kesp move N M               move server N to position M\n"
         "  kesp pause N... | unpause N...\n"
         "  kesp restart N... | close N...\n"
         "  kesp service install [--user | --as USER] | kesp service uninstall [--user]\n"
         "                              run kesp as a systemd service (a unit for this data folder);\n"
         "                              --as runs it, and so the servers, as that user\n"
         "Servers are numbered as list shows them. While kesp supervises, the commands act on the\n"
         "running kesp; otherwise on serverlist.dat. --yes answers the confirmations of remove,\n"
         "restart and close.\n";
}

bool IsChangingCommand(const std::string& command) {
  return command != "list" && command != "status" && command != "help" && command != "--help" && command != "-h";
}

std::string TerminalSafe(std::u16string_view text) {
  std::u16string safe;
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
      safe += Utf8ToUtf16(escaped);
    } else {
      safe.push_back(c);
    }
  }
  return Utf16ToUtf8(safe);
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

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string LocalTimeText(WallTime t) {
  if (t == 0) return {};
  const std::time_t time = static_cast<std::time_t>(t);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&time));
  return text;
}

// The system's text of an error code, or "" for none.
std::string ErrorText(std::uint32_t code) { return code ? Utf16ToUtf8(SystemErrorText(code)) : std::string(); }

bool ParsePriority(const std::string& text, std::uint8_t& priority) {
  const std::string t = UpperAscii(text);
  if (t == "NORMAL" || t == "0") priority = 0;
  else if (t == "HIGH" || t == "1") priority = 1;
  else if (t == "REALTIME" || t == "REAL TIME" || t == "2") priority = 2;
  else return false;
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

struct Numbers {
  std::vector<std::size_t> rows;  // ascending, each once
  std::string bad;                // the first argument that names no server
};

Numbers ParseNumbers(const std::vector<std::string>& args, std::size_t from, std::size_t count) {
  Numbers result;
  std::set<std::size_t> rows;
  for (std::size_t i = from; i < args.size(); ++i) {
    const auto n = ParseInt32(args[i]);
    if (!n || *n < 1 || static_cast<std::size_t>(*n) > count || args[i].find_first_not_of("0123456789") != std::string::npos) {
      result.bad = args[i];
      return result;
    }
    rows.insert(static_cast<std::size_t>(*n - 1));
  }
  result.rows.assign(rows.begin(), rows.end());
  return result;
}

// The confirmations of a command line: --yes answers them, or the operator when one can be
// asked; otherwise the question is kept for the refusal.
class CommandBoxes : public IMessageBoxes {
 public:
  CommandBoxes(bool yes, CommandIo& io) : yes_(yes), io_(io) {}
  bool Show(BoxOwner, BoxKind kind, const std::u16string& text) override {
    if (kind != BoxKind::Confirm) {
      io_.err << TerminalSafe(text) << "\n";
      return true;
    }
    if (yes_) return true;
    if (io_.confirm) return io_.confirm(TerminalSafe(text));
    unanswered = TerminalSafe(text);
    return false;
  }
  std::string unanswered;

 private:
  bool yes_;
  CommandIo& io_;
};

class Commands {
 public:
  Commands(Monitor& monitor, std::vector<std::string> args, int processors, CommandIo& io)
      : m_(monitor), list_(monitor.List()), processors_(processors), io_(io) {
    for (std::string& a : args) {
      if (a == "--yes" || a == "-y") yes_ = true;
      else if (a == "--json") json_ = true;
      else args_.push_back(std::move(a));
    }
  }

  int Run() {
    const std::string c = args_.empty() ? std::string("list") : args_[0];
    if (c == "help" || c == "--help" || c == "-h") return io_.out << ServerCommandUsage(), 0;
    // A list that exists but cannot be read is neither shown as empty nor written over.
    if (m_.ListError() != 0)
      return Refuse("kesp: cannot read " + Utf16ToUtf8(m_.ListPath()) + ": " + ErrorText(m_.ListError()) +
                        "; nothing is shown or changed until it can be read",
                    1);
    if (m_.LoadedList().Damaged())
      io_.err << "warning: " << TerminalSafe(m_.DamageText())
              << "; every whole record is shown as read; a copy is kept before the first save over it\n";
    if (c == "list") return List();
    if (c == "status") return Status();
    if (c == "add") return AddOrEdit(std::nullopt);
    if (c == "edit") {
      if (args_.size() < 2) return Usage();
      const Numbers n = ParseNumbers({args_[0], args_[1]}, 1, list_.size());
      if (!n.bad.empty()) return NoServer(n.bad);
      return AddOrEdit(n.rows.front());
    }
    if (c == "move") {
      if (args_.size() != 3) return Usage();
      const Numbers n = ParseNumbers({args_[1]}, 0, list_.size());
      const Numbers t = ParseNumbers({args_[2]}, 0, list_.size());
      if (!n.bad.empty() || !t.bad.empty()) return NoServer(!n.bad.empty() ? n.bad : t.bad);
      m_.Move(n.rows.front(), t.rows.front());
      return Saved("moved " + TerminalSafe(list_[t.rows.front()]->Name.str()));
    }
    if (c == "pause" || c == "unpause" || c == "restart" || c == "close" || c == "remove" || c == "delete") {
      if (args_.size() < 2) return Usage();
      const Numbers n = ParseNumbers(args_, 1, list_.size());
      if (!n.bad.empty()) return NoServer(n.bad);
      if (c == "pause" || c == "unpause") {
        m_.Pause(n.rows, c == "pause");
        return Saved(c + "d " + std::to_string(n.rows.size()) + " server(s)");
      }
      CommandBoxes boxes(yes_, io_);
      const bool done = c == "restart" ? m_.Restart(n.rows, boxes)
                        : c == "close" ? m_.Close(n.rows, boxes)
                                       : m_.Delete(n.rows, boxes);
      if (!done) return NotConfirmed(boxes);
      const bool ended = EndsMade(c == "restart" ? "not restarted" : "paused, but its process may still run");
      if (c == "restart") {
        io_.out << "restarted " << n.rows.size() - m_.LastEndsRefused().size() << " server(s)\n";
        return ended ? 0 : 1;
      }
      const int saved = Saved((c == "close" ? "closed " : "removed ") + std::to_string(n.rows.size()) + " server(s)");
      return ended ? saved : 1;
    }
    return Usage();
  }

 private:
  int Usage() {
    io_.err << ServerCommandUsage();
    return 2;
  }
  int NoServer(const std::string& arg) {
    io_.err << "no server number " << TerminalSafe(Utf8ToUtf16(arg)) << " (see kesp list)\n";
    return 1;
  }
  int NotConfirmed(const CommandBoxes& boxes) {
    if (boxes.unanswered.empty()) {
      io_.err << "not confirmed; nothing changed\n";
      return 1;
    }
    io_.err << boxes.unanswered << "\n";
    return kExitNeedsConfirmation;
  }
  // A changing command's result, once the list is saved. A save that failed is said with the
  // system's reason and what becomes of the change.
  int Saved(const std::string& what) {
    if (!m_.LastSaveSucceeded()) {
      io_.err << "cannot write " << Utf16ToUtf8(m_.ListPath()) << ": " << ErrorText(m_.LastSaveError())
              << (m_.Supervising() ? ": the change holds in the running kesp, which saves it again after every cycle\n"
                                   : ": the change is not saved\n");
      return 1;
    }
    io_.out << what << "\n";
    return 0;
  }

  // Says each server whose process the last Restart or Close could not end; answers whether
  // every one was ended.
  bool EndsMade(const char* left) {
    for (const EndRefused& r : m_.LastEndsRefused())
      io_.err << (r.row + 1) << ". " << TerminalSafe(list_[r.row]->Name.str())
              << ": cannot end its process: " << ErrorText(r.error) << "; " << left << "\n";
    return m_.LastEndsRefused().empty();
  }

  // The folder a command works on: the list's.
  void SayDataFolder() {
    const Path list = m_.ListPath();
    io_.out << "Data folder: " << TerminalSafe(list.substr(0, list.find_last_of(PathSeparator()) + 1)) << "\n";
  }

  int List() {
    SayDataFolder();
    if (list_.empty()) return io_.out << "no servers registered\n", 0;
    for (std::size_t i = 0; i < list_.size(); ++i) {
      const ServerEntry& e = *list_[i];
      char affinity[16];
      std::snprintf(affinity, sizeof affinity, "0x%X", static_cast<unsigned>(e.Affinity));
      io_.out << (i + 1) << ". " << TerminalSafe(e.Name.str()) << "  " << e.IPAddress.str() << ":" << e.Port << "  "
              << Utf16ToUtf8(m_.Texts().PriorityName(e.Priority)) << "  affinity " << affinity
              << (e.HideServer ? "  hidden" : "")
              << (!e.Paused ? "" : list_[i]->Status.crashLoopPaused ? "  paused by the crash-loop guard" : "  paused")
              << "\n"
              << "   " << TerminalSafe(e.FileName.str()) << " " << TerminalSafe(e.Params.str()) << "\n";
    }
    return 0;
  }

  // The list as the running kesp sees it; without one, as saved, said so, with exit code 3.
  int Status() {
    const bool supervising = m_.Supervising();
    if (!supervising)
      (json_ ? io_.err : io_.out) << "not supervising: no kesp runs for " << Utf16ToUtf8(m_.ListPath())
                                  << "; the list as saved:\n";
    const int code = supervising ? 0 : kExitNotSupervising;
    if (json_) {
      io_.out << "[";
      for (std::size_t i = 0; i < list_.size(); ++i) {
        const Server& s = *list_[i];
        const RowTexts row = RowTextsFor(s, m_.Texts());
        io_.out << (i ? ",\n " : "\n ") << "{\"number\": " << (i + 1);
        for (int col = 0; col < kColumnCount; ++col)
          io_.out << ", " << JsonString(Utf16ToUtf8(kColumnCaptions[static_cast<std::size_t>(col)])) << ": "
                  << JsonString(Utf16ToUtf8(row[static_cast<std::size_t>(col)]));
        io_.out << ", \"Paused\": " << (s.Paused ? "true" : "false")
                << ", \"Last Restart\": " << JsonString(LocalTimeText(s.Status.lastRestart))
                << ", \"Last Restart Reason\": "
                << JsonString(s.Status.lastRestart ? RestartReasonName(s.Status.lastRestartReason) : "")
                << ", \"Priority Not Applied\": " << JsonString(ErrorText(s.Status.priorityError))
                << ", \"Affinity Not Applied\": " << JsonString(ErrorText(s.Status.affinityError))
                << ", \"Pause Reason\": " << JsonString(PauseReason(s))
                << ", \"Process Not Looked At\": " << JsonString(ErrorText(s.Status.lookError)) << "}";
      }
      io_.out << (list_.empty() ? "]\n" : "\n]\n");
      return code;
    }
    SayDataFolder();
    if (list_.empty()) return io_.out << "no servers registered\n", code;
    for (std::size_t i = 0; i < list_.size(); ++i) {
      const Server& s = *list_[i];
      const RowTexts row = RowTextsFor(s, m_.Texts());
      io_.out << (i + 1) << ". " << TerminalSafe(row[ColServerName]) << "  " << TerminalSafe(row[ColIPAddress]) << ":"
              << TerminalSafe(row[ColPort]) << "  " << TerminalSafe(row[ColPriority]) << "  "
              << TerminalSafe(row[ColFileName]) << "\n   ";
      for (int col = ColProcessStatus; col < kColumnCount; ++col)
        io_.out << (col > ColProcessStatus ? "  " : "")
                << Utf16ToUtf8(kColumnCaptions[static_cast<std::size_t>(col)]) << ": "
                << TerminalSafe(row[static_cast<std::size_t>(col)]);
      io_.out << "\n";
      if (s.Status.lastRestart)
        io_.out << "   Last restart: " << LocalTimeText(s.Status.lastRestart) << " ("
                << RestartReasonName(s.Status.lastRestartReason) << ")\n";
      const std::pair<ExtraMsg, std::uint32_t> refusals[] = {{ExtraMsg::PriorityNotApplied, s.Status.priorityError},
                                                             {ExtraMsg::AffinityNotApplied, s.Status.affinityError}};
      for (const auto& [text, error] : refusals)
        if (error) io_.out << "   " << TerminalSafe(FormatText(m_.Texts().Get(text), {SystemErrorText(error)})) << "\n";
      if (const std::string why = PauseReason(s); !why.empty()) io_.out << "   " << why << "\n";
      if (s.Status.lookError)
        io_.out << "   Cannot look for its process: " << ErrorText(s.Status.lookError)
                << " (nothing is started or ended on it until it can)\n";
    }
    return code;
  }

  // Why a paused server is paused, when the program paused it: the crash-loop guard's line.
  std::string PauseReason(const Server& s) const {
    return s.Paused && s.Status.crashLoopPaused ? TerminalSafe(m_.States().CrashLoopText()) : std::string();
  }

  // add, or edit of the server at row: the options over the defaults (a new server's, or the
  // server's own), the command line's own stricter checks, then the editor's.
  int AddOrEdit(std::optional<std::size_t> row) {
    const ServerEntry* old = row ? list_[*row].get() : nullptr;
    std::string name = old ? Utf16ToUtf8(old->Name.str()) : Utf16ToUtf8(kDefaultServerName);
    std::string params = old ? Utf16ToUtf8(old->Params.str()) : Utf16ToUtf8(kDefaultParams);
    std::string exe = old ? Utf16ToUtf8(old->FileName.str()) : std::string();
    std::uint8_t priority = old ? old->Priority : 0;  // normal: High would be nice -10 here
    bool hide = old ? old->HideServer != 0 : false;
    bool paused = false;
    const int processors = processors_ > kMaxProcessors ? kMaxProcessors : processors_;
    std::uint32_t boxes = old ? static_cast<std::uint32_t>(old->Affinity)
                              : processors >= 32 ? 0xFFFFFFFFu : ((1u << processors) - 1u);
    for (std::size_t i = row ? 2 : 1; i < args_.size(); ++i) {
      const std::string& a = args_[i];
      const bool hasValue = i + 1 < args_.size();
      if (a == "--hide") hide = true;
      else if (a == "--show" && row) hide = false;
      else if (a == "--paused" && !row) paused = true;
      else if (a == "--name" && hasValue) name = args_[++i];
      else if (a == "--exe" && hasValue) {
        // Stored as a full path: the supervision does not run in this folder.
        std::error_code ec;
        const auto full = std::filesystem::absolute(std::filesystem::path(args_[++i]), ec);
        exe = ec ? args_[i] : full.lexically_normal().string();
      } else if (a == "--params" && hasValue) params = args_[++i];
      else if (a == "--priority" && hasValue) {
        if (!ParsePriority(args_[++i], priority))
          return Refuse("unknown priority '" + TerminalSafe(Utf8ToUtf16(args_[i])) + "' (normal, high or realtime)", 2);
      } else if (a == "--affinity" && hasValue) {
        const auto mask = ParseInt32(args_[++i]);
        if (!mask) return Refuse("the affinity must be a number, e.g. 0x3", 2);
        boxes = static_cast<std::uint32_t>(*mask);
      } else {
        io_.err << "unknown or incomplete option '" << TerminalSafe(Utf8ToUtf16(a)) << "'\n";
        return Usage();
      }
    }
    if (const std::string why = CheckTexts(name, exe, params); !why.empty()) return Refuse(why, 1);
    if (!ParameterValue(params, "-port") && !ParameterValue(params, "+port"))
      io_.out << "the parameters name no port: " << kDefaultServerPort << " is used\n";

    EditorResult result;
    const EditorInput input{Utf8ToUtf16(exe), Utf8ToUtf16(params), boxes, processors_};
    if (auto refusal = CheckServerInput(input, list_, row ? static_cast<int>(*row) : -1, m_.Process(), result,
                                        m_.LocalAddress()))
      return Refuse(Utf16ToUtf8(m_.Texts().Get(*refusal)), 1);
    if (row) {
      m_.EditServer(*row, Utf8ToUtf16(name), result, priority, hide);
      return Saved("edited " + std::to_string(*row + 1) + ". " + TerminalSafe(list_[*row]->Name.str()));
    }
    ServerEntry e = MakeNewEntry(Utf8ToUtf16(name), result, priority, hide);
    e.Paused = paused ? 1 : 0;
    m_.AddServer(e);
    return Saved("registered " + std::to_string(list_.size()) + ". " + TerminalSafe(e.Name.str()) + " at " +
                 e.IPAddress.str() + ":" + std::to_string(e.Port));
  }

  // What the record cannot hold as given is refused here instead of being cut.
  static std::string CheckTexts(const std::string& name, const std::string& exe, const std::string& params) {
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

  int Refuse(const std::string& why, int code) {
    io_.err << TerminalSafe(Utf8ToUtf16(why)) << "\n";
    return code;
  }

  Monitor& m_;
  ServerList& list_;
  int processors_;
  CommandIo& io_;
  std::vector<std::string> args_;
  bool yes_ = false;
  bool json_ = false;
};

}  // namespace

int RunServerCommand(Monitor& monitor, const std::vector<std::string>& args, int processorCount, CommandIo& io) {
  return Commands(monitor, args, processorCount, io).Run();
}

}  // namespace tervane
