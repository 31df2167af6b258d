#include "core/server_updates.h"

#include <algorithm>
#include <chrono>

#include "core/servers.h"
#include "support/text.h"

namespace tervane {
namespace {

bool IsSeparator(char16_t c) {
#ifdef _WIN32
  return c == u'\\' || c == u'/';
#else
  return c == u'/';
#endif
}

bool SameFolder(const Path& a, const Path& b) {
#ifdef _WIN32
  return UpperAscii16(a) == UpperAscii16(b);  // the system's names ignore case
#else
  return a == b;
#endif
}

// The players who are people: bots are nobody.
int People(const ServerStatus& st) { return std::max(0, st.players - st.bots.value_or(0)); }

bool Answered(const Server& s) {
  return !s.Paused && s.Status.network == NetworkState::Normal && s.Status.hasReply;
}

}  // namespace

Path InstallationFolder(const Path& fileName) {
  std::size_t end = fileName.size();
  while (end > 0 && !IsSeparator(fileName[end - 1])) --end;  // the file's name
  while (end > 1 && IsSeparator(fileName[end - 1])) --end;   // the separators before it, but a root's
  return fileName.substr(0, end);
}

Path UpdateOutputFile(const Path& outputFolder, const Path& fileName) {
  if (outputFolder.empty()) return {};
  Path file = ServerOutputFile(outputFolder, fileName);
  const std::u16string_view out = u".out";
  if (file.size() >= out.size() && file.compare(file.size() - out.size(), out.size(), out) == 0)
    file.resize(file.size() - out.size());
  return file + u".update.out";
}

std::string FillUpdateCommand(const std::string& command, std::uint32_t appId, const Path& folder) {
  const std::string id = appId ? std::to_string(appId) : std::string();
  const std::string where = Utf16ToUtf8(folder);
  std::string out;
  for (std::size_t k = 0; k < command.size();) {
    if (command.compare(k, 7, "{appid}") == 0) {
      out += id;
      k += 7;
    } else if (command.compare(k, 8, "{folder}") == 0) {
      out += where;
      k += 8;
    } else {
      out += command[k++];
    }
  }
  return out;
}

ServerUpdates::ServerUpdates(Servers& servers) : servers_(servers), self_(std::make_shared<ServerUpdates*>(this)) {}

ServerUpdates::~ServerUpdates() { *self_ = nullptr; }

int ServerUpdates::MinuteSeconds() const { return servers_.Plans().MinuteSeconds(); }

void ServerUpdates::SetOptions(UpdateOptions options) {
  options_ = std::move(options);
  Reassign();
}

void ServerUpdates::Reassign() {
  settings_.clear();
  if (!options_.Any()) return;  // without the sections nothing is kept
  std::vector<std::u16string> names;
  names.reserve(servers_.size());
  for (std::size_t i = 0; i < servers_.size(); ++i) names.push_back(servers_.at(i).Name.str());
  std::vector<UpdateSettings> settings = AssignUpdateSettings(options_, names);
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    settings_[servers_.IdAt(i)] = std::move(settings[i]);
    // Its updates turned off (renamed to a section without them): nothing is pending for it any
    // more; an update under way ends as it began.
    UpdateStatus& u = servers_.at(i).Status.update;
    if (!SettingsOf(i).On() && u.availableSince != 0 && !Busy(i)) u.availableSince = u.dueBy = 0;
  }
}

const UpdateSettings& ServerUpdates::SettingsOf(std::size_t i) const {
  static const UpdateSettings kOff = [] {
    UpdateSettings off;
    off.notices.clear();
    return off;
  }();
  const auto found = settings_.find(servers_.IdAt(i));
  return found == settings_.end() ? kOff : found->second;
}

bool ServerUpdates::AnyOn() const {
  return std::any_of(settings_.begin(), settings_.end(), [](const auto& s) { return s.second.On(); });
}

bool ServerUpdates::Busy(std::size_t i) const {
  const Path folder = InstallationFolder(servers_.at(i).FileName.str());
  return std::any_of(jobs_.begin(), jobs_.end(), [&](const Job& j) { return SameFolder(j.folder, folder); });
}

