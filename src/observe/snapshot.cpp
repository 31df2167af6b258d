#include "observe/snapshot.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include <nlohmann/json.hpp>

#include "support/text.h"

namespace tervane {

MonitorSnapshot TakeSnapshot(const Monitor& monitor) { return TakeSnapshot(monitor.LiveState(), monitor.Supervision()); }

MonitorSnapshot TakeSnapshot(const Servers& servers, const Supervisor& supervisor) {
  MonitorSnapshot m;
  m.servers.reserve(servers.size());
  const ServerList& list = servers.List();
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Server& s = *list[i];
    ServerSnapshot o;
    o.number = i + 1;
    o.id = s.Id;
    o.name = Utf16ToUtf8(s.Name.str());
    o.address = Utf16ToUtf8(FromSystem8(s.IPAddress.str()));
    o.port = s.Port;
    o.executable = Utf16ToUtf8(s.FileName.str());
    o.priority = s.Priority;
    o.process = s.ProcessStatus();
    o.network = s.NetworkStatus();
    o.paused = s.Paused != 0;
    if (s.PausedByGuard())
      o.pauseReason = Utf16ToUtf8(servers.CrashLoopText());
    else if (s.OperatorPauseText())
      o.pauseReason = s.OperatorPauseText();
    o.timeoutCount = s.TimeoutCount;
    o.lostCount = s.LostCount;
    o.restarts = s.Restarts < 0 ? 0 : s.Restarts;
    o.stopping = s.Stopping();
    if (o.stopping) o.stoppingSecondsLeft = s.Stop.SecondsLeft(GracefulStop::Clock::now());
    o.nextPlanned = servers.Plans().NextPlannedRestart(i);
    o.rconTrouble = s.RconTrouble;
    o.status = s.Status;
    m.servers.push_back(std::move(o));
  }
  m.selfTestFailures = supervisor.SelfTestFailures();
  m.selfTestOk = m.selfTestFailures == 0;
  m.cycleSeconds = supervisor.LastCycleSeconds();
  m.endpointRecreations = supervisor.EndpointRecreations();
  m.taken = servers.Now();
  m.lookFailures = servers.Health().lookFailures;
  m.saveFailures = servers.Health().saveFailures;
  m.savePending = servers.Health().savePending;
  m.logWriteFailures = servers.LogWriteFailures();
  return m;
}

namespace {

// The status document is written as text straight away, as the JSON library would write it
// (compact, keys in the order written here, the same escapes): building the library's ordered
// tree first cost more than the rest of an answer at hundreds of servers.
using Json = nlohmann::ordered_json;

// Whether the bytes are well-formed UTF-8 (no overlong form, no surrogate, nothing past
// U+10FFFF).
bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t more = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) more = 1;
    else if (c == 0xE0) more = 2, low = 0xA0;
    else if (c == 0xED) more = 2, high = 0x9F;
    else if (c >= 0xE1 && c <= 0xEF) more = 2;
    else if (c == 0xF0) more = 3, low = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) more = 3;
    else if (c == 0xF4) more = 3, high = 0x8F;
    else return false;
    if (i + more >= s.size()) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return false;
    }
    i += more + 1;
  }
  return true;
}

