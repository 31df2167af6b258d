#include "observe/restart_options.h"

#include <algorithm>
#include <array>
#include <functional>

#include "support/profile.h"
#include "support/text.h"

namespace tervane {
namespace {

constexpr std::array<std::u16string_view, 9> kKeys = {
    u"RestartAt",   u"RestartEveryHours", u"RestartWarnMinutes", u"RestartWarnText", u"RestartWhenEmptyMinutes",
    u"StopCommand", u"StopSeconds",       u"RconProtocol",       u"RconPassword"};
constexpr std::u16string_view kServerPrefix = u"Server";
// Each section is read key by key from the whole text: their number is bounded so that a large
// file of small sections costs little.
constexpr std::size_t kMaxServerSections = 256;

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::u16string_view TrimBlanks16(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s.substr(0, 80)) out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  if (s.size() > 80) out += "...";
  return out + "\"";
}

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

std::optional<int> Number(std::string_view s, int low, int high) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return std::nullopt;
  return v;
}

// Calls part() for each comma-separated part, blanks around it left out; false when there are
// more than `limit` parts or one is refused.
bool EachPart(std::string_view text, std::size_t limit, const std::function<bool(std::string_view)>& part) {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (true) {
    const std::size_t comma = text.find(',', pos);
    const std::string_view piece = TrimBlanks(text.substr(pos, comma == std::string_view::npos ? text.npos : comma - pos));
    if (++count > limit || !part(piece)) return false;
    if (comma == std::string_view::npos) return true;
    pos = comma + 1;
  }
}

// One section's keys: each value as the reader has it, without a trailing "; comment" (as the
// README's example writes them), never cut short.
class SectionReader {
 public:
  SectionReader(std::u16string_view text, std::u16string section, std::string where, std::vector<std::string>& problems)
      : text_(text), section_(std::move(section)), where_(std::move(where)), problems_(problems) {}

  // None when the key is absent; empty when given empty or too long (said).
  std::optional<std::u16string> Value(std::u16string_view key) {
    auto raw = FindWholeProfileValue(text_, section_, key);
    if (!raw) return std::nullopt;
    std::u16string& value = *raw;
    for (std::size_t i = 1; i < value.size(); ++i) {
      if (value[i] == u';' && (value[i - 1] == u' ' || value[i - 1] == u'\t')) {
        value.resize(i);
        break;
      }
    }
    value = std::u16string(TrimBlanks16(value));
    if (value.size() > kProfileValueMax) {
      Problem(Utf16ToUtf8(key) + " in " + where_ + " is longer than the " + std::to_string(kProfileValueMax) +
              " characters a value may have; it is not used, so its option stays off");
      value.clear();
    }
    return raw;
  }
  std::optional<std::string> Value8(std::u16string_view key) {
    auto v = Value(key);
    return v ? std::optional<std::string>(Utf16ToUtf8(*v)) : std::nullopt;
  }
  const std::string& Where() const { return where_; }
  void Problem(std::string line) { problems_.push_back(std::move(line)); }
  void Refused(std::u16string_view key, std::string_view value, std::string_view why) {
    Problem(Utf16ToUtf8(key) + "=" + Quote(value) + " in " + where_ + " " + std::string(why));
  }
  void UnknownKeys() {
    for (const std::u16string& key : ListProfileKeys(text_, section_)) {
      bool known = false;
      for (std::u16string_view k : kKeys) known = known || EqualsIgnoreCaseAscii(key, k);
      if (!known) Problem("unknown key " + Quote(Utf16ToUtf8(key)) + " in " + where_ + ", ignored");
    }
  }

 private:
  std::u16string_view text_;
  std::u16string section_;
  std::string where_;
  std::vector<std::string>& problems_;
};

