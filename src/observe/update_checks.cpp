#include "observe/update_checks.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

#include "process/command_runner.h"
#include "support/event_loop.h"
#include "support/text.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/unique_handle_posix.h"
#endif

namespace tervane {
namespace {

constexpr std::size_t kAnswerLimit = 64 * 1024;  // an up-to-date answer is a few hundred bytes
constexpr std::chrono::seconds kCommandLimitMost{900};

// Text from outside as the log and the doors show it: control bytes (a terminal's colours)
// as blanks, at most `most` bytes, never ending inside a UTF-8 sequence.
// Whether an output line is the engine's notice: the whole line, after its colour codes, the blanks
// around it and the time stamp the engine may put first ("L 12/08/2026 - 15:00:00: ", or the same
// without "L "). Never a part of a line: a player's chat line is printed as "Name : text", and
// whoever writes a notice in the chat must not restart the server.
bool IsNotice(std::string_view line, std::string_view notice) {
  std::string text;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
      i += 2;
      while (i < line.size() && !(line[i] >= '@' && line[i] <= '~')) ++i;
      continue;
    }
    text.push_back(line[i]);
  }
  std::string_view t = text;
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\r')) t.remove_suffix(1);
  if (t == notice) return true;
  if (t.size() <= notice.size() || t.substr(t.size() - notice.size()) != notice) return false;
  std::string_view stamp = t.substr(0, t.size() - notice.size());
  if (stamp.starts_with("L ")) stamp.remove_prefix(2);
  // "MM/DD/YYYY - HH:MM:SS: ": digits where the pattern has 9.
  constexpr std::string_view kStamp = "99/99/9999 - 99:99:99: ";
  if (stamp.size() != kStamp.size()) return false;
  for (std::size_t i = 0; i < kStamp.size(); ++i)
    if (kStamp[i] == '9' ? !(stamp[i] >= '0' && stamp[i] <= '9') : stamp[i] != kStamp[i]) return false;
  return true;
}

std::string Cut(std::string text, std::size_t most) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  if (text.size() <= most) return text;
  std::size_t end = most;
  // Back to the start of the sequence the cut falls in, unless the cut falls right after it.
  std::size_t lead = end;
  while (lead > 0 && end - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead > 0) {
    const auto b = static_cast<unsigned char>(text[lead - 1]);
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (length > 1 && lead - 1 + length > end) end = lead - 1;
  }
  text.resize(end);
  return text;
}

std::string PercentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '.' || b == '_' || b == '~') {
      out.push_back(c);
    } else {
      out += {'%', kHex[b >> 4], kHex[b & 15]};
    }
  }
  return out;
}

std::string Replaced(std::string_view text, std::string_view name, std::string_view value) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(name, from)) != std::string_view::npos; from = at + name.size()) {
    out.append(text.substr(from, at - from));
    out.append(value);
  }
  out.append(text.substr(from));
  return out;
}

std::optional<std::uint32_t> AppIdOf(const UpdateCheckServer& s) {
  if (s.settings.appId) return s.settings.appId;
  if (s.appId != 0) return s.appId;
  return std::nullopt;
}

// The check URL as the log shows it: without its query, which may hold a key.
std::string Shown(const std::string& url) { return url.substr(0, url.find('?')); }

UpdateChecks::Clock::duration Minutes(int minutes) { return std::chrono::minutes(std::clamp(minutes, 1, 1440)); }

