#include "app/server_cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <set>
#include <system_error>

#include "observe/snapshot.h"
#include "process/params.h"
#include "support/secrets.h"
#include "support/text.h"
#include "ui/rows.h"

namespace tervane {

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

std::string TakeIdsLine(std::string& question) {
  const std::size_t at = question.rfind(std::string("\n") + std::string(kIdsOption));
  if (at == std::string::npos) return {};
  const std::size_t end = question.find('\n', at + 1);
  std::string line = question.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
  question.erase(at + 1, end == std::string::npos ? std::string::npos : end - at);
  return line;
}

namespace {

// The system's text of an error code, or "" for none.
std::string ErrorText(std::uint32_t code) { return code ? Utf16ToUtf8(SystemErrorText(code)) : std::string(); }

std::string LocalTimeText(WallTime t) {
  if (t == 0) return {};
  const std::time_t time = static_cast<std::time_t>(t);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&time));
  return text;
}

int Hint(std::ostream& err, const std::string& what, Command c) {
  err << "kesp: " << what << "; see kesp " << CommandWord(c) << " --help\n";
  return kExitUsage;
}

struct Numbers {
  std::vector<std::size_t> rows;  // ascending, each once
  std::string bad;                // the first argument that names no server
};

// The last line of a question the running kesp asks through another process: the servers it is
// about, which the answer brings back with --yes (see kIdsOption).
std::string IdsLine(const Monitor& m, const std::vector<std::size_t>& rows) {
  std::string line(kIdsOption);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (k) line.push_back(',');
    line.append(std::to_string(m.IdOf(rows[k])));
  }
  return line;
}

// The identities of "--ids=7,9"; none when the text is anything else.
std::optional<std::vector<ServerId>> ParseIds(std::string_view text) {
  std::vector<ServerId> ids;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t end = std::min(text.find(',', at), text.size());
    const std::string_view part = text.substr(at, end - at);
    if (part.empty() || part.size() > 19 || part.find_first_not_of("0123456789") != std::string_view::npos)
      return std::nullopt;
    ServerId id = 0;
    for (char c : part) id = id * 10 + static_cast<ServerId>(c - '0');
    ids.push_back(id);
    at = end + 1;
  }
  return ids;
}

