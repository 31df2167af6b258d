#include "fakesrv.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "net/query.h"
#include "process/params.h"
#include "support/text.h"

namespace tervane::fakesrv {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kCaption[] = "Fatal error - Dedicated server";
constexpr char kControlWord[] = "fakesrv";
constexpr int kMaxDelayMs = 600000;
constexpr int kMaxTimerMs = 86400000;
constexpr int kMaxThreads = 64;
// A Source answer packet carries at most this much of the answer; a GoldSrc 'l' datagram this.
constexpr std::size_t kSourceChunk = 4096;
constexpr std::size_t kGoldSrcChunk = 1200;
constexpr std::string_view kGarbage = "garbage: this is no RCON answer\r\n";

void PutString(Bytes& out, std::string_view text) {
  // A string of the reply ends at its first zero byte whatever the text holds.
  text = text.substr(0, text.find('\0'));
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

void PutByte(Bytes& out, int value) { out.push_back(static_cast<std::uint8_t>(value & 0xFF)); }

void PutShort(Bytes& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

Bytes Header(char type) { return Bytes{0xFF, 0xFF, 0xFF, 0xFF, static_cast<std::uint8_t>(type)}; }

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) < 33) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) < 33) text.remove_suffix(1);
  return text;
}

// The first word and what follows it, without the blanks between.
std::pair<std::string_view, std::string_view> FirstWord(std::string_view text) {
  text = TrimBlanks(text);
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return {text, {}};
  return {text.substr(0, blank), TrimBlanks(text.substr(blank + 1))};
}

std::optional<RconMode> ParseRconMode(std::string_view text) {
  const std::string lower = AsciiLower(text);
  if (lower == "normal") return RconMode::Normal;
  if (lower == "garbage") return RconMode::Garbage;
  if (lower == "silent") return RconMode::Silent;
  return std::nullopt;
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// A Source packet whose strings are given as raw bytes (which may hold zero bytes).
Bytes RawSourcePacket(std::int32_t id, std::int32_t type, std::span<const std::uint8_t> strings) {
  Bytes out;
  for (const std::uint32_t value :
       {static_cast<std::uint32_t>(8 + strings.size()), static_cast<std::uint32_t>(id),
        static_cast<std::uint32_t>(type)})
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  out.insert(out.end(), strings.begin(), strings.end());
  return out;
}

std::optional<AnswerMode> ParseAnswerMode(std::string_view text) {
  const std::string lower = AsciiLower(text);
  if (lower == "info") return AnswerMode::Info;
  if (lower == "details") return AnswerMode::Details;
  if (lower == "both") return AnswerMode::Both;
  if (lower == "none") return AnswerMode::None;
  return std::nullopt;
}

std::optional<int> ParseBounded(std::string_view text, int low, int high) {
  const auto value = ParseInt32(text);
  if (!value || *value < low || *value > high) return std::nullopt;
  return *value;
}

std::string Endpoint(std::string_view address, std::uint16_t port) {
  return std::string(address) + ":" + std::to_string(port);
}

std::string PlayersText(const Settings& s) {
  return std::to_string(s.players) + "/" + std::to_string(s.maxPlayers);
}

bool StartsWith(std::span<const std::uint8_t> data, std::span<const std::uint8_t> prefix) {
  return data.size() >= prefix.size() &&
         std::memcmp(data.data(), prefix.data(), prefix.size()) == 0;
}

// The switches the stand-in knows. Flags take no value; every other switch takes the next
// argument as its value.
enum class Arg { Flag, Value };
const std::map<std::string, Arg, std::less<>>& KnownSwitches() {
  static const std::map<std::string, Arg, std::less<>> known = {
      {"-game", Arg::Value},
      {"+map", Arg::Value},
      {"+maxplayers", Arg::Value},
      {"+hostname", Arg::Value},
      {"-fakesrv.name", Arg::Value},
      {"-fakesrv.map", Arg::Value},
      {"-fakesrv.folder", Arg::Value},
      {"-fakesrv.description", Arg::Value},
      {"-fakesrv.version", Arg::Value},
      {"-fakesrv.appid", Arg::Value},
      {"-fakesrv.app-id", Arg::Value},
      {"-fakesrv.version-file", Arg::Value},
      {"-fakesrv.notice", Arg::Value},
      {"-fakesrv.notice-after", Arg::Value},
      {"-fakesrv.players", Arg::Value},
      {"-fakesrv.maxplayers", Arg::Value},
      {"-fakesrv.bots", Arg::Value},
      {"-fakesrv.protocol", Arg::Value},
      {"-fakesrv.vac", Arg::Flag},
      {"-fakesrv.answer", Arg::Value},
      {"-fakesrv.challenge", Arg::Flag},
      {"-fakesrv.silent", Arg::Flag},
      {"-fakesrv.delay", Arg::Value},
      {"-fakesrv.exit-after", Arg::Value},
      {"-fakesrv.fatal", Arg::Value},
      {"-fakesrv.fatal-after", Arg::Value},
      {"-fakesrv.console", Arg::Flag},
      {"-fakesrv.noconsole", Arg::Flag},
      {"-fakesrv.threads", Arg::Value},
      {"+rcon_password", Arg::Value},
      {"-fakesrv.rcon", Arg::Value},
      {"-fakesrv.quitdelay", Arg::Value},
      {"-fakesrv.ignorequit", Arg::Flag},
  };
  return known;
}

}  // namespace

