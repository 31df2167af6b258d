#include "monitor/monitor.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "net/query.h"
#include "process/server_windows.h"
#include "support/text.h"

namespace tervane {
namespace {

// What the operator did and where from, the first part of the operator's line:
// "Restart by the operator (control socket, uid 1000)".
std::u16string OperatorAct(Command command, const CommandArgs& args) {
  std::string act;
  switch (command) {
    case Command::Remove: act = "Delete"; break;
    case Command::Restart:
      act = args.inMinutes ? "Restart in " + std::to_string(*args.inMinutes) + " minute(s)" : "Restart";
      break;
    case Command::Update:
      act = args.inMinutes ? "Update in " + std::to_string(*args.inMinutes) + " minute(s)" : "Update";
      break;
    case Command::Move: act = "Move to place " + std::to_string(args.to + 1); break;
    case Command::Show: act = "Show console"; break;
    case Command::Hide: act = "Hide console"; break;
    case Command::Rcon: act = "RCON"; break;
    default:
      act = CommandWord(command);
      if (!act.empty() && act[0] >= 'a' && act[0] <= 'z') act[0] = static_cast<char>(act[0] - 'a' + 'A');
      break;
  }
  act += " by the operator (" + args.origin.door;
  if (!args.origin.who.empty()) act += ", " + args.origin.who;
  act += ")";
  return Utf8ToUtf16(act);
}

// A text from outside on one log line: a line break in it would make a line of its own, and a
// long one is cut (before a whole UTF-8 character).
std::string OneLine(std::string text) {
  constexpr std::size_t kMost = 200;
  if (text.size() > kMost) {
    std::size_t end = kMost;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.replace(end, std::string::npos, "...");
  }
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

std::string LocalTimeText(WallTime t) {
  const std::time_t time = static_cast<std::time_t>(t);
  char text[32];
  const std::tm* local = std::localtime(&time);
  if (!local || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local) == 0) return std::to_string(t);
  return text;
}

}  // namespace

Monitor::Monitor(EventLoop& loop, IListView& view, IProcessControl& process, MonitorOptions options)
    : loop_(loop),
      options_(std::move(options)),
      process_(process),
      view_(view),
      log_(options_.programDir.empty() ? DataDir() : options_.programDir,
           options_.clock ? *options_.clock : systemClock_,
           [&view](const std::u16string& line) { view.AppendLogLine(line); }),
      servers_(list_, texts_, process_, log_, options_.timing, options_.wallClock),
      supervisor_(loop, servers_, view_, options_.datagramPort),
      rcon_(std::make_unique<LoopRcon>(loop)) {
  servers_.Plans().SetRcon(rcon_.get());
  // An update's output goes beside the servers' own (on Windows, where they have none, there too).
  servers_.Updates().SetOutputFolder((options_.programDir.empty() ? DataDir() : options_.programDir) + u"logs" +
                                     PathSeparator());
  // A save that failed is made again after every cycle, and a pause by the crash-loop guard is
  // saved as the Pause command saves it.
  supervisor_.CycleEndObservers().Add([this] {
    if (servers_.Health().savePending) Save();
  });
  servers_.Changes().Add([this](const ServerChange& change) {
    if (change.what == ServerChange::What::Guarded) Save();
  });
}

Monitor::Monitor(EventLoop& loop, IListView& view, std::unique_ptr<IProcessControl> process,
                 MonitorOptions options)
    : Monitor(loop, view, *process, std::move(options)) {
  ownedProcess_ = std::move(process);  // the object stays where process_ refers to it
}

bool Monitor::Load() {
  LoadedList loaded = LoadServerList(options_.savePath, options_.localAddress, bossKey_);
  loaded_ = std::move(loaded.result);
  damagedCopy_.clear();
  if (!loaded_.missing && loaded_.error == 0) {
    servers_.Replace(std::move(loaded.servers));
    bossKey_ = loaded.options;
  }
  if (loaded_.error != 0) {
    log_.Notice(kMonitorName, u"cannot read " + ListPath() + u": " + SystemErrorText(loaded_.error) +
                                  u"; nothing is supervised, and nothing is written over it");
    return false;
  }
  if (loaded_.Damaged())
    log_.Notice(kMonitorName, DamageText() + u"; a copy is kept before the first save over it");
  if (!list_.empty()) view_.SetSelected(0, true);
  return true;
}

std::u16string Monitor::DamageText() const {
  if (!loaded_.Damaged()) return {};
  // Each part appended in turn: one clause per problem, ended by ";".
  std::u16string text = ListPath();
  text.append(u" is damaged:");
  auto clause = [&](std::initializer_list<std::u16string_view> parts) {
    text.push_back(u' ');
    for (std::u16string_view part : parts) text.append(part);
    text.push_back(u';');
  };
  if (loaded_.strayBytes)
    clause({ToU16(static_cast<int>(loaded_.size % kServerEntrySize)), u" bytes are not whole records"});
  constexpr std::size_t kNamed = 3;  // the first few records are named, the rest counted
  const auto& records = loaded_.damagedRecords;
  for (std::size_t k = 0; k < records.size() && k < kNamed; ++k)
    clause({u"record ", ToU16(static_cast<int>(records[k].number)), u": ", records[k].what});
  if (records.size() > kNamed) clause({u"and ", ToU16(static_cast<int>(records.size() - kNamed)), u" more records"});
  text.pop_back();
  return text;
}

namespace {

constexpr std::size_t kKeptDamagedCopies = 5;

// Where a name of the damaged list's copies stands among them: its time, then its number
// within that second (the first has none); nothing for a name that is not a copy's.
std::optional<std::pair<std::u16string, int>> CopyOrder(std::u16string_view name, std::u16string_view prefix) {
  constexpr std::size_t kStamp = 15;  // YYYYMMDD-HHMMSS
  if (name.size() < prefix.size() + kStamp || name.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::u16string_view rest = name.substr(prefix.size());
  int number = 1;
  if (rest.size() > kStamp) {
    if (rest[kStamp] != u'-') return std::nullopt;
    number = ParseInt32(Utf16ToUtf8(rest.substr(kStamp + 1))).value_or(0);
    if (number < 2) return std::nullopt;
  }
  return std::pair(std::u16string(rest.substr(0, kStamp)), number);
}

}  // namespace

bool Monitor::KeepDamagedList(std::uint32_t& error) {
  failedCopy_.clear();
  if (!loaded_.Damaged() || !damagedCopy_.empty()) return true;
  // The bytes as they were read at load, not the file as it may be now.
  const Path path = ListPath();
  const LocalTime t = (options_.clock ? *options_.clock : systemClock_).Now();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  // The copies kept before; this one is named after the last of its second, so that the
  // order of the names stays the order of the copies.
  const std::u16string stampText = Utf8ToUtf16(stamp);
  const std::size_t slash = path.find_last_of(u"/\\");
  const Path folder = slash == Path::npos ? Path() : path.substr(0, slash + 1);
  const Path prefix = path.substr(slash == Path::npos ? 0 : slash + 1) + u".bad-";
  std::vector<std::pair<std::pair<std::u16string, int>, Path>> copies;
  int number = 0;
  for (Path& name : ListFilesWithSuffix(folder.empty() ? Path(u".") : folder, u""))
    if (auto order = CopyOrder(name, prefix)) {
      if (order->first == stampText) number = std::max(number, order->second);
      copies.emplace_back(std::move(*order), std::move(name));
    }
  const Path copy = path + u".bad-" + stampText + (number == 0 ? Path() : u"-" + ToU16(number + 1));
  if (const Expected<void> copied = ReplaceFileAtomically(copy, loaded_.damagedBytes); !copied) {
    error = copied.Error();
    failedCopy_ = copy;
    return false;
  }
  damagedCopy_ = copy;
  loaded_.damagedBytes = {};
  log_.Notice(kMonitorName, u"the damaged list is kept as " + copy);
  // The newest few are kept; the older ones go.
  if (copies.size() < kKeptDamagedCopies) return true;
  std::sort(copies.begin(), copies.end(), std::greater<>());
  for (std::size_t k = kKeptDamagedCopies - 1; k < copies.size(); ++k) {
    const Path older = folder + copies[k].second;
    if (RemoveFile(older))
      log_.Notice(kMonitorName, u"removed the older copy " + older + u" of a damaged list (the newest " +
                                    ToU16(static_cast<int>(kKeptDamagedCopies)) + u" are kept)");
  }
  return true;
}

void Monitor::Start() {
  Load();
  BeginSupervision();
}

void Monitor::BeginSupervision() {
  if (loaded_.error != 0) return;
  supervising_ = true;
  supervisor_.timerCircleCheckTimer();
}

bool Monitor::Save() {
  SupervisionHealth& health = servers_.Health();
  std::uint32_t error = loaded_.error;
  // A damaged file is overwritten only once its copy is safe; an unread one never.
  const bool saved =
      error == 0 && KeepDamagedList(error) && SaveServerList(list_, bossKey_, options_.savePath, {}, &error);
  if (saved) {
    // What the file held is in its copy; the file itself is whole now.
    loaded_.strayBytes = false;
    loaded_.damagedRecords.clear();
    if (health.savePending) log_.Notice(kMonitorName, u"saved " + ListPath() + u" again");
    health.savePending = false;
    health.saveError = 0;
    return true;
  }
  if (error == 0) error = ReadIncompleteError();  // no reason given: say something rather than nothing
  ++health.saveFailures;
  // The copy of a damaged list comes first: a failure there names the copy.
  const std::u16string what = failedCopy_.empty() ? u"cannot save " + ListPath()
                                                  : u"cannot keep the damaged " + ListPath() + u" as " + failedCopy_;
  const bool unread = loaded_.error != 0;
  if (!health.savePending || health.saveError != error)
    log_.Notice(kMonitorName, what + u": " + SystemErrorText(error) +
                                  (unread ? u"; it could not be read, so nothing is written over it"
                                          : supervising_ ? u"; the change is kept and the save is tried again after every cycle"
                                                         : u"; the change is not saved"));
  // Tried again while the supervision runs; an unread list is never written.
  health.savePending = supervising_ && !unread;
  health.saveError = error;
  return false;
}

// ------------------------------------------------------------------ commands

void Monitor::SaveFor(CommandResult& result) { result.saveError = Save() ? 0 : servers_.Health().saveError; }

std::vector<CommandTarget> Monitor::Targets(const std::vector<std::size_t>& rows) const {
  std::vector<CommandTarget> targets;
  for (std::size_t row : rows) targets.push_back({IdOf(row), 0});
  return targets;
}

CommandResult Monitor::Run(Command command, const std::vector<CommandTarget>& servers, CommandArgs args) {
  CommandResult result;
  const bool logged = logCommands_ && ChangesServers(command);
  // The servers named, with their names as they were before the command (a removed one's goes
  // with it), for the operator's line.
  std::vector<std::pair<std::size_t, std::u16string>> named;
  // The servers where they are now: one named by a number must still have it; one named
  // without is left out once it went.
  std::vector<std::size_t>& rows = result.rows;
  for (const CommandTarget& t : servers) {
    std::string why;
    const std::optional<std::size_t> row = t.number ? Resolve(t.id, t.number, &why) : RowOf(t.id);
    if (row) {
      rows.push_back(*row);
    } else if (t.number) {
      result.refused = std::move(why);
      rows.clear();
      if (logged) {
        // The refusal is told of each server still there, wherever it is now.
        for (const CommandTarget& u : servers)
          if (const std::optional<std::size_t> now = RowOf(u.id)) named.emplace_back(*now, list_[*now]->Name.str());
        LogCommand(command, args, named, result);
      }
      return result;
    }
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  if (!servers.empty() && rows.empty()) return result;  // every one went meanwhile: nothing to do
  const bool one = rows.size() == 1;
  if (logged) {
    for (std::size_t i : rows) named.emplace_back(i, list_[i]->Name.str());
    // An RCON command's line waits for the server's answer, and comes before the door's.
    if (command == Command::Rcon && one) {
      args.rconDone = [this, name = named.front().second, act = OperatorAct(command, args), text = args.rconText,
                       done = std::move(args.rconDone)](const RconResult& answer) {
        log_.AddLog(name, act + Utf8ToUtf16((answer.ok() ? ": answered" : ": failed: " + answer.Reason()) +
                                            "; command: " + OneLine(text)));
        if (done) done(answer);
      };
    }
  }
  switch (command) {
    case Command::Pause:
    case Command::Unpause: Pause(rows, command == Command::Pause, result); break;
    case Command::Remove: Delete(rows, result); break;
    case Command::Restart:
      if (!args.inMinutes) {
        Restart(rows, result);
        break;
      }
      for (std::size_t i : rows) result.due.push_back(servers_.Plans().PlanRestart(i, *args.inMinutes));
      break;
    case Command::Close: Close(rows, result); break;
    case Command::Update: Update(args, result); break;
    case Command::Show:
    case Command::Hide: Show(rows, command == Command::Show, result); break;
    case Command::Cancel:
      for (std::size_t i : rows)
        if (!servers_.Plans().CancelRestart(i)) result.nothingPlanned.push_back(i);
      break;
    case Command::Move:
      if (!one || args.to >= list_.size()) {
        result.refused = one ? "no place number " + std::to_string(args.to + 1) : "move takes one server";
        break;
      }
      servers_.Move(rows.front(), args.to);
      SaveFor(result);
      break;
    case Command::Add:
      if (!args.edit || !servers.empty()) {
        result.refused = "add takes the new server's settings and no server";
        break;
      }
      {
        auto server = std::make_unique<Server>(
            MakeNewEntry(args.edit->name, args.edit->result, args.edit->priority, args.edit->hide));
        server->Paused = args.edit->paused ? 1 : 0;
        servers_.Add(std::move(server));
      }
      rows.assign(1, list_.size() - 1);
      SaveFor(result);
      break;
    case Command::Edit:
      if (!one || !args.edit) {
        result.refused = "edit takes one server and its settings";
        break;
      }
      Edit(rows.front(), *args.edit, result);
      break;
    case Command::Rcon:
      if (!one) {
        result.refused = "rcon takes one server";
        break;
      }
      Rcon(rows.front(), std::move(args.rconText), std::move(args.rconDone));
      break;
    default: result.refused = "'" + std::string(CommandWord(command)) + "' is not a command on the servers"; break;
  }
  if (!result.refused.empty()) rows.clear();
  if (logged && !(command == Command::Rcon && result.Done())) {
    if (command == Command::Add) {
      named.clear();
      if (result.Done()) {
        named.emplace_back(rows.front(), list_[rows.front()]->Name.str());
      } else if (args.edit) {
        named.emplace_back(list_.size(), args.edit->name);
      }
    }
    LogCommand(command, args, named, result);
  }
  return result;
}

void Monitor::LogCommand(Command command, const CommandArgs& args,
                         const std::vector<std::pair<std::size_t, std::u16string>>& named,
                         const CommandResult& result) {
  const std::u16string act = OperatorAct(command, args);
  for (std::size_t k = 0; k < named.size(); ++k) {
    const auto& [row, name] = named[k];
    std::u16string outcome;
    const auto refusedEnd = std::find_if(result.endsRefused.begin(), result.endsRefused.end(),
                                         [row = row](const EndRefused& e) { return e.row == row; });
    auto in = [row = row](const std::vector<std::size_t>& rows) {
      return std::find(rows.begin(), rows.end(), row) != rows.end();
    };
    const auto skipped = std::find_if(result.skipped.begin(), result.skipped.end(),
                                      [row = row](const auto& s) { return s.first == row; });
    if (!result.Done()) {
      outcome = u"refused: " + Utf8ToUtf16(result.refused);
    } else if (skipped != result.skipped.end()) {
      outcome = u"left alone: " + Utf8ToUtf16(skipped->second);
    } else if (refusedEnd != result.endsRefused.end()) {
      outcome = u"could not end the process: " + SystemErrorText(refusedEnd->error);
    } else if (in(result.stopsBegun)) {
      outcome = u"stop command sent";
    } else if ((command == Command::Restart || command == Command::Update) && args.inMinutes) {
      // Update's due times follow the rows it acted on; restart's every server named.
      const std::size_t at = command == Command::Restart
                                 ? k
                                 : static_cast<std::size_t>(std::find(result.rows.begin(), result.rows.end(), row) -
                                                            result.rows.begin());
      const WallTime due = at < result.due.size() ? result.due[at] : 0;
      outcome = due ? u"planned for " + Utf8ToUtf16(LocalTimeText(due)) : u"nothing planned: minutes out of range";
    } else if (command == Command::Cancel && in(result.nothingPlanned)) {
      outcome = u"nothing planned";
    } else if (in(result.unchanged)) {
      outcome = command == Command::Pause ? u"already paused, nothing changed" : u"not paused, nothing changed";
    } else if (!result.Saved()) {
      outcome = u"done, but not saved: " + SystemErrorText(*result.saveError);
    } else {
      outcome = u"done";
    }
    if (command == Command::Edit && result.Done() && row < list_.size() && list_[row]->Name.str() != name)
      outcome += u"; now named " + list_[row]->Name.str();
    log_.AddLog(name, act + u": " + outcome + u".");
  }
}

void Monitor::Pause(const std::vector<std::size_t>& rows, bool pause, CommandResult& result) {
  for (std::size_t i : rows)
    if (!servers_.PauseAsAsked(i, pause)) result.unchanged.push_back(i);
  SaveFor(result);
}

std::u16string Monitor::ConfirmationText(Command command, const std::vector<std::size_t>& rows) const {
  const auto [single, several] = command == Command::Remove    ? std::pair{Msg::MsgTextDelServer, Msg::MsgTextDelSelServers}
                                 : command == Command::Restart ? std::pair{Msg::MsgTextRestartServer, Msg::MsgTextRestartSelServers}
                                                               : std::pair{Msg::MsgTextCloseServer, Msg::MsgTextCloseSelServers};
  return rows.size() < 2 ? FormatText(texts_.Get(single), {list_.at(rows.front())->Name.str()}) : texts_.Get(several);
}

void Monitor::Delete(const std::vector<std::size_t>& rows, CommandResult& result) {
  if (rows.empty()) return;
  // Repainting waits for the whole batch; from the last row up, so the others keep their places.
  const bool batch = rows.size() > 1;
  if (batch) view_.BeginUpdate();
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) servers_.Erase(*it);
  if (batch) view_.EndUpdate();
  SaveFor(result);
}

// The servers of rows that stop by their StopCommand begin to; answers the others.
std::vector<std::size_t> Monitor::BeginStops(const std::vector<std::size_t>& rows, Want then, CommandResult& result) {
  std::vector<std::size_t> now;
  for (std::size_t i : rows) {
    if (servers_.StopsGracefully(i)) {
      servers_.BeginStop(i, then, RestartReason::Command);
      result.stopsBegun.push_back(i);
    } else {
      now.push_back(i);
    }
  }
  return now;
}

void Monitor::Restart(const std::vector<std::size_t>& all, CommandResult& result) {
  // A server whose installation is being updated is started once the update ended.
  std::vector<std::size_t> rows;
  for (std::size_t i : all) {
    if (list_[i]->Status.phase == Phase::Updating)
      result.skipped.emplace_back(i, "updating");
    else
      rows.push_back(i);
  }
  const std::vector<std::size_t> now = BeginStops(rows, Want::Restart, result);
  if (now.empty()) return;
  for (std::size_t i : servers_.RestartByCommand(now)) result.endsRefused.push_back({i, list_[i]->Status.lookError});
  // A restart changes no setting: nothing to save.
}

void Monitor::Update(const CommandArgs& args, CommandResult& result) {
  ServerUpdates& updates = servers_.Updates();
  std::vector<std::size_t> acted;
  for (std::size_t i : result.rows) {
    if (std::string why = updates.Refusal(i); !why.empty())
      result.skipped.emplace_back(i, std::move(why));
    else
      acted.push_back(i);
  }
  result.rows = acted;
  for (std::size_t i : acted) {
    if (args.inMinutes) {
      const bool inRange = *args.inMinutes >= 0 && *args.inMinutes <= kMaxOneOffMinutes;
      result.due.push_back(inRange ? updates.PlanByOperator(i, *args.inMinutes) : 0);
      continue;
    }
    if (updates.Busy(i)) continue;  // begun with a server of its installation named before it
    UpdateBegun begun = updates.BeginByOperator(i);
    result.stopsBegun.insert(result.stopsBegun.end(), begun.stopsBegun.begin(), begun.stopsBegun.end());
    for (const auto& [row, error] : begun.endsRefused) result.endsRefused.push_back({row, error});
  }
  // An update changes no setting: nothing to save.
}

void Monitor::Close(const std::vector<std::size_t>& rows, CommandResult& result) {
  if (rows.empty()) return;
  for (std::size_t i : BeginStops(rows, Want::Close, result))
    if (const Look ended = servers_.Close(i); !ended.Known()) result.endsRefused.push_back({i, ended.error});
  SaveFor(result);
}

void Monitor::Rcon(std::size_t row, std::string command, IRcon::Done done) {
  RconRequest request = servers_.Plans().RequestOf(row, std::move(command));
  // Begun in time or never: the door's answer is then the whole truth (a retry keeps the time).
  request.beginBy = std::chrono::steady_clock::now() + kRconDoorBeginWithin;
  const bool guessed = RconDialectGuessed(servers_.Plans().SettingsOf(row), list_[row]->ReplyKind, request.dialect);
  SendGuessingDialect(*rcon_, std::move(request), guessed, std::move(done));
}

void Monitor::ShowConsole(const ServerEntry& e) {
  IServerWindows* windows = process_.Windows();
  if (const WindowHandle w = windows ? windows->FindServerConsoleWindow(e.FileName.str()) : 0)
    ShowConsoleWindow(*windows, w, true);
}

void Monitor::HideConsole(const ServerEntry& e) {
  IServerWindows* windows = process_.Windows();
  if (const WindowHandle w = windows ? windows->FindServerConsoleWindow(e.FileName.str()) : 0)
    ShowConsoleWindow(*windows, w, false);
}

void Monitor::Show(const std::vector<std::size_t>& rows, bool show, CommandResult& result) {
  for (std::size_t i : rows) {
    Server& r = *list_.at(i);
    r.HideServer = show ? 0 : 1;
    if (show)
      ShowConsole(r);
    else
      HideConsole(r);
  }
  SaveFor(result);
}

void Monitor::HideAllConsoles() {
  for (const auto& e : list_) HideConsole(*e);
}

void Monitor::ShowVisibleConsoles() {
  for (const auto& e : list_)
    if (!e->HideServer) ShowConsole(*e);
}

void Monitor::Edit(std::size_t row, const ServerEdit& edit, CommandResult& result) {
  Server& r = *list_.at(row);
  const bool priorityChanged = UpdateEntry(r, edit.name, edit.result, edit.priority, edit.hide);
  const Path fileName = r.FileName.str();
  if (priorityChanged) process_.SetServerPriority(fileName, r.Priority);
  IServerWindows* windows = process_.Windows();
  if (const WindowHandle w = windows ? windows->FindServerConsoleWindow(fileName) : 0) {
    windows->SetWindowTitle(w, r.Name.str());
    ShowConsoleWindow(*windows, w, r.HideServer == 0);
  }
  process_.SetServerAffinity(fileName, r.Affinity);
  servers_.NoteApplyErrors(row, process_.LastApplyErrors(fileName));
  servers_.Edited(row);
  servers_.Plans().Reassign();  // a new name may have a section of its own
  servers_.Updates().Reassign();
  SaveFor(result);
}

}  // namespace tervane