// The rows of servers given by their numbers (of digits: the parser saw to that).
Numbers ParseNumbers(const std::vector<std::string>& args, std::size_t count) {
  Numbers result;
  std::set<std::size_t> rows;
  for (std::size_t i = 0; i < args.size(); ++i) {
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

// The text of an RCON answer for a terminal: its lines as they are, every other control
// character escaped.
std::string AnswerText(const std::string& answer) {
  std::string text;
  std::size_t at = 0;
  while (at < answer.size()) {
    const std::size_t end = std::min(answer.find('\n', at), answer.size());
    text += TerminalSafe(FromSystem8(answer.substr(at, end - at))) + "\n";
    at = end + 1;
  }
  return text;
}

class Commands {
 public:
  Commands(Monitor& monitor, const ParsedCommand& command, int processors, CommandIo& io)
      : m_(monitor), processors_(processors), io_(io), c_(command), json_(command.json) {
    if (command.ids) ids_ = ParseIds(*command.ids);
  }

  // The exit code, or nothing when done comes later (rcon).
  std::optional<int> Run(Command c, const std::function<void(int)>& done) {
    // A list that exists but cannot be read is neither shown as empty nor written over.
    if (m_.ListError() != 0)
      return Refuse("kesp: cannot read " + Utf16ToUtf8(m_.ListPath()) + ": " + ErrorText(m_.ListError()) +
                        "; nothing is shown or changed until it can be read",
                    1);
    if (m_.LoadResult().Damaged())
      io_.err << "kesp: warning: " << TerminalSafe(m_.DamageText())
              << "; every whole record is shown as read; a copy is kept before the first save over it\n";
    if (c == Command::Rcon) return Rcon(done);
    return Run(c);
  }

 private:
  int Run(Command c) {
    const std::string word(CommandWord(c));
    switch (c) {
      case Command::List: return List();
      case Command::Status: return Status();
      case Command::Add: return AddOrEdit(std::nullopt);
      case Command::Edit: {
        if (c_.numbers.size() != 1) return Hint(io_.err, "edit needs the number of a server", c);
        if (!c_.SetsAnything())
          return Hint(io_.err, "edit needs an option: what to change (--name, --exe, --params, ...)", c);
        const Numbers n = ParseNumbers(c_.numbers, m_.Count());
        if (!n.bad.empty()) return NoServer(n.bad);
        return AddOrEdit(n.rows.front());
      }
      case Command::Move: {
        if (c_.numbers.size() != 2) return Hint(io_.err, "move needs two numbers: the server's and its new place", c);
        const Numbers n = ParseNumbers({c_.numbers[0]}, m_.Count());
        const Numbers t = ParseNumbers({c_.numbers[1]}, m_.Count());
        if (!n.bad.empty() || !t.bad.empty()) return NoServer(!n.bad.empty() ? n.bad : t.bad);
        const CommandResult result = m_.Run(Command::Move, m_.Targets(n.rows), Origin(CommandArgs::MoveTo(t.rows.front())));
        if (!result.Done()) return Refuse("kesp: " + result.refused, 1);
        return Saved(result, "moved " + Name(t.rows.front()));
      }
      default: break;
    }
    if (!ActsOnServers(c)) return Hint(io_.err, "'" + word + "' is not a command on the list", c);
    // restart --in MINUTES, update --in MINUTES: warned, not made now.
    const bool update = c == Command::Update;
    const std::optional<int> in = c == Command::Restart || update ? c_.inMinutes : std::nullopt;
    if (in && (*in < 0 || *in > kMaxOneOffMinutes)) return Hint(io_.err, "--in needs a number of minutes from 0 to 1440", c);
    const bool all = update && c_.all;
    if (c_.numbers.empty() && !all) return Hint(io_.err, word + (update ? " needs the numbers of servers, or all" : " needs the numbers of servers"), c);
    if (all && m_.Count() == 0) return Refuse("kesp: no servers registered", 1);
    if (c_.ids && !ids_) return Hint(io_.err, "malformed " + std::string(kIdsOption), c);
    // A confirmation's answer: the numbers must still name the servers the question was about
    // (a number past the end is one of them that went; all: every server now, whose count must
    // be the question's).
    Numbers n = ParseNumbers(c_.numbers, ids_ ? SIZE_MAX : m_.Count());
    if (all)
      for (std::size_t row = 0; row < m_.Count(); ++row) n.rows.push_back(row);
    if (!n.bad.empty()) return NoServer(n.bad);
    if (ids_ && ids_->size() != n.rows.size())
      return Refuse("kesp: the confirmation was for other servers; nothing done", 1);
    for (std::size_t k = 0; ids_ && k < n.rows.size(); ++k) {
      std::string why;
      if (!m_.Resolve((*ids_)[k], n.rows[k] + 1, &why)) return Refuse("kesp: " + why, 1);
    }
    // The plans live in the running kesp only.
    if ((in || c == Command::Cancel || update) && !m_.Supervising())
      return Refuse("kesp: no kesp supervises " + Utf16ToUtf8(m_.ListPath()) +
                        (update ? ": a game update needs the running kesp" : ": a planned restart needs the running kesp"),
                    1);
    if (AsksFirst(c) && !c_.yes) {
      const std::string question = TerminalSafe(update ? UpdateQuestion(n.rows, in) : m_.ConfirmationText(c, n.rows));
      if (!io_.confirm) {
        io_.err << question << "\n";
        // Asked for a client of the running kesp: the answer comes back later, by then the
        // numbers may name other servers.
        if (m_.Supervising()) io_.err << IdsLine(m_, n.rows) << "\n";
        return kExitNeedsConfirmation;
      }
      if (!io_.confirm(question)) return io_.err << "kesp: not confirmed; nothing changed\n", kExitDeclined;
    }
    // The servers by their identities: those the confirmation named, else those named now.
    std::vector<CommandTarget> targets;
    for (std::size_t k = 0; k < n.rows.size(); ++k)
      targets.push_back({ids_ ? (*ids_)[k] : m_.IdOf(n.rows[k]), n.rows[k] + 1});
    CommandArgs args = Origin({});
    args.inMinutes = in;
    const CommandResult result = m_.Run(c, targets, std::move(args));
    if (!result.Done()) return Refuse("kesp: " + result.refused, 1);
    if (update) return Updates(result, in);
    if (in) return PlanRestarts(result, *in);
    if (c == Command::Cancel) return CancelRestarts(result);
    for (std::size_t row : result.unchanged)
      io_.out << Numbered(row) << (c == Command::Pause ? ": was paused already" : ": was not paused")
              << "; nothing changed\n";
    const std::string count = std::to_string(n.rows.size() - result.unchanged.size()) + " server(s)";
    switch (c) {
      case Command::Restart: {
        const bool ended = EndsMade(result, "not restarted");
        // A server whose game update runs is started by the update when it ends.
        for (const auto& [row, why] : result.skipped)
          io_.out << Numbered(row) << ": not restarted: " << why << "; it starts when its update ended\n";
        SayStops(result, "it is started again once its process ended");
        io_.out << "restarted " << n.rows.size() - result.endsRefused.size() - result.skipped.size() << " server(s)\n";
        return ended && result.skipped.empty() ? 0 : 1;
      }
      case Command::Close: {
        const bool ended = EndsMade(result, "paused, but its process may still run");
        SayStops(result, "paused; its process is ended if it still runs then");
        const int saved = Saved(result, "closed " + count);
        return ended ? saved : 1;
      }
      case Command::Remove: return Saved(result, "removed " + count);
      default: return Saved(result, word + "d " + count);
    }
  }

 private:
  int NoServer(const std::string& arg) {
    io_.err << "kesp: no server number " << TerminalSafe(Utf8ToUtf16(arg)) << " (see kesp list)\n";
    return 1;
  }
  // A changing command's result, once the list is saved. A save that failed is said with the
  // system's reason and what becomes of the change.
  int Saved(const CommandResult& result, const std::string& what) {
    if (!result.Saved()) {
      io_.err << "kesp: cannot write " << Utf16ToUtf8(m_.ListPath()) << ": " << ErrorText(*result.saveError)
              << (m_.Supervising() ? ": the change holds in the running kesp, which saves it again after every cycle\n"
                                   : ": the change is not saved\n");
      return 1;
    }
    io_.out << what << "\n";
    return 0;
  }

  // Says each server whose process the Restart or Close could not end; answers whether every
  // one was ended.
  bool EndsMade(const CommandResult& result, const char* left) {
    for (const EndRefused& r : result.endsRefused)
      io_.err << "kesp: " << Numbered(r.row) << ": cannot end its process: " << ErrorText(r.error) << "; " << left << "\n";
    return result.endsRefused.empty();
  }

  std::string Name(std::size_t row) const { return TerminalSafe(m_.At(row).Name.str()); }
  std::string Numbered(std::size_t row) const { return std::to_string(row + 1) + ". " + Name(row); }

  // The servers whose Restart or Close began with their stop command.
  void SayStops(const CommandResult& result, const char* then) {
    for (std::size_t row : result.stopsBegun)
      io_.out << Numbered(row) << ": its stop command was sent; " << then << " (within "
              << m_.SettingsOf(row).stopSeconds << " s)\n";
  }

  int PlanRestarts(const CommandResult& result, int minutes) {
    for (std::size_t k = 0; k < result.rows.size(); ++k) {
      const std::size_t row = result.rows[k];
      io_.out << "planned a restart of " << Numbered(row) << " at " << LocalTimeText(result.due[k]) << " (in "
              << minutes << " minute(s))"
              << (m_.At(row).Paused ? "; it is paused, and a paused server is not restarted" : "") << "\n";
    }
    return 0;
  }

  // The question before a game update: the language files have none of their own for it.
  std::u16string UpdateQuestion(const std::vector<std::size_t>& rows, std::optional<int> in) const {
    const std::string when = in ? " in " + std::to_string(*in) + " minute(s)" : std::string(" now");
    const std::string whom = rows.size() == 1 ? "server " + Utf16ToUtf8(m_.At(rows.front()).Name.str())
                                              : "the " + std::to_string(rows.size()) + " servers";
    return Utf8ToUtf16("Update the game of " + whom + when +
                       " (stopped, updated by kesp.ini's UpdateCommand and started again)?");
  }

  // update: each server's fate, the ones left alone with their reason; refused when none was
  // acted on.
  int Updates(const CommandResult& result, std::optional<int> in) {
    const auto skipped = [&](std::size_t row) {
      return std::any_of(result.skipped.begin(), result.skipped.end(), [row](const auto& s) { return s.first == row; });
    };
    const auto refused = [&](std::size_t row) {
      return std::any_of(result.endsRefused.begin(), result.endsRefused.end(), [row](const EndRefused& e) { return e.row == row; });
    };
    const bool ended = EndsMade(result, "not updated");
    for (const auto& [row, why] : result.skipped)
      io_.out << Numbered(row) << ": not updated: " << TerminalSafe(Utf8ToUtf16(why)) << "\n";
    std::size_t acted = 0;
    for (std::size_t k = 0; k < result.rows.size(); ++k) {
      const std::size_t row = result.rows[k];
      if (skipped(row) || refused(row)) continue;
      const bool began = std::find(result.stopsBegun.begin(), result.stopsBegun.end(), row) != result.stopsBegun.end();
      if (in) {
        const WallTime due = k < result.due.size() ? result.due[k] : 0;
        if (due == 0) {
          io_.err << "kesp: " << Numbered(row) << ": no game update planned\n";
          continue;
        }
        io_.out << "planned a game update of " << Numbered(row) << " at " << LocalTimeText(due) << " (in " << *in
                << " minute(s))\n";
      } else if (began) {
        io_.out << Numbered(row) << ": its stop command was sent; its game is updated once its process ended (within "
                << m_.SettingsOf(row).stopSeconds << " s), then it is started again\n";
      } else {
        io_.out << Numbered(row) << ": updating now\n";
      }
      ++acted;
    }
    if (acted == 0) return Refuse("kesp: no server was updated", 1);
    io_.out << (in ? "planned the game update of " : "updating ") << acted << " server(s)\n";
    return ended ? 0 : 1;
  }

  int CancelRestarts(const CommandResult& result) {
    int code = 0;
    for (std::size_t row : result.rows) {
      if (std::find(result.nothingPlanned.begin(), result.nothingPlanned.end(), row) == result.nothingPlanned.end()) {
        io_.out << "cancelled the planned restart of " << Numbered(row) << "\n";
      } else {
        io_.err << "kesp: " << Numbered(row) << ": no restart was planned by kesp restart --in\n";
        code = 1;
      }
    }
    return code;
  }

  // rcon N COMMAND...: the answer printed when it came.
  std::optional<int> Rcon(const std::function<void(int)>& done) {
    if (c_.numbers.size() != 1 || c_.rconWords.empty())
      return Hint(io_.err, "rcon needs the number of a server and a command", Command::Rcon);
    const Numbers n = ParseNumbers(c_.numbers, m_.Count());
    if (!n.bad.empty()) return NoServer(n.bad);
    std::string command = c_.rconWords[0];
    for (std::size_t i = 1; i < c_.rconWords.size(); ++i) command += " " + c_.rconWords[i];
    const std::size_t row = n.rows.front();
    CommandArgs args = Origin({});
    args.rconText = std::move(command);
    args.rconDone = [&io = io_, name = Numbered(row), done](const RconResult& result) {
      if (result.ok()) {
        io.out << AnswerText(result.answer);
      } else {
        io.err << "kesp: " << name << ": " << TerminalSafe(FromSystem8(result.Reason())) << "\n";
      }
      done(result.ok() ? 0 : 1);
    };
    const CommandResult result = m_.Run(Command::Rcon, m_.Targets({row}), std::move(args));
    if (!result.Done()) return Refuse("kesp: " + result.refused, 1);
    return std::nullopt;
  }

  // The folder a command works on: the list's.
  void SayDataFolder() {
    const Path list = m_.ListPath();
    io_.out << "Data folder: " << TerminalSafe(list.substr(0, list.find_last_of(PathSeparator()) + 1)) << "\n";
  }

  int List() {
    SayDataFolder();
    if (m_.Count() == 0) return io_.out << "no servers registered\n", 0;
    for (std::size_t i = 0; i < m_.Count(); ++i) {
      const Server& e = m_.At(i);
      char affinity[16];
      std::snprintf(affinity, sizeof affinity, "0x%X", static_cast<unsigned>(e.Affinity));
      io_.out << (i + 1) << ". " << TerminalSafe(e.Name.str()) << "  " << e.IPAddress.str() << ":" << e.Port << "  "
              << Utf16ToUtf8(m_.Texts().PriorityName(e.Priority)) << "  affinity " << affinity
              << (e.HideServer ? "  hidden" : "")
              << (!e.Paused ? "" : m_.At(i).PausedByGuard() ? "  paused by the crash-loop guard" : "  paused")
              << "\n"
              << "   " << TerminalSafe(e.FileName.str()) << " " << TerminalSafe(MaskSecrets(e.Params.str())) << "\n";
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
      // The same document as GET /api/servers.
      MonitorSnapshot snapshot = TakeSnapshot(m_);
      snapshot.supervising = supervising;
      io_.out << StatusJson(snapshot, m_.Now()) << "\n";
      return code;
    }
    SayDataFolder();
    if (m_.Count() == 0) return io_.out << "no servers registered\n", code;
    for (std::size_t i = 0; i < m_.Count(); ++i) {
      const Server& s = m_.At(i);
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
        io_.out << (KindOf(s.Status.lastRestartReason) == RestartKind::FirstStart ? "   Last start: " : "   Last restart: ")
                << LocalTimeText(s.Status.lastRestart) << " (" << DescribeStart(s.Status.lastRestartReason) << ")\n";
      const auto kinds = RestartsByKind(s.Status.restartsByReason);
      const auto of = [&](RestartKind k) { return kinds[static_cast<std::size_t>(k)]; };
      if (of(RestartKind::Supervised) + of(RestartKind::Operator) + of(RestartKind::Planned) > 0)
        io_.out << "   Restarts by kind: supervised " << of(RestartKind::Supervised) << ", by the operator "
                << of(RestartKind::Operator) << ", planned " << of(RestartKind::Planned) << "\n";
      const std::pair<ExtraMsg, std::uint32_t> refusals[] = {{ExtraMsg::PriorityNotApplied, s.Status.priorityError},
                                                             {ExtraMsg::AffinityNotApplied, s.Status.affinityError}};
      for (const auto& [text, error] : refusals)
        if (error) io_.out << "   " << TerminalSafe(FormatText(m_.Texts().Get(text), {SystemErrorText(error)})) << "\n";
      if (s.PausedByGuard()) io_.out << "   " << TerminalSafe(m_.CrashLoopText()) << "\n";
      if (const char* pause = s.OperatorPauseText()) io_.out << "   Pause: " << pause << "\n";
      if (const WallTime next = m_.NextPlannedRestart(i)) io_.out << "   Next planned restart: " << LocalTimeText(next) << "\n";
      for (const std::string& line : UpdateStatusLines(s.Status.update, m_.Now())) io_.out << "   " << line << "\n";
      if (s.Stopping())
        io_.out << "   Stopping: its stop command was sent; waiting for its process to end (ended without it in "
                << s.Stop.SecondsLeft(GracefulStop::Clock::now()) << " s at the latest)\n";
      if (!s.RconTrouble.empty()) io_.out << "   RCON: " << TerminalSafe(FromSystem8(s.RconTrouble)) << "\n";
      if (s.Status.lookError)
        io_.out << "   Cannot look for its process: " << ErrorText(s.Status.lookError)
                << " (nothing is started or ended on it until it can)\n";
    }
    return code;
  }

  // add, or edit of the server at row: the options over the defaults (a new server's, or the
  // server's own), the command line's own stricter checks, then the editor's.
  int AddOrEdit(std::optional<std::size_t> row) {
    const ServerEntry* old = row ? &m_.At(*row) : nullptr;
    std::string name = old ? Utf16ToUtf8(old->Name.str()) : Utf16ToUtf8(kDefaultServerName);
    std::string params = old ? Utf16ToUtf8(old->Params.str()) : Utf16ToUtf8(kDefaultParams);
    std::string exe = old ? Utf16ToUtf8(old->FileName.str()) : std::string();
    std::uint8_t priority = old ? old->Priority : 0;  // normal: High would be nice -10 here
    bool hide = old ? old->HideServer != 0 : false;
    const int processors = processors_ > kMaxProcessors ? kMaxProcessors : processors_;
    std::uint32_t boxes = old ? static_cast<std::uint32_t>(old->Affinity)
                              : processors >= 32 ? 0xFFFFFFFFu : ((1u << processors) - 1u);
    if (c_.name) name = *c_.name;
    if (c_.exe) {
      // Stored as a full path: the supervision does not run in this folder.
      std::error_code ec;
      const auto full = std::filesystem::absolute(std::filesystem::path(*c_.exe), ec);
      exe = ec ? *c_.exe : full.lexically_normal().string();
    }
    if (c_.params) params = *c_.params;
    if (c_.priority) priority = *c_.priority;
    if (c_.affinity) boxes = *c_.affinity;
    if (c_.hide) hide = true;
    if (c_.show && row) hide = false;
    const bool paused = c_.paused && !row;
    // A new server without a name: one a person can tell apart, from its folder.
    if (!row && !c_.name) {
      std::vector<std::u16string> taken;
      for (std::size_t i = 0; i < m_.Count(); ++i) taken.push_back(m_.At(i).Name.str());
      if (const std::string folder = DefaultServerName(exe, taken); !folder.empty()) name = folder;
    }
    if (const std::string why = CheckTypedSettings(name, exe, params); !why.empty()) return Refuse("kesp: " + why, 1);
    if (!NamesPort(params)) io_.out << "no -port given: " << kDefaultServerPort << " assumed\n";

    EditorResult result;
    const EditorInput input{Utf8ToUtf16(exe), Utf8ToUtf16(params), boxes, processors_};
    if (auto refusal = m_.CheckServer(input, row ? static_cast<int>(*row) : -1, result))
      return Refuse("kesp: " + RefusalText(*refusal, result, boxes), 1);
    if (row) {
      // What waits for the next start of a server that runs: its executable and parameters.
      const bool newExe = result.fileName != old->FileName.str(), newParams = result.ResultParams != old->Params.str();
      // A look the system refused may hide a running process: what waits is said all the same.
      const Look look = newExe || newParams ? m_.LookForServer(old->FileName.str()) : Look::Absent();
      CommandArgs args = Origin({});
      args.edit = ServerEdit{Utf8ToUtf16(name), result, priority, hide, false};
      const CommandResult edit = m_.Run(Command::Edit, m_.Targets({*row}), std::move(args));
      if (!edit.Done()) return Refuse("kesp: " + edit.refused, 1);
      const std::string edited = Numbered(*row);
      const int code = Saved(edit, "edited " + edited);
      if (look.presence != Presence::Absent && code == 0)
        io_.out << edited
                << (look.IsRunning() ? " is running" : " may be running (cannot look for its process: " + ErrorText(look.error) + ")")
                << ": its new "
                << (newExe && newParams ? "executable and run parameters take" : newExe ? "executable takes" : "run parameters take")
                << " effect at its next start (kesp restart " << *row + 1 << "); priority and affinity apply at once\n";
      return code;
    }
    CommandArgs args = Origin({});
    args.edit = ServerEdit{Utf8ToUtf16(name), result, priority, hide, paused};
    const CommandResult added = m_.Run(Command::Add, {}, std::move(args));
    if (!added.Done()) return Refuse("kesp: " + added.refused, 1);
    const ServerEntry& e = m_.At(added.rows.front());
    const int code = Saved(added, "registered " + Numbered(added.rows.front()) + " at " + e.IPAddress.str() + ":" +
                                      std::to_string(e.Port));
    // The running kesp takes it at its next cycle, as the first start of a server that is not running.
    if (code == 0 && m_.Supervising())
      io_.out << (paused ? "it is registered paused: kesp unpause " + std::to_string(added.rows.front() + 1) +
                               " starts its supervision\n"
                         : std::string("the running kesp starts it within about 16 seconds, unless it runs already "
                                       "(kesp add --paused registers a server paused)\n"));
    return code;
  }

  // The editor's refusal in the command line's words, naming the server it clashes with.
  std::string RefusalText(const InputRefusal& refusal, const EditorResult& result, std::uint32_t boxes) const {
    const std::string file = Utf16ToUtf8(result.fileName);
    const std::string clash =
        refusal.clashing >= 0 ? Utf16ToUtf8(m_.At(static_cast<std::size_t>(refusal.clashing)).Name.str()) : "";
    switch (refusal.message) {
      case Msg::MsgTextExeuteFileInList: return "the executable " + file + " is used by " + clash;
      case Msg::MsgTextIPPortInList:
        return "the address " + result.ResultAddress + ":" + std::to_string(result.ResultPort) + " is used by " + clash;
      case Msg::MsgTextExeuteFileNotExits: return "there is no executable file at " + file;
      case Msg::MsgTextMustSelectCPU: {
        char mask[16];
        std::snprintf(mask, sizeof mask, "0x%X", static_cast<unsigned>(boxes));
        return std::string("the affinity ") + mask + " names none of this machine's " + std::to_string(processors_) +
               " processors";
      }
      case Msg::MsgTextCannotGetPort: return "the run parameters give no port";
      default: return Utf16ToUtf8(m_.Texts().Get(refusal.message));
    }
  }

  int Refuse(const std::string& why, int code) {
    io_.err << TerminalSafe(Utf8ToUtf16(why)) << "\n";
    return code;
  }

  // The command's arguments, with the door and who it came from.
  CommandArgs Origin(CommandArgs args) const {
    args.origin = io_.origin;
    return args;
  }

  Monitor& m_;
  int processors_;
  CommandIo& io_;
  const ParsedCommand& c_;
  bool json_ = false;
  std::optional<std::vector<ServerId>> ids_;
};

}  // namespace

void StartServerCommand(Monitor& monitor, const ParsedCommand& command, int processorCount, CommandIo& io,
                        std::function<void(int code)> done) {
  // Supervision, help and the commands of the program itself are no command on the list.
  if (!command.command || !ServedAt(*command.command, kCommandLine) || *command.command == Command::Help ||
      *command.command == Command::Log || *command.command == Command::Service) {
    io.err << "kesp: not a command on the list; see kesp --help\n";
    return done(kExitUsage);
  }
  if (const std::optional<int> code = Commands(monitor, command, processorCount, io).Run(*command.command, done))
    done(*code);
}

std::vector<std::string> UpdateStatusLines(const UpdateStatus& u, WallTime now) {
  // The admin's and the server's texts (a notice, an error) are shown, never obeyed.
  const auto safe = [](const std::string& text) { return TerminalSafe(Utf8ToUtf16(text)); };
  std::vector<std::string> lines;
  if (u.availableSince) {
    std::string line = "Update available since: " + LocalTimeText(u.availableSince) + " (" + UpdateSourceName(u.source) +
                       (u.detail.empty() ? "" : ": " + safe(u.detail)) + ")";
    if (u.dueBy && !u.updatingSince) line += "; updated by " + LocalTimeText(u.dueBy) + " at the latest";
    lines.push_back(std::move(line));
  }
  if (u.updatingSince) lines.push_back("Updating since: " + LocalTimeText(u.updatingSince));
  if (u.lastResult != UpdateStatus::Result::None) {
    std::string result = UpdateResultName(u.lastResult);
    std::replace(result.begin(), result.end(), '_', ' ');
    std::string line = "Last update: " + result + " at " + LocalTimeText(u.lastAt) +
                       (u.lastDetail.empty() ? "" : " (" + safe(u.lastDetail) + ")");
    if (u.lastResult != UpdateStatus::Result::Made && u.holdUntil > now)
      line += "; not tried again before " + LocalTimeText(u.holdUntil);
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string DefaultServerName(const std::string& executable, const std::vector<std::u16string>& taken) {
  const std::u16string folder = std::filesystem::path(executable).parent_path().filename().u16string();
  if (folder.empty() || folder == u"." || folder == u"..") return {};
  for (int n = 1;; ++n) {
    const std::u16string suffix = n == 1 ? u"" : u" (" + Utf8ToUtf16(std::to_string(n)) + u")";
    std::u16string name = folder.substr(0, 31 - suffix.size());
    // A cut never leaves half a surrogate pair.
    if (!name.empty() && name.size() < folder.size() && name.back() >= 0xD800 && name.back() <= 0xDBFF) name.pop_back();
    name += suffix;
    if (std::find(taken.begin(), taken.end(), name) == taken.end()) return Utf16ToUtf8(name);
  }
}

int RunServerCommand(Monitor& monitor, const ParsedCommand& command, int processorCount, CommandIo& io) {
  std::optional<int> code;
  StartServerCommand(monitor, command, processorCount, io, [&code](int c) { code = c; });
  // The client answers every request exactly once, each exchange within its timeouts: the wait
  // ends.
  while (!code) monitor.Loop().RunUntil([&] { return code.has_value(); }, std::chrono::seconds(1));
  return *code;
}

}  // namespace tervane