std::u16string JoinArguments(const std::vector<std::u16string>& args) {
  std::u16string line;
  for (const std::u16string& arg : args) {
    if (!line.empty()) line += u' ';
    if (arg.empty() || arg.find(u' ') != std::u16string::npos) {
      line += u'"';
      line += arg;
      line += u'"';
    } else {
      line += arg;
    }
  }
  return line;
}

Settings ParseArguments(const std::vector<std::u16string>& args) {
  Settings s;
  const std::u16string line = JoinArguments(args);

  // The address and port exactly as the watchdog reads them, so that it queries where the
  // stand-in listens. Without "+ip " (or with "+ip 0.0.0.0") it listens on every address of the
  // host, as a real server does, so the watchdog's query to the host's own address reaches it.
  if (LowerCase(line).find(u"+ip ") != std::u16string::npos) {
    s.bindAddress = GetServerAddress(line, [] { return std::string("0.0.0.0"); });
    if (s.bindAddress.empty()) s.error = "no address after +ip";
  }
  const auto port = static_cast<std::uint16_t>(GetServerPort(line) & 0xFFFF);
  if (port == 0) {
    s.error = "no usable port in the parameters";
  } else {
    s.port = port;
  }

  // First occurrence of every known switch.
  std::map<std::string, std::string, std::less<>> found;
  const auto& known = KnownSwitches();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string key = AsciiLower(ToSystem8(args[i]));
    const auto it = known.find(key);
    if (it == known.end()) {
      if (key.starts_with("-fakesrv.")) s.warnings.push_back("unknown switch " + key);
      continue;
    }
    std::string value;
    if (it->second == Arg::Value) {
      if (i + 1 >= args.size()) {
        s.warnings.push_back("no value after " + key);
        continue;
      }
      value = ToSystem8(args[++i]);
    }
    found.try_emplace(key, std::move(value));
  }

  auto has = [&](std::string_view key) { return found.find(key) != found.end(); };
  // The stand-in's own switch wins over the real one of the same meaning.
  auto pick = [&](std::string_view own, std::string_view real) -> const std::string* {
    if (auto it = found.find(own); it != found.end()) return &it->second;
    if (!real.empty())
      if (auto it = found.find(real); it != found.end()) return &it->second;
    return nullptr;
  };
  auto text = [&](std::string_view own, std::string_view real, std::string& target) {
    if (const std::string* v = pick(own, real)) target = *v;
  };
  auto number = [&](std::string_view own, std::string_view real, int low, int high, auto&& set) {
    const std::string* v = pick(own, real);
    if (!v) return;
    if (auto value = ParseBounded(*v, low, high)) {
      set(*value);
    } else {
      s.warnings.push_back("bad value \"" + *v + "\" for " +
                           std::string(found.find(own) != found.end() ? own : real));
    }
  };

  text("-fakesrv.name", "+hostname", s.name);
  text("-fakesrv.map", "+map", s.map);
  text("-fakesrv.folder", "-game", s.folder);
  text("-fakesrv.description", "", s.description);
  text("-fakesrv.version", "", s.version);
  number("-fakesrv.appid", "", 0, 65535, [&](int v) { s.appId = static_cast<std::uint32_t>(v); });
  number("-fakesrv.app-id", "", 0, 0xFFFFFF, [&](int v) { s.appId = static_cast<std::uint32_t>(v); });
  text("-fakesrv.version-file", "", s.versionFile);
  number("-fakesrv.notice-after", "", 0, kMaxTimerMs, [&](int v) { s.noticeAfterMs = v; });
  if (const std::string* v = pick("-fakesrv.notice", "")) s.notice = *v;
  number("-fakesrv.players", "", 0, 255, [&](int v) { s.players = v; });
  number("-fakesrv.maxplayers", "+maxplayers", 0, 255, [&](int v) { s.maxPlayers = v; });
  number("-fakesrv.bots", "", 0, 255, [&](int v) { s.bots = v; });
  number("-fakesrv.protocol", "", 0, 255, [&](int v) { s.protocol = v; });
  number("-fakesrv.delay", "", 0, kMaxDelayMs, [&](int v) { s.delayMs = v; });
  number("-fakesrv.exit-after", "", 0, kMaxTimerMs, [&](int v) { s.exitAfterMs = v; });
  number("-fakesrv.fatal-after", "", 0, kMaxTimerMs, [&](int v) { s.fatalAfterMs = v; });
  number("-fakesrv.threads", "", 0, kMaxThreads, [&](int v) { s.threads = v; });
  number("-fakesrv.quitdelay", "", 0, kMaxTimerMs, [&](int v) { s.quitDelayMs = v; });
  if (const std::string* v = pick("-fakesrv.answer", "")) {
    if (auto mode = ParseAnswerMode(*v)) {
      s.answer = *mode;
    } else {
      s.warnings.push_back("bad value \"" + *v + "\" for -fakesrv.answer");
    }
  }
  if (const std::string* v = pick("-fakesrv.rcon", "")) {
    if (auto mode = ParseRconMode(*v)) {
      s.rcon = *mode;
    } else {
      s.warnings.push_back("bad value \"" + *v + "\" for -fakesrv.rcon");
    }
  }
  // An empty password leaves RCON off, as on a real server.
  if (const std::string* v = pick("+rcon_password", ""); v && !v->empty()) s.rconPassword = *v;
  if (const std::string* v = pick("-fakesrv.fatal", "")) s.fatalText = *v;
  s.vac = has("-fakesrv.vac");
  s.challenge = has("-fakesrv.challenge");
  s.silent = has("-fakesrv.silent");
  s.console = !has("-fakesrv.noconsole");
  s.ignoreQuit = has("-fakesrv.ignorequit");
  return s;
}

