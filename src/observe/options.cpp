#include "observe/options.h"

#include <array>

#include "support/profile.h"
#include "support/text.h"

namespace tervane {
namespace {

constexpr std::u16string_view kSection = u"Options";
constexpr std::array<std::u16string_view, 7> kKeys = {u"HttpListen",    u"HttpToken",   u"WebhookUrl",
                                                      u"WebhookFormat", u"MaxRestarts", u"RestartWindowMinutes",
                                                      u"AlertHost"};
constexpr std::size_t kAlertHostLimit = 100;

// The value without a trailing "; comment" (a semicolon after a blank), as operators write
// them after the example in the README; the profile reader keeps such comments. A value longer
// than the profile reader holds is never used cut short (a cut token or URL is another one):
// it is refused, said in `problems`, and read as absent.
std::string Value(std::u16string_view text, std::u16string_view key, std::vector<std::string>& problems) {
  const auto raw = FindWholeProfileValue(text, kSection, key);
  if (!raw) return {};
  std::u16string value = *raw;
  for (std::size_t i = 1; i < value.size(); ++i) {
    if (value[i] == u';' && (value[i - 1] == u' ' || value[i - 1] == u'\t')) {
      value.resize(i);
      break;
    }
  }
  while (!value.empty() && (value.back() == u' ' || value.back() == u'\t')) value.pop_back();
  if (value.size() > kProfileValueMax) {
    problems.push_back(Utf16ToUtf8(key) + " is longer than the " + std::to_string(kProfileValueMax) +
                       " characters a value may have; it is not used, so its option stays off");
    return {};
  }
  return Strip8(Utf16ToUtf8(value));
}

// No control characters (UTF-8 beyond ASCII allowed).
bool PlainText(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

bool Printable(std::string_view s) {
  for (unsigned char c : s)
    if (c <= 0x20 || c >= 0x7F) return false;
  return true;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s.substr(0, 80)) out += (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
  if (s.size() > 80) out += "...";
  return out + "\"";
}

std::optional<int> Number(std::string_view s, int low, int high) {
  if (s.empty()) return std::nullopt;
  for (char c : s)
    if (c < '0' || c > '9') return std::nullopt;
  if (s.size() > 9) return std::nullopt;
  const int v = std::stoi(std::string(s));
  if (v < low || v > high) return std::nullopt;
  return v;
}

bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && UpperAscii(s.substr(0, prefix.size())) == UpperAscii(prefix);
}

}  // namespace

bool ListenAddress::Loopback() const { return host == "localhost" || host.rfind("127.", 0) == 0; }

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const std::string_view host = text.substr(0, colon);
  const auto port = Number(text.substr(colon + 1), 1, 65535);
  if (!port) return std::nullopt;
  if (host != "localhost") {
    // Four decimal parts of 0..255.
    int parts = 0;
    std::size_t pos = 0;
    while (pos <= host.size()) {
      std::size_t dot = host.find('.', pos);
      if (dot == std::string_view::npos) dot = host.size();
      const std::string_view part = host.substr(pos, dot - pos);
      if (part.size() > 3 || !Number(part, 0, 255)) return std::nullopt;
      ++parts;
      pos = dot + 1;
    }
    if (parts != 4) return std::nullopt;
  }
  return ListenAddress{std::string(host), static_cast<std::uint16_t>(*port)};
}