// Into a buffer grown as needed and cut to length at the end: a field costs a few copies, not a
// call of the string's own for every piece.
class Writer {
 public:
  explicit Writer(std::size_t expected) : out_(expected, '\0') {}
  std::string Take() {
    out_.resize(used_);
    return std::move(out_);
  }
  // Opens an object or an array, as a value of the field named before, or on its own.
  void Open(char bracket) {
    Put(bracket);
    first_ = true;
  }
  void Close(char bracket) {
    Put(bracket);
    first_ = false;
  }
  // The name of the next field (plain ASCII, as every name here); or, without one, the comma
  // before the next element of an array.
  Writer& Name(std::string_view name) {
    Put(first_ ? "\"" : ",\"", first_ ? 1 : 2);
    first_ = false;
    Put(name.data(), name.size());
    Put("\":", 2);
    return *this;
  }
  Writer& Element() {
    Comma();
    return *this;
  }
  void Null() { Put("null", 4); }
  void Bool(bool value) { value ? Put("true", 4) : Put("false", 5); }
  template <typename Number>
  void Integer(Number value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    Put(text, static_cast<std::size_t>(end - text));
  }
  void Real(double value) {
    const std::string text = Json(value).dump();
    Put(text.data(), text.size());
  }
  void String(std::string_view text) {
    // Bytes that are no UTF-8 are replaced as the library replaces them; they are rare.
    if (!IsUtf8(text)) {
      const std::string replaced = Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
      Put(replaced.data(), replaced.size());
      return;
    }
    Put('"');
    std::size_t plain = 0;  // where the run of bytes copied as they are began
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      Put(text.data() + plain, i - plain);
      plain = i + 1;
      switch (c) {
        case '"': Put("\\\"", 2); break;
        case '\\': Put("\\\\", 2); break;
        case '\b': Put("\\b", 2); break;
        case '\f': Put("\\f", 2); break;
        case '\n': Put("\\n", 2); break;
        case '\r': Put("\\r", 2); break;
        case '\t': Put("\\t", 2); break;
        default: {
          static constexpr char kHex[] = "0123456789abcdef";
          const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
          Put(escaped, sizeof escaped);
        }
      }
    }
    Put(text.data() + plain, text.size() - plain);
    Put('"');
  }
  // A time, or null for never.
  void Time(WallTime t) { t > 0 ? Integer(t) : Null(); }
  // An error the system gave: its code and its text, or null for none.
  void Error(std::uint32_t code) {
    if (code == 0) return Null();
    Open('{');
    Name("code").Integer(code);
    Name("text").String(Utf16ToUtf8(SystemErrorText(code)));
    Close('}');
  }

 private:
  void Comma() {
    if (!first_) Put(',');
    first_ = false;
  }
  void Put(const char* bytes, std::size_t n) {
    if (out_.size() - used_ < n) out_.resize(std::max(2 * out_.size(), used_ + n));
    // Mostly a few bytes: a plain loop, which beats the string instruction a size-optimised
    // build makes of a copy of unknown length.
    char* to = out_.data() + used_;
    for (std::size_t i = 0; i < n; ++i) to[i] = bytes[i];
    used_ += n;
  }
  void Put(char c) { Put(&c, 1); }

  std::string out_;
  std::size_t used_ = 0;
  bool first_ = true;
};

// The server's game updates: what is known of one, whether its command runs, how the last ended.
void WriteUpdate(Writer& w, const ServerStatus& st) {
  const UpdateStatus& u = st.update;
  const bool available = u.availableSince > 0;
  w.Name("update").Open('{');
  w.Name("available_since").Time(u.availableSince);
  // Texts are "" where nothing is known.
  w.Name("source").String(available ? UpdateSourceName(u.source) : "");
  w.Name("detail").String(available ? u.detail : std::string());
  w.Name("due_by").Time(u.dueBy);
  w.Name("updating").Bool(u.updatingSince > 0 || st.phase == Phase::Updating);
  w.Name("updating_since").Time(u.updatingSince);
  w.Name("last_result").String(UpdateResultName(u.lastResult));
  w.Name("last_at").Time(u.lastAt);
  w.Name("last_detail").String(u.lastDetail);
  w.Name("made").Integer(u.made);
  w.Name("failed").Integer(u.failed);
  w.Close('}');
}

