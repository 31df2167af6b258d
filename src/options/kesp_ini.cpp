#include "options/kesp_ini.h"

#include <algorithm>

#include "net/rcon.h"
#include "options/values.h"
#include "support/profile.h"
#include "support/text.h"

namespace tervane {
namespace {

// The sections a key may be given in.
enum Section : unsigned { kInOptions = 1u << 0, kInRestarts = 1u << 1, kInServer = 1u << 2, kInUpdates = 1u << 3 };
constexpr unsigned kInRestartSections = kInRestarts | kInServer;
constexpr unsigned kInUpdateSections = kInUpdates | kInServer;
constexpr unsigned kUpdateKeys = kUpdateKeyNotice | kUpdateKeyCheckUrl | kUpdateKeyCheckMinutes | kUpdateKeyCheckCommand |
                                 kUpdateKeyAppId | kUpdateKeyCommand | kUpdateKeySeconds | kUpdateKeyWithin |
                                 kUpdateKeyRetry;

// How a value is read before its setter takes it. A value its type refuses (outside its
// bounds, or holding a character its rule refuses) is refused with the key's problem.
enum class Type {
  Text,     // UTF-8; bounds: its length in bytes (0: none)
  System8,  // in the system's 8-bit text, as a server took its run parameters; bounds: bytes
  Number,   // bounds: the number
  Times,    // times of day HH:MM; most: how many
  Numbers,  // numbers within the bounds; most: how many
};

// The characters a text may hold.
enum class Chars {
  Any,        // the setter decides
  Plain,      // no control character
  Said,       // no control character or double quote: said in the game between quotes
  Printable,  // visible ASCII: no blank, no control character
};

// [Options]'s keys, as bits for the rules between them (the restart sections' are RestartKey).
enum OptionKey : unsigned {
  kOptionKeyToken = 1u << 0,
  kOptionKeyListen = 1u << 1,
  kOptionKeyUrl = 1u << 2,
  kOptionKeyFormat = 1u << 3,
  kOptionKeyHost = 1u << 4,
  kOptionKeyWindow = 1u << 5,
  kOptionKeyMax = 1u << 6,
  kOptionKeyLogCommands = 1u << 7,
};

// What the setters write to; a section's keys set its own part.
struct Target {
  ObserveOptions observe;
  RestartSettings restart;
  UpdateSettings update;
  bool noticeTaken = false;  // UpdateNotice: the lines given replace the engines' own
  unsigned refused = 0;  // the bits of the section's keys refused so far
};

struct Value {
  std::u16string written;
  std::string text;  // Text: UTF-8; System8: the system's 8-bit text
  int number = 0;
  std::vector<int> list;
};

// A setter's answer: taken, or refused for the key's problem or for the one it names.
struct Verdict {
  bool taken = true;
  std::string_view why;
};
constexpr Verdict kTaken{};
constexpr Verdict kRefused{false, {}};

struct Key {
  unsigned sections;
  std::u16string_view name;
  Type type;
  Chars chars;
  int low, high;  // Number, Numbers: the values; Text, System8: the length (high 0: none)
  int most;       // Times, Numbers: the parts
  unsigned bit;   // what it sets: two keys of one bit are two forms of one setting, given one at a time
  bool secret;    // its value is never written in a problem line
  Verdict (*set)(Target& target, Value& value);
  std::string_view problem;  // said after "Key=\"value\"": what is wrong, then after "; " what follows
  std::size_t lines = 1;      // how many of its lines are read: more than one adds a value each
};

bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && UpperAscii(s.substr(0, prefix.size())) == UpperAscii(prefix);
}

// Each section reads its keys in this order, which is the order of their problem lines. In
// [Options], the token comes before the address that needs it, the URL before the format that
// may turn it off, the window before the limit that is nothing without it.
constexpr Key kKeys[] = {
    {kInOptions, u"HttpToken", Type::Text, Chars::Printable, kTokenMinLength, 0, 0, kOptionKeyToken, true,
     [](Target& t, Value& v) {
       t.observe.httpToken = std::move(v.text);
       return kTaken;
     },
     "must be at least 16 printable characters without blanks; no token, so no HTTP commands"},
    {kInOptions, u"HttpListen", Type::Text, Chars::Any, 0, 0, 0, kOptionKeyListen, false,
     [](Target& t, Value& v) {
       auto address = ParseListenAddress(v.text);
       if (!address) return kRefused;
       if (!address->Loopback() && t.observe.httpToken.empty())
         return Verdict{false, "is not a loopback address and no HttpToken is set; the HTTP endpoint is off"};
       t.observe.httpListen = std::move(address);
       return kTaken;
     },
     "is not address:port (such as 127.0.0.1:8427); the HTTP endpoint is off"},
    {kInOptions, u"WebhookUrl", Type::Text, Chars::Printable, 0, 0, 0, kOptionKeyUrl, false,
     [](Target& t, Value& v) {
       if (!StartsWithIgnoreCase(v.text, "http://") && !StartsWithIgnoreCase(v.text, "https://")) return kRefused;
       t.observe.webhookUrl = std::move(v.text);
       return kTaken;
     },
     "is not an http:// or https:// URL; no alerts"},
    {kInOptions, u"WebhookFormat", Type::Text, Chars::Any, 0, 0, 0, kOptionKeyFormat, false,
     [](Target& t, Value& v) {
       const std::string format = UpperAscii(v.text);
       if (format == "DISCORD") {
         t.observe.webhookFormat = WebhookFormat::Discord;
       } else if (format == "SLACK") {
         t.observe.webhookFormat = WebhookFormat::Slack;
       } else if (format != "JSON") {
         t.observe.webhookUrl.clear();  // alerts nobody could read are not sent
         return kRefused;
       }
       return kTaken;
     },
     "is not discord, slack or json; no alerts"},
    {kInOptions, u"AlertHost", Type::Text, Chars::Plain, 0, kAlertHostLimit, 0, kOptionKeyHost, false,
     [](Target& t, Value& v) {
       t.observe.alertHost = std::move(v.text);
       return kTaken;
     },
     "is longer than 100 bytes or holds control characters; alerts name the host by its own name"},
    {kInOptions, u"RestartWindowMinutes", Type::Number, Chars::Any, 1, kRestartWindowLimit, 0, kOptionKeyWindow, false,
     [](Target& t, Value& v) {
       t.observe.restartWindowMinutes = v.number;
       return kTaken;
     },
     "is not a number of minutes from 1 to 10080; no crash-loop guard"},
    {kInOptions, u"MaxRestarts", Type::Number, Chars::Any, 0, kMaxRestartsLimit, 0, kOptionKeyMax, false,
     [](Target& t, Value& v) {
       if (!(t.refused & kOptionKeyWindow)) t.observe.maxRestarts = v.number;  // no window, no guard
       return kTaken;
     },
     "is not a number from 0 to 1000; no crash-loop guard"},
    {kInOptions, u"LogCommands", Type::Number, Chars::Any, 0, 1, 0, kOptionKeyLogCommands, false,
     [](Target& t, Value& v) {
       t.observe.logCommands = v.number == 1;
       return kTaken;
     },
     "is not 0 or 1; the operators' commands are not logged"},

    {kInRestartSections, u"RestartAt", Type::Times, Chars::Any, 0, 0, kMaxRestartTimes, kRestartKeySchedule, false,
     [](Target& t, Value& v) {
       t.restart.restartAt = std::move(v.list);
       return kTaken;
     },
     "is not a list of up to 24 times HH:MM; it plans no restarts"},
    {kInRestartSections, u"RestartEveryHours", Type::Number, Chars::Any, 0, kMaxEveryHours, 0, kRestartKeySchedule,
     false,
     [](Target& t, Value& v) {
       t.restart.everyHours = v.number;
       return kTaken;
     },
     "is not a number of hours from 0 to 168; it plans no restarts"},
    {kInRestartSections, u"RestartWarnMinutes", Type::Numbers, Chars::Any, 1, kMaxLeadMinutes, kMaxRestartWarnings,
     kRestartKeyWarnMinutes, false,
     [](Target& t, Value& v) {
       t.restart.warnMinutes = std::move(v.list);
       return kTaken;
     },
     "is not a list of up to 10 numbers of minutes from 1 to 1439; no warnings"},
    {kInRestartSections, u"RestartWarnText", Type::Text, Chars::Said, 0, kMaxWarnTextBytes, 0, kRestartKeyWarnText,
     false,
     [](Target& t, Value& v) {
       t.restart.warnText = std::move(v.written);
       return kTaken;
     },
     "is longer than 200 bytes or holds a double quote or a control character; the shipped text is used"},
    {kInRestartSections, u"RestartWhenEmptyMinutes", Type::Number, Chars::Any, 0, kMaxLeadMinutes, 0,
     kRestartKeyWhenEmpty, false,
     [](Target& t, Value& v) {
       t.restart.whenEmptyMinutes = v.number;
       return kTaken;
     },
     "is not a number of minutes from 0 to 1439; restarted at the planned time only"},
    {kInRestartSections, u"StopCommand", Type::System8, Chars::Plain, 0, kMaxStopCommandBytes, 0,
     kRestartKeyStopCommand, false,
     [](Target& t, Value& v) {
       t.restart.stopCommand = std::move(v.text);
       return kTaken;
     },
     "is longer than 255 bytes or holds a control character; processes are ended without it"},
    {kInRestartSections, u"StopSeconds", Type::Number, Chars::Any, kMinStopSeconds, kMaxStopSeconds, 0,
     kRestartKeyStopSeconds, false,
     [](Target& t, Value& v) {
       t.restart.stopSeconds = v.number;
       return kTaken;
     },
     "is not a number of seconds from 1 to 600; 20 seconds are given"},
    {kInRestartSections, u"RconProtocol", Type::Text, Chars::Any, 0, 0, 0, kRestartKeyRconProtocol, false,
     [](Target& t, Value& v) {
       t.restart.rconProtocol = ParseRconProtocol(v.text);
       return t.restart.rconProtocol ? kTaken : kRefused;
     },
     "is not source or goldsrc; the server's query answer decides"},
    {kInRestartSections, u"RconPassword", Type::System8, Chars::Plain, 0, kRconMaxPassword, 0,
     kRestartKeyRconPassword, true,
     [](Target& t, Value& v) {
       t.restart.rconPassword = std::move(v.text);
       return kTaken;
     },
     "is longer than 256 bytes or holds a control character; no password"},

    {kInUpdateSections, u"UpdateNotice", Type::Text, Chars::Plain, 0, kMaxUpdateNoticeBytes, 0, kUpdateKeyNotice,
     false,
     [](Target& t, Value& v) {
       if (!t.noticeTaken) t.update.notices.clear();
       t.noticeTaken = true;
       t.update.notices.push_back(std::move(v.text));
       return kTaken;
     },
     "is longer than 200 bytes or holds a control character; it is not looked for", kMaxUpdateNotices},
    {kInUpdateSections, u"UpdateCheckUrl", Type::Text, Chars::Printable, 0, 0, 0, kUpdateKeyCheckUrl, false,
     [](Target& t, Value& v) {
       if (!StartsWithIgnoreCase(v.text, "http://") && !StartsWithIgnoreCase(v.text, "https://")) return kRefused;
       t.update.checkUrl = std::move(v.text);
       return kTaken;
     },
     "is not an http:// or https:// URL; no update check by URL"},
    {kInUpdateSections, u"UpdateCheckMinutes", Type::Number, Chars::Any, 1, 1440, 0, kUpdateKeyCheckMinutes, false,
     [](Target& t, Value& v) {
       t.update.checkMinutes = v.number;
       return kTaken;
     },
     "is not a number of minutes from 1 to 1440; checked every 10 minutes"},
    {kInUpdateSections, u"UpdateCheckCommand", Type::Text, Chars::Plain, 0, 0, 0, kUpdateKeyCheckCommand, false,
     [](Target& t, Value& v) {
       t.update.checkCommand = std::move(v.text);
       return kTaken;
     },
     "holds a control character; no update check by command"},
    {kInUpdateSections, u"AppId", Type::Number, Chars::Any, 1, 2147483647, 0, kUpdateKeyAppId, false,
     [](Target& t, Value& v) {
       t.update.appId = static_cast<std::uint32_t>(v.number);
       return kTaken;
     },
     "is not an app id from 1 to 2147483647; the one the server's reply gives is used"},
    {kInUpdateSections, u"UpdateCommand", Type::Text, Chars::Plain, 0, 0, 0, kUpdateKeyCommand, false,
     [](Target& t, Value& v) {
       t.update.command = std::move(v.text);
       return kTaken;
     },
     "holds a control character; no game updates"},
    {kInUpdateSections, u"UpdateSeconds", Type::Number, Chars::Any, 10, 86400, 0, kUpdateKeySeconds, false,
     [](Target& t, Value& v) {
       t.update.seconds = v.number;
       return kTaken;
     },
     "is not a number of seconds from 10 to 86400; 900 seconds are given"},
    {kInUpdateSections, u"UpdateWithinMinutes", Type::Number, Chars::Any, 0, 1439, 0, kUpdateKeyWithin, false,
     [](Target& t, Value& v) {
       t.update.withinMinutes = v.number;
       return kTaken;
     },
     "is not a number of minutes from 0 to 1439; made within 30 minutes"},
    {kInUpdateSections, u"UpdateRetryMinutes", Type::Number, Chars::Any, 1, 10080, 0, kUpdateKeyRetry, false,
     [](Target& t, Value& v) {
       t.update.retryMinutes = v.number;
       return kTaken;
     },
     "is not a number of minutes from 1 to 10080; 60 minutes are given"},
};

constexpr std::u16string_view kOptionsSection = u"Options";
constexpr std::u16string_view kRestartsSection = u"Restarts";
constexpr std::u16string_view kUpdatesSection = u"Updates";
constexpr std::u16string_view kServerPrefix = u"Server";
// Each section is read key by key from the whole text: their number is bounded so that a large
// file of small sections costs little.
constexpr std::size_t kMaxServerSections = 256;

std::u16string_view TrimBlanks(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}

// The values of the key's lines as the profile reader has them, whole, each without a trailing
// "; comment" and the blanks around it; none when the key is absent.
std::vector<std::u16string> Written(std::u16string_view text, std::u16string_view section, const Key& key) {
  std::vector<std::u16string> values;
  if (key.lines == 1) {
    if (std::optional<std::u16string> value = FindWholeProfileValue(text, section, key.name))
      values.push_back(std::move(*value));
  } else {
    values = FindAllProfileValues(text, section, key.name);
  }
  for (std::u16string& value : values) {
    for (std::size_t i = 1; i < value.size(); ++i) {
      if (value[i] == u';' && (value[i - 1] == u' ' || value[i - 1] == u'\t')) {
        value.resize(i);
        break;
      }
    }
    value = std::u16string(TrimBlanks(value));
  }
  return values;
}

bool CharsFit(Chars chars, std::string_view s) {
  return std::none_of(s.begin(), s.end(), [chars](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    switch (chars) {
      case Chars::Any: return false;
      case Chars::Plain: return c < 0x20 || c == 0x7F;
      case Chars::Said: return c < 0x20 || c == 0x7F || c == '"';
      case Chars::Printable: return c <= 0x20 || c >= 0x7F;
    }
    return true;
  });
}

// The value in its key's type; none when the type refuses it.
std::optional<Value> Typed(const Key& key, std::u16string written) {
  Value v;
  v.text = key.type == Type::System8 ? ToSystem8(written) : Utf16ToUtf8(written);
  v.written = std::move(written);
  switch (key.type) {
    case Type::Text:
    case Type::System8: {
      const auto size = static_cast<long long>(v.text.size());
      if (size < key.low || (key.high > 0 && size > key.high) || !CharsFit(key.chars, v.text)) return std::nullopt;
      return v;
    }
    case Type::Number: {
      const auto n = ParseNumber(v.text, key.low, key.high);
      if (!n) return std::nullopt;
      v.number = *n;
      return v;
    }
    case Type::Times:
    case Type::Numbers: {
      auto list = key.type == Type::Times ? ParseTimesOfDay(v.text, key.most)
                                          : ParseNumberList(v.text, key.most, key.low, key.high);
      if (!list) return std::nullopt;
      v.list = std::move(*list);
      return v;
    }
  }
  return std::nullopt;
}

// What follows from a key's problem: its part after the last "; ".
std::string_view Consequence(std::string_view problem) {
  const std::size_t semicolon = problem.rfind("; ");
  return semicolon == std::string_view::npos ? problem : problem.substr(semicolon + 2);
}

// One section read through the table: its keys' values set in `target`, the bits of the keys it
// gives in `given`. `title` names the section ("[Restarts]"); [Options]'s lines about a value
// have never named their section, the others' do.
void ReadSection(std::u16string_view text, std::u16string_view section, unsigned kind, const std::string& title,
                 Target& target, unsigned& given, std::vector<std::string>& problems) {
  const std::string in = kind == kInOptions ? std::string() : " in " + title;

  for (const std::u16string& name : ListProfileKeys(text, section)) {
    const bool known = std::any_of(std::begin(kKeys), std::end(kKeys), [&](const Key& k) {
      return (k.sections & kind) && EqualsIgnoreCaseAscii(name, k.name);
    });
    if (!known) problems.push_back("unknown key " + QuoteValue(Utf16ToUtf8(name)) + " in " + title + ", ignored");
  }

  constexpr std::size_t kCount = std::size(kKeys);
  std::vector<std::u16string> written[kCount];
  for (std::size_t i = 0; i < kCount; ++i)
    if (kKeys[i].sections & kind) written[i] = Written(text, section, kKeys[i]);

  for (std::size_t i = 0; i < kCount; ++i) {
    const Key& key = kKeys[i];
    if (written[i].empty()) continue;
    given |= key.bit;
    const std::string name = Utf16ToUtf8(key.name);
    // Two forms of one setting: the later one says they are both given, and neither is used.
    std::optional<std::size_t> other;
    for (std::size_t j = 0; j < kCount; ++j)
      if (j != i && !written[j].empty() && kKeys[j].bit == key.bit) other = j;
    if (other && *other > i) continue;
    if (other) {
      target.refused |= key.bit;
      problems.push_back(Utf16ToUtf8(kKeys[*other].name) + " and " + name + " are both given in " + title +
                         "; only one may be, so " + std::string(Consequence(key.problem)));
      continue;
    }
    if (written[i].size() > key.lines) {
      problems.push_back("more than " + std::to_string(key.lines) + " " + name + " lines in " + title +
                         "; those after the " + std::to_string(key.lines) + "th are not used");
      written[i].resize(key.lines);
    }
    for (std::u16string& line : written[i]) {
      if (line.size() > kProfileValueMax) {
        problems.push_back(name + in + " is longer than the " + std::to_string(kProfileValueMax) +
                           " characters a value may have; it is not used, so its option stays off");
        line.clear();
      }
      if (line.empty()) continue;  // the option's off value

      std::string quoted;
      if (!key.secret) quoted.append("=").append(QuoteValue(Utf16ToUtf8(line)));
      std::optional<Value> value = Typed(key, std::move(line));
      const Verdict verdict = value ? key.set(target, *value) : kRefused;
      if (verdict.taken) continue;
      target.refused |= key.bit;
      problems.push_back(name + quoted + in + " " + std::string(verdict.why.empty() ? key.problem : verdict.why));
    }
  }
  // Given, but no line of it taken (empty, or refused): no notice is looked for.
  if ((given & kUpdateKeyNotice) && !target.noticeTaken) target.update.notices.clear();
}

// "Server <name>" (any letter case; blanks between): the name, or none for another section.
std::optional<std::u16string_view> ServerName(std::u16string_view section) {
  if (section.size() < kServerPrefix.size() ||
      !EqualsIgnoreCaseAscii(section.substr(0, kServerPrefix.size()), kServerPrefix))
    return std::nullopt;
  const std::u16string_view rest = section.substr(kServerPrefix.size());
  if (!rest.empty() && rest.front() != u' ' && rest.front() != u'\t') return std::nullopt;  // [Servers] is another
  return TrimBlanks(rest);
}

// One section's restart and update settings (a [Server <name>] section gives both).
struct ServerSections {
  RestartSection restart;
  UpdateSection update;
};

ServerSections ReadServerSection(std::u16string_view text, std::u16string_view section, unsigned kind,
                                 const std::string& title, std::vector<std::string>& problems) {
  Target target;
  unsigned given = 0;
  ReadSection(text, section, kind, title, target, given, problems);
  ServerSections s;
  s.restart.given = given & ~kUpdateKeys;
  s.restart.values = std::move(target.restart);
  s.update.given = given & kUpdateKeys;
  s.update.values = std::move(target.update);
  return s;
}

void ReadServerSections(std::u16string_view text, RestartOptions& o, UpdateOptions& u,
                        std::vector<std::string>& problems) {
  std::size_t serverSections = 0;
  for (const std::u16string& section : ListProfileSections(text)) {
    if (EqualsIgnoreCaseAscii(section, kRestartsSection)) {
      if (o.all) {
        problems.push_back("a second [Restarts] section is not read");
        continue;
      }
      o.all = ReadServerSection(text, section, kInRestarts, "[Restarts]", problems).restart;
      continue;
    }
    if (EqualsIgnoreCaseAscii(section, kUpdatesSection)) {
      if (u.all) {
        problems.push_back("a second [Updates] section is not read");
        continue;
      }
      u.all = ReadServerSection(text, section, kInUpdates, "[Updates]", problems).update;
      continue;
    }
    const auto name = ServerName(section);
    if (!name) continue;  // another section: [Options], or one this reader does not know
    const std::string title = "[Server " + QuoteValue(Utf16ToUtf8(*name)) + "]";
    if (name->empty()) {
      problems.push_back("[Server] names no server; it is not read");
      continue;
    }
    const bool again = std::any_of(o.servers.begin(), o.servers.end(),
                                   [&](const RestartSection& s) { return SameProfileName(s.name, *name); });
    if (again) {
      problems.push_back("a second " + title + " section is not read");
      continue;
    }
    if (++serverSections > kMaxServerSections) {
      if (serverSections == kMaxServerSections + 1)
        problems.push_back("more than 256 [Server <name>] sections; those after the 256th are not read");
      continue;
    }
    ServerSections s = ReadServerSection(text, section, kInServer, title, problems);
    s.restart.name = std::u16string(*name);
    o.servers.push_back(std::move(s.restart));
    if (s.update.given == 0) continue;
    s.update.name = std::u16string(*name);
    u.servers.push_back(std::move(s.update));
  }
}

}  // namespace

KespIni ParseKespIni(std::u16string_view text, std::vector<std::string>& problems) {
  KespIni ini;
  // [Options] as the profile reader finds it: its first section of that name.
  Target target;
  unsigned given = 0;
  ReadSection(text, kOptionsSection, kInOptions, "[Options]", target, given, problems);
  ini.observe = std::move(target.observe);
  ReadServerSections(text, ini.restarts, ini.updates, problems);
  return ini;
}

std::optional<KespIni> LoadKespIni(const Path& file, std::vector<std::string>& problems) {
  File f = File::OpenForRead(file);
  if (!f.IsOpen()) return std::nullopt;
  const auto size = f.Size();
  if (!size) return KespIni{};
  // An options file is a few lines. A larger one is not read in part (its end may hold what
  // its start set otherwise): none of it is used.
  if (*size > kOptionsFileLimit) {
    problems.push_back("the file is larger than " + std::to_string(kOptionsFileLimit / 1024) +
                       " KiB; it is not read, so every option stays off");
    return KespIni{};
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*size));
  bytes.resize(f.Read(bytes.data(), bytes.size()));
  return ParseKespIni(DecodeProfileText(bytes), problems);
}

}  // namespace tervane