// The bytes an output gained since the watch's offset, at most kReadLimit; a file replaced or
// shortened is read from its start. Linux only: on Windows no output is captured.
std::string NewBytes(const Path& path, std::uint64_t& device, std::uint64_t& inode, std::uint64_t& offset,
                     bool& known, bool& restarted) {
  restarted = false;
#ifdef _WIN32
  (void)path, (void)device, (void)inode, (void)offset, (void)known;
  return {};
#else
  const std::string name = Utf16ToUtf8(path);
  const UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    // Not there when the watch begins: whatever comes there later is new.
    if (!known && !fd && errno == ENOENT) known = true;
    return {};
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (!known) {
    // What was there before the watch began is not news.
    known = true;
    device = st.st_dev;
    inode = st.st_ino;
    offset = size;
    return {};
  }
  if (device != st.st_dev || inode != st.st_ino || size < offset) {
    device = st.st_dev;
    inode = st.st_ino;
    offset = 0;
    restarted = true;
  }
  if (size - offset > UpdateChecks::kReadLimit) {
    offset = size - UpdateChecks::kReadLimit;
    restarted = true;
  }
  std::string bytes(static_cast<std::size_t>(size - offset), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd.get(), bytes.data() + got, bytes.size() - got,
                              static_cast<off_t>(offset + got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  offset += got;
  return bytes;
#endif
}

}  // namespace

bool UpdateChecksWanted(const std::vector<UpdateSettings>& settings) {
  return std::any_of(settings.begin(), settings.end(), [](const UpdateSettings& s) {
    const bool anyNotice = std::any_of(s.notices.begin(), s.notices.end(),
                                       [](const std::string& n) { return !n.empty(); });
    return s.On() && (anyNotice || !s.checkUrl.empty() || !s.checkCommand.empty());
  });
}

UpToDateAnswer ParseUpToDateAnswer(std::string_view body) {
  UpToDateAnswer a;
  if (body.size() > kAnswerLimit) {
    a.error = "the answer is too long";
    return a;
  }
  try {
    const nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_discarded()) {
      a.error = "the answer is not JSON";
      return a;
    }
    const auto response = doc.is_object() ? doc.find("response") : doc.end();
    if (response == doc.end() || !response->is_object()) {
      a.error = "the answer has no response object";
      return a;
    }
    const auto success = response->find("success");
    if (success == response->end() || !success->is_boolean() || !success->get<bool>()) {
      const auto error = response->find("error");
      a.error = "the answer says no success";
      if (error != response->end() && error->is_string())
        a.error += ": " + Cut(error->get<std::string>(), UpdateChecks::kDetailLimit);
      return a;
    }
    const auto upToDate = response->find("up_to_date");
    if (upToDate == response->end() || !upToDate->is_boolean()) {
      a.error = "the answer has no up_to_date";
      return a;
    }
    a.upToDate = upToDate->get<bool>();
    if (const auto v = response->find("required_version"); v != response->end()) {
      if (v->is_number_unsigned()) {
        const auto u = v->get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
          a.requiredVersion = static_cast<std::int64_t>(u);
      } else if (v->is_number_integer()) {
        a.requiredVersion = v->get<std::int64_t>();
      }
    }
    if (const auto m = response->find("message"); m != response->end() && m->is_string())
      a.message = Cut(m->get<std::string>(), UpdateChecks::kDetailLimit);
    a.answered = true;
  } catch (const std::exception& e) {
    a = UpToDateAnswer{};
    a.error = std::string("the answer cannot be read: ") + e.what();
  }
  return a;
}

std::string FillUpdateCheckUrl(std::string_view url, std::string_view version,
                               std::optional<std::uint32_t> appId) {
  return Replaced(Replaced(url, "{version}", PercentEncoded(version)), "{appid}",
                  appId ? std::to_string(*appId) : std::string());
}

std::string FillUpdateCheckCommand(std::string_view command, std::string_view folder,
                                   std::optional<std::uint32_t> appId) {
  return Replaced(Replaced(command, "{folder}", folder), "{appid}",
                  appId ? std::to_string(*appId) : std::string());
}

UpdateChecks::UpdateChecks(EventLoop& loop, ICommandRunner& runner, UpdateCheckHooks hooks, Options options)
    : loop_(loop), runner_(runner), hooks_(std::move(hooks)), options_(std::move(options)) {
  if (options_.lookMs == 0) return;  // the owner calls Look (kesp: after each cycle)
  timer_ = std::make_unique<Timer>(loop);
  timer_->OnTimer = [this] { Look(); };
  timer_->SetInterval(options_.lookMs);
  timer_->SetEnabled(true);
}

