#include "app/observing.h"

#include <algorithm>

#include "options/kesp_ini.h"
#include "support/descriptors.h"
#include "support/text.h"

namespace tervane {

namespace {

// Whether any section names an update command (a server's section may turn off what [Updates] gives).
bool UpdatesAsked(const UpdateOptions& updates) {
  auto asks = [](const UpdateSection& s) { return (s.given & kUpdateKeyCommand) && s.values.On(); };
  return (updates.all && asks(*updates.all)) || std::any_of(updates.servers.begin(), updates.servers.end(), asks);
}

}  // namespace

std::unique_ptr<Observatory> StartObserving(EventLoop& loop, Monitor& monitor, const Path& optionsFile,
                                            std::unique_ptr<ICommandRunner>* commandRunner) {
  const Path file = optionsFile.empty() ? DataDir() + kOptionsFileName : optionsFile;
  std::vector<std::string> problems;
  // One read of the file for every section.
  std::optional<KespIni> ini = LoadKespIni(file, problems);
  if (!ini) return nullptr;
  ObserveOptions options = std::move(ini->observe);
  RestartOptions restarts = std::move(ini->restarts);
  for (const std::string& problem : problems) monitor.AddLog(kOptionsFileName, Utf8ToUtf16(problem));
  // Planned restarts change servers: the live-state model's, like the crash-loop guard; they
  // need no observer.
  if (restarts.Any()) monitor.SetRestartOptions(std::move(restarts));
  // Game updates too; their commands' runner only when one is named.
  if (commandRunner && UpdatesAsked(ini->updates)) {
    *commandRunner = MakeCommandRunner(loop);
    monitor.SetCommandRunner(commandRunner->get());
  }
  if (ini->updates.Any()) monitor.SetUpdateOptions(std::move(ini->updates));
  // Only ever turned on here: a program that always logs them keeps doing so.
  if (options.logCommands) monitor.SetLogCommands(true);
  if (!options.Any()) return nullptr;

  // The crash-loop guard pauses servers: it belongs to the live-state model, not to the observers.
  monitor.SetCrashLoopGuard(CrashLoopGuard(options.maxRestarts, options.restartWindowMinutes));
  // The HTTP endpoint shares the doors' descriptors with the control socket.
  auto takeDescriptor = [](std::string& why) {
    DoorDescriptor door = TakeDoorDescriptor();
    if (!door) why = DoorRefusal();
    return door;
  };
  return std::make_unique<Observatory>(loop, monitor, std::move(options), std::move(takeDescriptor));
}

RestartOptions LoadRestartOptions(const Path& optionsFile) {
  std::vector<std::string> problems;
  std::optional<KespIni> ini = LoadKespIni(optionsFile.empty() ? DataDir() + kOptionsFileName : optionsFile, problems);
  return ini ? std::move(ini->restarts) : RestartOptions{};
}

}  // namespace tervane
