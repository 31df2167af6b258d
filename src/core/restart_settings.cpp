#include "core/restart_settings.h"

namespace tervane {

RestartSettings EffectiveRestartSettings(const RestartOptions& options, std::optional<std::size_t> section) {
  RestartSettings s;
  auto apply = [&s](const RestartSection& from) {
    const RestartSettings& v = from.values;
    if (from.given & kRestartKeySchedule) {
      s.restartAt = v.restartAt;
      s.everyHours = v.everyHours;
    }
    if (from.given & kRestartKeyWarnMinutes) s.warnMinutes = v.warnMinutes;
    if (from.given & kRestartKeyWarnText) s.warnText = v.warnText;
    if (from.given & kRestartKeyWhenEmpty) s.whenEmptyMinutes = v.whenEmptyMinutes;
    if (from.given & kRestartKeyStopCommand) s.stopCommand = v.stopCommand;
    if (from.given & kRestartKeyStopSeconds) s.stopSeconds = v.stopSeconds;
    if (from.given & kRestartKeyRconProtocol) s.rconProtocol = v.rconProtocol;
    if (from.given & kRestartKeyRconPassword) s.rconPassword = v.rconPassword;
  };
  if (options.all) apply(*options.all);
  if (section && *section < options.servers.size()) apply(options.servers[*section]);
  return s;
}

}  // namespace tervane
