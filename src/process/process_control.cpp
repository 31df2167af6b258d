#include "process/process_control.h"

#include <cstdint>

#include "support/text.h"

namespace tervane {

std::vector<std::u16string> SplitParameters(std::u16string_view params) {
  std::vector<std::u16string> arguments;
  std::u16string current;
  bool inArgument = false;  // something, perhaps only a pair of quotes, has been seen
  bool quoted = false;
  for (char16_t c : params) {
    if (c == u'"') {
      quoted = !quoted;
      inArgument = true;
    } else if (c == u' ' && !quoted) {
      if (inArgument) arguments.push_back(std::move(current));
      current.clear();
      inArgument = false;
    } else {
      current.push_back(c);
      inArgument = true;
    }
  }
  if (inArgument) arguments.push_back(std::move(current));
  return arguments;
}

Path ServerOutputFile(const Path& outputFolder, const Path& fileName) {
  std::u16string name;
  for (char16_t c : fileName) {
    const bool separator = c == u'/' || c == u'\\' || c == u':';
    if (separator && name.empty()) continue;  // no leading "_" for the root
    name.push_back(separator ? u'_' : c);
  }
  if (name.empty()) name = u"server";
  // File names are limited to 255 bytes: a very deep path keeps its last part and is told
  // apart from others by a hash of the whole path.
  constexpr std::size_t kMaxBytes = 200;
  if (Utf16ToUtf8(name).size() > kMaxBytes) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (char16_t c : fileName) {
      hash = (hash ^ (c & 0xFF)) * 16777619u;
      hash = (hash ^ (c >> 8)) * 16777619u;
    }
    static constexpr char16_t kHex[] = u"0123456789abcdef";
    std::u16string prefix;
    for (int shift = 28; shift >= 0; shift -= 4) prefix.push_back(kHex[(hash >> shift) & 0xF]);
    std::u16string tail = name.substr(name.size() - 60);
    if (!tail.empty() && tail.front() >= 0xDC00 && tail.front() <= 0xDFFF) tail.erase(0, 1);
    name = prefix + u"_" + tail;
  }
  return outputFolder + name + u".out";
}

void ShowConsoleWindow(IProcessControl& process, WindowHandle window, bool show) {
  process.ShowWindow(window, !show                     ? kShowHide
                             : process.IsIconic(window) ? kShowMinNoActivate
                                                        : kShowNoActivate);
}

}  // namespace tervane