Bytes BuildInfoReply(const Settings& s) {
  Bytes out = Header('I');
  PutByte(out, s.protocol);
  PutString(out, s.name);
  PutString(out, s.map);
  PutString(out, s.folder);
  PutString(out, s.description);
  PutShort(out, s.appId & 0xFFFF);
  PutByte(out, s.players);
  PutByte(out, s.maxPlayers);
  PutByte(out, s.bots);
  PutByte(out, 'd');  // dedicated
  PutByte(out, s.environment);
  PutByte(out, 0);  // no password
  PutByte(out, s.vac ? 1 : 0);
  PutString(out, s.version);
  PutByte(out, 0x80 | 0x01);  // extra data: the game port and the game id follow
  PutShort(out, s.port);
  const std::uint64_t gameId = s.appId & 0xFFFFFF;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(gameId >> (8 * i)));
  return out;
}

Bytes BuildDetailsReply(const Settings& s, std::string_view address) {
  Bytes out = Header('m');
  PutString(out, address);
  PutString(out, s.name);
  PutString(out, s.map);
  PutString(out, s.folder);
  PutString(out, s.description);
  PutByte(out, s.players);
  PutByte(out, s.maxPlayers);
  PutByte(out, s.protocol);
  PutByte(out, 'd');  // dedicated
  PutByte(out, s.environment);
  PutByte(out, 0);  // no password
  PutByte(out, 0);  // not a mod: no mod fields follow
  PutByte(out, s.vac ? 1 : 0);
  PutByte(out, s.bots);
  return out;
}

