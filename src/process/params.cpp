#include "process/params.h"

#include "support/text.h"

namespace tervane {
namespace {

template <typename S>
S BeforeFirstBlank(const S& text) {
  auto blank = text.find(' ');
  return blank == S::npos ? text : text.substr(0, blank);
}

template <typename S>
S WithoutQuotes(S text) {
  std::erase(text, '"');
  return text;
}

}  // namespace

std::int32_t GetServerPort(std::u16string_view params) {
  const std::u16string lower = LowerCase(params);
  std::size_t key = lower.find(u"-port ");
  if (key == std::u16string::npos) key = lower.find(u"+port ");
  if (key == std::u16string::npos) return kDefaultServerPort;
  std::string value = Strip8(ToSystem8(std::u16string_view(lower).substr(key + 6)));
  value = WithoutQuotes(BeforeFirstBlank(value));
  return ParseInt32(value).value_or(0);
}

std::string GetServerAddress(std::u16string_view params,
                             const std::function<std::string()>& localAddress) {
  const std::u16string lower = LowerCase(params);
  const std::size_t key = lower.find(u"+ip ");
  if (key == std::u16string::npos) return localAddress();
  std::u16string value =
      FromSystem8(Strip8(ToSystem8(std::u16string_view(lower).substr(key + 4))));
  value = Strip(WithoutQuotes(BeforeFirstBlank(value)));
  if (value == u"0.0.0.0") return localAddress();
  if (value.size() > 15) value.resize(15);
  // The record holds 15 bytes and a terminator: a name that grows in the 8-bit encoding is
  // cut by whole characters.
  std::string result = ToSystem8(value);
  while (result.size() > 15 && !value.empty()) {
    value.pop_back();
    result = ToSystem8(value);
  }
  return result;
}

std::string GetServerAddress(std::u16string_view params) {
  return GetServerAddress(params, [] { return GetLocalAddress(); });
}

std::u16string BuildCommandLine(std::u16string_view fileName, std::u16string_view params) {
  std::u16string line;
  line.reserve(fileName.size() + params.size() + 3);
  line += u'"';
  line += fileName;
  line += u"\" ";
  line += params;
  return line;
}

}  // namespace tervane
