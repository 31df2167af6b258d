#include "core/server.h"

#include <atomic>
#include <chrono>
#include <string>

namespace tervane {

ServerId NewServerId() {
  static std::atomic<ServerId> last{static_cast<ServerId>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count())};
  return ++last;
}

std::optional<std::size_t> RowOf(const ServerList& list, ServerId id) {
  if (id == 0) return std::nullopt;
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list[i]->Id == id) return i;
  return std::nullopt;
}

std::optional<std::size_t> Resolve(const ServerList& list, ServerId id, std::size_t number, std::string* why) {
  const std::string named = "server " + std::to_string(number);
  const std::optional<std::size_t> row = RowOf(list, id);
  std::string reason;
  if (id == 0)
    reason = "no server number " + std::to_string(number);
  else if (!row)
    reason = named + " was deleted; nothing done";
  else if (*row + 1 != number)
    reason = named + " is now number " + std::to_string(*row + 1) + "; nothing done";
  else
    return row;
  if (why) *why = std::move(reason);
  return std::nullopt;
}

}  // namespace tervane