Bytes BuildChallengeReply(std::uint32_t challenge) {
  Bytes out = Header('A');
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(challenge >> (8 * i)));
  return out;
}

Bytes BuildControlDatagram(std::string_view text) {
  Bytes out(4 + text.size(), 0xFF);
  std::copy(text.begin(), text.end(), out.begin() + 4);
  return out;
}

std::string LongAnswer(std::size_t n) {
  static constexpr std::string_view kLine = "abcdefghijklmnopqrstuvwxyz\n";
  std::string text;
  text.reserve(n);
  for (std::size_t i = 0; i < n; ++i) text.push_back(kLine[i % kLine.size()]);
  return text;
}

std::string_view AnswerModeName(AnswerMode mode) {
  switch (mode) {
    case AnswerMode::Info: return "info";
    case AnswerMode::Details: return "details";
    case AnswerMode::Both: return "both";
    case AnswerMode::None: return "none";
  }
  return "both";
}

std::int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void StartIdleThreads(int count) {
  for (int i = 0; i < std::min(count, kMaxThreads); ++i) {
    std::thread([] {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }).detach();
  }
}

std::uint32_t NewChallenge() {
  std::uint32_t value = 0;
  try {
    std::random_device device;
    value = device();
  } catch (...) {
  }
  value ^= static_cast<std::uint32_t>(MonotonicMs() * 2654435761u);
  if (value == 0 || value == 0xFFFFFFFFu) value = 0x5EED1234u;
  return value;
}

FakeServer::FakeServer(Settings settings, std::int64_t startMs, std::uint32_t challenge,
                       std::uint32_t processId, std::string detailsAddress)
    : settings_(std::move(settings)),
      startMs_(startMs),
      challenge_(challenge),
      processId_(processId),
      detailsAddress_(std::move(detailsAddress)) {}

void FakeServer::Log(std::string line) { log_.push_back(std::move(line)); }

void FakeServer::Notice(std::string_view text) {
  std::string line(text.substr(0, kMaxNotice));
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  printed_.push_back(std::move(line));
}

std::vector<std::string> FakeServer::TakePrintedLines() {
  std::vector<std::string> lines;
  lines.swap(printed_);
  return lines;
}

Settings FakeServer::ForInfoReply() const {
  Settings s = settings_;
  if (s.versionFile.empty()) return s;
  std::ifstream file(s.versionFile, std::ios::binary);
  char buffer[kMaxVersion + 1] = {};
  file.read(buffer, kMaxVersion);
  std::string line(buffer, static_cast<std::size_t>(file.gcount()));
  line = line.substr(0, line.find_first_of("\r\n"));
  line = line.substr(0, line.find('\0'));
  if (!line.empty()) s.version = line;
  return s;
}

std::vector<std::string> FakeServer::TakeLogLines() {
  std::vector<std::string> lines;
  lines.swap(log_);
  return lines;
}

std::optional<std::string> FakeServer::TakeFatal() {
  std::optional<std::string> fatal;
  fatal.swap(fatalToShow_);
  return fatal;
}

void FakeServer::Queue(Outgoing out, std::int64_t dueMs) {
  if (pending_.size() >= kMaxPending) {
    ++dropped_;
    Log("dropped a reply to " + Endpoint(out.address, out.port) + ": too many waiting");
    return;
  }
  pending_.push_back(Pending{dueMs, nextOrder_++, std::move(out)});
}

void FakeServer::Reply(Bytes bytes, std::string_view address, std::uint16_t port,
                       std::int64_t nowMs, std::string logLine) {
  Queue(Outgoing{std::move(bytes), std::string(address), port, std::move(logLine)},
        nowMs + settings_.delayMs);
}

void FakeServer::Fatal(std::string text) {
  crashed_ = true;
  pending_.clear();  // a crashed server sends nothing more
  Log(std::string(kCaption) + ": " + text);
  fatalToShow_ = std::move(text);
}