std::vector<std::size_t> ServerUpdates::Members(const Path& folder) const {
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    const Server& s = servers_.at(i);
    if (SettingsOf(i).On() && !s.Paused && SameFolder(InstallationFolder(s.FileName.str()), folder)) rows.push_back(i);
  }
  return rows;
}

void ServerUpdates::MarkPending(std::size_t i, UpdateSource source, const std::string& detail, WallTime dueBy) {
  UpdateStatus& u = servers_.at(i).Status.update;
  if (u.availableSince == 0) u.availableSince = servers_.Now();
  u.source = source;
  u.detail = detail;
  u.dueBy = u.dueBy == 0 ? dueBy : std::min(u.dueBy, dueBy);
  servers_.Changed(i, ServerChange::What::State);
}

void ServerUpdates::NoteAvailable(ServerId id, UpdateSource source, std::string detail) {
  const std::optional<std::size_t> row = servers_.RowOf(id);
  if (!row) return;
  const std::size_t i = *row;
  const Server& s = servers_.at(i);
  const UpdateSettings& settings = SettingsOf(i);
  const UpdateStatus& u = s.Status.update;
  if (!settings.On() || s.Paused || u.availableSince != 0 || Busy(i)) return;
  const WallTime now = servers_.Now();
  if (now < u.holdUntil) {
    // The news of the update just made, or of one that failed: not acted on again so soon.
    if (u.lastResult == UpdateStatus::Result::Made && heldNoticeSaid_[id] != u.holdUntil) {
      heldNoticeSaid_[id] = u.holdUntil;
      servers_.LogFor(i, u"an update is said to exist again right after the update made; not acted on before " +
                             ToU16(static_cast<int>((u.holdUntil - now + MinuteSeconds() - 1) / MinuteSeconds())) +
                             u" min have passed");
    }
    return;
  }
  const WallTime due = now + static_cast<WallTime>(settings.withinMinutes) * MinuteSeconds();
  const Path folder = InstallationFolder(s.FileName.str());
  for (std::size_t k : Members(folder))
    if (servers_.at(k).Status.update.availableSince == 0 || k == i) MarkPending(k, source, detail, due);
}

std::string ServerUpdates::Refusal(std::size_t i) const {
  if (!SettingsOf(i).On()) return "kesp.ini names no UpdateCommand for it";
  if (servers_.at(i).Paused) return "paused";
  if (Busy(i) || servers_.at(i).Status.phase == Phase::Updating) return "updating already";
  if (!runner_) return "updates cannot run: no command runner";
  return {};
}

WallTime ServerUpdates::PlanByOperator(std::size_t i, int minutes) {
  const WallTime due = servers_.Now() + static_cast<WallTime>(std::clamp(minutes, 0, 24 * 60)) * MinuteSeconds();
  for (std::size_t k : Members(InstallationFolder(servers_.at(i).FileName.str()))) {
    UpdateStatus& u = servers_.at(k).Status.update;
    u.dueBy = 0;  // the operator's time replaces the one the news gave
    MarkPending(k, UpdateSource::Operator, "by the operator", due);
  }
  return due;
}

UpdateBegun ServerUpdates::BeginByOperator(std::size_t i) {
  for (std::size_t k : Members(InstallationFolder(servers_.at(i).FileName.str())))
    MarkPending(k, UpdateSource::Operator, "by the operator", servers_.Now());
  return Begin(InstallationFolder(servers_.at(i).FileName.str()));
}