UpdateChecks::~UpdateChecks() {
  timer_.reset();
  alive_.reset();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

std::optional<std::string> UpdateChecks::UrlOf(const UpdateCheckServer& s) {
  const std::string& url = s.settings.checkUrl;
  if (!s.settings.On() || url.empty()) return std::nullopt;
  const auto appId = AppIdOf(s);
  if (url.find("{appid}") != std::string::npos && !appId) {
    if (saidNoAppId_.insert(s.id).second && hooks_.say)
      hooks_.say("The update check " + Shown(url) +
                 " is not made: no app id (AppId= or the server's info reply)");
    return std::nullopt;
  }
  // Not replied yet: the version comes with the first reply.
  if (url.find("{version}") != std::string::npos && s.version.empty()) return std::nullopt;
  return FillUpdateCheckUrl(url, s.version, appId);
}

std::optional<std::string> UpdateChecks::CommandOf(const UpdateCheckServer& s) {
  const std::string& command = s.settings.checkCommand;
  if (!s.settings.On() || command.empty()) return std::nullopt;
  const auto appId = AppIdOf(s);
  if (command.find("{appid}") != std::string::npos && !appId) {
    if (saidNoAppId_.insert(s.id).second && hooks_.say)
      hooks_.say("The update check command is not run for " + Utf16ToUtf8(s.folder) +
                 ": no app id (AppId= or the server's info reply)");
    return std::nullopt;
  }
  return FillUpdateCheckCommand(command, Utf16ToUtf8(s.folder), appId);
}

void UpdateChecks::Look() {
  if (!hooks_.servers) return;
  const std::vector<UpdateCheckServer> servers = hooks_.servers();
  const Clock::time_point now = options_.now();

  // Notices: each watched output's new lines.
  std::set<ServerId> watched;
  for (const UpdateCheckServer& s : servers) {
    const bool anyNotice = std::any_of(s.settings.notices.begin(), s.settings.notices.end(),
                                       [](const std::string& n) { return !n.empty(); });
    if (!s.settings.On() || !anyNotice || s.out.empty()) continue;
    watched.insert(s.id);
    OutputWatch& watch = outputs_[s.id];
    if (watch.path != s.out) {
      watch = OutputWatch{};
      watch.path = s.out;
    }
    LookAtOutput(s, watch);
  }
  std::erase_if(outputs_, [&](const auto& entry) { return !watched.contains(entry.first); });

  // The checks by URL and by command: one per distinct URL, one per installation folder, each
  // at the shortest interval its servers ask for.
  std::map<std::string, Clock::duration> urlEvery;
  std::map<Path, std::pair<std::string, Clock::duration>> commandEvery;
  std::set<ServerId> present;
  for (const UpdateCheckServer& s : servers) {
    present.insert(s.id);
    if (AppIdOf(s)) saidNoAppId_.erase(s.id);
    const Clock::duration every = Minutes(s.settings.checkMinutes);
    if (auto url = UrlOf(s)) {
      auto [it, added] = urlEvery.try_emplace(*url, every);
      if (!added) it->second = std::min(it->second, every);
    }
    if (auto command = CommandOf(s)) {
      auto [it, added] = commandEvery.try_emplace(s.folder, *command, every);
      if (!added) it->second.second = std::min(it->second.second, every);
    }
  }
  std::erase_if(saidNoAppId_, [&](ServerId id) { return !present.contains(id); });
  std::erase_if(urls_, [&](const auto& e) { return !e.second.running && !urlEvery.contains(e.first); });
  std::erase_if(commands_, [&](const auto& e) { return !e.second.running && !commandEvery.contains(e.first); });

  for (const auto& [url, every] : urlEvery) {
    auto [it, added] = urls_.try_emplace(url);
    Check& check = it->second;
    if (added) check.due = now;
    if (check.running || now < check.due) continue;
    check.running = true;
    check.every = every;
    HttpCall call;
    call.method = "GET";
    call.url = url;
    call.contentType.clear();
    call.timeoutMs = options_.httpTimeoutMs;
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(UrlJob{url, std::move(call)});
      // The thread (and on Linux the HTTP module) only once a URL is checked at all.
      if (!worker_.joinable()) worker_ = std::thread([this] { WorkerRun(); });
    }
    wake_.notify_one();
  }

  for (const auto& [folder, what] : commandEvery) {
    auto [it, added] = commands_.try_emplace(folder);
    Check& check = it->second;
    if (added) check.due = now;
    if (check.running || now < check.due) continue;
    check.running = true;
    check.every = what.second;
    CommandJob job;
    job.command = what.first;
    job.folder = folder;
    job.limit = std::min(std::chrono::duration_cast<std::chrono::seconds>(what.second), kCommandLimitMost);
    runner_.Start(std::move(job), [this, alive = std::weak_ptr<int>(alive_), key = folder](const CommandEnd& end) {
      if (alive.lock()) CommandDone(key, end);
    });
  }
}