std::string FakeServer::Status() const {
  const Settings& s = settings_;
  return "fakesrv status pid=" + std::to_string(processId_) +
         " info=" + std::to_string(infoQueries_) + " details=" + std::to_string(detailsQueries_) +
         " answered=" + std::to_string(answered_) + " answer=" +
         std::string(AnswerModeName(s.answer)) + " silent=" + (s.silent ? "1" : "0") +
         " delay=" + std::to_string(s.delayMs) + " challenge=" + (s.challenge ? "1" : "0") +
         " crashed=" + (crashed_ ? "1" : "0") + " players=" + PlayersText(s) + " map=" + s.map;
}

void FakeServer::Receive(std::span<const std::uint8_t> data, std::string_view senderAddress,
                         std::uint16_t senderPort, std::int64_t nowMs) {
  const std::string from = Endpoint(senderAddress, senderPort);
  const bool info = StartsWith(data, InfoQuery);
  const bool details = !info && StartsWith(data, std::span(DetailsQuery).first(11)) &&
                       (data.size() == 11 || data[11] == 0);

  if (info || details) {
    const char* kind = info ? "info" : "details";
    ++(info ? infoQueries_ : detailsQueries_);
    const AnswerMode mode = settings_.answer;
    const bool wanted = mode == AnswerMode::Both ||
                        (info ? mode == AnswerMode::Info : mode == AnswerMode::Details);
    const char* why = crashed_            ? "crashed"
                      : settings_.silent ? "silent"
                      : !wanted          ? "not answering this query"
                                         : nullptr;
    if (why) {
      Log(std::string("ignored ") + kind + " query from " + from + " (" + why + ")");
      return;
    }
    if (details) {
      Reply(BuildDetailsReply(settings_, detailsAddress_), senderAddress, senderPort, nowMs,
            "answered details query from " + from + " (" + settings_.map + ", " +
                PlayersText(settings_) + ")");
      return;
    }
    if (settings_.challenge) {
      // The challenge rides after the 25 query bytes; padding beyond it is allowed.
      std::uint32_t got = 0;
      const bool present = data.size() >= InfoQuery.size() + 4;
      for (int i = 0; present && i < 4; ++i)
        got |= static_cast<std::uint32_t>(data[InfoQuery.size() + i]) << (8 * i);
      if (!present || got != challenge_) {
        Reply(BuildChallengeReply(challenge_), senderAddress, senderPort, nowMs,
              "sent a challenge to " + from);
        return;
      }
    }
    Reply(BuildInfoReply(ForInfoReply()), senderAddress, senderPort, nowMs,
          "answered info query from " + from + " (" + settings_.map + ", " +
              PlayersText(settings_) + ")");
    return;
  }

  // Control: FF FF FF FF and a text command, from this host only.
  if (data.size() >= 4 && data[0] == 0xFF && data[1] == 0xFF && data[2] == 0xFF &&
      data[3] == 0xFF) {
    std::string text(reinterpret_cast<const char*>(data.data()) + 4, data.size() - 4);
    text = text.substr(0, text.find('\0'));
    if (GoldSrcRcon(text, senderAddress, senderPort, nowMs)) return;
    if (text == kControlWord || text.starts_with(std::string(kControlWord) + " ")) {
      if (senderAddress != "127.0.0.1") {
        Log("ignored a control datagram from " + from);
        return;
      }
      Control(text, senderAddress, senderPort, nowMs);
      return;
    }
  }
  Log("ignored a datagram of " + std::to_string(data.size()) + " bytes from " + from);
}