void ServerUpdates::Warn(std::size_t i, WallTime now) {
  Server& s = servers_.at(i);
  const WallTime due = s.Status.update.dueBy;
  Warned& w = warned_[s.Id];
  if (w.due != due) w = Warned{due, 0};
  const RestartSettings& restart = servers_.Plans().SettingsOf(i);
  const std::vector<int> leads = restart.warnMinutes.empty() ? std::vector<int>{10, 5, 1} : restart.warnMinutes;
  const WallTime left = due - now;
  if (left <= 0 || !Answered(s)) return;
  // Of the lead times reached, only the last is said, with the minutes truly left.
  std::optional<std::size_t> reached;
  for (std::size_t k = w.leads; k < leads.size(); ++k)
    if (left <= static_cast<WallTime>(leads[k]) * MinuteSeconds()) reached = k;
  if (!reached) return;
  w.leads = *reached + 1;
  const auto minutes = static_cast<long long>((left + MinuteSeconds() - 1) / MinuteSeconds());
  const std::u16string& text = restart.warnText == kDefaultRestartWarnText ? std::u16string(kDefaultUpdateWarnText)
                                                                           : restart.warnText;
  const ServerId server = s.Id;
  // A warning a minute late tells the players a wrong time: dropped instead.
  const auto beginBy = std::chrono::steady_clock::now() + std::chrono::seconds(MinuteSeconds());
  ServerPlans& plans = servers_.Plans();
  auto said = [this, server, token = plans.ForProcess(i)](const RconResult& result) {
    const auto at = servers_.RowOf(server);
    if (at && !(result.failure == RconFailure::NotSent && token->load()))
      servers_.Plans().Note(*at, result, u"cannot warn the players through RCON: ");
  };
  plans.Send(i, RconSayCommand(FormatText(text, {minutes})), beginBy, std::move(said));
}

UpdateBegun ServerUpdates::Begin(const Path& folder) {
  UpdateBegun begun;
  Job job;
  job.id = nextJob_++;
  job.folder = folder;
  const std::vector<std::size_t> rows = Members(folder);
  if (rows.empty()) return begun;
  job.settings = SettingsOf(rows.front());
  for (std::size_t i : rows) {
    job.members.push_back(servers_.IdAt(i));
    if (servers_.StopsGracefully(i)) {
      servers_.BeginStop(i, Want::Update, RestartReason::Update);
      begun.stopsBegun.push_back(i);
      continue;
    }
    servers_.EndStop(i);
    servers_.WithdrawRcon(i);
    const Look ended = servers_.Process().TerminateServerProcess(servers_.at(i).FileName.str());
    if (!ended.Known()) {
      // It may still run: its installation is not updated under it.
      servers_.LookFailed(i, ended.error);
      begun.endsRefused.emplace_back(i, ended.error);
      continue;
    }
    servers_.EnterUpdating(i);
  }
  jobs_.push_back(std::move(job));
  return begun;
}

void ServerUpdates::Step() {
  // Servers that went no longer need their warnings' memory.
  std::erase_if(warned_, [this](const auto& w) { return !servers_.RowOf(w.first); });
  std::erase_if(heldNoticeSaid_, [this](const auto& h) { return !servers_.RowOf(h.first); });
  for (std::size_t j = 0; j < jobs_.size(); ++j) Progress(jobs_[j]);
  std::erase_if(jobs_, [](const Job& j) { return j.members.empty(); });

  const WallTime now = servers_.Now();
  std::vector<Path> looked;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    const Server& s = servers_.at(i);
    if (s.Status.update.availableSince == 0 || s.Paused || !SettingsOf(i).On() || Busy(i)) continue;
    Warn(i, now);
    const Path folder = InstallationFolder(s.FileName.str());
    if (std::any_of(looked.begin(), looked.end(), [&](const Path& f) { return SameFolder(f, folder); })) continue;
    looked.push_back(folder);
    const std::vector<std::size_t> rows = Members(folder);
    WallTime due = 0;
    bool empty = true;
    for (std::size_t k : rows) {
      const Server& m = servers_.at(k);
      if (const WallTime d = m.Status.update.dueBy; d != 0 && (due == 0 || d < due)) due = d;
      empty = empty && Answered(m) && People(m.Status) == 0;
    }
    if (!(empty || (due != 0 && now >= due))) continue;
    if (!runner_) {
      if (!noRunnerSaid_) servers_.Events().AddLog(kMonitorName, u"game updates cannot be made: no command runner");
      noRunnerSaid_ = true;
      continue;
    }
    Begin(folder);
  }
}