RestartSection ReadSection(SectionReader& r) {
  RestartSection s;
  RestartSettings& v = s.values;
  r.UnknownKeys();

  const auto at = r.Value8(u"RestartAt");
  const auto every = r.Value8(u"RestartEveryHours");
  if (at || every) s.given |= kRestartKeySchedule;
  if (at && every) {
    r.Problem("RestartAt and RestartEveryHours are both given in " + r.Where() +
              "; only one may be, so it plans no restarts");
  } else if (at && !at->empty()) {
    if (auto times = ParseRestartTimes(*at)) {
      v.restartAt = std::move(*times);
    } else {
      r.Refused(u"RestartAt", *at, "is not a list of up to 24 times HH:MM; it plans no restarts");
    }
  } else if (every && !every->empty()) {
    if (auto hours = Number(*every, 0, kMaxEveryHours)) {
      v.everyHours = *hours;
    } else {
      r.Refused(u"RestartEveryHours", *every, "is not a number of hours from 0 to 168; it plans no restarts");
    }
  }

  if (const auto leads = r.Value8(u"RestartWarnMinutes")) {
    s.given |= kRestartKeyWarnMinutes;
    if (auto parsed = leads->empty() ? std::optional<std::vector<int>>(std::vector<int>{}) : ParseLeadMinutes(*leads)) {
      v.warnMinutes = std::move(*parsed);
    } else {
      r.Refused(u"RestartWarnMinutes", *leads,
                "is not a list of up to 10 numbers of minutes from 1 to 1439; no warnings");
    }
  }

  if (const auto text = r.Value(u"RestartWarnText")) {
    s.given |= kRestartKeyWarnText;
    const std::string utf8 = Utf16ToUtf8(*text);
    if (text->empty()) {
      // Given empty: the shipped text.
    } else if (utf8.size() > kMaxWarnTextBytes || HasControl(utf8) || utf8.find('"') != std::string::npos) {
      r.Refused(u"RestartWarnText", utf8,
                "is longer than 200 bytes or holds a double quote or a control character; the shipped text is used");
    } else {
      v.warnText = *text;
    }
  }

  if (const auto empty = r.Value8(u"RestartWhenEmptyMinutes")) {
    s.given |= kRestartKeyWhenEmpty;
    if (auto minutes = empty->empty() ? std::optional<int>(0) : Number(*empty, 0, kMaxLeadMinutes)) {
      v.whenEmptyMinutes = *minutes;
    } else {
      r.Refused(u"RestartWhenEmptyMinutes", *empty,
                "is not a number of minutes from 0 to 1439; restarted at the planned time only");
    }
  }

  // The command and the password go out as the server took its run parameters: in the
  // system's 8-bit text.
  if (const auto command = r.Value(u"StopCommand")) {
    s.given |= kRestartKeyStopCommand;
    const std::string bytes = ToSystem8(*command);
    if (bytes.size() > kMaxStopCommandBytes || HasControl(bytes)) {
      r.Refused(u"StopCommand", Utf16ToUtf8(*command),
                "is longer than 255 bytes or holds a control character; processes are ended without it");
    } else {
      v.stopCommand = bytes;
    }
  }

  if (const auto seconds = r.Value8(u"StopSeconds")) {
    s.given |= kRestartKeyStopSeconds;
    if (auto n = seconds->empty() ? std::optional<int>(kDefaultStopSeconds)
                                  : Number(*seconds, kMinStopSeconds, kMaxStopSeconds)) {
      v.stopSeconds = *n;
    } else {
      r.Refused(u"StopSeconds", *seconds, "is not a number of seconds from 1 to 600; 20 seconds are given");
    }
  }

  if (const auto protocol = r.Value8(u"RconProtocol")) {
    s.given |= kRestartKeyRconProtocol;
    v.rconProtocol = ParseRconProtocol(*protocol);
    if (!protocol->empty() && !v.rconProtocol)
      r.Refused(u"RconProtocol", *protocol, "is not source or goldsrc; the server's query answer decides");
  }

  if (const auto password = r.Value(u"RconPassword")) {
    s.given |= kRestartKeyRconPassword;
    const std::string bytes = ToSystem8(*password);
    if (bytes.size() > kRconMaxPassword || HasControl(bytes)) {
      r.Problem("RconPassword in " + r.Where() + " is longer than 256 bytes or holds a control character; no password");
    } else {
      v.rconPassword = bytes;
    }
  }
  return s;
}

// "Server <name>" (any letter case; blanks between): the name, or none for another section.
std::optional<std::u16string_view> ServerName(std::u16string_view section) {
  if (section.size() < kServerPrefix.size() || !EqualsIgnoreCaseAscii(section.substr(0, kServerPrefix.size()), kServerPrefix))
    return std::nullopt;
  const std::u16string_view rest = section.substr(kServerPrefix.size());
  if (!rest.empty() && rest.front() != u' ' && rest.front() != u'\t') return std::nullopt;  // [Servers] is another
  return TrimBlanks16(rest);
}

}  // namespace

std::optional<std::vector<int>> ParseRestartTimes(std::string_view text) {
  std::vector<int> times;
  const bool ok = EachPart(text, kMaxRestartTimes, [&](std::string_view part) {
    const std::size_t colon = part.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || part.size() - colon != 3) return false;
    const auto hour = Number(part.substr(0, colon), 0, 23);
    const auto minute = Number(part.substr(colon + 1), 0, 59);
    if (!hour || !minute) return false;
    times.push_back(*hour * 60 + *minute);
    return true;
  });
  if (!ok) return std::nullopt;
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  return times;
}

std::optional<std::vector<int>> ParseLeadMinutes(std::string_view text) {
  std::vector<int> leads;
  const bool ok = EachPart(text, kMaxRestartWarnings, [&](std::string_view part) {
    const auto minutes = Number(part, 1, kMaxLeadMinutes);
    if (minutes) leads.push_back(*minutes);
    return minutes.has_value();
  });
  if (!ok) return std::nullopt;
  std::sort(leads.begin(), leads.end(), std::greater<>());
  leads.erase(std::unique(leads.begin(), leads.end()), leads.end());
  return leads;
}

RestartOptions ParseRestartOptions(std::u16string_view text, std::vector<std::string>& problems) {
  RestartOptions o;
  std::size_t serverSections = 0;
  for (const std::u16string& section : ListProfileSections(text)) {
    if (EqualsIgnoreCaseAscii(section, kRestartsSection)) {
      if (o.all) {
        problems.push_back("a second [Restarts] section is not read");
        continue;
      }
      SectionReader reader(text, section, "[Restarts]", problems);
      o.all = ReadSection(reader);
      continue;
    }
    const auto name = ServerName(section);
    if (!name) continue;  // the sections of other options
    const std::string where = "[Server " + Quote(Utf16ToUtf8(*name)) + "]";
    if (name->empty()) {
      problems.push_back("[Server] names no server; it is not read");
      continue;
    }
    const bool again = std::any_of(o.servers.begin(), o.servers.end(),
                                   [&](const RestartSection& s) { return SameProfileName(s.name, *name); });
    if (again) {
      problems.push_back("a second " + where + " section is not read");
      continue;
    }
    if (++serverSections > kMaxServerSections) {
      if (serverSections == kMaxServerSections + 1)
        problems.push_back("more than 256 [Server <name>] sections; those after the 256th are not read");
      continue;
    }
    SectionReader reader(text, section, where, problems);
    RestartSection s = ReadSection(reader);
    s.name = std::u16string(*name);
    o.servers.push_back(std::move(s));
  }
  return o;
}

}  // namespace tervane