void FakeServer::Control(std::string_view command, std::string_view address, std::uint16_t port,
                         std::int64_t nowMs) {
  Log("control from " + Endpoint(address, port) + ": " + std::string(command));

  // "fakesrv <verb> <rest>": the rest may hold blanks (names, fatal texts).
  std::string_view rest = command.substr(std::min(command.size(), sizeof kControlWord));
  const std::size_t blank = rest.find(' ');
  const std::string verb(rest.substr(0, blank));
  const std::string_view arg =
      blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);

  std::string answer = "fakesrv ok";
  auto bad = [&] { answer = "fakesrv error bad value"; };
  auto number = [&](int low, int high, int& target) {
    if (auto v = ParseBounded(arg, low, high)) {
      target = *v;
    } else {
      bad();
    }
  };
  Settings& s = settings_;
  if (verb == "ping") {
  } else if (verb == "status") {
    answer = Status();
  } else if (verb == "silent") {
    s.silent = true;
  } else if (verb == "answer") {
    if (arg.empty()) {
      s.silent = false;
    } else if (auto mode = ParseAnswerMode(arg)) {
      s.answer = *mode;
      s.silent = false;
    } else {
      bad();
    }
  } else if (verb == "delay") {
    number(0, kMaxDelayMs, s.delayMs);
  } else if (verb == "players") {
    number(0, 255, s.players);
  } else if (verb == "maxplayers") {
    number(0, 255, s.maxPlayers);
  } else if (verb == "bots") {
    number(0, 255, s.bots);
  } else if (verb == "protocol") {
    number(0, 255, s.protocol);
  } else if (verb == "challenge") {
    if (arg == "on") {
      s.challenge = true;
    } else if (arg == "off") {
      s.challenge = false;
    } else {
      bad();
    }
  } else if (verb == "map") {
    if (arg.empty()) {
      bad();
    } else {
      s.map = std::string(arg);
    }
  } else if (verb == "name") {
    s.name = std::string(arg);
  } else if (verb == "fatal") {
    // The error is acknowledged all the same: the ack is queued after Fatal drops the rest.
    if (crashed_) {
      answer = "fakesrv error already crashed";
    } else {
      Fatal(std::string(arg));
    }
  } else if (verb == "exit") {
    exitRequested_ = true;
    Log("exiting as asked");
  } else if (verb == "rcon") {
    if (auto mode = ParseRconMode(arg)) {
      s.rcon = *mode;
    } else {
      bad();
    }
  } else if (verb == "notice") {
    Notice(arg);
  } else if (verb == "said") {
    answer = "fakesrv said " + std::to_string(said_.size());
    for (const std::string& text : said_) answer += "\n" + text;
  } else {
    answer = "fakesrv error unknown command";
  }
  Queue(Outgoing{BuildControlDatagram(answer), std::string(address), port, {}}, nowMs);
}

std::vector<Outgoing> FakeServer::Advance(std::int64_t nowMs) {
  if (settings_.fatalText && !fatalTimerDone_ && nowMs >= startMs_ + settings_.fatalAfterMs) {
    fatalTimerDone_ = true;
    if (!crashed_) Fatal(*settings_.fatalText);
  }
  if (settings_.exitAfterMs && !exitRequested_ && nowMs >= startMs_ + *settings_.exitAfterMs) {
    exitRequested_ = true;
    Log("exiting: the run time of -fakesrv.exit-after is over");
  }
  if (quitAtMs_ && !exitRequested_ && nowMs >= *quitAtMs_) {
    exitRequested_ = true;
    Log("exiting: quit by RCON");
  }
  if (settings_.notice && !noticeDone_ && nowMs >= startMs_ + settings_.noticeAfterMs) {
    noticeDone_ = true;
    Notice(*settings_.notice);
  }

  std::vector<Pending> due;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->dueMs <= nowMs) {
      due.push_back(std::move(*it));
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  std::sort(due.begin(), due.end(), [](const Pending& a, const Pending& b) {
    return a.dueMs != b.dueMs ? a.dueMs < b.dueMs : a.order < b.order;
  });
  std::vector<Outgoing> out;
  out.reserve(due.size());
  for (Pending& p : due) {
    if (!p.out.logLine.empty()) Log(p.out.logLine);
    if (p.out.bytes.size() > 4 && (p.out.bytes[4] == 'I' || p.out.bytes[4] == 'm')) ++answered_;
    out.push_back(std::move(p.out));
  }
  return out;
}

std::optional<std::int64_t> FakeServer::NextDeadline() const {
  std::optional<std::int64_t> next;
  auto consider = [&](std::int64_t t) {
    if (!next || t < *next) next = t;
  };
  for (const Pending& p : pending_) consider(p.dueMs);
  if (settings_.fatalText && !fatalTimerDone_) consider(startMs_ + settings_.fatalAfterMs);
  if (settings_.exitAfterMs && !exitRequested_) consider(startMs_ + *settings_.exitAfterMs);
  if (quitAtMs_ && !exitRequested_) consider(*quitAtMs_);
  if (settings_.notice && !noticeDone_) consider(startMs_ + settings_.noticeAfterMs);
  if (exitRequested_ || fatalToShow_) consider(startMs_);
  return next;
}

