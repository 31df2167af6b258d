#include "options/values.h"

#include <algorithm>
#include <functional>

#include "options/settings.h"

namespace tervane {
namespace {

constexpr std::size_t kQuotedBytes = 80;

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The bytes of the UTF-8 character that starts with `lead`.
std::size_t CharacterBytes(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Calls part() for each comma-separated part, blanks around it left out; false when there are
// more than `most` parts or one is refused.
bool EachPart(std::string_view text, std::size_t most, const std::function<bool(std::string_view)>& part) {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (true) {
    const std::size_t comma = text.find(',', pos);
    const std::size_t end = comma == std::string_view::npos ? text.size() : comma;
    const std::string_view piece = TrimBlanks(text.substr(pos, end - pos));
    if (++count > most || !part(piece)) return false;
    if (comma == std::string_view::npos) return true;
    pos = comma + 1;
  }
}

}  // namespace

std::string QuoteValue(std::string_view s) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const std::size_t n = std::min(CharacterBytes(lead), s.size() - i);
    if (i + n > kQuotedBytes) break;
    const bool c1 = n == 2 && lead == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
    if (lead < 0x20 || lead == 0x7F || c1)
      out += '?';
    else
      out.append(s.substr(i, n));
    i += n;
  }
  if (s.size() > kQuotedBytes) out += "...";
  return out + "\"";
}

std::optional<int> ParseNumber(std::string_view s, int low, int high) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return std::nullopt;
  return v;
}

std::optional<std::vector<int>> ParseTimesOfDay(std::string_view text, std::size_t most) {
  std::vector<int> times;
  const bool ok = EachPart(text, most, [&](std::string_view part) {
    const std::size_t colon = part.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || part.size() - colon != 3) return false;
    const auto hour = ParseNumber(part.substr(0, colon), 0, 23);
    const auto minute = ParseNumber(part.substr(colon + 1), 0, 59);
    if (!hour || !minute) return false;
    times.push_back(*hour * 60 + *minute);
    return true;
  });
  if (!ok) return std::nullopt;
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  return times;
}

std::optional<std::vector<int>> ParseNumberList(std::string_view text, std::size_t most, int low, int high) {
  std::vector<int> numbers;
  const bool ok = EachPart(text, most, [&](std::string_view part) {
    const auto n = ParseNumber(part, low, high);
    if (n) numbers.push_back(*n);
    return n.has_value();
  });
  if (!ok) return std::nullopt;
  std::sort(numbers.begin(), numbers.end(), std::greater<>());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

bool ListenAddress::Loopback() const { return host == "localhost" || host.rfind("127.", 0) == 0; }

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const std::string_view host = text.substr(0, colon);
  const auto port = ParseNumber(text.substr(colon + 1), 1, 65535);
  if (!port) return std::nullopt;
  if (host != "localhost") {
    // Four decimal parts of 0..255.
    int parts = 0;
    std::size_t pos = 0;
    while (pos <= host.size()) {
      std::size_t dot = host.find('.', pos);
      if (dot == std::string_view::npos) dot = host.size();
      const std::string_view part = host.substr(pos, dot - pos);
      if (part.size() > 3 || !ParseNumber(part, 0, 255)) return std::nullopt;
      ++parts;
      pos = dot + 1;
    }
    if (parts != 4) return std::nullopt;
  }
  return ListenAddress{std::string(host), static_cast<std::uint16_t>(*port)};
}

}  // namespace tervane
