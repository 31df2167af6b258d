#include "support/profile.h"

#include <vector>

#include "support/text.h"

namespace tervane {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == u'\r')) s.remove_suffix(1);
  return s;
}

// ASCII letters without regard to case, other characters as they are.
bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::u16string DecodeProfileText(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
      text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return text;
  }
  std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") return Utf8ToUtf16(raw.substr(3));
  return FromSystem8(raw);
}

namespace {

// Calls visit(line) for each line of the text (trimmed; blank lines and comments left out)
// while it answers true.
template <typename Visit>
void ForEachLine(std::u16string_view text, Visit visit) {
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find(u'\n', pos);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == u';') continue;
    if (!visit(line)) return;
  }
}

// The name of a section line "[name]": up to the first ']', or the line's end without one.
std::u16string_view SectionName(std::u16string_view line) {
  const std::size_t close = line.find(u']');
  return Trim(line.substr(1, close == std::u16string_view::npos ? line.size() - 1 : close - 1));
}

// Calls visit(line) for each line of the first section of that name while it answers true.
// Only the first section of a name counts, as with the Windows reader: a key that is not there
// is missing even when a later section has it.
template <typename Visit>
void ForEachLineOfSection(std::u16string_view text, std::u16string_view section, Visit visit) {
  const std::u16string_view wantSection = Trim(section);
  bool inSection = false;
  ForEachLine(text, [&](std::u16string_view line) {
    if (line.front() == u'[') {
      if (inSection) return false;
      inSection = SameName(SectionName(line), wantSection);
      return true;
    }
    return !inSection || visit(line);
  });
}

}  // namespace

std::optional<std::u16string> FindProfileValue(std::u16string_view text, std::u16string_view section,
                                               std::u16string_view key) {
  std::optional<std::u16string> value = FindWholeProfileValue(text, section, key);
  if (value && value->size() > kProfileValueMax) value->resize(kProfileValueMax);
  return value;
}

namespace {
// The values of key's lines in the section, the first only or all.
std::vector<std::u16string> ProfileValues(std::u16string_view text, std::u16string_view section,
                                          std::u16string_view key, bool all) {
  const std::u16string_view wantKey = Trim(key);
  std::vector<std::u16string> found;
  ForEachLineOfSection(text, section, [&](std::u16string_view line) {
    const std::size_t eq = line.find(u'=');
    if (eq == std::u16string_view::npos || !SameName(Trim(line.substr(0, eq)), wantKey)) return true;
    std::u16string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    found.emplace_back(value);
    return all;
  });
  return found;
}
}  // namespace

std::optional<std::u16string> FindWholeProfileValue(std::u16string_view text, std::u16string_view section,
                                                    std::u16string_view key) {
  std::vector<std::u16string> found = ProfileValues(text, section, key, false);
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

std::vector<std::u16string> FindAllProfileValues(std::u16string_view text, std::u16string_view section,
                                                 std::u16string_view key) {
  return ProfileValues(text, section, key, true);
}

std::vector<std::u16string> ListProfileKeys(std::u16string_view text, std::u16string_view section) {
  std::vector<std::u16string> keys;
  ForEachLineOfSection(text, section, [&](std::u16string_view line) {
    const std::size_t eq = line.find(u'=');
    keys.emplace_back(Trim(line.substr(0, eq == std::u16string_view::npos ? line.size() : eq)));
    return true;
  });
  return keys;
}

bool SameProfileName(std::u16string_view a, std::u16string_view b) { return SameName(Trim(a), Trim(b)); }

std::vector<std::u16string> ListProfileSections(std::u16string_view text) {
  std::vector<std::u16string> sections;
  ForEachLine(text, [&](std::u16string_view line) {
    if (line.front() == u'[') sections.emplace_back(SectionName(line));
    return true;
  });
  return sections;
}

std::u16string ReadProfileString(const Path& file, std::u16string_view section,
                                 std::u16string_view key, std::u16string_view defaultValue) {
  File f = File::OpenForRead(file);
  if (!f.IsOpen()) return std::u16string(defaultValue);
  const auto size = f.Size();
  if (!size) return std::u16string(defaultValue);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*size));
  bytes.resize(f.Read(bytes.data(), bytes.size()));
  const auto value = FindProfileValue(DecodeProfileText(bytes), section, key);
  return value ? *value : std::u16string(defaultValue);
}

std::uint16_t ParseLanguageID(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    // Two bytes in text order, high byte first; a byte needs both of its digits.
    std::uint8_t bytes[2] = {0, 0};
    std::size_t p = 2;
    for (int b = 0; b < 2 && p + 1 < text.size(); ++b, p += 2) {
      const int hi = HexDigit(text[p]);
      const int lo = HexDigit(text[p + 1]);
      if (hi < 0 || lo < 0) break;
      bytes[b] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
  }
  return static_cast<std::uint16_t>(ParseInt32(text).value_or(0) & 0xFFFF);
}

}  // namespace tervane