// ------------------------------------------------------------------------ RCON

std::string FakeServer::RconStatus() const {
  const Settings& s = settings_;
  const int humans = std::max(0, s.players - s.bots);
  return "hostname: " + s.name + "\nversion : " + s.version +
         " secure\nudp/ip  : " + detailsAddress_ + "\nmap     : " + s.map + "\nplayers : " + std::to_string(humans) + " humans, " +
         std::to_string(s.bots) + " bots (" + std::to_string(s.maxPlayers) +
         " max)\n\n# userid name uniqueid connected ping loss state adr\n";
}

std::string FakeServer::RconCommand(std::string_view command, std::int64_t nowMs) {
  const auto [word, rest] = FirstWord(command);
  const std::string verb = AsciiLower(word);
  if (verb == "say") {
    // A text in quotes is said without them, as a server's "say" does.
    std::string_view text = rest;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
      text = text.substr(1, text.size() - 2);
    std::string kept(text.substr(0, kMaxSaidLength));
    for (char& c : kept)
      if (static_cast<unsigned char>(c) < 32) c = ' ';
    Log("RCON say: " + kept);
    said_.push_back(std::move(kept));
    if (said_.size() > kMaxSaid) said_.pop_front();
    return {};
  }
  if (verb == "status") return RconStatus();
  if (verb == "quit" || verb == "exit") {
    if (settings_.ignoreQuit) {
      Log("RCON " + verb + " ignored (-fakesrv.ignorequit)");
    } else if (!quitAtMs_) {
      quitAtMs_ = nowMs + settings_.quitDelayMs;
      Log("RCON " + verb + ": exiting in " + std::to_string(settings_.quitDelayMs) + " ms");
    }
    return {};
  }
  if (verb == "fakesrv.long") {
    const auto n = ParseBounded(rest, 0, static_cast<int>(kMaxLongAnswer));
    if (!n) return "fakesrv.long: no length 0.." + std::to_string(kMaxLongAnswer) + "\n";
    return LongAnswer(static_cast<std::size_t>(*n));
  }
  return "Unknown command \"" + std::string(word) + "\"\n";
}

bool FakeServer::GoldSrcRcon(std::string_view text, std::string_view address, std::uint16_t port,
                             std::int64_t nowMs) {
  const bool challenge = text.starts_with("challenge rcon") && TrimBlanks(text.substr(14)).empty();
  if (!challenge && !text.starts_with("rcon ")) return false;
  const std::string from = Endpoint(address, port);
  auto send = [&](Bytes bytes, std::string logLine) {
    Queue(Outgoing{std::move(bytes), std::string(address), port, std::move(logLine)}, nowMs);
  };
  if (crashed_ || settings_.rcon == RconMode::Silent) {
    Log("ignored GoldSrc RCON from " + from + (crashed_ ? " (crashed)" : " (RCON silent)"));
    return true;
  }
  if (settings_.rcon == RconMode::Garbage) {
    send(Bytes(kGarbage.begin(), kGarbage.end()), "sent garbage to GoldSrc RCON from " + from);
    return true;
  }
  if (challenge) {
    Bytes reply = BuildControlDatagram("challenge rcon " + std::to_string(challenge_) + "\n");
    reply.push_back(0);
    send(std::move(reply), "sent an RCON challenge to " + from);
    return true;
  }

  // rcon <challenge> <password> <command>: the password may stand in quotes.
  auto [given, rest] = FirstWord(text.substr(5));
  std::string_view password;
  if (rest.starts_with('"')) {
    const std::size_t close = rest.find('"', 1);
    password = rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    rest = close == std::string_view::npos ? std::string_view() : rest.substr(close + 1);
  } else {
    const std::size_t blank = rest.find(' ');
    password = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
  }
  const std::string_view command = TrimBlanks(rest);

  std::string answer;
  std::string logLine;
  if (!settings_.rconPassword) {
    answer = "Bad rcon_password.\nNo password set for this server.\n";
    logLine = "refused GoldSrc RCON from " + from + ": no password set";
  } else if (given != std::to_string(challenge_)) {
    answer = "Bad challenge.\n";
    logLine = "refused GoldSrc RCON from " + from + ": bad challenge";
  } else if (password != *settings_.rconPassword) {
    answer = "Bad rcon_password.\n";
    logLine = "refused GoldSrc RCON from " + from + ": bad password";
  } else {
    logLine = "answered GoldSrc RCON \"" + std::string(command) + "\" from " + from;
    answer = RconCommand(command, nowMs);
  }
  // The answer in 'l' datagrams; an empty answer still sends one, as a real server does.
  std::size_t pos = 0;
  do {
    Bytes datagram = BuildControlDatagram("l" + answer.substr(pos, kGoldSrcChunk));
    datagram.push_back(0);
    send(std::move(datagram), pos == 0 ? logLine : std::string());
    pos += kGoldSrcChunk;
  } while (pos < answer.size());
  return true;
}