void UpdateChecks::LookAtOutput(const UpdateCheckServer& s, OutputWatch& watch) {
  bool restarted = false;
  std::string bytes = NewBytes(watch.path, watch.device, watch.inode, watch.offset, watch.known, restarted);
  if (restarted) {
    // A new file, or bytes skipped: a line begun before is not this line's start. Bytes skipped
    // in the middle of a file leave the first line cut; it waits for its end unread.
    watch.partial.clear();
    watch.skipToLineEnd = watch.offset - bytes.size() != 0;
  }
  std::optional<std::string> found;
  std::size_t from = 0;
  while (from < bytes.size()) {
    const std::size_t end = bytes.find('\n', from);
    const std::size_t stop = end == std::string::npos ? bytes.size() : end;
    if (!watch.skipToLineEnd && watch.partial.size() < kLineLimit)
      watch.partial.append(bytes, from, std::min(stop - from, kLineLimit - watch.partial.size()));
    if (end == std::string::npos) break;
    from = end + 1;
    std::string line = std::move(watch.partial);
    watch.partial.clear();
    const bool skipped = watch.skipToLineEnd;
    watch.skipToLineEnd = false;
    if (skipped || found) continue;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (const std::string& notice : s.settings.notices) {
      if (!notice.empty() && IsNotice(line, notice)) {
        found = Cut(std::move(line), kDetailLimit);
        break;
      }
    }
  }
  if (found && hooks_.available) hooks_.available(s.id, UpdateSource::Notice, std::move(*found));
}

void UpdateChecks::WorkerRun() {
  for (;;) {
    UrlJob job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    HttpCallResult result = options_.transport(job.call);
    loop_.Post([this, alive = std::weak_ptr<int>(alive_), url = std::move(job.url),
                result = std::move(result)] {
      if (alive.lock()) UrlDone(url, result);
    });
  }
}

void UpdateChecks::Fail(Check& check, const std::string& what, const std::string& why) {
  if (!check.failing && hooks_.say) hooks_.say(what + " failed: " + why);
  check.failing = true;
}

void UpdateChecks::UrlDone(const std::string& url, const HttpCallResult& result) {
  const auto it = urls_.find(url);
  if (it == urls_.end()) return;
  Check& check = it->second;
  check.running = false;
  check.due = options_.now() + check.every;
  const std::string what = "The update check " + Shown(url);
  if (result.status == 0) return Fail(check, what, result.error.empty() ? "no answer" : result.error);
  if (result.status != 200) return Fail(check, what, "HTTP status " + std::to_string(result.status));
  const UpToDateAnswer answer = ParseUpToDateAnswer(result.body);
  if (!answer.answered) return Fail(check, what, answer.error);
  if (check.failing && hooks_.say) hooks_.say(what + " answers again");
  check.failing = false;
  if (answer.upToDate || !hooks_.available || !hooks_.servers) return;
  std::string detail = "the check URL answers: not up to date";
  if (answer.requiredVersion) detail += ", version " + std::to_string(*answer.requiredVersion) + " required";
  if (!answer.message.empty()) detail += " (" + answer.message + ")";
  detail = Cut(std::move(detail), kDetailLimit);
  // Told to the servers that check this URL now; one gone meanwhile is not told.
  for (const UpdateCheckServer& s : hooks_.servers())
    if (UrlOf(s) == url) hooks_.available(s.id, UpdateSource::Url, detail);
}

void UpdateChecks::CommandDone(const Path& folder, const CommandEnd& end) {
  const auto it = commands_.find(folder);
  if (it == commands_.end()) return;
  Check& check = it->second;
  check.running = false;
  check.due = options_.now() + check.every;
  const std::string what = "The update check command in " + Utf16ToUtf8(folder);
  switch (end.how) {
    case CommandEnd::How::Exited:
      if (end.exitCode == 0 || end.exitCode == 10) {
        if (check.failing && hooks_.say) hooks_.say(what + " succeeds again");
        check.failing = false;
        if (end.exitCode == 10 && hooks_.available && hooks_.servers) {
          for (const UpdateCheckServer& s : hooks_.servers())
            if (s.folder == folder && CommandOf(s))
              hooks_.available(s.id, UpdateSource::Command, "the check command exited with 10");
        }
        return;
      }
      return Fail(check, what, "it exited with " + std::to_string(end.exitCode));
    case CommandEnd::How::TimedOut:
      return Fail(check, what, "it passed its time limit and was ended");
    case CommandEnd::How::NotStarted:
      return Fail(check, what, "it could not be started: " + end.error);
    case CommandEnd::How::Abandoned:
      return;
  }
}

}  // namespace tervane
