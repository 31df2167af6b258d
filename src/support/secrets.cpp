#include "support/secrets.h"

#include "support/text.h"

namespace tervane {
namespace {

constexpr std::u16string_view kKey = u"rcon_password";

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

}  // namespace

std::u16string MaskSecrets(std::u16string_view text) {
  // Lower-casing keeps every position: a key found in the copy marks the original text.
  const std::u16string lower = LowerCase(text);
  std::u16string out;
  std::size_t kept = 0;  // text before this is in out
  for (std::size_t key = lower.find(kKey); key != std::u16string::npos; key = lower.find(kKey, key + 1)) {
    if (key < kept) continue;
    const std::size_t after = key + kKey.size();
    const bool starts = key == 0 || IsBlank(text[key - 1]) || text[key - 1] == u'+' || text[key - 1] == u'-';
    if (!starts || after >= text.size() || !IsBlank(text[after])) continue;
    std::size_t value = after;
    while (value < text.size() && IsBlank(text[value])) ++value;
    if (value == text.size()) break;  // a key without a value
    std::size_t end = value;
    bool quoted = false;
    while (end < text.size()) {
      if (text[end] == u'"') {
        quoted = !quoted;
      } else if (!quoted && IsBlank(text[end])) {
        std::size_t next = end;
        while (next < text.size() && IsBlank(text[next])) ++next;
        if (next == text.size() || text[next] == u'+' || text[next] == u'-') break;
        end = next;
        continue;
      }
      ++end;
    }
    out.append(text.substr(kept, value - kept)).append(u"***");
    kept = end;
  }
  if (kept == 0) return std::u16string(text);
  out.append(text.substr(kept));
  return out;
}

}  // namespace tervane
