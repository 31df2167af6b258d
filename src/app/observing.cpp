#include "app/observing.h"

#include "options/kesp_ini.h"
#include "support/descriptors.h"
#include "support/text.h"

namespace tervane {

std::unique_ptr<Observatory> StartObserving(EventLoop& loop, Monitor& monitor, const Path& optionsFile) {
  const Path file = optionsFile.empty() ? DataDir() + kOptionsFileName : optionsFile;
  std::vector<std::string> problems;
  // One read of the file for every section.
  std::optional<KespIni> ini = LoadKespIni(file, problems);
  if (!ini) return nullptr;
  ObserveOptions options = std::move(ini->observe);
  RestartOptions restarts = std::move(ini->restarts);
  for (const std::string& problem : problems) monitor.Log().AddLog(kOptionsFileName, Utf8ToUtf16(problem));
  // Planned restarts change servers: the live-state model's, like the crash-loop guard; they
  // need no observer.
  if (restarts.Any()) monitor.SetRestartOptions(std::move(restarts));
  if (!options.Any()) return nullptr;

  // The crash-loop guard pauses servers: it belongs to the live-state model, not to the observers.
  monitor.States().SetCrashLoopGuard(CrashLoopGuard(options.maxRestarts, options.restartWindowMinutes));
  ObservatoryHooks hooks;
  // The HTTP API's commands were confirmed by its token: run as they come, on the loop's thread.
  hooks.command = [&monitor](Command command, std::size_t row) {
    monitor.Run(command, {row});
    return monitor.LastSaveSucceeded();
  };
  hooks.planRestart = [&monitor](std::size_t row, int minutes) { return monitor.PlanRestart(row, minutes); };
  hooks.cancelRestart = [&monitor](std::size_t row) { return monitor.CancelRestart(row); };
  // The console's line on Linux (the journal under systemd), the log view on Windows; never the
  // log file, which holds the supervision's own lines.
  hooks.tell = [&monitor](const std::u16string& line) {
    SystemClock clock;
    monitor.View().AppendLogLine(FormatLogLine(clock.Now(), u"HTTP", line));
  };
  // The HTTP endpoint shares the doors' descriptors with the control socket.
  hooks.takeDescriptor = [](std::string& why) {
    DoorDescriptor door = TakeDoorDescriptor();
    if (!door) why = DoorRefusal();
    return door;
  };
  return std::make_unique<Observatory>(loop, monitor.States(), monitor.Supervision(), monitor.Log(),
                                       std::move(options), std::move(hooks));
}

RestartOptions LoadRestartOptions(const Path& optionsFile) {
  std::vector<std::string> problems;
  std::optional<KespIni> ini = LoadKespIni(optionsFile.empty() ? DataDir() + kOptionsFileName : optionsFile, problems);
  return ini ? std::move(ini->restarts) : RestartOptions{};
}

}  // namespace tervane
