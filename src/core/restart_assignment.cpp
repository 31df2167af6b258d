#include "core/restart_assignment.h"

#include <string_view>

#include "support/profile.h"
#include "support/text.h"

namespace tervane {
namespace {

std::string QuotedName(std::u16string_view name) {
  const std::string utf8 = Utf16ToUtf8(name);
  std::string out = "\"";
  for (unsigned char c : std::string_view(utf8).substr(0, 80)) out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
  return out + (utf8.size() > 80 ? "...\"" : "\"");
}

}  // namespace

RestartAssignment AssignRestartSettings(const RestartOptions& options, const std::vector<std::u16string>& names) {
  RestartAssignment a;
  a.section.resize(names.size());
  for (std::size_t k = 0; k < options.servers.size(); ++k) {
    std::vector<std::size_t> holders;
    for (std::size_t i = 0; i < names.size(); ++i)
      if (SameProfileName(names[i], options.servers[k].name)) holders.push_back(i);
    if (holders.size() == 1) {
      a.section[holders.front()] = k;
    } else {
      (holders.empty() ? a.unmatched : a.shared).push_back(options.servers[k].name);
    }
  }
  a.settings.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) a.settings.push_back(EffectiveRestartSettings(options, a.section[i]));
  return a;
}

std::vector<std::string> AssignmentProblems(const RestartAssignment& assignment) {
  std::vector<std::string> lines;
  for (const std::u16string& name : assignment.shared)
    lines.push_back("[Server " + QuotedName(name) +
                    "] names more than one server of the list; it is not used until one server has that name");
  for (const std::u16string& name : assignment.unmatched)
    lines.push_back("[Server " + QuotedName(name) + "] names no server of the list");
  return lines;
}

}  // namespace tervane
