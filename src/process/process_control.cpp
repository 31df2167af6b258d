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
  // The path made into one file name that can be read back into the path, so that two
  // servers never share a file: '/' becomes '-', and '-', '%', '\', ':' and control
  // characters become %XX. The leading '/' of an absolute path is left out; a relative path
  // starts "%%", which nothing else gives.
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string name;
  std::size_t from = 0;
  if (!fileName.empty() && fileName.front() == u'/') {
    from = 1;
  } else {
    name = u"%%";
  }
  for (std::size_t i = from; i < fileName.size(); ++i) {
    const char16_t c = fileName[i];
    if (c == u'/') {
      name.push_back(u'-');
    } else if (c == u'-' || c == u'%' || c == u'\\' || c == u':' || c < 0x20 || c == 0x7F) {
      name += {u'%', kHex[c >> 4], kHex[c & 0xF]};
    } else {
      name.push_back(c);
    }
  }
  // File names are limited to 255 bytes: a very deep path keeps its last part and is told
  // apart from others by a hash of the whole path; "%H" begins no name of the form above.
  constexpr std::size_t kMaxBytes = 200;
  if (Utf16ToUtf8(name).size() > kMaxBytes) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
    for (char16_t c : fileName) {
      hash = (hash ^ (c & 0xFF)) * 1099511628211ull;
      hash = (hash ^ (c >> 8)) * 1099511628211ull;
    }
    std::u16string prefix = u"%H";
    for (int shift = 60; shift >= 0; shift -= 4) prefix.push_back(kHex[(hash >> shift) & 0xF]);
    std::u16string tail = name.substr(name.size() - 60);
    if (!tail.empty() && tail.front() >= 0xDC00 && tail.front() <= 0xDFFF) tail.erase(0, 1);
    name = prefix + u"-" + tail;
  }
  return outputFolder + name + u".out";
}

}  // namespace tervane