FakeServer::StreamAnswer FakeServer::RconStream(std::uint64_t connection,
                                                std::span<const std::uint8_t> data,
                                                std::int64_t nowMs) {
  StreamAnswer out;
  const std::string who = "Source RCON connection " + std::to_string(connection);
  if (crashed_ || settings_.rcon == RconMode::Silent) {
    Log("ignored " + std::to_string(data.size()) + " bytes on " + who +
        (crashed_ ? " (crashed)" : " (RCON silent)"));
    return out;
  }
  if (settings_.rcon == RconMode::Garbage) {
    Log("sent garbage on " + who);
    out.bytes.assign(kGarbage.begin(), kGarbage.end());
    return out;
  }
  RconConnection& c = rconConnections_[connection];
  c.reader.Append(data);
  SourcePacket packet;
  for (;;) {
    const SourcePacketReader::Step step = c.reader.Next(packet);
    if (step == SourcePacketReader::Step::NeedMore) break;
    const bool malformed = step == SourcePacketReader::Step::Malformed;
    if (malformed || out.bytes.size() > kMaxRconOutput) {
      Log("closing " + who + (malformed ? ": no RCON packet" : ": too many answers"));
      out.close = true;
      break;
    }
    if (packet.type == kServerDataAuth) {
      c.authenticated = settings_.rconPassword && packet.body == *settings_.rconPassword;
      Log(who + ": password " + (c.authenticated ? "accepted" : "refused"));
      // Servers send an empty RESPONSE_VALUE before the auth answer.
      Append(out.bytes, BuildSourcePacket(packet.id, kServerDataResponseValue, ""));
      Append(out.bytes,
             BuildSourcePacket(c.authenticated ? packet.id : -1, kServerDataAuthResponse, ""));
    } else if (packet.type == kServerDataExecCommand) {
      if (!c.authenticated) {
        Log(who + ": command before the password refused");
        Append(out.bytes, BuildSourcePacket(-1, kServerDataAuthResponse, ""));
        continue;
      }
      Log(who + ": \"" + packet.body + "\"");
      const std::string answer = RconCommand(packet.body, nowMs);
      std::size_t pos = 0;
      do {
        Append(out.bytes, BuildSourcePacket(packet.id, kServerDataResponseValue,
                                            answer.substr(pos, kSourceChunk)));
        pos += kSourceChunk;
      } while (pos < answer.size());
    } else if (packet.type == kServerDataResponseValue && c.authenticated) {
      // An empty RESPONSE_VALUE is mirrored, followed by a packet of odd bytes, as Source
      // servers do; clients use the mirror to find the end of a long answer.
      static constexpr std::uint8_t kOdd[] = {0, 0, 0, 1, 0, 0, 0, 0};
      Append(out.bytes, BuildSourcePacket(packet.id, kServerDataResponseValue, ""));
      Append(out.bytes, RawSourcePacket(packet.id, kServerDataResponseValue, kOdd));
    }
  }
  return out;
}

void FakeServer::RconClosed(std::uint64_t connection) { rconConnections_.erase(connection); }

}  // namespace tervane::fakesrv