void WriteServer(Writer& w, const ServerSnapshot& s, WallTime now) {
  const ServerStatus& st = s.status;
  const bool reply = s.HasReply();
  w.Open('{');
  w.Name("number").Integer(s.number);
  w.Name("name").String(s.name);
  w.Name("address").String(s.address);
  w.Name("port").Integer(s.port);
  w.Name("executable").String(s.executable);
  w.Name("priority").String(PriorityName(s.priority));
  w.Name("process").String(ProcessStateName(s.process));
  w.Name("network").String(NetworkStateName(s.network));
  w.Name("up").Bool(s.Up());
  w.Name("paused").Bool(s.paused);
  w.Name("crash_loop_paused").Bool(st.phase == Phase::PausedByGuard);
  s.pauseReason.empty() ? w.Name("pause_reason").Null() : w.Name("pause_reason").String(s.pauseReason);
  s.PauseKind() ? w.Name("pause_kind").String(s.PauseKind()) : w.Name("pause_kind").Null();
  w.Name("stopping").Bool(s.stopping);
  s.stopping ? w.Name("stopping_seconds_left").Integer(s.stoppingSecondsLeft) : w.Name("stopping_seconds_left").Null();
  w.Name("lost_count").Integer(s.lostCount);
  w.Name("timeout_count").Integer(s.timeoutCount);
  // The server's own bytes, made valid UTF-8 on the way.
  reply ? w.Name("map").String(Utf16ToUtf8(FromSystem8(st.map))) : w.Name("map").Null();
  reply ? w.Name("players").Integer(st.players) : w.Name("players").Null();
  reply ? w.Name("max_players").Integer(st.maxPlayers) : w.Name("max_players").Null();
  reply && st.bots ? w.Name("bots").Integer(*st.bots) : w.Name("bots").Null();
  w.Name("restarts").Integer(s.restarts);
  w.Name("restarts_by_reason").Open('{');
  for (std::size_t r = 0; r < kRestartReasonCount; ++r)
    w.Name(RestartReasonName(static_cast<RestartReason>(r))).Integer(st.restartsByReason[r]);
  w.Name("failed_start").Integer(st.failedStarts);
  w.Close('}');
  // The same starts by whose doing they were; the Restarts cell ("restarts")
  // holds the supervised ones and the starts after a close and unpause.
  const auto byKind = RestartsByKind(st.restartsByReason);
  w.Name("restarts_by_kind").Open('{');
  for (RestartKind k : {RestartKind::Supervised, RestartKind::Operator, RestartKind::Planned})
    w.Name(RestartKindName(k)).Integer(byKind[static_cast<std::size_t>(k)]);
  w.Close('}');
  w.Name("last_reply").Time(st.lastReply);
  st.lastReply > 0 ? w.Name("last_reply_age_seconds").Integer(now > st.lastReply ? now - st.lastReply : 0)
                   : w.Name("last_reply_age_seconds").Null();
  w.Name("last_restart").Time(st.lastRestart);
  st.lastRestart > 0 ? w.Name("last_restart_reason").String(RestartReasonName(st.lastRestartReason))
                     : w.Name("last_restart_reason").Null();
  st.lastRestart > 0 ? w.Name("last_restart_kind").String(RestartKindName(KindOf(st.lastRestartReason)))
                     : w.Name("last_restart_kind").Null();
  w.Name("next_planned_restart").Time(s.nextPlanned);
  w.Name("start_error").Error(st.lastStartError);
  s.rconTrouble.empty() ? w.Name("rcon_trouble").Null() : w.Name("rcon_trouble").String(s.rconTrouble);
  w.Name("priority_error").Error(st.priorityError);
  w.Name("affinity_error").Error(st.affinityError);
  w.Name("look_error").Error(st.lookError);
  WriteUpdate(w, st);
  w.Close('}');
}

}  // namespace

std::string StatusJson(const MonitorSnapshot& m, WallTime now) {
  Writer w(1024 + 800 * m.servers.size());
  w.Open('{');
  w.Name("time").Integer(now);
  w.Name("supervising").Bool(m.supervising);
  w.Name("self_test_ok").Bool(m.selfTestOk);
  w.Name("self_test_failures").Integer(m.selfTestFailures);
  w.Name("cycle_duration_seconds").Real(m.cycleSeconds);
  w.Name("endpoint_recreations").Integer(m.endpointRecreations);
  w.Name("servers").Open('[');
  for (const ServerSnapshot& s : m.servers) WriteServer(w.Element(), s, now);
  w.Close(']');
  w.Name("recent_restarts").Open('[');
  for (const RestartNote& r : m.recentRestarts) {
    w.Element().Open('{');
    w.Name("time").Integer(r.time);
    w.Name("name").String(r.name);
    w.Name("reason").String(RestartReasonName(r.reason));
    w.Name("kind").String(RestartKindName(KindOf(r.reason)));
    w.Name("error").Error(r.error);
    w.Close('}');
  }
  w.Close(']');
  w.Close('}');
  return w.Take();
}

const char* ProcessStateName(ProcessState state) {
  switch (state) {
    case ProcessState::Unknown: return "unknown";
    case ProcessState::Running: return "running";
    case ProcessState::Lost: return "lost";
    case ProcessState::Restarting: return "restarting";
    case ProcessState::StartFailed: return "start_failed";
    case ProcessState::Paused: return "paused";
  }
  return "unknown";
}

const char* NetworkStateName(NetworkState state) {
  switch (state) {
    case NetworkState::Unknown: return "unknown";
    case NetworkState::Normal: return "normal";
    case NetworkState::Timeout: return "timeout";
    case NetworkState::Paused: return "paused";
  }
  return "unknown";
}

const char* PriorityName(std::uint8_t priority) {
  return priority == 0 ? "normal" : priority == 1 ? "high" : "realtime";
}

}  // namespace tervane
