#include "core/update_settings.h"

#include "support/profile.h"

namespace tervane {

UpdateSettings EffectiveUpdateSettings(const UpdateOptions& options, std::optional<std::size_t> section) {
  UpdateSettings s;
  auto apply = [&s](const UpdateSection& from) {
    const UpdateSettings& v = from.values;
    if (from.given & kUpdateKeyNotice) s.notices = v.notices;
    if (from.given & kUpdateKeyCheckUrl) s.checkUrl = v.checkUrl;
    if (from.given & kUpdateKeyCheckMinutes) s.checkMinutes = v.checkMinutes;
    if (from.given & kUpdateKeyCheckCommand) s.checkCommand = v.checkCommand;
    if (from.given & kUpdateKeyAppId) s.appId = v.appId;
    if (from.given & kUpdateKeyCommand) s.command = v.command;
    if (from.given & kUpdateKeySeconds) s.seconds = v.seconds;
    if (from.given & kUpdateKeyWithin) s.withinMinutes = v.withinMinutes;
    if (from.given & kUpdateKeyRetry) s.retryMinutes = v.retryMinutes;
  };
  if (options.all) apply(*options.all);
  if (section && *section < options.servers.size()) apply(options.servers[*section]);
  return s;
}

std::vector<UpdateSettings> AssignUpdateSettings(const UpdateOptions& options, const std::vector<std::u16string>& names) {
  std::vector<std::optional<std::size_t>> section(names.size());
  for (std::size_t k = 0; k < options.servers.size(); ++k) {
    std::optional<std::size_t> holder;
    std::size_t holders = 0;
    for (std::size_t i = 0; i < names.size(); ++i)
      if (SameProfileName(names[i], options.servers[k].name)) holder = i, ++holders;
    if (holders == 1) section[*holder] = k;
  }
  std::vector<UpdateSettings> settings;
  settings.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) settings.push_back(EffectiveUpdateSettings(options, section[i]));
  return settings;
}

}  // namespace tervane