ObserveOptions ParseObserveOptions(std::u16string_view text, std::vector<std::string>& problems) {
  ObserveOptions o;
  for (const std::u16string& key : ListProfileKeys(text, kSection)) {
    bool known = false;
    for (std::u16string_view k : kKeys) known = known || EqualsIgnoreCaseAscii(key, k);
    if (!known) problems.push_back("unknown key " + Quote(Utf16ToUtf8(key)) + " in [Options], ignored");
  }

  const std::string token = Value(text, u"HttpToken", problems);
  if (!token.empty() && (token.size() < kTokenMinLength || !Printable(token))) {
    problems.push_back("HttpToken must be at least 16 printable characters without blanks; "
                       "no token, so no HTTP commands");
  } else {
    o.httpToken = token;
  }

  const std::string listen = Value(text, u"HttpListen", problems);
  if (!listen.empty()) {
    auto address = ParseListenAddress(listen);
    if (!address) {
      problems.push_back("HttpListen=" + Quote(listen) +
                         " is not address:port (such as 127.0.0.1:8427); the HTTP endpoint is off");
    } else if (!address->Loopback() && o.httpToken.empty()) {
      problems.push_back("HttpListen=" + Quote(listen) +
                         " is not a loopback address and no HttpToken is set; the HTTP endpoint is off");
    } else {
      o.httpListen = address;
    }
  }

  const std::string url = Value(text, u"WebhookUrl", problems);
  if (!url.empty()) {
    if ((StartsWithIgnoreCase(url, "http://") || StartsWithIgnoreCase(url, "https://")) && Printable(url)) {
      o.webhookUrl = url;
    } else {
      problems.push_back("WebhookUrl=" + Quote(url) + " is not an http:// or https:// URL; no alerts");
    }
  }

  const std::string format = Value(text, u"WebhookFormat", problems);
  if (!format.empty()) {
    const std::string f = UpperAscii(format);
    if (f == "DISCORD") {
      o.webhookFormat = WebhookFormat::Discord;
    } else if (f == "SLACK") {
      o.webhookFormat = WebhookFormat::Slack;
    } else if (f != "JSON") {
      problems.push_back("WebhookFormat=" + Quote(format) + " is not discord, slack or json; no alerts");
      o.webhookUrl.clear();
    }
  }

  const std::string host = Value(text, u"AlertHost", problems);
  if (host.size() > kAlertHostLimit || !PlainText(host)) {
    problems.push_back("AlertHost=" + Quote(host) + " is longer than " + std::to_string(kAlertHostLimit) +
                       " bytes or holds control characters; alerts name the host by its own name");
  } else {
    o.alertHost = host;
  }

  const std::string window = Value(text, u"RestartWindowMinutes", problems);
  bool windowOk = true;
  if (!window.empty()) {
    if (const auto v = Number(window, 1, kRestartWindowLimit)) {
      o.restartWindowMinutes = *v;
    } else {
      windowOk = false;
      problems.push_back("RestartWindowMinutes=" + Quote(window) +
                         " is not a number of minutes from 1 to 10080; no crash-loop guard");
    }
  }
  const std::string max = Value(text, u"MaxRestarts", problems);
  if (!max.empty()) {
    const auto v = Number(max, 0, kMaxRestartsLimit);
    if (!v) {
      problems.push_back("MaxRestarts=" + Quote(max) + " is not a number from 0 to 1000; no crash-loop guard");
    } else if (windowOk) {
      o.maxRestarts = *v;
    }
  }
  return o;
}

std::optional<std::u16string> ReadOptionsText(const Path& file, std::vector<std::string>& problems) {
  File f = File::OpenForRead(file);
  if (!f.IsOpen()) return std::nullopt;
  const auto size = f.Size();
  if (!size) return std::u16string();
  // An options file is a few lines. A larger one is not read in part (its end may hold what
  // its start set otherwise): none of it is used.
  if (*size > kOptionsFileLimit) {
    problems.push_back("the file is larger than " + std::to_string(kOptionsFileLimit / 1024) +
                       " KiB; it is not read, so every option stays off");
    return std::u16string();
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*size));
  bytes.resize(f.Read(bytes.data(), bytes.size()));
  return DecodeProfileText(bytes);
}

ObserveOptions LoadObserveOptions(const Path& file, std::vector<std::string>& problems, bool& present) {
  const std::optional<std::u16string> text = ReadOptionsText(file, problems);
  present = text.has_value();
  return text ? ParseObserveOptions(*text, problems) : ObserveOptions{};
}

}  // namespace tervane