void ServerUpdates::Progress(Job& job) {
  if (job.running) return;
  std::vector<std::size_t> rows;
  for (ServerId id : job.members)
    if (const auto row = servers_.RowOf(id)) rows.push_back(*row);
  for (std::size_t i : rows)
    if (servers_.at(i).Stopping()) return;  // not yet ended
  // A server that is neither ended for the update nor paused may still run.
  std::optional<std::size_t> blocking;
  bool anyDown = false;
  for (std::size_t i : rows) {
    const Server& s = servers_.at(i);
    if (s.Status.phase == Phase::Updating)
      anyDown = true;
    else if (!s.Paused && !blocking)
      blocking = i;
  }
  if (!anyDown) {
    job.members.clear();  // nothing of it is down: nothing to run, nothing to start
    return;
  }
  if (blocking) {
    const std::string why = "the process of " + Utf16ToUtf8(servers_.at(*blocking).Name.str()) + " could not be ended";
    Finish(job, UpdateStatus::Result::NotStarted, why,
           u"update not made: " + Utf8ToUtf16(why) + u"; its servers start on the files they have");
    job.members.clear();
    return;
  }
  const WallTime now = servers_.Now();
  for (std::size_t i : rows) {
    if (servers_.at(i).Status.phase != Phase::Updating) continue;
    servers_.at(i).Status.update.updatingSince = now;
    servers_.Changed(i, ServerChange::What::State);
  }
  const Server& first = servers_.at(rows.front());
  const std::uint32_t appId = job.settings.appId.value_or(first.Status.appId);
  CommandJob command;
  command.command = FillUpdateCommand(job.settings.command, appId, job.folder);
  command.folder = job.folder;
  if (!outputFolder_.empty()) {
    static_cast<void>(CreateDirectories(outputFolder_));  // one that cannot be made: the start says so
    command.output = UpdateOutputFile(outputFolder_, first.FileName.str());
  }
  command.limit = std::chrono::seconds(job.settings.seconds);
  job.running = true;
  runner_->Start(std::move(command), [self = self_, id = job.id](const CommandEnd& end) {
    if (*self) (*self)->Ended(id, end);
  });
}

void ServerUpdates::Ended(std::uint64_t id, const CommandEnd& end) {
  const auto it = std::find_if(jobs_.begin(), jobs_.end(), [id](const Job& j) { return j.id == id; });
  if (it == jobs_.end()) return;
  const Job job = std::move(*it);
  jobs_.erase(it);
  using Result = UpdateStatus::Result;
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(end.took).count();
  switch (end.how) {
    case CommandEnd::How::Exited:
      if (end.exitCode == 0)
        return Finish(job, Result::Made, "exit code 0", u"update made in " + ToU16(static_cast<int>(took)) + u" s");
      return Finish(job, Result::Failed, "exit code " + std::to_string(end.exitCode),
                    u"update command failed: exit code " + ToU16(end.exitCode));
    case CommandEnd::How::TimedOut:
      return Finish(job, Result::TimedOut, "passed its time limit of " + std::to_string(job.settings.seconds) + " s",
                    u"update command passed its time limit of " + ToU16(job.settings.seconds) + u" s and was ended");
    case CommandEnd::How::NotStarted:
      return Finish(job, Result::NotStarted, end.error,
                    u"update command could not be started: " + Utf8ToUtf16(end.error));
    case CommandEnd::How::Abandoned:
      return;  // the program ends: its servers are started as missing at its next start
  }
}

void ServerUpdates::Finish(const Job& job, UpdateStatus::Result result, const std::string& detail,
                           const std::u16string& line) {
  const WallTime now = servers_.Now();
  std::vector<std::size_t> rows;
  for (ServerId id : job.members)
    if (const auto row = servers_.RowOf(id)) rows.push_back(*row);
  for (std::size_t i : rows) {
    Server& s = servers_.at(i);
    UpdateStatus& u = s.Status.update;
    u.lastResult = result;
    u.lastAt = now;
    u.lastDetail = detail;
    u.holdUntil = now + static_cast<WallTime>(job.settings.retryMinutes) * MinuteSeconds();
    u.availableSince = u.dueBy = u.updatingSince = 0;
    if (result == UpdateStatus::Result::Made)
      ++u.made;
    else
      ++u.failed;
    servers_.LogFor(i, line);
    servers_.Changed(i, ServerChange::What::UpdateEnded);
  }
  for (std::size_t i : rows) servers_.LeaveUpdating(i);
}

}  // namespace tervane
